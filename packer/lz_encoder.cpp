// LZ block encoder.
//
// A block is produced in four passes:
//
//   1. Delta regions. Windows of the block whose bytes become much cheaper as
//      differences at a stride of 1 to 7 (16-bit samples, pixel rows) are
//      turned into that form in place and marked, the same form the decoder
//      keeps as history.
//   2. Parsing. Hash chains over history and block find matches; the parse is
//      greedy or lazy by level, and it weighs the two recent distances and
//      the short distances 1 to 4 against explicit ones with a rough bit
//      price, so that a cheap reused distance wins over a slightly longer
//      match far away. Levels 8 and 9 replace the lazy parse with a
//      shortest-path parse over the matches found at every position.
//   3. Symbols. The parse becomes symbols under the rules of a distance
//      alphabet count D (2 or 3): with D = 3 a length-3 match must reach its
//      distance through alphabet 2 (at most 8192) or a recent distance, and a
//      length-2 match always through alphabet 1 (at most 64); matches that
//      cannot be sent that way become literals. The recent distances are
//      tracked exactly as the decoder tracks them.
//   4. Table sets. The symbol stream is cut into chunks whose statistics are
//      merged greedily while a merge saves more than a table costs (at most
//      63 sets). The cheapest of D = 2, D = 3, one set or several, and the
//      fixed set is written.
#include <algorithm>
#include <cmath>
#include <cstring>

#include "codec/input_stream.h"
#include "codec/lz_decoder.h"
#include "packer/block_writer.h"
#include "packer/huffman_encoder.h"
#include "packer/lz_encoder_internal.h"

namespace packer {

namespace {

// ---------------------------------------------------------------------------
// Alphabet arithmetic

enum {
    MIN_MATCH = 2,
    DIST1_MAX = 64,     // farthest distance of alphabet 1 (14 symbols)
    DIST2_MAX = 8192,   // farthest distance of alphabet 2 (28 symbols)
    FIXED_SHORT_EXTENT = 8192,
    MAX_CODE_BITS = 16,
    NO_POS = 0xFFFFFFFFu,
    MAX_MARKERS = 1000,  // below the decoder's region table of 1024
};

// Extra bits and bases of literal/length symbols 266..285.
struct LengthCode {
    uint16_t sym;
    uint8_t nbits;
    uint32_t extra;
};

uint32_t length_base[20];
uint8_t length_bits[20];
uint8_t length_sym_of[259];  // for lengths 11..258: index 0..19 of symbol 266 + i

struct LengthTablesInit {
    LengthTablesInit()
    {
        uint32_t base = 11;
        for (int i = 0; i < 20; i++) {
            length_bits[i] = (uint8_t)(1 + i / 4);
            length_base[i] = base;
            for (uint32_t len = base; len < base + (1u << length_bits[i]) && len <= 258; len++)
                length_sym_of[len] = (uint8_t)i;
            base += 1u << length_bits[i];
        }
    }
} length_tables_init;

inline LengthCode length_code(uint32_t len)
{
    if (len <= 10)
        return {(uint16_t)(255 + len), 0, 0};
    if (len <= 258) {
        unsigned i = length_sym_of[len];
        return {(uint16_t)(266 + i), length_bits[i], len - length_base[i]};
    }
    return {SYM_LONG_LENGTH, 15, len - 259};
}

inline unsigned floor_log2(uint32_t x) { return 31 - __builtin_clz(x); }

// Symbol 6..41 for an explicit distance of 5 or more, with its extra bits.
inline void explicit_distance(uint32_t d, unsigned& sym, unsigned& nbits, uint32_t& extra)
{
    uint32_t x = d - 1;
    unsigned hb = floor_log2(x);
    unsigned odd = (x >> (hb - 1)) & 1;
    sym = 2 + 2 * hb + odd;
    nbits = hb - 1;
    extra = x - ((2u | odd) << (hb - 1));
}

// Rough bit prices used only to steer the parse.
inline int length_price(uint32_t len)
{
    if (len <= 10)
        return 6;
    if (len <= 258)
        return 7 + length_bits[length_sym_of[len]];
    return 10 + 15;
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
// Match finder. Chains link positions with the same 4 bytes, which keeps them
// short over a window of a megabyte and more; the latest position of every
// 3-byte and 2-byte prefix gives the short matches, which only pay when they
// are near.

class MatchFinder {
public:
    MatchFinder(const uint8_t* w, uint32_t end, unsigned hash_bits)
        : w_(w), end_(end), hash_bits_(hash_bits), head_((size_t)1 << hash_bits, NO_POS), prev_(end, NO_POS),
          head3_((size_t)1 << HASH3_BITS, NO_POS), head2_(65536, NO_POS)
    {
    }

    void insert(uint32_t p)
    {
        if (p + 4 <= end_) {
            uint32_t h = hash4(p);
            prev_[p] = head_[h];
            head_[h] = p;
        }
        if (p + 3 <= end_)
            head3_[hash3(p)] = p;
        if (p + 2 <= end_)
            head2_[load16(p)] = p;
    }

    // Longest match at p of length at most limit, searching chain candidates
    // of at least 4 bytes; ties go to the nearest. Returns 0 when none of at
    // least 3 was found.
    uint32_t longest(uint32_t p, uint32_t limit, unsigned chain, uint32_t nice, uint32_t& dist_ret) const
    {
        uint32_t best = 0;
        if (limit < 3 || p + 3 > end_)
            return 0;
        uint32_t c3 = head3_[hash3(p)];
        if (c3 != NO_POS && c3 < p && p - c3 <= LZ_MAX_DISTANCE) {
            uint32_t len = match_length(c3, p, limit);
            if (len >= 3) {
                best = len;
                dist_ret = p - c3;
                if (len >= nice || len >= limit)
                    return best;
            }
        }
        if (limit < 4 || p + 4 > end_)
            return best;
        const uint32_t lowest = p > LZ_MAX_DISTANCE ? p - LZ_MAX_DISTANCE : 0;
        const uint32_t head4 = load32(p);
        uint32_t cand = head_[hash4(p)];
        while (cand != NO_POS && cand >= lowest && chain-- > 0) {
            if (cand < p && w_[cand + best] == w_[p + best] && load32(cand) == head4) {
                uint32_t len = match_length(cand, p, limit);
                if (len > best) {
                    best = len;
                    dist_ret = p - cand;
                    if (len >= nice || len >= limit)
                        break;
                }
            }
            uint32_t next = prev_[cand];
            if (next >= cand)
                break;
            cand = next;
        }
        return best >= 3 ? best : 0;
    }

    // Every match at p that is longer than the ones before it, nearest
    // first, as (length, distance) pairs with increasing lengths.
    template <typename F>
    void all_matches(uint32_t p, uint32_t limit, unsigned chain, uint32_t nice, F&& emit) const
    {
        uint32_t best = 2;
        if (limit < 3 || p + 3 > end_)
            return;
        uint32_t c3 = head3_[hash3(p)];
        if (c3 != NO_POS && c3 < p && p - c3 <= LZ_MAX_DISTANCE) {
            uint32_t len = match_length(c3, p, limit);
            if (len > best) {
                best = len;
                emit(len, p - c3);
                if (len >= nice || len >= limit)
                    return;
            }
        }
        if (limit < 4 || p + 4 > end_)
            return;
        const uint32_t lowest = p > LZ_MAX_DISTANCE ? p - LZ_MAX_DISTANCE : 0;
        const uint32_t head4 = load32(p);
        uint32_t cand = head_[hash4(p)];
        while (cand != NO_POS && cand >= lowest && chain-- > 0) {
            if (cand < p && w_[cand + best] == w_[p + best] && load32(cand) == head4) {
                uint32_t len = match_length(cand, p, limit);
                if (len > best) {
                    best = len;
                    emit(len, p - cand);
                    if (len >= nice || len >= limit)
                        break;
                }
            }
            uint32_t next = prev_[cand];
            if (next >= cand)
                break;
            cand = next;
        }
    }

    // Most recent earlier position with the same two bytes as p.
    uint32_t pair_before(uint32_t p) const { return p + 2 <= end_ ? head2_[load16(p)] : NO_POS; }

    uint32_t match_length(uint32_t a, uint32_t b, uint32_t limit) const
    {
        uint32_t i = 0;
        while (i + 8 <= limit) {
            uint64_t x, y;
            memcpy(&x, w_ + a + i, 8);
            memcpy(&y, w_ + b + i, 8);
            if (x != y)
                return i + (__builtin_ctzll(x ^ y) >> 3);
            i += 8;
        }
        while (i < limit && w_[a + i] == w_[b + i])
            i++;
        return i;
    }

private:
    enum { HASH3_BITS = 15 };
    uint32_t hash4(uint32_t p) const { return (load32(p) * 0x9E3779B1u) >> (32 - hash_bits_); }
    uint32_t hash3(uint32_t p) const
    {
        uint32_t v = w_[p] | (w_[p + 1] << 8) | (w_[p + 2] << 16);
        return (v * 0x9E3779B1u) >> (32 - HASH3_BITS);
    }
    uint32_t load16(uint32_t p) const { return w_[p] | (w_[p + 1] << 8); }
    uint32_t load32(uint32_t p) const
    {
        uint32_t v;
        memcpy(&v, w_ + p, 4);
        return v;
    }

    const uint8_t* w_;
    uint32_t end_;
    unsigned hash_bits_;
    std::vector<uint32_t> head_;
    std::vector<uint32_t> prev_;
    std::vector<uint32_t> head3_;
    std::vector<uint32_t> head2_;
};

// ---------------------------------------------------------------------------
// Parse: items in position order. len 0 is a literal, len 1 a delta marker
// (dist holds the stride), len >= 2 a match.

struct Item {
    uint32_t len;
    uint32_t dist;
};

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
// Delta regions

enum {
    DELTA_WINDOW = 4096,  // granularity of the stride decision
    MAX_STRIDE = 7,
};

double entropy_bits(const uint32_t* hist, uint32_t total)
{
    double bits = 0;
    for (int i = 0; i < 256; i++)
        if (hist[i] != 0)
            bits -= hist[i] * std::log2((double)hist[i] / total);
    return bits;
}

// Best stride of one window, or 0 when differences do not pay clearly. The
// order-0 entropy is a coarse guide: text and code grow under differencing,
// while sampled signals shrink a lot, so only a clear gain is taken.
unsigned window_stride(const uint8_t* w, uint32_t from, uint32_t to)
{
    uint32_t hist[MAX_STRIDE + 1][256];
    memset(hist, 0, sizeof hist);
    for (uint32_t q = from; q < to; q++) {
        uint8_t x = w[q];
        hist[0][x]++;
        for (unsigned s = 1; s <= MAX_STRIDE; s++)
            hist[s][(uint8_t)(x - w[q - s])]++;
    }
    uint32_t n = to - from;
    double raw = entropy_bits(hist[0], n);
    double best = raw;
    unsigned best_stride = 0;
    for (unsigned s = 1; s <= MAX_STRIDE; s++) {
        double e = entropy_bits(hist[s], n);
        if (e < best * 0.98) {
            best = e;
            best_stride = s;
        }
    }
    if (best_stride != 0 && best < raw * 0.9 && raw - best > n * 0.25)
        return best_stride;
    return 0;
}

// ---------------------------------------------------------------------------
// Symbols under a distance alphabet count

struct Token {
    uint32_t pos;
    uint32_t ll_extra;
    uint32_t d_extra;
    uint16_t ll;
    uint8_t ll_bits;
    uint8_t alpha;  // distance alphabet, NO_ALPHA for literals and markers
    uint8_t dsym;
    uint8_t d_bits;
};

enum { NO_ALPHA = 0xFF };

const unsigned alphabet_size[3] = {LZ_DIST0_SYMBOLS, LZ_DIST1_SYMBOLS, LZ_DIST2_SYMBOLS};
const unsigned alphabet_offset[3] = {LZ_LITLEN_SYMBOLS, LZ_LITLEN_SYMBOLS + LZ_DIST0_SYMBOLS,
                                     LZ_LITLEN_SYMBOLS + LZ_DIST0_SYMBOLS + LZ_DIST1_SYMBOLS};

// Returns the number of parsed matches that had to become literals.
uint32_t resolve(const uint8_t* w, uint32_t history, const std::vector<Item>& items, unsigned D,
                 std::vector<Token>& tokens)
{
    uint32_t unsendable = 0;
    tokens.clear();
    tokens.reserve(items.size() + items.size() / 8);
    uint32_t r0 = 0, r1 = 0;
    uint32_t p = history;
    for (const Item& it : items) {
        if (it.len == 0) {
            tokens.push_back({p, 0, 0, w[p], 0, NO_ALPHA, 0, 0});
            p++;
            continue;
        }
        if (it.len == 1) {
            tokens.push_back({p, it.dist, 0, SYM_DELTA_MARK, 3, NO_ALPHA, 0, 0});
            continue;
        }
        unsigned alpha = it.len == 2 ? 1 : (it.len == 3 && D == 3) ? 2 : 0;
        uint32_t d = it.dist;
        unsigned sym, nbits = 0;
        uint32_t extra = 0;
        bool ok = true;
        if (d == r0)
            sym = 0;
        else if (d == r1)
            sym = 1;
        else if (d <= 4)
            sym = 1 + d;
        else {
            explicit_distance(d, sym, nbits, extra);
            ok = sym < alphabet_size[alpha];
        }
        if (!ok) {
            // No code reaches this distance at this length: plain bytes.
            unsendable++;
            for (uint32_t k = 0; k < it.len; k++)
                tokens.push_back({p + k, 0, 0, w[p + k], 0, NO_ALPHA, 0, 0});
            p += it.len;
            continue;
        }
        if (sym == 1)
            std::swap(r0, r1);
        else if (sym >= 6) {
            r1 = r0;
            r0 = d;
        }
        LengthCode lc = length_code(it.len);
        tokens.push_back({p, lc.extra, extra, lc.sym, lc.nbits, (uint8_t)alpha, (uint8_t)sym, (uint8_t)nbits});
        p += it.len;
    }
    return unsendable;
}

// ---------------------------------------------------------------------------
// Table sets

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

// Start positions of the table sets after the first, chosen by merging
// while a merge costs less than set_price bits (what a new table set is
// guessed to cost on top of the one before it; the final choice counts the
// real transmission of a few such guesses).
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

// One way of writing the block, with its exact size in bits.
struct BlockPlan {
    unsigned D = 2;
    unsigned S = 0;  // 0: the fixed set
    std::vector<uint32_t> bounds;
    std::vector<uint8_t> rows;  // S rows of W lengths (one row for the fixed set)
    uint64_t bits = 0;
};

unsigned table_width(unsigned D) { return D == 3 ? LZ_TABLE_WIDTH_D3 : LZ_TABLE_WIDTH; }

uint64_t extra_bits(const std::vector<Token>& tokens)
{
    uint64_t bits = 0;
    for (const Token& t : tokens)
        bits += t.ll_bits + (t.alpha != NO_ALPHA ? t.d_bits : 0);
    return bits;
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

// The fixed table set, written out as the decoder's fill_default_lengths
// describes it, so the encoder does not depend on the decoder's copy.
std::vector<uint8_t> fixed_lengths(uint32_t extent)
{
    std::vector<uint8_t> row(LZ_TABLE_WIDTH, 0);
    for (int i = 0; i < 244; i++)
        row[i] = 8;
    for (int i = 244; i <= 260; i++)
        row[i] = 9;
    row[SYM_END_OF_SET] = 0;
    for (int i = 261; i <= 265; i++)
        row[i] = 10;
    for (int i = 266; i <= 287; i++)
        row[i] = 11;
    if (extent <= FIXED_SHORT_EXTENT) {
        for (int i = 0; i < 4; i++)
            row[288 + i] = 4;
        for (int i = 4; i < 28; i++)
            row[288 + i] = 5;
    } else {
        for (int i = 0; i < 22; i++)
            row[288 + i] = 5;
        for (int i = 22; i < 42; i++)
            row[288 + i] = 6;
    }
    row[330] = row[331] = 3;
    for (int i = 332; i < 344; i++)
        row[i] = 4;
    return row;
}

// The fixed set for D = 2 symbols, or bits = ~0 when a symbol has no code.
BlockPlan plan_fixed(const std::vector<Token>& tokens, uint32_t extent)
{
    BlockPlan plan;
    plan.D = 2;
    plan.S = 0;
    plan.rows = fixed_lengths(extent);
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

// ---------------------------------------------------------------------------
// Optimal parse (level 9): the cheapest path through the block, priced with
// the code lengths that a lazy parse of the same block yields. The recent
// distances along the path are carried in each node, so reused distances
// are priced as the decoder will see them.

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

void optimal_parse(const ParseContext& c, const std::vector<Marker>& markers, const Prices& prices,
                   std::vector<Item>& items)
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
            // Price of a match of length len at distance d from this node.
            auto try_match = [&](uint32_t len, uint32_t d) {
                unsigned alpha = len == 2 ? 1 : 0;
                unsigned sym, nbits = 0;
                uint32_t extra;
                uint32_t n0 = here.r0, n1 = here.r1;
                if (d == here.r0)
                    sym = 0;
                else if (d == here.r1) {
                    sym = 1;
                    std::swap(n0, n1);
                } else if (d <= 4)
                    sym = 1 + d;
                else {
                    explicit_distance(d, sym, nbits, extra);
                    if (sym >= alphabet_size[alpha])
                        return;
                    n1 = n0;
                    n0 = d;
                }
                relax(len, here.cost + length_price(len) + prices.distance[alpha][sym] + 16 * nbits, d, n0, n1);
            };
            auto try_lengths = [&](uint32_t from, uint32_t to, uint32_t d) {
                for (uint32_t len = from; len <= to && len <= ALL_LENGTHS_UP_TO; len++)
                    try_match(len, d);
                if (to > ALL_LENGTHS_UP_TO && to >= from)
                    try_match(to, d);
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
            mf.all_matches(p, limit, chain, nice, [&](uint32_t len, uint32_t d) {
                try_lengths(covered + 1, len, d);
                covered = len;
            });
            longest = std::max(longest, covered);
            if (covered < 3) {
                uint32_t q = mf.pair_before(p);
                if (q != NO_POS && q < p && p - q <= DIST1_MAX)
                    try_match(2, p - q);
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

LzBlockStats last_stats;
LzForce force;

}  // namespace

const LzBlockStats& last_lz_block_stats() { return last_stats; }
void set_lz_force(const LzForce& f) { force = f; }

std::vector<Marker> delta_transform(uint8_t* w, uint32_t history, uint32_t length)
{
    std::vector<Marker> markers;
    const uint32_t end = history + length;
    unsigned current = 0;
    for (uint32_t from = history; from < end; from += DELTA_WINDOW) {
        uint32_t to = std::min<uint32_t>(end, from + DELTA_WINDOW);
        // Differences need the stride's bytes in front of them.
        uint32_t start = std::max<uint32_t>(from, MAX_STRIDE);
        unsigned stride = 0;
        if (to > start + 64)
            stride = window_stride(w, start, to);
        if (stride != current) {
            if (markers.size() + 1 >= MAX_MARKERS) {
                if (current != 0)
                    markers.push_back({from, 0});
                break;
            }
            uint32_t pos = std::max<uint32_t>(from, stride);
            if (pos >= end)
                break;
            markers.push_back({pos, stride});
            current = stride;
        }
    }
    // Rewrite from the last region down and from the end of each region
    // down, so that every subtraction sees the original byte before it: the
    // decoder adds in the opposite order over the already restored bytes.
    for (size_t i = markers.size(); i-- > 0;) {
        uint32_t s = markers[i].stride;
        if (s == 0)
            continue;
        uint32_t region_end = i + 1 < markers.size() ? markers[i + 1].pos : end;
        for (uint32_t q = region_end; q-- > markers[i].pos;)
            w[q] = (uint8_t)(w[q] - w[q - s]);
    }
    return markers;
}

void encode_lz_block(BitWriter& out, uint8_t* window, uint32_t history, uint32_t length, bool last,
                     unsigned selector, const LzOptions& options)
{
    int level = std::min(9, std::max(1, options.level));
    LevelParams params = level_table[level];
    const uint32_t end = history + length;

    std::vector<Marker> markers;
    if (options.allow_delta && length > 0)
        markers = delta_transform(window, history, length);

    std::vector<Item> items;
    items.reserve(length / 3 + 16);
    {
        unsigned hash_bits = level <= 3 ? 16 : 18;
        MatchFinder mf(window, end, hash_bits);
        // The history goes into the chains first; matches may reach all of
        // it (up to the format's farthest distance).
        uint32_t first = history > LZ_MAX_DISTANCE ? history - LZ_MAX_DISTANCE : 0;
        for (uint32_t q = first; q < history; q++)
            mf.insert(q);
        ParseContext c{window, history, end, &mf, params, literal_price(window + history, length)};
        if (params.optimal) {
            // Prices come from a lazy parse of the same bytes with its own
            // match finder, so the chains above stay fresh.
            {
                MatchFinder first_mf(window, end, hash_bits);
                for (uint32_t q = history > LZ_MAX_DISTANCE ? history - LZ_MAX_DISTANCE : 0; q < history; q++)
                    first_mf.insert(q);
                ParseContext lazy_c{window, history, end, &first_mf, level_table[6], c.literal_price};
                lazy_parse(lazy_c, markers, items);
            }
            std::vector<Token> first_tokens;
            resolve(window, history, items, 2, first_tokens);
            BlockPlan first = plan_dynamic(first_tokens, 2, {});
            Prices prices;
            fill_prices(&first.rows[0], LZ_LITLEN_SYMBOLS, prices.length_symbol);
            for (int i = 0; i < 256; i++)
                prices.literal[i] = prices.length_symbol[i];
            fill_prices(&first.rows[alphabet_offset[0]], LZ_DIST0_SYMBOLS, prices.distance[0]);
            fill_prices(&first.rows[alphabet_offset[1]], LZ_DIST1_SYMBOLS, prices.distance[1]);
            items.clear();
            optimal_parse(c, markers, prices, items);
        } else {
            lazy_parse(c, markers, items);
        }
    }

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
    finish_block(out, start);

    last_stats = LzBlockStats();
    last_stats.distance_alphabets = best.D;
    last_stats.table_sets = best.S;
    last_stats.markers = (unsigned)markers.size();
    last_stats.unsendable_matches = best.D == 3 ? unsendable3 : unsendable2;
    for (const Token& t : tokens) {
        if (t.alpha == NO_ALPHA)
            continue;
        last_stats.matches++;
        last_stats.long_matches += t.ll == SYM_LONG_LENGTH;
        last_stats.recent_distances += t.dsym <= 1;
        last_stats.length2_matches += t.alpha == 1;
    }
}

}  // namespace packer
