// BWT block encoder.
//
// The block's bytes, shifted by the alphabet offset, are extended by an end
// marker that sorts before every byte. Because the marker is unique and
// smallest, sorting the rotations of t + marker is the same as sorting the
// suffixes of t (a suffix that is a prefix of another sorts first), so one
// suffix array gives the whole transform: row 0 is the rotation that starts
// with the marker and ends with t[n - 1]; row k >= 1 starts at SA[k - 1] and
// its last column holds the byte before it, or the marker for the rotation
// that starts at 0.
//
// The last column goes through move-to-front; the front byte is never coded
// on its own but as runs in bijective base 2 (SYM_RUN1 = digit 1, SYM_RUN2 =
// digit 2, least significant first), the marker as SYM_ORIGIN. The symbols
// are cut into groups of 50, each coded with one of up to six Huffman tables.
// The tables are fitted by a few rounds of assigning every group to the table
// that codes it cheapest, its selector included, and rebuilding each table
// from the groups it got. The strongest levels start that fit in several
// ways and with every table count, keep the smallest result, and finish
// with tables that have codes only for the symbols their groups send.
#include <divsufsort.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>
#include <new>
#include <stdexcept>

#include "codec/bwt_decoder.h"
#include "codec/input_stream.h"
#include "packer/block_writer.h"
#include "packer/huffman_encoder.h"

namespace packer {

namespace {

enum {
    // Code lengths that stand in for "in this table's share" and "not in
    // it" in the first assignment round, before any table has been built.
    SEED_SHORT_LENGTH = 0,
    SEED_LONG_LENGTH = 15,
    // Level 9 ranks the alphabet offsets OFFSET_STEP, 2 * OFFSET_STEP ...
    // on blocks of at least MIN_OFFSET_TRIAL bytes and fits the best
    // FULL_OFFSET_TRIALS of them in full beside offset 0.
    OFFSET_STEP = 32,
    MIN_OFFSET_TRIAL = 4096,
    FULL_OFFSET_TRIALS = 2,
};

using Symbols = std::vector<uint16_t>;

struct TableFit {
    unsigned count = 0;
    std::vector<std::vector<uint8_t>> lengths;  // count rows of BWT_SYMBOLS
    std::vector<uint8_t> selectors;             // one table number per group
    uint64_t bits = 0;                          // tables, selectors, symbols
};

void emit_run(Symbols& symbols, uint32_t run)
{
    while (run > 0) {
        if (run & 1) {
            symbols.push_back(SYM_RUN1);
            run = (run - 1) >> 1;
        } else {
            symbols.push_back(SYM_RUN2);
            run = (run - 2) >> 1;
        }
    }
}

// Suffix sort, last column, move-to-front and run coding in one pass over
// the rows.
Symbols transform(const uint8_t* data, uint32_t n, uint8_t offset)
{
    Symbols symbols;
    std::vector<uint8_t> t(n);
    for (uint32_t i = 0; i < n; i++)
        t[i] = (uint8_t)(data[i] - offset);
    std::vector<saidx_t> sa(n);
    // The sort fails only when it cannot have its work space.
    if (n > 0 && divsufsort(t.data(), sa.data(), (saidx_t)n) != 0)
        throw std::bad_alloc();

    uint8_t order[256];
    for (int i = 0; i < 256; i++)
        order[i] = (uint8_t)i;
    symbols.reserve(n / 2 + 16);
    uint32_t run = 0;
    for (uint32_t row = 0; row <= n; row++) {
        uint32_t start = row == 0 ? n : (uint32_t)sa[row - 1];
        if (start == 0) {
            // The rotation that starts at the text's first byte ends with
            // the marker; its symbol also ends any run in progress.
            emit_run(symbols, run);
            run = 0;
            symbols.push_back(SYM_ORIGIN);
            continue;
        }
        uint8_t c = t[start - 1];
        if (order[0] == c) {
            run++;
            continue;
        }
        emit_run(symbols, run);
        run = 0;
        unsigned pos = 1;
        while (order[pos] != c)
            pos++;
        std::memmove(order + 1, order, pos);
        order[0] = c;
        symbols.push_back((uint16_t)(pos + 1));
    }
    emit_run(symbols, run);
    return symbols;
}

unsigned default_table_count(size_t symbol_count)
{
    if (symbol_count < 100)
        return 1;
    if (symbol_count < 200)
        return 2;
    if (symbol_count < 600)
        return 3;
    if (symbol_count < 1200)
        return 4;
    if (symbol_count < 2400)
        return 5;
    return BWT_MAX_TABLES;
}

// Every table gets a code for every symbol the block uses, so any group can
// go to any table; a table that saw a symbol rarely pays only a long code.
std::vector<uint8_t> fit_lengths(const std::vector<uint32_t>& freqs, const std::vector<bool>& used)
{
    std::vector<uint32_t> f(BWT_SYMBOLS, 0);
    for (unsigned s = 0; s < BWT_SYMBOLS; s++)
        if (used[s])
            f[s] = freqs[s] + 1;
    return huffman_lengths(f, 16);
}

// Unary selector through the table move-to-front list.
template <typename Sink>
void for_each_selector(const std::vector<uint8_t>& selectors, Sink&& put)
{
    uint8_t order[BWT_MAX_TABLES] = {0, 1, 2, 3, 4, 5};
    for (uint8_t table : selectors) {
        unsigned k = 0;
        while (order[k] != table)
            k++;
        std::memmove(order + 1, order, k);
        order[0] = table;
        put(k);
    }
}

// Assigns every group to the table that codes it cheapest, counting the
// selector too: a group that keeps the table in front of the table list
// pays one bit for it, one that picks the table at place k pays k + 1.
// lengths of 0 mark symbols a table has no code for; a group holding one
// of those cannot go to that table.
void assign_groups(const Symbols& symbols, const std::vector<std::vector<uint8_t>>& lengths,
                   std::vector<uint8_t>& selectors, std::vector<std::vector<uint32_t>>& freqs)
{
    const unsigned count = (unsigned)lengths.size();
    const size_t groups = selectors.size();
    freqs.assign(count, std::vector<uint32_t>(BWT_SYMBOLS, 0));
    uint8_t order[BWT_MAX_TABLES] = {0, 1, 2, 3, 4, 5};
    for (size_t g = 0; g < groups; g++) {
        size_t begin = g * BWT_GROUP_SIZE, end = std::min(symbols.size(), begin + BWT_GROUP_SIZE);
        uint32_t cost[BWT_MAX_TABLES] = {0};
        for (unsigned t = 0; t < count; t++) {
            const uint8_t* len = lengths[t].data();
            uint32_t c = 0;
            bool missing = false;
            for (size_t i = begin; i < end; i++) {
                c += len[symbols[i]];
                missing |= len[symbols[i]] == 0;
            }
            cost[t] = missing ? std::numeric_limits<uint32_t>::max() / 2 : c;
        }
        unsigned best_k = 0;
        uint32_t best_cost = std::numeric_limits<uint32_t>::max();
        for (unsigned k = 0; k < count; k++) {
            uint32_t c = cost[order[k]] + k + 1;
            if (c < best_cost) {
                best_cost = c;
                best_k = k;
            }
        }
        uint8_t best = order[best_k];
        std::memmove(order + 1, order, best_k);
        order[0] = best;
        selectors[g] = best;
        for (size_t i = begin; i < end; i++)
            freqs[best][symbols[i]]++;
    }
}

// The selectors that code the groups cheapest with the given tables, the
// place each selector finds its table in the table list counted in:
// a shortest path over the orders the list can be in (at most 6! = 720).
std::vector<uint8_t> cheapest_selectors(const Symbols& symbols, const std::vector<std::vector<uint8_t>>& lengths)
{
    const unsigned count = (unsigned)lengths.size();
    const size_t groups = (symbols.size() + BWT_GROUP_SIZE - 1) / BWT_GROUP_SIZE;
    // Every order of the tables, and where choosing place k leads.
    std::vector<std::array<uint8_t, BWT_MAX_TABLES>> orders;
    std::array<uint8_t, BWT_MAX_TABLES> order{};
    for (unsigned i = 0; i < count; i++)
        order[i] = (uint8_t)i;
    do
        orders.push_back(order);
    while (std::next_permutation(order.begin(), order.begin() + count));
    auto index_of = [&](const std::array<uint8_t, BWT_MAX_TABLES>& o) {
        return (size_t)(std::lower_bound(orders.begin(), orders.end(), o) - orders.begin());
    };
    const size_t states = orders.size();
    std::vector<uint16_t> next(states * count);
    for (size_t st = 0; st < states; st++)
        for (unsigned k = 0; k < count; k++) {
            std::array<uint8_t, BWT_MAX_TABLES> o = orders[st];
            uint8_t t = o[k];
            std::memmove(o.data() + 1, o.data(), k);
            o[0] = t;
            next[st * count + k] = (uint16_t)index_of(o);
        }
    const uint32_t none = std::numeric_limits<uint32_t>::max() / 4;
    std::vector<uint32_t> cost(states, none), step(states);
    cost[0] = 0;  // the list starts in table order
    // The place chosen on the way into each order after each group; the
    // order before it follows from the order after.
    std::vector<uint8_t> back(groups * states);
    for (size_t g = 0; g < groups; g++) {
        size_t begin = g * BWT_GROUP_SIZE, end = std::min(symbols.size(), begin + BWT_GROUP_SIZE);
        uint32_t group_cost[BWT_MAX_TABLES];
        for (unsigned t = 0; t < count; t++) {
            uint32_t c = 0;
            bool missing = false;
            for (size_t i = begin; i < end; i++) {
                c += lengths[t][symbols[i]];
                missing |= lengths[t][symbols[i]] == 0;
            }
            group_cost[t] = missing ? none : c;
        }
        std::fill(step.begin(), step.end(), none);
        for (size_t st = 0; st < states; st++) {
            if (cost[st] >= none)
                continue;
            for (unsigned k = 0; k < count; k++) {
                uint32_t gc = group_cost[orders[st][k]];
                if (gc >= none)
                    continue;
                uint32_t c = cost[st] + gc + k + 1;
                uint16_t to = next[st * count + k];
                if (c < step[to]) {
                    step[to] = c;
                    back[g * states + to] = (uint8_t)k;
                }
            }
        }
        cost.swap(step);
    }
    size_t st = (size_t)(std::min_element(cost.begin(), cost.end()) - cost.begin());
    std::vector<uint8_t> selectors(groups);
    for (size_t g = groups; g-- > 0;) {
        std::array<uint8_t, BWT_MAX_TABLES> o = orders[st];
        selectors[g] = o[0];  // the table chosen moved to the front
        unsigned k = back[g * states + st];
        std::memmove(o.data(), o.data() + 1, k);
        o[k] = selectors[g];
        st = index_of(o);
    }
    return selectors;
}

// Drops the tables no group chose (they would cost their transmission only)
// and counts the block's bits: sub-header, tables, selectors, symbols.
TableFit finish_fit(const Symbols& symbols, const std::vector<std::vector<uint8_t>>& lengths,
                    const std::vector<uint8_t>& selectors)
{
    const unsigned count = (unsigned)lengths.size();
    std::vector<int> renumber(count, -1);
    TableFit fit;
    for (uint8_t sel : selectors)
        renumber[sel] = 0;
    for (unsigned t = 0; t < count; t++) {
        if (renumber[t] < 0)
            continue;
        renumber[t] = (int)fit.count++;
        fit.lengths.push_back(lengths[t]);
    }
    const size_t groups = selectors.size();
    fit.selectors.resize(groups);
    for (size_t g = 0; g < groups; g++)
        fit.selectors[g] = (uint8_t)renumber[selectors[g]];

    fit.bits = 8 + 3;
    for (const auto& row : fit.lengths)
        fit.bits += code_lengths_cost(row, BWT_SYMBOLS, 1);
    for_each_selector(fit.selectors, [&](unsigned k) { fit.bits += k + 1; });
    for (size_t i = 0; i < symbols.size(); i++)
        fit.bits += fit.lengths[fit.selectors[i / BWT_GROUP_SIZE]][symbols[i]];
    return fit;
}

// Ways of starting the table fit: tables that each take a range of the
// used symbols, groups cut into runs of neighbouring groups, groups ranked
// by the average of their symbols (how much of them is runs of the front
// byte against rarer bytes), or a fit with one table fewer whose busiest
// table is cut in two by that average.
enum class Seed { SYMBOL_RANGES, NEIGHBOURS, AVERAGE_SYMBOL, SPLIT };

TableFit fit_tables(const Symbols& symbols, const std::vector<bool>& used, const std::vector<uint32_t>& totals,
                    unsigned count, unsigned passes, bool exact, Seed seed = Seed::SYMBOL_RANGES,
                    const TableFit* from = nullptr)
{
    size_t groups = (symbols.size() + BWT_GROUP_SIZE - 1) / BWT_GROUP_SIZE;
    count = std::max(1u, std::min<unsigned>(count, (unsigned)groups));
    if (seed == Seed::SPLIT && (from == nullptr || from->count + 1 != count))
        seed = Seed::AVERAGE_SYMBOL;
    std::vector<std::vector<uint8_t>> lengths(count, std::vector<uint8_t>(BWT_SYMBOLS, SEED_LONG_LENGTH));
    std::vector<uint8_t> selectors(groups, 0);
    std::vector<std::vector<uint32_t>> freqs;

    if (seed != Seed::SYMBOL_RANGES) {
        std::vector<uint32_t> rank(groups);
        for (size_t g = 0; g < groups; g++)
            rank[g] = (uint32_t)g;
        if (seed == Seed::AVERAGE_SYMBOL) {
            std::vector<uint32_t> sum(groups, 0);
            for (size_t i = 0; i < symbols.size(); i++)
                sum[i / BWT_GROUP_SIZE] += symbols[i];
            std::stable_sort(rank.begin(), rank.end(), [&](uint32_t a, uint32_t b) { return sum[a] < sum[b]; });
        }
        freqs.assign(count, std::vector<uint32_t>(BWT_SYMBOLS, 0));
        for (size_t r = 0; r < groups; r++) {
            size_t g = rank[r];
            unsigned t = (unsigned)(r * count / groups);
            selectors[g] = (uint8_t)t;
        }
        if (seed == Seed::SPLIT) {
            // The fit with one table fewer, its busiest table cut in two by
            // the groups' average symbol.
            selectors = from->selectors;
            std::vector<size_t> busy(from->count, 0);
            for (uint8_t sel : selectors)
                busy[sel]++;
            unsigned split = (unsigned)(std::max_element(busy.begin(), busy.end()) - busy.begin());
            std::vector<uint32_t> sum(groups, 0);
            for (size_t i = 0; i < symbols.size(); i++)
                sum[i / BWT_GROUP_SIZE] += symbols[i];
            std::vector<uint32_t> mine;
            for (size_t g = 0; g < groups; g++)
                if (selectors[g] == split)
                    mine.push_back(sum[g]);
            std::nth_element(mine.begin(), mine.begin() + mine.size() / 2, mine.end());
            uint32_t median = mine[mine.size() / 2];
            for (size_t g = 0; g < groups; g++)
                if (selectors[g] == split && sum[g] > median)
                    selectors[g] = (uint8_t)from->count;
        }
        for (size_t g = 0; g < groups; g++) {
            size_t begin = g * BWT_GROUP_SIZE, end = std::min(symbols.size(), begin + BWT_GROUP_SIZE);
            for (size_t i = begin; i < end; i++)
                freqs[selectors[g]][symbols[i]]++;
        }
        for (unsigned t = 0; t < count; t++)
            lengths[t] = fit_lengths(freqs[t], used);
    }

    // Seed: cut the used symbols into count ranges of about equal frequency.
    uint64_t left = symbols.size();
    unsigned s = 0;
    for (unsigned t = 0; seed == Seed::SYMBOL_RANGES && t < count; t++) {
        uint64_t share = left / (count - t), taken = 0;
        unsigned begin = s;
        while (s < BWT_SYMBOLS && (taken < share || s == begin)) {
            taken += totals[s];
            s++;
        }
        if (t == count - 1)
            s = BWT_SYMBOLS;
        for (unsigned k = begin; k < s; k++)
            lengths[t][k] = SEED_SHORT_LENGTH;
        left -= std::min(left, taken);
    }

    for (unsigned pass = 0; pass < passes; pass++) {
        if (pass == 0 && seed == Seed::SYMBOL_RANGES) {
            // Seed lengths of 0 mean "cheap" here, not "no code": plain
            // assignment by cost for the first round.
            std::vector<std::vector<uint8_t>> seeded = lengths;
            for (auto& row : seeded)
                for (uint8_t& len : row)
                    len = (uint8_t)(len + 1);
            assign_groups(symbols, seeded, selectors, freqs);
        } else {
            assign_groups(symbols, lengths, selectors, freqs);
        }
        for (unsigned t = 0; t < count; t++)
            lengths[t] = fit_lengths(freqs[t], used);
    }
    TableFit fit = finish_fit(symbols, lengths, selectors);
    if (!exact)
        return fit;
    // Then tables with codes only for the symbols their groups hold: no code
    // space goes to symbols a table never sends, and fewer lengths travel.
    // A group may then move only to a table that has all its symbols.
    for (unsigned round = 0; round < 3; round++) {
        for (unsigned t = 0; t < count; t++)
            lengths[t] = huffman_lengths(freqs[t], 16);
        TableFit other = finish_fit(symbols, lengths, selectors);
        if (other.bits < fit.bits)
            fit = std::move(other);
        assign_groups(symbols, lengths, selectors, freqs);
    }
    return fit;
}

}  // namespace

// The tables and selectors for a block's symbols, as hard as the level asks.
// A first fit that takes no fewer bits than `stored_bits` (the block's bytes
// as they are) is returned as it is: the finer fits of levels 8 and 9 gain a
// few percent, never enough to make such a block worth coding this way, and
// on incompressible data they are most of the time spent.
TableFit best_fit(const Symbols& symbols, int level, uint64_t stored_bits)
{
    std::vector<uint32_t> totals(BWT_SYMBOLS, 0);
    std::vector<bool> used(BWT_SYMBOLS, false);
    for (uint16_t s : symbols) {
        totals[s]++;
        used[s] = true;
    }

    unsigned passes = level <= 3 ? 3 : level <= 6 ? 6 : 8;
    unsigned preferred = default_table_count(symbols.size());
    const bool exact = level >= 8;
    TableFit fit = fit_tables(symbols, used, totals, preferred, passes, exact);
    if (fit.bits >= stored_bits)
        return fit;
    if (level >= 8) {
        // Table count and start by measurement: fewer tables can win on
        // blocks whose statistics change little, and ranking the groups by
        // their average symbol (how much of them is runs against rarer
        // bytes) often starts the fit nearer a good one than symbol ranges.
        for (unsigned count = 1; count <= BWT_MAX_TABLES; count++) {
            if (count == preferred)
                continue;
            TableFit other = fit_tables(symbols, used, totals, count, passes, exact);
            if (other.bits < fit.bits)
                fit = std::move(other);
        }
        TableFit grown = fit_tables(symbols, used, totals, 1, passes, exact);
        for (unsigned count = 2; count <= BWT_MAX_TABLES; count++) {
            TableFit best_here;
            best_here.bits = std::numeric_limits<uint64_t>::max();
            for (Seed seed : {Seed::NEIGHBOURS, Seed::AVERAGE_SYMBOL, Seed::SPLIT}) {
                if (seed == Seed::SPLIT && grown.count + 1 != count)
                    continue;
                TableFit other = fit_tables(symbols, used, totals, count, passes, exact, seed, &grown);
                if (other.bits < best_here.bits)
                    best_here = other;
            }
            if (best_here.bits < fit.bits)
                fit = best_here;
            if (best_here.count == count)
                grown = std::move(best_here);
        }
    }

    if (level >= 9 && fit.count > 1) {
        // The selectors by shortest path, then the tables refitted to them.
        for (unsigned round = 0; round < 2; round++) {
            std::vector<uint8_t> selectors = cheapest_selectors(symbols, fit.lengths);
            std::vector<std::vector<uint32_t>> freqs(fit.count, std::vector<uint32_t>(BWT_SYMBOLS, 0));
            for (size_t i = 0; i < symbols.size(); i++)
                freqs[selectors[i / BWT_GROUP_SIZE]][symbols[i]]++;
            std::vector<std::vector<uint8_t>> lengths;
            for (unsigned t = 0; t < fit.count; t++)
                lengths.push_back(huffman_lengths(freqs[t], 16));
            TableFit other = finish_fit(symbols, lengths, selectors);
            if (other.bits >= fit.bits)
                break;
            fit = std::move(other);
        }
    }

    return fit;
}

bool encode_bwt_block(BitWriter& out, const uint8_t* data, uint32_t length, bool last, const BwtOptions& options)
{
    if (length > MAX_BLOCK_OUTPUT)
        throw std::invalid_argument("BWT block longer than a block may be");
    // The alphabet offset rotates the byte order cyclically, which changes
    // the sort order at one cut only: the best offset saves about 0.1% on
    // text, and none is best everywhere. Below level 9 it stays 0; level 9
    // ranks the offsets 0, 32, ... 224 by a quick fit and fits the two it
    // ranks best besides 0 in full, keeping the smallest.
    uint8_t offset = 0;
    Symbols symbols = transform(data, length, offset);
    const uint64_t stored_bits = 8 * (uint64_t)length;
    TableFit fit = best_fit(symbols, options.level, stored_bits);
    if (options.level >= 9 && length >= MIN_OFFSET_TRIAL && fit.bits < stored_bits) {
        auto quick_bits = [](const Symbols& syms) {
            std::vector<uint32_t> totals(BWT_SYMBOLS, 0);
            std::vector<bool> used(BWT_SYMBOLS, false);
            for (uint16_t x : syms) {
                totals[x]++;
                used[x] = true;
            }
            return fit_tables(syms, used, totals, default_table_count(syms.size()), 4, false, Seed::AVERAGE_SYMBOL)
                .bits;
        };
        std::vector<std::pair<uint64_t, unsigned>> ranked;
        for (unsigned h = OFFSET_STEP; h < 256; h += OFFSET_STEP)
            ranked.push_back({quick_bits(transform(data, length, (uint8_t)h)), h});
        std::sort(ranked.begin(), ranked.end());
        for (size_t i = 0; i < ranked.size() && i < FULL_OFFSET_TRIALS; i++) {
            Symbols other = transform(data, length, (uint8_t)ranked[i].second);
            TableFit other_fit = best_fit(other, options.level, stored_bits);
            if (other_fit.bits < fit.bits) {
                fit = std::move(other_fit);
                symbols.swap(other);
                offset = (uint8_t)ranked[i].second;
            }
        }
    }

    size_t start = begin_block(out, METHOD_BWT, last, length);
    out.put(offset, 8);
    out.put(fit.count, 3);
    for (const auto& row : fit.lengths)
        write_code_lengths(out, row, BWT_SYMBOLS, 1);
    out.align();

    std::vector<std::vector<uint32_t>> codes;
    for (const auto& row : fit.lengths)
        codes.push_back(canonical_codes(row));
    size_t group = 0;
    for_each_selector(fit.selectors, [&](unsigned k) {
        // k one-bits then a zero-bit; k is at most 5.
        out.put((1u << k) - 1, k + 1);
        size_t begin = group * BWT_GROUP_SIZE, end = std::min(symbols.size(), begin + BWT_GROUP_SIZE);
        unsigned table = fit.selectors[group];
        for (size_t i = begin; i < end; i++) {
            uint16_t s = symbols[i];
            out.put_code(codes[table][s], fit.lengths[table][s]);
        }
        group++;
    });
    return finish_block(out, start);
}

}  // namespace packer
