// BWT block decoder.
//
// A block carries the last column L of the sorted rotations of its bytes,
// extended by one end marker that sorts before every byte value. L is coded
// as move-to-front positions; the front byte is always sent as a run whose
// length is a bijective base-2 number (digits RUN1 = 1 and RUN2 = 2, least
// significant first), and the marker's place as SYM_ORIGIN. The symbols are
// Huffman-coded with up to six tables, one chosen per group of 50 symbols by
// a unary selector that indexes a move-to-front list of the tables.
//
// The counts of the decoded bytes give the start of each byte value in the
// sorted first column; the inversion itself is in bwt_inverse.cpp.
#include "codec/bwt_decoder.h"

#include "codec/bwt_inverse.h"
#include "codec/decoder.h"
#include "codec/huffman.h"
#include "codec/huffman_decode.h"
#include "codec/input_stream.h"
#include "platform/platform.h"

#if !defined(DRAVEX_STUB_BUILD) && defined(__SSE2__)
#include <emmintrin.h>
#endif

enum {
    BWT_OFFSET_BITS = 8,
    BWT_TABLE_COUNT_BITS = 3,
};

// A link names a row in 20 bits (the host keeps bits 20 to 23 for its own
// marks): the header's 20-bit output length keeps every valid block's n + 1
// rows within that, and a caller passing more is refused.
DRAVEX_STATIC_ASSERT((u32)MAX_BLOCK_OUTPUT < (1u << 20), "BWT rows must fit the link field");

// Between two end-mark checks the loop reads one selector (at most
// BWT_MAX_TABLES + 1 = 7 bits) or one code (at most 16 bits), plus up to 7
// bits of bit position: at most 3 bytes past the check, inside the 8 bytes
// the input stream keeps readable behind its end mark.
DRAVEX_STATIC_ASSERT(BWT_MAX_TABLES + 1 <= MAX_CODE_LENGTH, "a selector must not outgrow a code");

// Moves entry j (0 to 255) of a list (the bytes, or the tables of the
// selectors) to the front and returns it. Most positions are small: the host
// shifts the first 16 entries (every list has at least 16) in one vector
// register, the stub byte by byte.
static DRAVEX_INLINE u8 move_to_front(u8* list, u32 j)
{
    u8 b = list[j];
#if !defined(DRAVEX_STUB_BUILD) && defined(__SSE2__)
    if (j < 16) {
        __m128i v = _mm_loadu_si128((const __m128i*)list);
        // Entries 0 to j - 1 move one place back, entry j is dropped there,
        // entries after j stay.
        __m128i keep = _mm_cmpgt_epi8(_mm_setr_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15),
                                      _mm_set1_epi8((char)j));
        __m128i moved = _mm_or_si128(_mm_slli_si128(v, 1), _mm_cvtsi32_si128(b));
        _mm_storeu_si128((__m128i*)list, _mm_or_si128(_mm_and_si128(keep, v), _mm_andnot_si128(keep, moved)));
        return b;
    }
    __builtin_memmove(list + 1, list, j);
#else
    for (; j > 0; j--)
        list[j] = list[j - 1];
#endif
    list[0] = b;
    return b;
}

ResultCode decode_bwt_block(Decoder* d, u8* out, u32 n)
{
    BwtWork* w = &d->bwt;

    if (n > MAX_BLOCK_OUTPUT)
        return ERR_DAMAGED;

    // Sub-header: alphabet offset and table count. The block header's 45
    // bits were the last thing checked against the end mark; these 11 bits
    // lie within its 8-byte read.
    const u8* in = d->input.cursor;
    u32 bitpos = d->input.bit_position;
    u32 bits = peek_bits(in, bitpos);
    const u32 offset = bits & 0xFF;
    const u32 table_count = (bits >> BWT_OFFSET_BITS) & 7;
    advance_bits(in, bitpos, BWT_OFFSET_BITS + BWT_TABLE_COUNT_BITS);
    d->input.cursor = in;
    d->input.bit_position = bitpos;
    if (table_count == 0 || table_count > BWT_MAX_TABLES)
        return ERR_DAMAGED;

    // Each table is a complete transmission of its own. The builder's result
    // is not consulted: codes it could not enter stay unassigned and are
    // refused if they ever occur.
    for (u32 t = 0; t < table_count; t++) {
        BwtTable* table = &w->tables[t];
        ResultCode r = read_code_lengths(d, table->lengths, BWT_SYMBOLS, 1, 0);
        if (r < 0)
            return r;
        build_code(table->decode, w->codes, table->lengths, BWT_LOOKUP_BITS, BWT_SYMBOLS);
    }

    in = d->input.cursor;
    bitpos = d->input.bit_position;
    const u8* end = d->input.end_mark;
    if (bitpos != 0) {
        in++;
        bitpos = 0;
    }

    for (u32 i = 0; i < 256; i++) {
        w->byte_list[i] = (u8)i;
        w->counts[i] = 0;
    }
    for (u32 i = 0; i < BWT_MAX_TABLES; i++)
        w->table_list[i] = (u8)i;

    const u32 total = n + 1;  // n bytes and the marker
    u32 p = 0;
    u32 weight = 1;
    u32 group = BWT_GROUP_SIZE;  // the first thing read is a selector
    u32 origin = 0;
    u32 origin_seen = 0;
    const BwtTable* table = w->tables;

    while (p < total) {
        if (in >= end) {
            if (*d->cancel_flag)
                return ERR_CANCELLED;
            d->input.cursor = in;
            d->input.bit_position = bitpos;
            ResultCode r = stream_refill(d);
            if (r < 0)
                return r;
            in = d->input.cursor;
            end = d->input.end_mark;
            continue;
        }
        bits = peek_bits(in, bitpos);

        if (group == BWT_GROUP_SIZE) {
            // Unary selector: k one-bits, then a zero. T ones in a row
            // already make it too large, so no more than T + 1 bits are
            // looked at.
            u32 k = 0;
            while (k < table_count && ((bits >> k) & 1))
                k++;
            if (k >= table_count)
                return ERR_DAMAGED;
            advance_bits(in, bitpos, k + 1);
            u8 t = move_to_front(w->table_list, k);
            table = &w->tables[t];
            group = 0;
            continue;
        }
        group++;

        i32 e = decode_table_symbol(table->decode, BWT_LOOKUP_BITS, bits);
        if (e < 0)
            return ERR_DAMAGED;
        const u32 sym = (u32)e;
        advance_bits(in, bitpos, table->lengths[sym]);

        if (sym <= SYM_RUN2) {
            // Digit of a run of the front byte; r stays small because the
            // weight doubles only while the run still fits the block.
            u32 r = weight << sym;
            if (r > total - p)
                return ERR_DAMAGED;
            u8 b = w->byte_list[0];
            w->counts[b] += r;
            for (u32 i = 0; i < r; i++)
                out[p + i] = b;
            p += r;
            weight <<= 1;
        } else if (sym < SYM_ORIGIN) {
            u8 b = move_to_front(w->byte_list, sym - 1);
            w->counts[b]++;
            out[p++] = b;
            weight = 1;
        } else {
            origin = p++;
            origin_seen++;
            weight = 1;
        }
    }

    if (bitpos != 0)
        in++;
    d->input.cursor = in;
    d->input.bit_position = 0;

    // Exactly one marker makes the counts add up to n, so every start
    // value below stays within 1..n and every link names a row of the
    // vector. Without a marker, or with several, links could point past it.
    // Row 0 always ends with the last byte, never with the marker, so a
    // non-empty block with its origin at 0 is damaged too.
    if (origin_seen != 1 || (n > 0 && origin == 0))
        return ERR_DAMAGED;

    u32 start = 1;  // slot 0 of the first column is the marker's
    for (u32 c = 0; c < 256; c++) {
        u32 count = w->counts[c];
        w->counts[c] = start;
        start += count;
    }

    u32* link = (u32*)mem_alloc(bwt_link_bytes(n));
    if (link == 0)
        return ERR_NO_MEMORY;
    bwt_build_links(link, out, n, origin, w->counts);

    if (*d->cancel_flag) {
        mem_free(link);
        return ERR_CANCELLED;
    }

    bwt_unwind(link, out, n, origin, offset);

    mem_free(link);
    return 0;
}
