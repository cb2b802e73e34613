// The statistics of a stretch of tokens are priced by their entropy, with
// every used symbol at one bit at least; only the final choice between plans
// counts real code lengths.
#include "packer/lz_table_sets.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "codec/huffman.h"
#include "packer/huffman_encoder.h"

namespace packer {
namespace lz {

namespace {

struct Histogram {
    uint32_t ll[LZ_LITLEN_SYMBOLS];
    uint32_t d[3][LZ_DIST0_SYMBOLS];
    void clear() { memset(this, 0, sizeof *this); }
    void add(const Token& t)
    {
        ll[t.ll]++;
        if (t.alpha != NO_ALPHA)
            d[t.alpha][t.dsym]++;
    }
    void merge(const Histogram& o)
    {
        for (int i = 0; i < LZ_LITLEN_SYMBOLS; i++)
            ll[i] += o.ll[i];
        for (int a = 0; a < 3; a++)
            for (int i = 0; i < LZ_DIST0_SYMBOLS; i++)
                d[a][i] += o.d[a][i];
    }
};

double alphabet_estimate(const uint32_t* f, unsigned n)
{
    uint64_t total = 0;
    for (unsigned i = 0; i < n; i++)
        total += f[i];
    if (total == 0)
        return 0;
    double bits = 0;
    for (unsigned i = 0; i < n; i++)
        if (f[i] != 0)
            bits += f[i] * std::max(1.0, std::log2((double)total / f[i]));
    return bits;
}

double histogram_estimate(const Histogram& h)
{
    double bits = alphabet_estimate(h.ll, LZ_LITLEN_SYMBOLS);
    for (int a = 0; a < 3; a++)
        bits += alphabet_estimate(h.d[a], alphabet_size[a]);
    return bits;
}

uint64_t extra_bits(const std::vector<Token>& tokens)
{
    uint64_t bits = 0;
    for (const Token& t : tokens)
        bits += t.ll_bits + (t.alpha != NO_ALPHA ? t.d_bits : 0);
    return bits;
}

}  // namespace

std::vector<uint32_t> choose_boundaries(const std::vector<Token>& tokens, int forced_sets, double set_price)
{
    std::vector<uint32_t> bounds;
    if (tokens.empty())
        return bounds;
    const size_t max_chunks = forced_sets > 0 ? (size_t)forced_sets : 96;
    size_t chunk = std::max<size_t>(forced_sets > 0 ? 1 : 4096, (tokens.size() + max_chunks - 1) / max_chunks);
    struct Seg {
        size_t first;
        Histogram h;
        double cost;
    };
    std::vector<Seg> segs;
    for (size_t i = 0; i < tokens.size(); i += chunk) {
        Seg s;
        s.first = i;
        s.h.clear();
        for (size_t j = i; j < std::min(tokens.size(), i + chunk); j++)
            s.h.add(tokens[j]);
        s.cost = histogram_estimate(s.h);
        segs.push_back(s);
    }
    // A boundary between tokens of one position (a marker and what follows)
    // cannot be kept, since sets are switched by position.
    for (size_t i = segs.size(); i-- > 1;)
        if (tokens[segs[i].first].pos == tokens[segs[i].first - 1].pos) {
            segs[i - 1].h.merge(segs[i].h);
            segs[i - 1].cost = histogram_estimate(segs[i - 1].h);
            segs.erase(segs.begin() + i);
        }
    if (forced_sets < 0) {
        std::vector<double> merged_cost(segs.size(), 0);
        auto pair_cost = [&](size_t i) {
            Histogram h = segs[i].h;
            h.merge(segs[i + 1].h);
            return histogram_estimate(h);
        };
        for (size_t i = 0; i + 1 < segs.size(); i++)
            merged_cost[i] = pair_cost(i);
        while (segs.size() > 1) {
            size_t best = 0;
            double best_delta = 1e300;
            for (size_t i = 0; i + 1 < segs.size(); i++) {
                double delta = merged_cost[i] - segs[i].cost - segs[i + 1].cost;
                if (delta < best_delta) {
                    best_delta = delta;
                    best = i;
                }
            }
            if (best_delta >= set_price && segs.size() <= LZ_MAX_TABLE_SETS)
                break;
            segs[best].h.merge(segs[best + 1].h);
            segs[best].cost = merged_cost[best];
            segs.erase(segs.begin() + best + 1);
            merged_cost.erase(merged_cost.begin() + best + 1);
            if (best + 1 < segs.size())
                merged_cost[best] = pair_cost(best);
            if (best > 0)
                merged_cost[best - 1] = pair_cost(best - 1);
        }
    }
    while (segs.size() > LZ_MAX_TABLE_SETS) {
        segs[segs.size() - 2].h.merge(segs.back().h);
        segs.pop_back();
    }
    for (size_t i = 1; i < segs.size(); i++)
        bounds.push_back(tokens[segs[i].first].pos);
    return bounds;
}

BlockPlan plan_dynamic(const std::vector<Token>& tokens, unsigned D, const std::vector<uint32_t>& bounds)
{
    BlockPlan plan;
    plan.D = D;
    plan.bounds = bounds;
    plan.S = (unsigned)bounds.size() + 1;
    const unsigned W = table_width(D);
    plan.rows.assign((size_t)W * plan.S, 0);
    uint64_t bits = 8 + extra_bits(tokens);
    size_t t = 0;
    Histogram h;
    for (unsigned s = 0; s < plan.S; s++) {
        uint32_t limit = s < bounds.size() ? bounds[s] : 0xFFFFFFFFu;
        h.clear();
        while (t < tokens.size() && tokens[t].pos < limit)
            h.add(tokens[t++]);
        if (s + 1 < plan.S)
            h.ll[SYM_END_OF_SET]++;
        uint8_t* row = &plan.rows[(size_t)s * W];
        std::vector<uint32_t> f(h.ll, h.ll + LZ_LITLEN_SYMBOLS);
        std::vector<uint8_t> l = huffman_lengths(f, MAX_CODE_BITS);
        for (unsigned i = 0; i < LZ_LITLEN_SYMBOLS; i++) {
            row[i] = l[i];
            bits += (uint64_t)f[i] * l[i];
        }
        for (unsigned a = 0; a < (D == 3 ? 3u : 2u); a++) {
            std::vector<uint32_t> fd(h.d[a], h.d[a] + alphabet_size[a]);
            std::vector<uint8_t> ld = huffman_lengths(fd, MAX_CODE_BITS);
            for (unsigned i = 0; i < alphabet_size[a]; i++) {
                row[alphabet_offset[a] + i] = ld[i];
                bits += (uint64_t)fd[i] * ld[i];
            }
        }
    }
    plan.bits = bits + code_lengths_cost(plan.rows, W, plan.S);
    return plan;
}

BlockPlan plan_fixed(const std::vector<Token>& tokens, uint32_t extent)
{
    BlockPlan plan;
    plan.D = 2;
    plan.S = 0;
    plan.rows.assign(LZ_TABLE_WIDTH, 0);
    fill_default_lengths(plan.rows.data(), extent);
    uint64_t bits = 8 + extra_bits(tokens);
    for (const Token& t : tokens) {
        unsigned len = plan.rows[t.ll];
        unsigned dlen = t.alpha == NO_ALPHA ? 1 : plan.rows[alphabet_offset[t.alpha] + t.dsym];
        if (len == 0 || dlen == 0 || t.alpha == 2) {
            plan.bits = ~(uint64_t)0;
            return plan;
        }
        bits += len + (t.alpha == NO_ALPHA ? 0 : dlen);
    }
    plan.bits = bits;
    return plan;
}

void write_tokens(BitWriter& out, const std::vector<Token>& tokens, const BlockPlan& plan)
{
    const unsigned W = plan.S == 0 ? (unsigned)LZ_TABLE_WIDTH : table_width(plan.D);
    const unsigned sets = plan.S == 0 ? 1 : plan.S;
    size_t t = 0;
    for (unsigned s = 0; s < sets; s++) {
        const uint8_t* row = &plan.rows[(size_t)s * W];
        std::vector<uint8_t> ll(row, row + LZ_LITLEN_SYMBOLS);
        std::vector<uint32_t> ll_codes = canonical_codes(ll);
        std::vector<uint8_t> dl[3];
        std::vector<uint32_t> dc[3];
        for (unsigned a = 0; a < (plan.D == 3 ? 3u : 2u); a++) {
            dl[a].assign(row + alphabet_offset[a], row + alphabet_offset[a] + alphabet_size[a]);
            dc[a] = canonical_codes(dl[a]);
        }
        uint32_t limit = s < plan.bounds.size() ? plan.bounds[s] : 0xFFFFFFFFu;
        for (; t < tokens.size() && tokens[t].pos < limit; t++) {
            const Token& k = tokens[t];
            out.put_code(ll_codes[k.ll], ll[k.ll]);
            if (k.ll_bits)
                out.put(k.ll_extra, k.ll_bits);
            if (k.alpha != NO_ALPHA) {
                out.put_code(dc[k.alpha][k.dsym], dl[k.alpha][k.dsym]);
                if (k.d_bits)
                    out.put(k.d_extra, k.d_bits);
            }
        }
        if (s + 1 < sets)
            out.put_code(ll_codes[SYM_END_OF_SET], ll[SYM_END_OF_SET]);
    }
}

}  // namespace lz
}  // namespace packer
