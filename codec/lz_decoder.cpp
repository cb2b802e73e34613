// LZ blocks.
//
// A block is an 8-bit sub-header (D distance alphabets, S table sets), the
// code lengths of its table sets (or none: the fixed set), then symbols of a
// 288-symbol literal/length alphabet until the block's N bytes are written:
// literals, matches (a length, then a distance symbol from one of up to three
// distance alphabets chosen by the length), SYM_END_OF_SET to switch to the
// next table set, and SYM_DELTA_MARK to start a delta region. Two recent
// distances can be reused. Matches may reach into the H bytes of history in
// front of the block.
//
// The decoder ends a block early, without failing, when the input runs out,
// a code has nothing behind it, or the table sets are used up: the caller
// takes a short result as the end of the stream and the member CRC-32 tells
// whether anything was lost.
//
// Delta regions hold each byte as the difference from the byte `stride`
// before it. They are undone in one pass when the block is complete
// (delta_decode_regions); delta_encode_tail redoes them over the part of the
// output that becomes the next block's history, because the encoder's
// matches saw the difference form.

#include "codec/lz_decoder.h"

#include "codec/decoder.h"
#include "codec/huffman.h"
#include "codec/huffman_decode.h"
#include "codec/lz_codes.h"

enum {
    LITLEN_LOOKUP_BITS = 9,
    DIST_LOOKUP_BITS = 7,
    LZ_DIST_ALPHABETS = 3,
    SUB_HEADER_BITS = 8,
    DELTA_STRIDE_BITS = 3,
    REGION_STRIDE_SHIFT = 24,
    REGION_POSITION_MASK = 0xFFFFFF,

    // The bits one pass of the symbol loop may consume after its single end
    // check: a literal/length code, its extra bits, a distance code and its
    // extra bits.
    LZ_MAX_BITS_PER_PASS = MAX_CODE_LENGTH + MAX_LENGTH_EXTRA_BITS + MAX_CODE_LENGTH + MAX_DISTANCE_EXTRA_BITS,
};

// At most 65 bits between two end checks. Starting at bit 7 of the byte just
// before the end mark, a pass ends inside the 8 held-back bytes, and its last
// 32-bit load (for the distance's extra bits) starts no later than 6 bytes
// past the cursor, so it touches at most INPUT_READ_AHEAD bytes from the end
// mark on; the input stream keeps all of those inside its buffer.
DRAVEX_STATIC_ASSERT(LZ_MAX_BITS_PER_PASS == 65, "at most 65 bits between two end checks");
DRAVEX_STATIC_ASSERT(7 + LZ_MAX_BITS_PER_PASS <= 8 * (INPUT_HELD_BACK + 1), "a pass ends in the held-back bytes");
DRAVEX_STATIC_ASSERT((7 + LZ_MAX_BITS_PER_PASS - MAX_DISTANCE_EXTRA_BITS) / 8 + 3 <= INPUT_READ_AHEAD,
                     "the last load of a pass stays within the read-ahead");
DRAVEX_STATIC_ASSERT((int)MAX_DISTANCE_EXTRA_BITS <= (int)PEEK_BITS && (int)MAX_LENGTH_EXTRA_BITS <= (int)PEEK_BITS,
                     "one peek holds any extra-bits field");
DRAVEX_STATIC_ASSERT(LZ_DIST0_SYMBOLS >= LZ_DIST1_SYMBOLS && LZ_DIST0_SYMBOLS >= LZ_DIST2_SYMBOLS,
                     "distance alphabet 0 is the largest");

// The decoding tables of one table set. They live in the same heap block as
// the code-length rows: about 9 KB, too much for the stack of a stub built
// without the runtime's stack probes.
struct LzTables {
    i32 litlen[decode_table_slots(LITLEN_LOOKUP_BITS, LZ_LITLEN_SYMBOLS)];
    i32 dist[LZ_DIST_ALPHABETS][decode_table_slots(DIST_LOOKUP_BITS, LZ_DIST0_SYMBOLS)];
    u32 codes[LZ_LITLEN_SYMBOLS];
    const u8* dist_lengths[LZ_DIST_ALPHABETS];
};

// Builds the tables of one row. The builders' results are not consulted: a
// code that overfills its store leaves codes unassigned, and meeting one of
// those ends the block like any other unassigned code.
static void build_lz_tables(const Decoder* d, LzTables* t, const u8* row, u32 D)
{
    build_code(t->litlen, t->codes, row, LITLEN_LOOKUP_BITS, LZ_LITLEN_SYMBOLS);
    for (u32 l = 0; l < D; l++) {
        const u8* lengths = row + d->distance_offsets[l];
        u32 n = d->distance_sizes[l];
        if (n > LZ_DIST0_SYMBOLS)  // the store has room for the largest alphabet only
            n = LZ_DIST0_SYMBOLS;
        build_code(t->dist[l], t->codes, lengths, DIST_LOOKUP_BITS, n);
        t->dist_lengths[l] = lengths;
    }
}

// Copies count bytes from distance bytes back, with the result of a byte by
// byte copy in increasing order (a short distance repeats the bytes just
// written). The caller has checked that the whole match lies in the buffer.
static DRAVEX_INLINE void copy_match(u8* out, u32 distance, u32 count)
{
    const u8* src = out - distance;
#ifdef DRAVEX_STUB_BUILD
    // The stub's forward copy takes 4-byte steps at distances of 4 and
    // more, byte after byte below.
    forward_copy(out, src, count);
#else
    if (distance >= 8) {
        // Each 8-byte step reads only bytes written before it.
        while (count >= 8) {
            u64 v;
            __builtin_memcpy(&v, src, 8);
            __builtin_memcpy(out, &v, 8);
            src += 8;
            out += 8;
            count -= 8;
        }
    } else if (distance == 1) {
        u8 b = *src;
        while (count > 0) {
            *out++ = b;
            count--;
        }
        return;
    }
    while (count > 0) {
        *out++ = *src++;
        count--;
    }
#endif
}

i32 decode_lz_block(Decoder* d, u8* buffer, u32 H, u32 N, int apply_regions)
{
    if (apply_regions)
        d->region_count = 0;

    const u8* cursor = d->input.cursor;
    u32 bit_position = d->input.bit_position;
    u32 sub_header = peek_bits(cursor, bit_position) & ((1u << SUB_HEADER_BITS) - 1);
    advance_bits(cursor, bit_position, SUB_HEADER_BITS);
    d->input.cursor = cursor;
    d->input.bit_position = bit_position;

    u32 D = sub_header & 3;
    u32 S = sub_header >> 2;
    // D = 1 sends the lengths of distance alphabet 1 but would build no table
    // for it while length-2 matches still use it; the fixed set has no
    // lengths for distance alphabet 2. A valid stream holds neither; both
    // are refused rather than decoded with tables that were never built.
    if (D < 2 || (D == 3 && S == 0))
        return ERR_DAMAGED;
    u32 W = D == 3 ? (u32)LZ_TABLE_WIDTH_D3 : (u32)LZ_TABLE_WIDTH;

    u32 row_bytes = S == 0 ? (u32)LZ_TABLE_WIDTH : S * W;
    u8* block = (u8*)mem_alloc((u32)sizeof(LzTables) + row_bytes);
    if (block == 0)
        return ERR_NO_MEMORY;
    LzTables* t = (LzTables*)block;
    u8* rows = block + sizeof(LzTables);

    const u32 end = H + N;
    u32 sets_left = S == 0 ? 1 : S;
    const u8* next_row = rows;
    const u32 dist_for_258 = D == 3 ? 2 : 0;
    u32 R0 = 0;
    u32 R1 = 0;
    u32 p = H;
    const u8* litlen_lengths = 0;
    const u8* end_mark;
    i32 result = read_code_lengths(d, rows, W, S, end);
    if (result < 0)
        goto fail;

    cursor = d->input.cursor;
    bit_position = d->input.bit_position;
    end_mark = d->input.end_mark;

    for (;;) {
        // Table-set switch: at the start and at every SYM_END_OF_SET.
        if (*d->cancel_flag) {
            result = ERR_CANCELLED;
            goto fail;
        }
        if (sets_left == 0)
            break;
        sets_left--;
        build_lz_tables(d, t, next_row, D);
        litlen_lengths = next_row;
        next_row += W;

        // The symbol loop. It leaves by `goto done` when the block ends and
        // by `break` to switch table sets.
        for (;;) {
            if (p >= end)
                goto done;
            if (DRAVEX_UNLIKELY(cursor >= end_mark)) {
                d->input.cursor = cursor;
                d->input.bit_position = bit_position;
                result = stream_refill(d);
                if (result == ERR_END_OF_DATA)
                    goto done;
                if (result < 0)
                    goto fail;
                cursor = d->input.cursor;
                end_mark = d->input.end_mark;
                continue;
            }

            i32 sym = decode_table_symbol(t->litlen, LITLEN_LOOKUP_BITS, peek_bits(cursor, bit_position));
            if (sym < 0)
                goto done;
            advance_bits(cursor, bit_position, litlen_lengths[sym]);

            if (sym < SYM_END_OF_SET) {
                buffer[p++] = (u8)sym;
                continue;
            }
            if (sym == SYM_END_OF_SET)
                break;
            if (DRAVEX_UNLIKELY(sym == SYM_DELTA_MARK)) {
                u32 stride = peek_bits(cursor, bit_position) & ((1u << DELTA_STRIDE_BITS) - 1);
                advance_bits(cursor, bit_position, DELTA_STRIDE_BITS);
                // The directory (apply_regions 0) never applies its markers;
                // recording them would clobber the data stream's regions that
                // delta_encode_tail still needs, so they are not recorded.
                if (apply_regions) {
                    if (d->region_count >= REGION_TABLE_SIZE || p > REGION_POSITION_MASK) {
                        result = ERR_DAMAGED;
                        goto fail;
                    }
                    d->region_table[d->region_count++] = (stride << REGION_STRIDE_SHIFT) | p;
                }
                continue;
            }

            u32 length;
            if (sym < FIRST_EXTRA_LENGTH_SYMBOL) {
                length = (u32)sym - (FIRST_MATCH_SYMBOL - 2);
            } else {
                u32 i = (u32)sym - FIRST_EXTRA_LENGTH_SYMBOL;
                u32 nb = sym == SYM_LONG_LENGTH ? (u32)MAX_LENGTH_EXTRA_BITS : length_shift(i);
                length = length_base(i) + (peek_bits(cursor, bit_position) & ((1u << nb) - 1));
                advance_bits(cursor, bit_position, nb);
            }

            u32 alphabet = sym == FIRST_MATCH_SYMBOL ? 1 : sym == FIRST_MATCH_SYMBOL + 1 ? dist_for_258 : 0;
            i32 dsym = decode_table_symbol(t->dist[alphabet], DIST_LOOKUP_BITS, peek_bits(cursor, bit_position));
            if (dsym < 0)
                goto done;
            advance_bits(cursor, bit_position, t->dist_lengths[alphabet][dsym]);

            u32 distance;
            if (dsym >= FIRST_EXTRA_DISTANCE_SYMBOL) {
                u32 nb = distance_extra((u32)dsym);
                distance = distance_base((u32)dsym) + (peek_bits(cursor, bit_position) & ((1u << nb) - 1));
                advance_bits(cursor, bit_position, nb);
                R1 = R0;
                R0 = distance;
            } else if (dsym >= 2) {
                distance = (u32)dsym - 1;
            } else {
                if (dsym == 1) {
                    u32 swap = R0;
                    R0 = R1;
                    R1 = swap;
                }
                distance = R0;
            }

            // A match reaching before the buffer is dropped. So is one of
            // distance 0 (a recent distance used before one was set), which
            // would copy bytes onto themselves: never in a valid stream, and
            // dropping it keeps uninitialised buffer bytes out of the output.
            if (distance > p || distance == 0)
                continue;
            u32 count = end - p < length ? end - p : length;
            copy_match(buffer + p, distance, count);
            p += count;
        }
    }

done:
    if (bit_position > 0) {
        cursor++;
        bit_position = 0;
    }
    d->input.cursor = cursor;
    d->input.bit_position = 0;
    // A block that ended early is cut to p bytes; the bytes behind p were
    // never written, and no byte before p depends on them.
    if (apply_regions)
        delta_decode_regions(buffer, p, d->region_table, d->region_count);
    result = (i32)(p - H);
    goto release;

fail:
    // A failed block leaves no regions behind: nothing of it becomes
    // history, so none may be re-encoded later.
    if (apply_regions)
        d->region_count = 0;
release:
    mem_free(block);
    return result;
}

// Adds to each byte of [p, p + n) the byte `stride` before it, in increasing
// order. The byte-at-a-time form makes every add wait for the store of the
// one before it; here the last `stride` results stay in registers (the lane
// array is fully unrolled for a constant stride), so the work is one load,
// add and store per byte.
template <u32 stride>
static void undo_delta(u8* p, u32 n)
{
    u8 lane[stride];
    for (u32 j = 0; j < stride; j++)
        lane[j] = p[(i32)j - (i32)stride];
    u32 i = 0;
    for (; i + stride <= n; i += stride) {
        for (u32 j = 0; j < stride; j++) {
            lane[j] = (u8)(lane[j] + p[i + j]);
            p[i + j] = lane[j];
        }
    }
    for (u32 j = 0; i < n; i++, j++)
        p[i] = (u8)(p[i] + lane[j]);
}

// Region i runs from its start to the next entry's start (whatever that
// entry's stride), the last one to `end`. Positions closer than the stride to
// the buffer start would add bytes from before the buffer; they are taken as
// zeros, that is, left as they are, and delta_encode_tail mirrors that.
void delta_decode_regions(u8* buffer, u32 end, const u32* regions, u32 count)
{
    for (u32 i = 0; i < count; i++) {
        u32 stride = regions[i] >> REGION_STRIDE_SHIFT;
        if (stride == 0)
            continue;
        u32 start = regions[i] & REGION_POSITION_MASK;
        u32 stop = i + 1 < count ? regions[i + 1] & REGION_POSITION_MASK : end;
        if (stop > end)
            stop = end;
        if (start < stride)
            start = stride;
        if (start >= stop)
            continue;
        u8* p = buffer + start;
        u32 n = stop - start;
        switch (stride) {
#ifndef DRAVEX_STUB_BUILD
        // The stub takes the byte-at-a-time loop for every stride: the same
        // result, and seven unrolled copies less code.
        case 1: undo_delta<1>(p, n); break;
        case 2: undo_delta<2>(p, n); break;
        case 3: undo_delta<3>(p, n); break;
        case 4: undo_delta<4>(p, n); break;
        case 5: undo_delta<5>(p, n); break;
        case 6: undo_delta<6>(p, n); break;
        case 7: undo_delta<7>(p, n); break;
#endif
        default:
            // Not from a decoded marker (its field has 3 bits), or the stub.
            for (u32 q = 0; q < n; q++)
                p[q] = (u8)(p[q] + p[(i32)q - (i32)stride]);
            break;
        }
    }
}

void delta_encode_tail(Decoder* d, u32 keep)
{
    u8* buffer = d->stream.history;
    u32 fill = d->stream.kept;
    const u32* region_table = d->region_table;
    if (d->region_count == 0 || buffer == 0)
        return;
    u32 count = d->region_count <= REGION_TABLE_SIZE ? d->region_count : (u32)REGION_TABLE_SIZE;
    u32 b = keep < fill ? fill - keep : 0;
    // Last region first: each byte is re-encoded against a neighbour that is
    // still in its decoded form, exactly as the decoder added it.
    for (u32 i = count; i-- > 0;) {
        u32 stride = region_table[i] >> REGION_STRIDE_SHIFT;
        if (stride == 0)
            continue;
        u32 start = region_table[i] & REGION_POSITION_MASK;
        u32 stop = i + 1 < count ? region_table[i + 1] & REGION_POSITION_MASK : fill;
        if (stop > fill)
            stop = fill;
        int last = start <= b;
        if (last)
            start = b;
        if (start < stride)
            start = stride;
        for (u32 q = stop; q > start;) {
            q--;
            buffer[q] = (u8)(buffer[q] - buffer[q - stride]);
        }
        if (last)
            break;
    }
}
