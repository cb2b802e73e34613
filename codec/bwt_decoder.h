// BWT blocks: Huffman-coded move-to-front symbols with bijective base-2
// runs, inverted by a counting sort and one backward pass.
#ifndef DRAVEX_CODEC_BWT_DECODER_H
#define DRAVEX_CODEC_BWT_DECODER_H

#include "codec/huffman.h"
#include "platform/base.h"

enum {
    BWT_SYMBOLS = 258,
    SYM_RUN1 = 0,
    SYM_RUN2 = 1,
    SYM_ORIGIN = 257,
    BWT_GROUP_SIZE = 50,
    BWT_MAX_TABLES = 6,
};

enum { BWT_LOOKUP_BITS = 9 };

// One of a block's Huffman tables: its code lengths and decoding table.
struct BwtTable {
    i32 decode[decode_table_slots(BWT_LOOKUP_BITS, BWT_SYMBOLS)];
    u8 lengths[BWT_SYMBOLS];
};

// The working tables of one block, about 28 KB, part of the Decoder.
struct BwtWork {
    BwtTable tables[BWT_MAX_TABLES];
    u32 codes[BWT_SYMBOLS];
    u32 counts[256];  // occurrences per byte, then the start array X
    u8 byte_list[256];
    u8 table_list[16];  // BWT_MAX_TABLES used; the host's move to front takes 16 at a time
};

struct Decoder;

ResultCode decode_bwt_block(Decoder* d, u8* out, u32 n);

#endif
