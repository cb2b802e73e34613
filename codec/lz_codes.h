// The codes of LZ match lengths and distances: which symbol stands for which
// length or distance, and how many extra bits follow it. The decoder
// computes bases and extra bits from these rules; the archiver inverts them.
// The fixed table set is fill_default_lengths (codec/huffman.h).
#ifndef DRAVEX_CODEC_LZ_CODES_H
#define DRAVEX_CODEC_LZ_CODES_H

#include "codec/lz_decoder.h"
#include "platform/base.h"

enum {
    FIRST_MATCH_SYMBOL = 257,          // length 2; symbols 257..265 are lengths 2..10
    FIRST_EXTRA_LENGTH_SYMBOL = 266,
    FIRST_EXTRA_DISTANCE_SYMBOL = 6,   // 0, 1 the recent distances; 2..5 distances 1..4
    MAX_LENGTH_EXTRA_BITS = 15,        // SYM_LONG_LENGTH
    MAX_DISTANCE_EXTRA_BITS = 18,      // distance symbols 40 and 41
};

// The extra bits and bases follow simple rules, so they are computed rather
// than looked up: two tables would cost the stub some 300 bytes, the
// arithmetic a few instructions.
//
// Match symbol 266 + i (i < 20) has 1 + i / 4 extra bits, and its base grows
// by 2^(extra bits of the symbol before): 11, 13, 15, 17, 19, 23, ... 227.
// SYM_LONG_LENGTH (i = 20) continues the bases (259) with
// MAX_LENGTH_EXTRA_BITS extra bits.
static constexpr u32 length_shift(u32 i) { return 1 + (i >> 2); }
static constexpr u32 length_base(u32 i) { return 3 + ((4 + (i & 3)) << length_shift(i)); }
// Distance symbol s >= 6 has 1 + (s - 6) / 2 extra bits (18 for 40 and 41),
// and its base grows by 2^(extra bits of the symbol before): 5, 7, 9, 13,
// ... 786433.
static constexpr u32 distance_extra(u32 s) { return (s - 4) >> 1; }
static constexpr u32 distance_base(u32 s) { return 1 + ((2 + (s & 1)) << distance_extra(s)); }

DRAVEX_STATIC_ASSERT(length_base(0) == 11 && length_base(4) == 19 && length_base(19) == 227 &&
                         length_base(SYM_LONG_LENGTH - FIRST_EXTRA_LENGTH_SYMBOL) == 259 &&
                         length_shift(19) == 5,
                     "length bases 11..227 and 259");
DRAVEX_STATIC_ASSERT(distance_base(FIRST_EXTRA_DISTANCE_SYMBOL) == 5 && distance_base(9) == 13 &&
                         distance_base(LZ_DIST0_SYMBOLS - 1) == 786433 &&
                         distance_extra(FIRST_EXTRA_DISTANCE_SYMBOL) == 1 &&
                         distance_extra(LZ_DIST0_SYMBOLS - 1) == MAX_DISTANCE_EXTRA_BITS,
                     "distance bases 5..786433 with 1..18 extra bits");

#endif
