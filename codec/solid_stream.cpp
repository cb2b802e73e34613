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

#include "codec/decoder.h"

enum {
    HISTORY_SCRATCH = 1,  // the BWT decoder's byte after its block
    SELECTOR_ROW_BITS = 2,
    SELECTOR_ROWS = 3,    // row field 3 reads as row 2
    U32_MAX_VALUE = 0xFFFFFFFFu,
    I32_MAX_VALUE = 0x7FFFFFFF,
};

void history_reset(Decoder* d)
{
    d->stream = DecoderHistory();
}

void history_release(Decoder* d)
{
    if (d->stream.history != 0)
        mem_free(d->stream.history);
    // Without its buffer the stream state means nothing; the next request
    // must start its stream afresh.
    history_reset(d);
}

ResultCode stream_seek_member(Decoder* d, u32 stream_offset, u32 member_offset)
{
    DecoderHistory* h = &d->stream;

    // The offset comes from a directory entry; one that points beyond what a
    // file position can express cannot be sought.
    u32 f = (u32)d->archive_start + stream_offset;
    if (f < stream_offset || f > (u32)I32_MAX_VALUE - 6)
        return ERR_SEEK;
    f += 6;

    if ((i32)f == h->stream_file_offset && member_offset >= h->block_start)
        return 0;

    history_release(d);  // the offset stays "none" unless the seek succeeds
    d->input.cursor = d->input.buffer;
    d->input.end_mark = d->input.buffer;
    d->input.block_remaining = 0;

    if (file_seek(d->file, (i32)f, SEEK_FROM_START) < 0)
        return ERR_SEEK;
    d->input.file_position = (i32)f;
    h->stream_file_offset = (i32)f;
    return 0;
}

ResultCode ensure_history_capacity(Decoder* d, u32 amount)
{
    DecoderHistory* h = &d->stream;
    if (amount + h->block_length <= h->capacity)
        return 0;
    u32 capacity = amount + h->block_length + HISTORY_MARGIN;
    u8* grown = (u8*)mem_realloc(h->history, capacity + HISTORY_SCRATCH);
    if (grown == 0)
        return ERR_NO_MEMORY;  // the old buffer and capacity stay as they were
    h->history = grown;
    h->capacity = capacity;
    return 0;
}

// Drops all but the last w bytes of history, after turning the delta
// regions among them back into the form the next block's matches expect.
static void keep_history(Decoder* d, u32 w)
{
    DecoderHistory* h = &d->stream;
    delta_encode_tail(d, w);
    if (h->kept > w) {
        forward_copy(h->history, h->history + (h->kept - w), w);
        h->kept = w;
    }
}

ResultCode next_block(Decoder* d)
{
    DecoderHistory* h = &d->stream;
    d->block_fetch_count++;

    ResultCode r = stream_begin_block(d);
    if (r < 0)
        return r;

    // Decoded-stream positions are 32-bit, like the member offsets that
    // address them; a stream that runs past that range is damaged.
    if (h->block_length > U32_MAX_VALUE - h->block_start)
        return ERR_DAMAGED;
    h->kept += h->block_length;
    h->block_start += h->block_length;

    BlockHeader header;
    parse_block_header(d->input.cursor, &header);
    if (header.method > METHOD_LZ_ALT)
        return ERR_DAMAGED;
    if (header.output_length > U32_MAX_VALUE - h->block_start)
        return ERR_DAMAGED;
    h->last_block = (u8)header.last;
    h->block_length = header.output_length;
    d->input.cursor += BLOCK_HEADER_BITS / 8;
    d->input.bit_position = BLOCK_HEADER_BITS % 8;

    if (h->history == 0) {
        h->history = (u8*)mem_alloc(h->block_length + HISTORY_MARGIN + HISTORY_SCRATCH);
        if (h->history == 0)
            return ERR_NO_MEMORY;
        h->capacity = h->block_length + HISTORY_MARGIN;
        h->kept = 0;  // a fresh buffer holds nothing to keep
    }

    if (header.method == METHOD_LZ || header.method == METHOD_LZ_ALT) {
        if (h->history_valid) {
            u32 selector = load_le32(d->input.cursor) >> d->input.bit_position;
            u32 row = selector & ((1u << SELECTOR_ROW_BITS) - 1);
            u32 column = (selector >> SELECTOR_ROW_BITS) & 7;
            if (row >= SELECTOR_ROWS)
                row = SELECTOR_ROWS - 1;
            keep_history(d, d->window_sizes[row][column]);
        } else {
            // The first block of a stream has nothing before it; its
            // selector bits are present but mean nothing.
            h->kept = 0;
        }
        r = ensure_history_capacity(d, h->kept);
        if (r < 0)
            return r;
        u32 bits = d->input.bit_position + LZ_SELECTOR_BITS;
        d->input.cursor += bits >> 3;
        d->input.bit_position = bits & 7;

        i32 produced = decode_lz_block(d, h->history, h->kept, h->block_length, 1);
        if (produced < 0)
            return produced;
        if ((u32)produced < h->block_length) {
            h->block_length = (u32)produced;
            h->last_block = 1;
        }
    } else {
        r = ensure_history_capacity(d, 0);
        if (r < 0)
            return r;
        if (h->last_block) {
            h->kept = 0;
        } else {
            // Only a following LZ block can use history; it never needs
            // more than the largest window together with this block.
            u32 w = 0;
            if (h->block_length < MAX_KEPT_HISTORY)
                w = MAX_KEPT_HISTORY - h->block_length;
            if (w > h->capacity - h->block_length)
                w = h->capacity - h->block_length;
            keep_history(d, w);
        }
        // This block has no delta regions; the next block must not
        // re-encode the last LZ block's regions over these bytes.
        d->region_count = 0;

        if (header.method == METHOD_BWT) {
            r = decode_bwt_block(d, h->history + h->kept, h->block_length);
            if (r < 0)
                return r;
        } else {
            i32 copied = stream_read_stored(d, h->history + h->kept, h->block_length);
            if (copied < 0)
                return copied;
            if ((u32)copied < h->block_length) {
                h->block_length = (u32)copied;
                h->last_block = 1;
            }
        }
    }

    d->input.resume_position = d->input.file_position;
    h->block_pending = 0;
    h->history_valid = 1;
    return 0;
}
