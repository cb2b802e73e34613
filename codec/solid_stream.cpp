// The solid data stream and the decoder history.
//
// A data stream's blocks decode into one continuous byte sequence, and an LZ
// block may copy from the output of the blocks before it. The history buffer
// therefore holds, in front of the current block's output, the tail of what
// came before: as much as the next LZ block's window selector asks for, or,
// after a stored or BWT block, as much as a following LZ block could use.
// Member requests that go forward through a stream continue from the current
// block; only a request behind it starts the stream over.
//
// The buffer is allocated with one byte beyond its counted capacity: the BWT
// decoder writes a scratch byte right after its block, and the keep rule for
// stored and BWT blocks may place that block flush against the capacity. The
// extra byte gives it room without shrinking the history that is kept.
#include "codec/solid_stream.h"

#include "archive/stub_info.h"
#include "codec/bwt_decoder.h"
#include "codec/input_stream.h"
#include "codec/lz_decoder.h"
#include "platform/platform.h"

enum {
    HISTORY_SCRATCH = 1,  // the BWT decoder's byte after its block
    SELECTOR_ROW_BITS = 2,
    SELECTOR_ROWS = 3,    // row field 3 reads as row 2
    U32_MAX_VALUE = 0xFFFFFFFFu,
    I32_MAX_VALUE = 0x7FFFFFFF,
};

DecoderHistory decoder_history;
u32 block_fetch_count;

void history_reset(void)
{
    DecoderHistory* d = &decoder_history;
    d->history = 0;
    d->capacity = 0;
    d->kept = 0;
    d->block_start = 0;
    d->block_length = 0;
    d->last_block = 0;
    d->history_valid = 0;
    d->block_pending = 0;
    d->stream_file_offset = -1;
}

void history_release(void)
{
    if (decoder_history.history != 0)
        mem_free(decoder_history.history);
    // Without its buffer the stream state means nothing; the next request
    // must start its stream afresh.
    history_reset();
}

ResultCode stream_seek_member(u32 stream_offset, u32 member_offset)
{
    DecoderHistory* d = &decoder_history;

    // The offset comes from a directory entry; one that points beyond what a
    // file position can express cannot be sought.
    u32 f = (u32)stub_info.archive_start + stream_offset;
    if (f < stream_offset || f > (u32)I32_MAX_VALUE - 6)
        return ERR_SEEK;
    f += 6;

    if ((i32)f == d->stream_file_offset && member_offset >= d->block_start)
        return 0;

    d->kept = 0;
    d->block_length = 0;
    d->block_start = 0;
    d->last_block = 0;
    d->history_valid = 0;
    d->block_pending = 0;
    d->stream_file_offset = -1;  // stays "none" unless the seek succeeds
    if (d->history != 0)
        mem_free(d->history);
    d->history = 0;
    d->capacity = 0;
    input_stream.cursor = input_stream.buffer;
    input_stream.end_mark = input_stream.buffer;
    input_stream.block_remaining = 0;

    if (file_seek(own_file, (i32)f, SEEK_FROM_START) < 0)
        return ERR_SEEK;
    input_stream.file_position = (i32)f;
    d->stream_file_offset = (i32)f;
    return 0;
}

ResultCode ensure_history_capacity(u32 amount)
{
    DecoderHistory* d = &decoder_history;
    if (amount + d->block_length <= d->capacity)
        return 0;
    u32 capacity = amount + d->block_length + HISTORY_MARGIN;
    u8* grown = (u8*)mem_realloc(d->history, capacity + HISTORY_SCRATCH);
    if (grown == 0)
        return ERR_NO_MEMORY;  // the old buffer and capacity stay as they were
    d->history = grown;
    d->capacity = capacity;
    return 0;
}

// Drops all but the last w bytes of history, after turning the delta
// regions among them back into the form the next block's matches expect.
static void keep_history(u32 w)
{
    DecoderHistory* d = &decoder_history;
    delta_encode_tail(w);
    if (d->kept > w) {
        forward_copy(d->history, d->history + (d->kept - w), w);
        d->kept = w;
    }
}

ResultCode next_block(void)
{
    DecoderHistory* d = &decoder_history;
    block_fetch_count++;

    ResultCode r = stream_begin_block();
    if (r < 0)
        return r;

    // Decoded-stream positions are 32-bit, like the member offsets that
    // address them; a stream that runs past that range is damaged.
    if (d->block_length > U32_MAX_VALUE - d->block_start)
        return ERR_DAMAGED;
    d->kept += d->block_length;
    d->block_start += d->block_length;

    BlockHeader header;
    parse_block_header(input_stream.cursor, &header);
    if (header.method > METHOD_LZ_ALT)
        return ERR_DAMAGED;
    if (header.output_length > U32_MAX_VALUE - d->block_start)
        return ERR_DAMAGED;
    d->last_block = (u8)header.last;
    d->block_length = header.output_length;
    input_stream.cursor += BLOCK_HEADER_BITS / 8;
    input_stream.bit_position = BLOCK_HEADER_BITS % 8;

    if (d->history == 0) {
        d->history = (u8*)mem_alloc(d->block_length + HISTORY_MARGIN + HISTORY_SCRATCH);
        if (d->history == 0)
            return ERR_NO_MEMORY;
        d->capacity = d->block_length + HISTORY_MARGIN;
        d->kept = 0;  // a fresh buffer holds nothing to keep
    }

    if (header.method == METHOD_LZ || header.method == METHOD_LZ_ALT) {
        if (d->history_valid) {
            u32 selector = load_le32(input_stream.cursor) >> input_stream.bit_position;
            u32 row = selector & ((1u << SELECTOR_ROW_BITS) - 1);
            u32 column = (selector >> SELECTOR_ROW_BITS) & 7;
            if (row >= SELECTOR_ROWS)
                row = SELECTOR_ROWS - 1;
            keep_history(stub_info.window_sizes[row][column]);
        } else {
            // The first block of a stream has nothing before it; its
            // selector bits are present but mean nothing.
            d->kept = 0;
        }
        r = ensure_history_capacity(d->kept);
        if (r < 0)
            return r;
        u32 bits = input_stream.bit_position + LZ_SELECTOR_BITS;
        input_stream.cursor += bits >> 3;
        input_stream.bit_position = bits & 7;

        i32 produced = decode_lz_block(d->history, d->kept, d->block_length, 1);
        if (produced < 0)
            return produced;
        if ((u32)produced < d->block_length) {
            d->block_length = (u32)produced;
            d->last_block = 1;
        }
    } else {
        r = ensure_history_capacity(0);
        if (r < 0)
            return r;
        if (d->last_block) {
            d->kept = 0;
        } else {
            // Only a following LZ block can use history; it never needs
            // more than the largest window together with this block.
            u32 w = 0;
            if (d->block_length < MAX_KEPT_HISTORY)
                w = MAX_KEPT_HISTORY - d->block_length;
            if (w > d->capacity - d->block_length)
                w = d->capacity - d->block_length;
            keep_history(w);
        }
        // This block has no delta regions; the next block must not
        // re-encode the last LZ block's regions over these bytes.
        region_count = 0;

        if (header.method == METHOD_BWT) {
            r = decode_bwt_block(d->history + d->kept, d->block_length);
            if (r < 0)
                return r;
        } else {
            i32 copied = stream_read_stored(d->history + d->kept, d->block_length);
            if (copied < 0)
                return copied;
            if ((u32)copied < d->block_length) {
                d->block_length = (u32)copied;
                d->last_block = 1;
            }
        }
    }

    input_stream.resume_position = input_stream.file_position;
    d->block_pending = 0;
    d->history_valid = 1;
    return 0;
}
