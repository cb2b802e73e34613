// LZ blocks: literals, matches (lengths 2..33026, distances up to 1 MiB over
// up to three distance alphabets), two recent distances, switchable table
// sets and delta regions.
#ifndef DRAVEX_CODEC_LZ_DECODER_H
#define DRAVEX_CODEC_LZ_DECODER_H

#include "platform/base.h"

enum {
    LZ_LITLEN_SYMBOLS = 288,
    LZ_DIST0_SYMBOLS = 42,
    LZ_DIST1_SYMBOLS = 14,
    LZ_DIST2_SYMBOLS = 28,
    LZ_TABLE_WIDTH = 344,      // D = 1 or 2
    LZ_TABLE_WIDTH_D3 = 372,   // D = 3
    LZ_MAX_TABLE_SETS = 63,
    SYM_END_OF_SET = 256,
    SYM_LONG_LENGTH = 286,
    SYM_DELTA_MARK = 287,
    LZ_MAX_MATCH = 33026,
    LZ_MAX_DISTANCE = 1048576,
    REGION_TABLE_SIZE = 1024,
};

struct Decoder;

i32 decode_lz_block(Decoder* d, u8* buffer, u32 H, u32 N, int apply_regions);
void delta_decode_regions(u8* buffer, u32 end, const u32* regions, u32 count);
// Re-encodes the delta regions over the last `keep` bytes of d's history.
void delta_encode_tail(Decoder* d, u32 keep);

#endif
