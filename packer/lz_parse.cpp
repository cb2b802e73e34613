#include "packer/lz_parse.h"

#include <algorithm>
#include <cmath>
#include <utility>

#include "packer/lz_match_finder.h"
#include "packer/lz_table_sets.h"

namespace packer {
namespace lz {

namespace {

// Rough bit prices used only to steer the parse.
inline int length_price(uint32_t len)
{
    if (len <= SHORT_LENGTH_MAX)
        return 6;
    if (len < LONG_LENGTH_FIRST)
        return 7 + length_shift(length_index.of[len]);
    return 10 + MAX_LENGTH_EXTRA_BITS;
}

inline int explicit_distance_price(uint32_t d) { return 5 + (int)floor_log2(d - 1) - 1; }

// ---------------------------------------------------------------------------
// Level parameters

struct LevelParams {
    unsigned chain;     // candidates examined per position
    unsigned nice;      // a match this long ends the search
    unsigned lazy;      // 0 greedy, 1 look one ahead, 2 look two ahead
    unsigned max_lazy;  // no look-ahead after a match this long
    bool optimal;       // shortest-path parse instead of greedy or lazy
};

// Levels 1 to 7 parse greedily or lazily with longer and longer searches;
// 8 and 9 take the shortest path, which gains more than any longer search.
const LevelParams level_table[10] = {
    {2, 16, 0, 0, false},  // 0 is taken as 1
    {2, 16, 0, 0, false},       {4, 24, 0, 0, false},       {6, 32, 1, 8, false},
    {10, 48, 1, 16, false},     {16, 64, 1, 24, false},     {24, 128, 1, 32, false},
    {64, 192, 2, 96, false},    {40, 192, 0, 0, true},      {160, 256, 0, 0, true},
};

// ---------------------------------------------------------------------------
// Greedy and lazy parse

// A candidate at one position with its rough saving in bits.
struct Choice {
    uint32_t len = 0;
    uint32_t dist = 0;
    int gain = 0;
};

inline int gain_of(uint32_t len, uint32_t dist, uint32_t r0, uint32_t r1, int literal_price)
{
    int dprice;
    if (dist == r0)
        dprice = 2;
    else if (dist == r1)
        dprice = 3;
    else if (dist <= 4)
        dprice = 4;
    else if (len == 2 && dist > DIST1_MAX)
        return -1000;
    else
        dprice = explicit_distance_price(dist);
    return (int)len * literal_price - length_price(len) - dprice;
}

struct ParseContext {
    const uint8_t* w;
    uint32_t history;
    uint32_t end;
    MatchFinder* mf;
    LevelParams params;
    int literal_price;  // rough bits of a literal in this block
};

// Best choice at p given the recent distances; limit caps the length.
Choice best_choice(const ParseContext& c, uint32_t p, uint32_t limit, uint32_t r0, uint32_t r1, unsigned chain)
{
    Choice best;
    if (limit < MIN_MATCH)
        return best;
    auto consider = [&](uint32_t len, uint32_t dist) {
        if (len < MIN_MATCH || dist == 0 || dist > p)
            return;
        int g = gain_of(len, dist, r0, r1, c.literal_price);
        if (g > best.gain || (g == best.gain && len > best.len)) {
            best.len = len;
            best.dist = dist;
            best.gain = g;
        }
    };
    // Recent and short distances first: they are the cheapest to send.
    const uint32_t reps[6] = {r0, r1, 1, 2, 3, 4};
    for (uint32_t d : reps) {
        if (d == 0 || d > p)
            continue;
        if (c.w[p] != c.w[p - d] || c.w[p + 1] != c.w[p + 1 - d])
            continue;
        consider(c.mf->match_length(p - d, p, limit), d);
    }
    uint32_t dist = 0;
    uint32_t len = c.mf->longest(p, limit, chain, c.params.nice, dist);
    if (len != 0)
        consider(len, dist);
    if (best.len < 3) {
        uint32_t q = c.mf->pair_before(p);
        if (q != NO_POS && q < p && p - q <= DIST1_MAX)
            consider(c.mf->match_length(q, p, limit), p - q);
    }
    return best;
}

inline void advance_reps(uint32_t dist, uint32_t& r0, uint32_t& r1)
{
    if (dist == r0)
        return;
    if (dist == r1) {
        std::swap(r0, r1);
        return;
    }
    if (dist <= 4)
        return;
    r1 = r0;
    r0 = dist;
}

// What a literal of the block costs, from the bytes' order-0 entropy plus a
// bit (the literals left between matches are the less common ones), never
// below 6: on noise-like code a short match is then worth taking, while on
// text, where literals are cheap, lower prices measured worse. Sampled every
// 4th byte, close enough for a price that only steers the parse.
int literal_price(const uint8_t* data, uint32_t length)
{
    uint32_t hist[256] = {0};
    uint32_t n = 0;
    for (uint32_t i = 0; i < length; i += 4, n++)
        hist[data[i]]++;
    if (n < 256)
        return 6;
    double bits = 0;
    for (uint32_t f : hist)
        if (f != 0)
            bits -= f * std::log2((double)f / n);
    return std::min(8, std::max(6, (int)std::lround(bits / n + 1.0)));
}

// Greedy or lazy parse of [history, end). markers: sorted positions at which
// a delta marker must be emitted (matches never run across one).
void lazy_parse(const ParseContext& c, const std::vector<Marker>& markers, std::vector<Item>& items)
{
    MatchFinder& mf = *c.mf;
    uint32_t r0 = 0, r1 = 0;
    size_t next_marker = 0;
    uint32_t p = c.history;
    uint32_t next_insert = c.history;  // positions below it are in the chains
    Choice cached;
    uint32_t cached_pos = NO_POS;
    auto catch_up = [&](uint32_t x) {
        while (next_insert < x)
            mf.insert(next_insert++);
    };
    while (p < c.end) {
        while (next_marker < markers.size() && markers[next_marker].pos == p) {
            items.push_back({1, markers[next_marker].stride});
            next_marker++;
        }
        uint32_t stop = next_marker < markers.size() ? markers[next_marker].pos : c.end;
        uint32_t limit = std::min<uint32_t>(stop - p, LZ_MAX_MATCH);
        Choice cur;
        if (cached_pos == p) {
            cur = cached;
        } else {
            catch_up(p);
            cur = best_choice(c, p, limit, r0, r1, c.params.chain);
        }
        cached_pos = NO_POS;
        if (cur.gain <= 0) {
            items.push_back({0, 0});
            p++;
            continue;
        }
        // Look ahead: literals now and a better match after them.
        if (c.params.lazy > 0 && cur.len < c.params.max_lazy) {
            unsigned chain = cur.len >= 16 ? c.params.chain / 4 : c.params.chain;
            bool deferred = false;
            for (unsigned ahead = 1; ahead <= c.params.lazy && p + ahead < stop; ahead++) {
                uint32_t x = p + ahead;
                catch_up(x);
                Choice next = best_choice(c, x, std::min<uint32_t>(stop - x, LZ_MAX_MATCH), r0, r1, chain);
                if (next.gain > cur.gain + (int)(ahead - 1) * c.literal_price) {
                    for (unsigned k = 0; k < ahead; k++)
                        items.push_back({0, 0});
                    p = x;
                    cached = next;
                    cached_pos = x;
                    deferred = true;
                    break;
                }
            }
            if (deferred)
                continue;
        }
        items.push_back({cur.len, cur.dist});
        advance_reps(cur.dist, r0, r1);
        p += cur.len;
    }
    while (next_marker < markers.size() && markers[next_marker].pos == p) {
        items.push_back({1, markers[next_marker].stride});
        next_marker++;
    }
}

// ---------------------------------------------------------------------------
// Optimal parse (levels 8 and 9): the cheapest path through the block, priced
// with the code lengths that a lazy parse of the same block yields. The
// recent distances along the path are carried in each node, so reused
// distances are priced as the decoder will see them.

struct Prices {
    uint32_t literal[256];
    uint32_t length_symbol[LZ_LITLEN_SYMBOLS];
    uint32_t distance[2][LZ_DIST0_SYMBOLS];  // alphabets 0 and 1
};

// Price (in 1/16 bits) of a code length, with unused symbols priced a bit
// above the longest used code.
void fill_prices(const uint8_t* lengths, unsigned n, uint32_t* prices)
{
    unsigned longest = 0;
    for (unsigned i = 0; i < n; i++)
        longest = std::max<unsigned>(longest, lengths[i]);
    for (unsigned i = 0; i < n; i++)
        prices[i] = 16 * (lengths[i] != 0 ? lengths[i] : longest + 2);
}

struct PathNode {
    uint32_t cost;  // NO_POS: not reached
    uint32_t len;   // of the step that reaches this node: 1 literal, >= 2 match
    uint32_t dist;
    uint32_t r0, r1;
};

enum { ALL_LENGTHS_UP_TO = 40 };

// cache: searches' results to read where present (cache->count not
// NOT_SEARCHED), or, when record is set, to leave there.
void optimal_parse(const ParseContext& c, const std::vector<Marker>& markers, const Prices& prices,
                   std::vector<Item>& items, MatchCache* cache, bool record)
{
    MatchFinder& mf = *c.mf;
    uint32_t r0 = 0, r1 = 0;
    uint32_t next_insert = c.history;
    size_t next_marker = 0;
    std::vector<PathNode> node;
    std::vector<Item> backwards;
    uint32_t seg = c.history;
    const unsigned chain = c.params.chain;
    const uint32_t nice = c.params.nice;

    auto length_price = [&](uint32_t len) {
        LengthCode lc = length_code(len);
        return prices.length_symbol[lc.sym] + 16 * lc.nbits;
    };
    uint32_t short_length_price[ALL_LENGTHS_UP_TO + 1];
    for (uint32_t len = MIN_MATCH; len <= ALL_LENGTHS_UP_TO; len++)
        short_length_price[len] = length_price(len);

    while (true) {
        while (next_marker < markers.size() && markers[next_marker].pos == seg) {
            items.push_back({1, markers[next_marker].stride});
            next_marker++;
        }
        if (seg >= c.end)
            break;
        const uint32_t stop = next_marker < markers.size() ? markers[next_marker].pos : c.end;
        const uint32_t n = stop - seg;
        node.assign(n + 1, PathNode{NO_POS, 0, 0, 0, 0});
        node[0] = PathNode{0, 0, 0, r0, r1};
        uint32_t skip_until = 0;
        for (uint32_t i = 0; i < n; i++) {
            const uint32_t p = seg + i;
            const PathNode here = node[i];
            while (next_insert < p)
                mf.insert(next_insert++);
            if (here.cost == NO_POS || i < skip_until)
                continue;
            auto relax = [&](uint32_t len, uint32_t cost, uint32_t d, uint32_t n0, uint32_t n1) {
                PathNode& t = node[i + len];
                if (cost < t.cost)
                    t = PathNode{cost, len, d, n0, n1};
            };
            relax(1, here.cost + prices.literal[c.w[p]], 0, here.r0, here.r1);
            const uint32_t limit = std::min<uint32_t>(n - i, LZ_MAX_MATCH);
            if (limit < MIN_MATCH)
                continue;
            // Matches of lengths from..to at distance d from this node: every
            // length up to ALL_LENGTHS_UP_TO, then the longest. The distance's
            // symbol, price and the recent distances after it are the same
            // for every length but 2, which takes distance alphabet 1.
            auto try_lengths = [&](uint32_t from, uint32_t to, uint32_t d) {
                if (from > to)
                    return;
                unsigned sym, nbits = 0;
                uint32_t extra;
                uint32_t n0 = here.r0, n1 = here.r1;
                bool is_explicit = false;
                if (d == here.r0) {
                    sym = 0;
                } else if (d == here.r1) {
                    sym = 1;
                    std::swap(n0, n1);
                } else if (d <= 4) {
                    sym = 1 + d;
                } else {
                    explicit_distance(d, sym, nbits, extra);
                    is_explicit = true;
                    n1 = n0;
                    n0 = d;
                }
                if (from == 2) {
                    if (!is_explicit || sym < alphabet_size[1])
                        relax(2, here.cost + short_length_price[2] + prices.distance[1][sym] + 16 * nbits, d, n0,
                              n1);
                    from = 3;
                }
                if (is_explicit && sym >= alphabet_size[0])
                    return;
                const uint32_t base = here.cost + prices.distance[0][sym] + 16 * nbits;
                for (uint32_t len = from; len <= to && len <= ALL_LENGTHS_UP_TO; len++)
                    relax(len, base + short_length_price[len], d, n0, n1);
                if (to > ALL_LENGTHS_UP_TO && to >= from)
                    relax(to, base + length_price(to), d, n0, n1);
            };
            uint32_t longest = 0;
            const uint32_t reps[6] = {here.r0, here.r1, 1, 2, 3, 4};
            for (uint32_t d : reps) {
                if (d == 0 || d > p || c.w[p] != c.w[p - d] || c.w[p + 1] != c.w[p + 1 - d])
                    continue;
                uint32_t len = mf.match_length(p - d, p, limit);
                try_lengths(MIN_MATCH, len, d);
                longest = std::max(longest, len);
            }
            uint32_t covered = 2;
            auto found = [&](uint32_t len, uint32_t d) {
                try_lengths(covered + 1, len, d);
                covered = len;
            };
            const uint32_t at = p - c.history;
            if (cache != nullptr && !record && cache->count[at] != MatchCache::NOT_SEARCHED) {
                const MatchCache::Match* m = &cache->found[cache->first[at]];
                for (unsigned k = 0; k < cache->count[at]; k++)
                    found(m[k].len, m[k].dist);
            } else if (record) {
                cache->first[at] = (uint32_t)cache->found.size();
                mf.matches(p, limit, chain, nice, [&](uint32_t len, uint32_t d) {
                    cache->found.push_back({len, d});
                    found(len, d);
                });
                size_t n = cache->found.size() - cache->first[at];
                if (n < MatchCache::NOT_SEARCHED) {
                    cache->count[at] = (uint8_t)n;
                } else {  // more than a count holds: searched again later
                    cache->found.resize(cache->first[at]);
                }
            } else {
                mf.matches(p, limit, chain, nice, found);
            }
            longest = std::max(longest, covered);
            if (covered < 3) {
                uint32_t q = mf.pair_before(p);
                if (q != NO_POS && q < p && p - q <= DIST1_MAX)
                    try_lengths(2, 2, p - q);
            }
            // A very long match is taken as it stands: searching inside it
            // costs much and gains little.
            if (longest >= nice)
                skip_until = i + longest;
        }
        // Walk the cheapest path back and emit it forwards.
        backwards.clear();
        for (uint32_t i = n; i > 0;) {
            const PathNode& t = node[i];
            backwards.push_back(t.len == 1 ? Item{0, 0} : Item{t.len, t.dist});
            i -= t.len;
        }
        items.insert(items.end(), backwards.rbegin(), backwards.rend());
        r0 = node[n].r0;
        r1 = node[n].r1;
        seg = stop;
    }
}

}  // namespace

std::vector<Item> parse_block(const uint8_t* window, uint32_t history, uint32_t end,
                              const std::vector<Marker>& markers, int level, unsigned optimal_passes,
                              const std::vector<Item>* from, MatchCache* matches)
{
    level = std::min(9, std::max(1, level));
    const LevelParams params = level_table[level];
    const uint32_t length = end - history;
    const unsigned hash_bits = level <= 3 ? 16 : 18;
    // The history goes into the chains first; matches may reach all of it
    // (up to the format's farthest distance).
    const uint32_t first = history > LZ_MAX_DISTANCE ? history - LZ_MAX_DISTANCE : 0;
    std::vector<Item> items;
    items.reserve(length / 3 + 16);
    MatchFinder mf(window, end, hash_bits);
    for (uint32_t q = first; q < history; q++)
        mf.insert(q);
    ParseContext c{window, history, end, &mf, params, literal_price(window + history, length)};
    if (!params.optimal) {
        lazy_parse(c, markers, items);
        return items;
    }
    // Prices come from a lazy parse of the same bytes with its own match
    // finder, so the chains above stay fresh.
    if (from != nullptr) {
        items = *from;
    } else {
        MatchFinder first_mf(window, end, hash_bits);
        for (uint32_t q = first; q < history; q++)
            first_mf.insert(q);
        ParseContext lazy_c{window, history, end, &first_mf, level_table[6], c.literal_price};
        lazy_parse(lazy_c, markers, items);
    }
    for (unsigned pass = 0; pass < std::max(1u, optimal_passes); pass++) {
        std::vector<Token> first_tokens;
        resolve(window, history, items, 2, first_tokens);
        BlockPlan first_plan = plan_dynamic(first_tokens, 2, {});
        Prices prices;
        fill_prices(&first_plan.rows[0], LZ_LITLEN_SYMBOLS, prices.length_symbol);
        for (int i = 0; i < 256; i++)
            prices.literal[i] = prices.length_symbol[i];
        fill_prices(&first_plan.rows[alphabet_offset[0]], LZ_DIST0_SYMBOLS, prices.distance[0]);
        fill_prices(&first_plan.rows[alphabet_offset[1]], LZ_DIST1_SYMBOLS, prices.distance[1]);
        items.clear();
        if (pass > 0) {
            // A fresh match finder: the chains of the pass before are used up.
            mf = MatchFinder(window, end, hash_bits);
            for (uint32_t q = first; q < history; q++)
                mf.insert(q);
        }
        bool record = matches != nullptr && matches->empty();
        if (record) {
            matches->first.assign(length, 0);
            matches->count.assign(length, MatchCache::NOT_SEARCHED);
            matches->found.clear();
            matches->found.reserve(length);
        }
        optimal_parse(c, markers, prices, items, matches, record);
    }
    return items;
}

}  // namespace lz
}  // namespace packer
