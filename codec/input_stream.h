// Compressed input: one 61,440-byte buffer over the archive file, the
// LSB-first bit order, and the 45-bit block header.
#ifndef DRAVEX_CODEC_INPUT_STREAM_H
#define DRAVEX_CODEC_INPUT_STREAM_H

#include "platform/base.h"

enum {
    INPUT_BUFFER_SIZE = 61440,
    INPUT_FILL_MAX = 61424,
    INPUT_HELD_BACK = 8,
    BLOCK_HEADER_BITS = 45,
    LZ_SELECTOR_BITS = 5,
    METHOD_STORED = 0,
    METHOD_LZ = 1,
    METHOD_BWT = 2,
    METHOD_LZ_ALT = 3,
    MAX_BLOCK_OUTPUT = 1048575,
};

struct InputStream {
    u8* buffer;            // INPUT_BUFFER_SIZE bytes, owned by the driver
    const u8* cursor;      // byte holding the next unread bit
    u32 bit_position;      // 0..7
    const u8* end_mark;    // refill when the cursor reaches it
    u32 block_remaining;   // bytes of the current block not yet read from the file
    i32 file_position;     // mirror of the own file's position
    i32 resume_position;   // where the next block header is read
};

struct BlockHeader {
    u32 method;
    u32 last;
    u32 output_length;
    u32 stored_length;
};

// Reads the 45 header bits from the 8 bytes at p.
void parse_block_header(const u8* p, BlockHeader* out);

struct Decoder;

i32 read_counted(Decoder* d, void* buffer, u32 count);
void forward_copy(u8* target, const u8* source, u32 count);
ResultCode stream_begin_block(Decoder* d);
ResultCode stream_refill(Decoder* d);
i32 stream_read_stored(Decoder* d, u8* target, u32 count);
i32 stream_load_once(Decoder* d, u32 count);

#endif
