// Compressed input: the one 61,440-byte buffer over the archive file.
//
// Layout of the buffer while a block is being read:
//
//   [0, 8)           the first 8 bytes of the block, or the 8 bytes carried
//                    over from the end of the previous fill
//   [8, 8 + fill)    one fill of at most INPUT_FILL_MAX bytes
//   [.., 61440)      spare bytes
//
// The decoders test for the end of the input once per symbol, not per bit,
// against the end mark. While more of the block is still in the file, the
// end mark stands 8 bytes before the end of the valid bytes: those 8 bytes are
// real data held back, so a decoder may run up to 8 bytes past the end mark
// between two checks, and the refill carries them to the front. Its 32-bit
// loads touch one byte more (INPUT_READ_AHEAD in huffman_decode.h), and the
// fill size rule below keeps that byte inside the buffer too.
//
// Bytes beyond the valid data are never left stale: every fill clears the
// bytes a decoder may still load past it, so that a damaged block decodes the
// same way every time (and the fuzzers see deterministic input).

#include "codec/input_stream.h"

#include "codec/decoder.h"
#include "codec/huffman_decode.h"
#include "platform/text.h"

// The end mark never lies closer than this to the end of the buffer: a decoder
// may load INPUT_READ_AHEAD bytes from the end mark on before it checks again.
DRAVEX_STATIC_ASSERT(INPUT_HELD_BACK + INPUT_FILL_MAX + INPUT_HELD_BACK == INPUT_BUFFER_SIZE,
                     "carry, one fill and the spare bytes make up the buffer");
DRAVEX_STATIC_ASSERT(INPUT_READ_AHEAD == INPUT_HELD_BACK + 1, "decoders read one byte past the held-back bytes");

void parse_block_header(const u8* p, BlockHeader* out)
{
    u32 lo = load_le32(p);
    u32 hi = load_le32(p + 4);
    out->method = lo & 15;
    out->last = (lo >> 4) & 1;
    out->output_length = (lo >> 5) & 0xFFFFF;
    out->stored_length = ((lo >> 25) | (hi << 7)) & 0xFFFFF;
}

i32 read_counted(Decoder* d, void* buffer, u32 count)
{
    i32 n = file_read(d->file, buffer, count);
    if (n < 0)
        return ERR_READ;
    d->input.file_position += n;
    return n;
}

void forward_copy(u8* target, const u8* source, u32 count)
{
    // Each step loads before it stores, so an overlapping copy towards the
    // front (target before source) reads every byte before it is
    // overwritten; the history move relies on that. A copy right behind its
    // source (the LZ matches) must repeat the bytes just written, which a
    // step does only if it reads nothing it writes: the host's 8-byte steps
    // serve copies at least 8 bytes behind, the stub's 4-byte ones (its
    // words) those at least 4 behind, and the rest goes byte after byte.
#ifdef DRAVEX_STUB_BUILD
    if ((u32)(size_t)(target - source) >= 4) {
        for (; count >= 4; count -= 4, target += 4, source += 4)
            store_le32(target, load_le32(source));
    }
#else
    if ((u64)(target - source) >= 8) {
        for (; count >= 8; count -= 8, target += 8, source += 8) {
            u64 v;
            __builtin_memcpy(&v, source, 8);
            __builtin_memcpy(target, &v, 8);
        }
    }
#endif
    for (; count > 0; count--)
        *target++ = *source++;
}

// Zeroes the bytes a decoder may still load behind the valid data at `end`.
static void clear_behind(Decoder* d, u8* end)
{
    u8* stop = d->input.buffer + INPUT_BUFFER_SIZE;
    for (u32 i = 0; i < 2 * INPUT_READ_AHEAD && end < stop; i++)
        *end++ = 0;
}

// How many bytes the next fill asks for. A fill that takes the block's last
// bytes leaves the end mark at the end of the valid data, and a full one
// would put it at buffer + 61,432, where a decoder's load one byte past the
// 8 spare bytes would leave the buffer. Such a fill therefore stops one byte
// short; the last byte arrives with one more (tiny) read.
static u32 fill_size(u32 remaining)
{
    if (remaining > INPUT_FILL_MAX)
        return INPUT_FILL_MAX;
    if (remaining == INPUT_FILL_MAX)
        return INPUT_FILL_MAX - 1;
    return remaining;
}

// Reads one fill into buffer + 8 and sets the end mark. A short read means
// the file ended inside the block (its stored length is damaged): nothing
// more will come, so block remaining drops to 0 and the held-back bytes are
// handed out at once. The next refill then fails with ERR_END_OF_DATA
// instead of succeeding again and again without progress.
static ResultCode fill(Decoder* d)
{
    InputStream& s = d->input;
    u32 want = fill_size(s.block_remaining);
    i32 got = read_counted(d, s.buffer + INPUT_HELD_BACK, want);
    if (got < 0)
        return got;
    s.block_remaining -= (u32)got;
    if ((u32)got < want)
        s.block_remaining = 0;
    u8* valid_end = s.buffer + INPUT_HELD_BACK + got;
    clear_behind(d, valid_end);
    s.end_mark = s.block_remaining > 0 ? valid_end - INPUT_HELD_BACK : valid_end;
    return 0;
}

ResultCode stream_begin_block(Decoder* d)
{
    InputStream& s = d->input;
    if (d->stream.history_valid && s.resume_position != s.file_position) {
        if (file_seek(d->file, s.resume_position, SEEK_FROM_START) < 0)
            return ERR_SEEK;
        s.file_position = s.resume_position;
    }
    i32 block_start = s.file_position;
    i32 got = read_counted(d, s.buffer, INPUT_HELD_BACK);
    if (got < 0)
        return got;
    if (got < 6)
        return ERR_DAMAGED;
    // Bytes the file did not have read as zeros, in the header too.
    clear_behind(d, s.buffer + got);

    BlockHeader header;
    parse_block_header(s.buffer, &header);
    if (header.stored_length <= INPUT_HELD_BACK) {
        // The whole block lies in the 8 bytes just read. A block shorter
        // than 8 bytes (a stored block of 0 or 1 bytes) has taken the first
        // bytes of the next block with it; unless it is the stream's last,
        // step back so that the next header is read where it really starts.
        // A stored length below the 6 header bytes cannot be right.
        if (!header.last && (u32)got > header.stored_length) {
            if (header.stored_length < 6)
                return ERR_DAMAGED;
            i32 next = block_start + (i32)header.stored_length;
            if (file_seek(d->file, next, SEEK_FROM_START) < 0)
                return ERR_SEEK;
            s.file_position = next;
        }
        s.block_remaining = 0;
        s.end_mark = s.buffer + got + INPUT_HELD_BACK;
    } else {
        s.block_remaining = header.stored_length - INPUT_HELD_BACK;
        ResultCode r = fill(d);
        if (r < 0)
            return r;
    }
    s.cursor = s.buffer;
    s.bit_position = 0;
    s.resume_position = s.file_position;
    return 0;
}

ResultCode stream_refill(Decoder* d)
{
    InputStream& s = d->input;
    if (s.block_remaining == 0)
        return ERR_END_OF_DATA;
    if (*d->cancel_flag)
        return ERR_CANCELLED;
    // A decoder runs at most 8 bytes past the end mark (the held-back
    // bytes); a cursor outside that range would land outside the carry.
    if (s.cursor < s.end_mark || s.cursor > s.end_mark + INPUT_HELD_BACK)
        return ERR_DAMAGED;
    u32 past = (u32)(s.cursor - s.end_mark);
    forward_copy(s.buffer, s.end_mark, INPUT_HELD_BACK);
    ResultCode r = fill(d);
    if (r < 0)
        return r;
    s.cursor = s.buffer + past;
    return 0;
}

i32 stream_read_stored(Decoder* d, u8* target, u32 count)
{
    InputStream& s = d->input;
    if (s.bit_position > 0)
        s.cursor++;
    i32 available = (i32)(s.end_mark - s.cursor);
    if (s.block_remaining > 0)
        available += INPUT_HELD_BACK;
    if (available < 0)
        available = 0;
    u32 n = (u32)available < count ? (u32)available : count;
    forward_copy(target, s.cursor, n);
    s.cursor += n;
    if (*d->cancel_flag)
        return ERR_CANCELLED;
    if (n == count)
        return (i32)n;
    // The rest goes straight from the file to the target.
    u32 rest = count - n;
    if (rest > s.block_remaining)
        rest = s.block_remaining;
    i32 got = read_counted(d, target + n, rest);
    if (got < 0)
        return got;
    s.block_remaining -= (u32)got;
    return (i32)(n + (u32)got);
}

i32 stream_load_once(Decoder* d, u32 count)
{
    InputStream& s = d->input;
    // The end mark lies 8 bytes past the piece and decoders load up to
    // INPUT_READ_AHEAD bytes past it: keep all of that inside the buffer.
    u32 limit = INPUT_BUFFER_SIZE - INPUT_HELD_BACK - INPUT_READ_AHEAD;
    if (count > limit)
        count = limit;
    i32 got = read_counted(d, s.buffer, count);
    if (got < 0)
        return got;
    clear_behind(d, s.buffer + got);
    s.block_remaining = 0;
    s.cursor = s.buffer;
    s.bit_position = 0;
    s.end_mark = s.buffer + got + INPUT_HELD_BACK;
    return got;
}
