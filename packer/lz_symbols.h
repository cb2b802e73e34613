// From a parse to the symbols of an LZ block: the length and distance codes
// of every match (the inverse of the decoder's rules in codec/lz_codes.h),
// under the rules of a distance alphabet count D.
#ifndef DRAVEX_PACKER_LZ_SYMBOLS_H
#define DRAVEX_PACKER_LZ_SYMBOLS_H

#include <cstdint>
#include <vector>

#include "codec/lz_codes.h"
#include "codec/lz_decoder.h"

namespace packer {
namespace lz {

enum : uint32_t {
    MIN_MATCH = 2,
    SHORT_LENGTH_MAX = FIRST_EXTRA_LENGTH_SYMBOL - FIRST_MATCH_SYMBOL + 1,  // 10: no extra bits
    LONG_LENGTH_FIRST = length_base(SYM_LONG_LENGTH - FIRST_EXTRA_LENGTH_SYMBOL),  // 259
};

// The farthest distance an alphabet of n symbols reaches.
constexpr uint32_t farthest_distance(unsigned n) { return distance_base(n - 1) + (1u << distance_extra(n - 1)) - 1; }

const uint32_t DIST1_MAX = farthest_distance(LZ_DIST1_SYMBOLS);  // 64
const uint32_t DIST2_MAX = farthest_distance(LZ_DIST2_SYMBOLS);  // 8192
static_assert(DIST1_MAX == 64 && DIST2_MAX == 8192, "alphabets 1 and 2 reach 64 and 8192");

// One step of a parse, in position order: len 0 is a literal, len 1 a delta
// marker (dist holds the stride), len >= 2 a match.
struct Item {
    uint32_t len;
    uint32_t dist;
};

// A symbol with its extra bits, as written.
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

// Index i of symbol FIRST_EXTRA_LENGTH_SYMBOL + i for the lengths 11..258,
// from the decoder's bases.
struct LengthIndex {
    uint8_t of[LONG_LENGTH_FIRST];
    constexpr LengthIndex() : of()
    {
        for (uint32_t i = 0; i < SYM_LONG_LENGTH - FIRST_EXTRA_LENGTH_SYMBOL; i++)
            for (uint32_t len = length_base(i); len < length_base(i + 1); len++)
                of[len] = (uint8_t)i;
    }
};
inline constexpr LengthIndex length_index{};

struct LengthCode {
    uint16_t sym;
    uint8_t nbits;
    uint32_t extra;
};

inline LengthCode length_code(uint32_t len)
{
    if (len <= SHORT_LENGTH_MAX)
        return {(uint16_t)(FIRST_MATCH_SYMBOL - MIN_MATCH + len), 0, 0};
    if (len < LONG_LENGTH_FIRST) {
        unsigned i = length_index.of[len];
        return {(uint16_t)(FIRST_EXTRA_LENGTH_SYMBOL + i), (uint8_t)length_shift(i), len - length_base(i)};
    }
    return {SYM_LONG_LENGTH, MAX_LENGTH_EXTRA_BITS, len - LONG_LENGTH_FIRST};
}

inline unsigned floor_log2(uint32_t x) { return 31 - __builtin_clz(x); }

// Symbol 6..41 for an explicit distance of 5 or more, with its extra bits:
// the symbol is two per power of two, the odd one for the upper half.
inline void explicit_distance(uint32_t d, unsigned& sym, unsigned& nbits, uint32_t& extra)
{
    uint32_t x = d - 1;
    unsigned hb = floor_log2(x);
    sym = 2 + 2 * hb + ((x >> (hb - 1)) & 1);
    nbits = distance_extra(sym);
    extra = d - distance_base(sym);
}

// Turns items into tokens under D distance alphabets (2 or 3): with D = 3 a
// length-3 match must reach its distance through alphabet 2 or a recent
// distance, and a length-2 match always goes through alphabet 1; matches
// that cannot be sent that way become literals. The recent distances are
// tracked exactly as the decoder tracks them. Returns the number of parsed
// matches that had to become literals.
uint32_t resolve(const uint8_t* w, uint32_t history, const std::vector<Item>& items, unsigned D,
                 std::vector<Token>& tokens);

}  // namespace lz
}  // namespace packer

#endif
