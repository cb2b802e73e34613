// LZ block encoder.
//
// A block is produced in four passes:
//
//   1. Delta regions (lz_delta.cpp). Windows of the block whose bytes become
//      much cheaper as differences at a stride of 1 to 7 are turned into that
//      form in place and marked, the same form the decoder keeps as history.
//   2. Parsing (lz_parse.cpp over lz_match_finder.h): greedy, lazy or
//      shortest-path by level.
//   3. Symbols (lz_symbols.cpp). The parse becomes symbols under the rules of
//      a distance alphabet count D (2 or 3).
//   4. Table sets (lz_table_sets.cpp). The symbol stream is cut into chunks
//      whose statistics are merged greedily while a merge saves more than a
//      table costs (at most 63 sets). The cheapest of D = 2, D = 3, one set
//      or several, and the fixed set is written.
#include <algorithm>

#include "codec/input_stream.h"
#include "packer/block_writer.h"
#include "packer/huffman_encoder.h"
#include "packer/lz_delta.h"
#include "packer/lz_parse.h"
#include "packer/lz_table_sets.h"

namespace packer {

using namespace lz;

bool encode_lz_block(BitWriter& out, uint8_t* window, uint32_t history, uint32_t length, bool last,
                     unsigned selector, const LzOptions& options)
{
    const uint32_t end = history + length;
    const LzForce& force = options.force;

    std::vector<Marker> markers;
    if (options.delta_markers != nullptr)
        markers = *options.delta_markers;
    else if (options.allow_delta && length > 0)
        markers = delta_transform(window, history, length);

    std::vector<Item>* kept = options.parse;
    std::vector<Item> items = parse_block(window, history, end, markers, options.level, options.optimal_passes,
                                          kept != nullptr && !kept->empty() ? kept : nullptr, options.matches);
    if (kept != nullptr)
        *kept = items;

    std::vector<Token> tokens2, tokens3;
    uint32_t unsendable2 = resolve(window, history, items, 2, tokens2), unsendable3 = 0;
    BlockPlan best;
    best.bits = ~(uint64_t)0;
    bool want3 = force.distance_alphabets != 2;
    bool want2 = force.distance_alphabets != 3;
    if (want3)
        unsendable3 = resolve(window, history, items, 3, tokens3);
    auto consider = [&](BlockPlan&& plan) {
        if (plan.bits < best.bits)
            best = std::move(plan);
    };
    // The set boundaries are chosen on the D = 2 symbols and priced exactly
    // for both D; a few guesses at the price of a set, and one set alone.
    std::vector<std::vector<uint32_t>> candidates;
    if (force.table_sets > 0) {
        candidates.push_back(choose_boundaries(tokens2, force.table_sets, 0));
    } else if (force.table_sets < 0) {
        candidates.push_back({});
        for (double set_price : {150.0, 400.0, 1000.0}) {
            std::vector<uint32_t> b = choose_boundaries(tokens2, -1, set_price);
            if (std::find(candidates.begin(), candidates.end(), b) == candidates.end())
                candidates.push_back(b);
        }
    }
    if (want2 && force.table_sets <= 0)
        consider(plan_fixed(tokens2, end));
    std::vector<uint32_t> best_bounds;
    uint64_t best_bounds_bits = ~(uint64_t)0;
    for (const std::vector<uint32_t>& b : candidates) {
        BlockPlan plan = plan_dynamic(want2 ? tokens2 : tokens3, want2 ? 2 : 3, b);
        if (plan.bits < best_bounds_bits) {
            best_bounds_bits = plan.bits;
            best_bounds = b;
        }
        consider(std::move(plan));
    }
    if (want2 && want3 && !candidates.empty())
        consider(plan_dynamic(tokens3, 3, best_bounds));
    if (best.bits == ~(uint64_t)0)
        best = want2 ? plan_dynamic(tokens2, 2, {}) : plan_dynamic(tokens3, 3, {});
    const std::vector<Token>& tokens = best.D == 3 ? tokens3 : tokens2;

    size_t start = begin_block(out, METHOD_LZ, last, length);
    out.put(selector, LZ_SELECTOR_BITS);
    out.put(best.D, 2);
    out.put(best.S, 6);
    if (best.S > 0)
        write_code_lengths(out, best.rows, table_width(best.D), best.S);
    write_tokens(out, tokens, best);
    if (!finish_block(out, start))
        return false;

    if (options.stats == nullptr)
        return true;
    LzBlockStats& stats = *options.stats;
    stats = LzBlockStats();
    stats.distance_alphabets = best.D;
    stats.table_sets = best.S;
    stats.markers = (unsigned)markers.size();
    stats.unsendable_matches = best.D == 3 ? unsendable3 : unsendable2;
    for (const Token& t : tokens) {
        if (t.alpha == NO_ALPHA)
            continue;
        stats.matches++;
        stats.long_matches += t.ll == SYM_LONG_LENGTH;
        stats.recent_distances += t.dsym <= 1;
        stats.length2_matches += t.alpha == 1;
    }
    return true;
}

}  // namespace packer
