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
// must not depend on where the stream's blocks cut it, so an opcode whose
// operand is not complete at the end of a piece is held back in a small
// carry buffer and finished with the first bytes of the next piece. The
// passes only ever read operands inside the range they were given plus the
// bytes the caller promises behind it: the piece itself for the main pass
// (it stops w bytes short of the piece's end) and the filled carry buffer
// for the carry pass. Nothing is read behind a piece, so a member that ends
// at the very end of the decoded block reads nothing past its block.
#include "codec/member_output.h"

#include "codec/crc32.h"
#include "codec/decoder.h"

enum {
    CALL_OPCODE = 0xE8,
    LOCAL_NAME_LENGTH_OFFSET = 4,
    // Input bytes per batch: an opcode at a batch's last byte brings its
    // operand along, so a batch stages at most L + width = 16,383 bytes.
    FILTER16_BATCH = 16381,
    FILTER32_BATCH = 16379,
};

DRAVEX_STATIC_ASSERT(FILTER16_BATCH + 2 <= FILTER_STAGING_SIZE, "16-bit batch must fit the staging buffer");
DRAVEX_STATIC_ASSERT(FILTER32_BATCH + 4 <= FILTER_STAGING_SIZE, "32-bit batch must fit the staging buffer");

static DRAVEX_INLINE u32 crc_byte(u32 crc, u8 b)
{
    return crc32_table[(crc ^ b) & 0xFF] ^ (crc >> 8);
}

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

// ---------------------------------------------------------------------------
// Filter passes
// ---------------------------------------------------------------------------

// One pass over data[0..count-1] whose first byte is at member position
// `position`. An opcode among the range's bytes takes its operand from the
// width bytes behind it, which may lie past data + count. Returns how far
// the last operand reached past the range (negative count: -count, so that
// data + count + result is where the unconsumed bytes begin).
#ifdef DRAVEX_STUB_BUILD
// The stub keeps one copy for both widths rather than one specialised for each.
#define FILTER_PASS_INLINE DRAVEX_NOINLINE
#else
#define FILTER_PASS_INLINE DRAVEX_INLINE
#endif
static FILTER_PASS_INLINE i32 filter_pass(Decoder* d, FileHandle file, const u8* data, i32 count, u32 position, u32 member_size,
                                          u32 width)
{
    if (count <= 0)
        return -count;

    const i32 batch_limit = width == 2 ? FILTER16_BATCH : FILTER32_BATCH;
    u8* stage = d->filter_staging;
    u32 crc = d->running_crc;
    i32 i = 0;
    while (i < count) {
        const i32 batch_end = count - i > batch_limit ? i + batch_limit : count;
        u32 s = 0;
        while (i < batch_end) {
            u8 b = data[i++];
            stage[s++] = b;
            crc = crc_byte(crc, b);
            if (b != CALL_OPCODE)
                continue;
            u32 q = position + (u32)i;  // member position of the operand
            if (width == 2) {
                u32 v = (u32)(load_le16(data + i) - q) & 0xFFFF;
                store_le16(stage + s, (u16)v);
            } else {
                // v is signed: 0 <= v < size is a target inside the
                // member, -q <= v <= -1 one before it; the archiver mapped
                // the latter to the operand values above (size - 1 - q).
                u32 v = load_le32(data + i);
                if (!(v & 0x80000000u)) {
                    if (v < member_size)
                        v -= q;
                } else if (0u - v <= q) {
                    v = (member_size - 1 - q) - v;
                }
                store_le32(stage + s, v);
            }
            for (u32 j = 0; j < width; j++)
                crc = crc_byte(crc, stage[s + j]);
            s += width;
            i += (i32)width;
        }
        if (*d->cancel_flag)
            return ERR_CANCELLED;
        if (file_write(file, stage, s) != (i32)s)
            return ERR_WRITE;
        d->running_crc = crc;
    }
    return i - count;
}

i32 filter_calls16(Decoder* d, FileHandle file, const u8* data, i32 count, u32 position)
{
    return filter_pass(d, file, data, count, position, 0, 2);
}

i32 filter_calls32(Decoder* d, FileHandle file, const u8* data, i32 count, u32 position, u32 member_size)
{
    return filter_pass(d, file, data, count, position, member_size, 4);
}

static i32 run_filter(Decoder* d, FileHandle file, const u8* data, i32 count, u32 position, u32 member_size)
{
    if (d->filter_width == 2)
        return filter_calls16(d, file, data, count, position);
    return filter_calls32(d, file, data, count, position, member_size);
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

ResultCode filter_piece(Decoder* d, FileHandle file, const u8* data, i32 count, u32 position, u32 member_size, int final)
{
    const i32 w = (i32)d->filter_width;

    u8* carry = d->carry;
    if (d->carry_count > 0) {
        const u32 held = d->carry_count;
        const i32 room = (i32)(FILTER_CARRY_SIZE - held);
        if (room > count) {
            // Too few new bytes to finish the held opcode for sure: carry
            // them along and treat the carry as the piece.
            forward_copy(carry + held, data, (u32)count);
            data = carry;
            count += (i32)held;
            position -= held;
        } else {
            // The carry starts with an opcode whose operand ends in the
            // appended bytes; the pass converts it and says how many of
            // the new bytes it took.
            forward_copy(carry + held, data, (u32)room);
            i32 e = run_filter(d, file, carry, (i32)held, position - held, member_size);
            if (e < 0)
                return e;
            data += e;
            count -= e;
            position += (u32)e;
        }
        d->carry_count = 0;
    }

    // The main pass stops w bytes short of the end, so every operand it
    // reads lies inside the piece.
    const i32 body = count - w;
    i32 e = run_filter(d, file, data, body, position, member_size);
    if (e < 0)
        return e;
    i32 t = body + e;  // first byte of the tail, 0 when body <= 0

    if (final)
        return write_plain(d, file, data + t, (u32)(count - t));

    // Bytes up to the first opcode of the tail are final; from that opcode
    // on they wait for the next piece (at most w bytes).
    i32 j = t;
    while (j < count && data[j] != CALL_OPCODE)
        j++;
    ResultCode r = write_plain(d, file, data + t, (u32)(j - t));
    if (r < 0)
        return r;
    forward_copy(carry, data + j, (u32)(count - j));
    d->carry_count = (u32)(count - j);
    return 0;
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
    u32 name_length = 0;
    u32 name_count = 0;
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
            if (header_count < LOCAL_HEADER_SIZE) {
                u32 n = LOCAL_HEADER_SIZE - header_count;
                if (n > avail)
                    n = avail;
                for (u32 i = 0; i < n; i++)
                    header[header_count + i] = src[i];
                header_count += n;
                p += n;
                if (header_count == LOCAL_HEADER_SIZE)
                    name_length = load_le16(header + LOCAL_NAME_LENGTH_OFFSET);
                continue;
            }
            if (name_count < name_length) {
                u32 n = name_length - name_count;
                if (n > avail)
                    n = avail;
                name_count += n;
                p += n;
                continue;
            }
            u32 n = avail < remaining ? avail : remaining;
            if (d->filter_width == 0) {
                r = write_plain(d, file, src, n);
            } else {
                r = filter_piece(d, file, src, (i32)n, m, member_size, n == remaining);
                m += n;
            }
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
