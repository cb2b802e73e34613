// The fixed tables of the format that the decoder reads and the archiver
// writes against: the sizes and places of the distance alphabets within a
// table set, and the window sizes of the LZ selector.
//
// Each table is written out once, in the initialiser lists below. codec's own
// copies (format_tables.cpp) serve the host; the stub's copies live in its
// StubInfo record, where the stub format puts them, and are initialised from
// the same lists.
#ifndef DRAVEX_CODEC_FORMAT_TABLES_H
#define DRAVEX_CODEC_FORMAT_TABLES_H

#include "codec/lz_decoder.h"
#include "platform/base.h"

enum { LZ_WINDOW_ROWS = 3, LZ_WINDOW_COLUMNS = 8, LZ_DISTANCE_TABLE_SIZE = 4 };

// Alphabets 0, 1, 2 and an unused fourth entry.
#define DRAVEX_DISTANCE_SIZES_INIT {LZ_DIST0_SYMBOLS, LZ_DIST1_SYMBOLS, LZ_DIST2_SYMBOLS, 0}
#define DRAVEX_DISTANCE_OFFSETS_INIT \
    {LZ_LITLEN_SYMBOLS, LZ_LITLEN_SYMBOLS + LZ_DIST0_SYMBOLS, LZ_TABLE_WIDTH, 0}
// [row][column] of the selector; a row field of 3 reads as row 2.
#define DRAVEX_WINDOW_SIZES_INIT                                                  \
    {                                                                             \
        {32768, 65536, 73728, 98304, 122880, 147456, 172032, 196608},             \
        {32768, 65536, 73728, 98304, 122880, 147456, 172032, 196608},             \
        {32768, 131072, 196608, 262144, 327680, 393216, 458752, 524288},          \
    }

extern const u8 lz_distance_sizes[LZ_DISTANCE_TABLE_SIZE];
extern const u16 lz_distance_offsets[LZ_DISTANCE_TABLE_SIZE];
extern const u32 lz_window_sizes[LZ_WINDOW_ROWS][LZ_WINDOW_COLUMNS];

#endif
