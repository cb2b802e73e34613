// Member output: from the decoded stream to the member's file.
//
// A member's record sits at its member offset in the decoded stream: an
// 11-byte local header, the name, then the member's bytes. The walk passes
// over everything in front of the bytes, then writes them block piece by
// block piece, either straight from the history buffer or through the call
// filter, keeping the CRC-32 of what reaches the file.
//
// The call filters undo what the archiver did to x86 CALL instructions
// (0xE8 followed by a 16- or 32-bit operand): it stored absolute targets,
// which repeat far more often than relative ones. The output of a member
// must not depend on where the stream's blocks cut it, so the filter takes
// the bytes one at a time: after an opcode it gathers the operand in a small
// carry buffer, which keeps it from one piece to the next, and puts it out
// converted once it is whole. Nothing is read behind a piece, so a member
// that ends at the very end of the decoded block reads nothing past its
// block. The output is staged and written in batches of up to 16 KB.
#include "codec/member_output.h"

#include "codec/crc32.h"
#include "codec/decoder.h"

enum {
    CALL_OPCODE = 0xE8,
    LOCAL_NAME_LENGTH_OFFSET = 4,
    // The staged bytes are written once fewer than an operand's worth of
    // room is left.
    STAGE_FULL = FILTER_STAGING_SIZE - 4,
};

void filter_begin(Decoder* d, u32 entry_flags)
{
    if (entry_flags & ENTRY_FILTER16)
        d->filter_width = 2;
    else if (entry_flags & ENTRY_FILTER32)
        d->filter_width = 4;
    else
        d->filter_width = 0;
    d->carry_count = 0;
}

static ResultCode write_plain(Decoder* d, FileHandle file, const u8* data, u32 count)
{
    if (count == 0)
        return 0;
    d->running_crc = crc32_update(data, count, d->running_crc);
    if (file_write(file, data, count) != (i32)count)
        return ERR_WRITE;
    return 0;
}

// Writes the first count staged bytes, unless the run has been cancelled.
static ResultCode write_stage(Decoder* d, FileHandle file, u32 count)
{
    if (*d->cancel_flag)
        return ERR_CANCELLED;
    return write_plain(d, file, d->filter_staging, count);
}

// The operand gathered in the carry, converted, at `to`. q is the member
// position of its first byte.
static void convert_operand(const Decoder* d, u8* to, u32 q, u32 member_size)
{
    if (d->filter_width == 2) {
        store_le16(to, (u16)(load_le16(d->carry) - q));
        return;
    }
    // v is signed: 0 <= v < size is a target inside the member, -q <= v <=
    // -1 one before it; the archiver mapped the latter to the operand values
    // above (size - 1 - q).
    u32 v = load_le32(d->carry);
    if (!(v & 0x80000000u)) {
        if (v < member_size)
            v -= q;
    } else if (0u - v <= q) {
        v = (member_size - 1 - q) - v;
    }
    store_le32(to, v);
}

ResultCode filter_piece(Decoder* d, FileHandle file, const u8* data, i32 count, u32 position, u32 member_size, int final)
{
    const u32 w = d->filter_width;
    if (w == 0)
        return write_plain(d, file, data, (u32)count);  // no filter: the bytes as they are
    u8* stage = d->filter_staging;
    u32 held = d->carry_count;
    u32 s = 0;
    for (i32 i = 0; i < count; i++) {
        u8 b = data[i];
        if (held == 0) {
            stage[s++] = b;
            if (b == CALL_OPCODE)
                held = 1;
        } else {
            d->carry[held++ - 1] = b;
            if (held > w) {
                convert_operand(d, stage + s, position + (u32)i + 1 - w, member_size);
                s += w;
                held = 0;
            }
        }
        if (s >= STAGE_FULL) {
            ResultCode r = write_stage(d, file, s);
            if (r < 0)
                return r;
            s = 0;
        }
    }
    // An operand the member's end cuts short stays as it is.
    if (final) {
        for (u32 j = 1; j < held; j++)
            stage[s++] = d->carry[j - 1];
        held = 0;
    }
    d->carry_count = held;
    return write_stage(d, file, s);
}

// ---------------------------------------------------------------------------
// The member walk
// ---------------------------------------------------------------------------

ResultCode output_member(Decoder* d, FileHandle file, u32 stream_offset, u32 member_offset, u32 member_size,
                         u32 entry_flags)
{
    DecoderHistory* h = &d->stream;

    d->running_crc = 0xFFFFFFFFu;
    if (member_size == 0) {
        d->running_crc = ~d->running_crc;
        return 0;
    }

    h->last_block = 0;
    filter_begin(d, entry_flags);
    u8 header[LOCAL_HEADER_SIZE];
    u32 header_count = 0;
    u32 before = LOCAL_HEADER_SIZE;  // bytes still in front of the data: the header, then the name
    u32 p = member_offset;  // decoded-stream position
    u32 remaining = member_size;
    u32 m = 0;              // member position of the next piece

    ResultCode r = stream_seek_member(d, stream_offset, member_offset);
    if (r < 0)
        return r;

    for (;;) {
        if (h->block_pending)
            return ERR_DAMAGED;

        // p never lies before the current block: the seek keeps the block
        // only when the member starts at or after it, and blocks are taken
        // in only once p has passed their predecessor.
        const u32 block_end = h->block_start + h->block_length;
        if (p < block_end) {
            const u8* src = h->history + h->kept + (p - h->block_start);
            const u32 avail = block_end - p;
            if (before > 0) {
                u32 n = before < avail ? before : avail;
                // The header is kept as it passes; once whole, its name
                // length joins the bytes to pass.
                for (u32 i = 0; i < n && header_count < LOCAL_HEADER_SIZE; i++) {
                    header[header_count++] = src[i];
                    if (header_count == LOCAL_HEADER_SIZE)
                        before += load_le16(header + LOCAL_NAME_LENGTH_OFFSET);
                }
                before -= n;
                p += n;
                continue;
            }
            u32 n = avail < remaining ? avail : remaining;
            r = filter_piece(d, file, src, (i32)n, m, member_size, n == remaining);
            m += n;
            if (r < 0)
                return r;
            remaining -= n;
            p += n;
        }

        if (remaining == 0)
            break;
        if (*d->cancel_flag)
            return ERR_CANCELLED;
        if (h->block_pending)
            return ERR_DAMAGED;
        h->block_pending = 1;
        if (h->last_block)
            break;  // the stream ended early: a short file, caught by its CRC-32
        r = next_block(d);
        if (r < 0)
            return r;
    }

    d->running_crc = ~d->running_crc;
    return 0;
}
