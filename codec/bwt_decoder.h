// BWT blocks: Huffman-coded move-to-front symbols with bijective base-2
// runs, inverted by a counting sort and one backward pass.
#ifndef DRAVEX_CODEC_BWT_DECODER_H
#define DRAVEX_CODEC_BWT_DECODER_H

#include "platform/base.h"

enum {
    BWT_SYMBOLS = 258,
    SYM_RUN1 = 0,
    SYM_RUN2 = 1,
    SYM_ORIGIN = 257,
    BWT_GROUP_SIZE = 50,
    BWT_MAX_TABLES = 6,
};

ResultCode decode_bwt_block(u8* out, u32 n);

#endif
