// Canonical Huffman codes for the LZ and BWT decoders.
//
// A list of code lengths (0 to 16, 0 = no code) determines the codes the way
// DEFLATE does: shorter codes first, and within one length in symbol order.
// The decoding structure is a primary lookup indexed by the next k input bits
// plus a node store for the codes longer than k bits: a lookup entry holds a
// symbol, EMPTY_SLOT, or -m for node m, whose slots 2m and 2m + 1 continue the
// code by one bit each. Nodes are numbered from 1 in creation order, so a
// store of 2n slots has room for the n - 1 nodes of any complete code.
//
// The code lengths travel as differences modulo 17 coded with a 21-symbol
// pre-code; see read_code_lengths.

#include "codec/huffman.h"

#include "codec/huffman_decode.h"
#include "codec/decoder.h"
#include "codec/input_stream.h"
#include "codec/lz_decoder.h"

enum {
    PRECODE_FIELD_BITS = 5,
    SYM_ZERO_RUN = 17,    // 17 and 18
    SYM_REPEAT_RUN = 19,  // 19 and 20
    FIXED_SHORT_EXTENT = 8192,
};

u32 assign_codes(u32* codes, const u8* lengths, u32 n)
{
    u32 count[MAX_CODE_LENGTH + 1];
    u32 next[MAX_CODE_LENGTH + 1];
    for (u32 L = 0; L <= MAX_CODE_LENGTH; L++)
        count[L] = 0;
    for (u32 s = 0; s < n; s++) {
        if (lengths[s] > MAX_CODE_LENGTH)
            return lengths[s];
        count[lengths[s]]++;
    }
    count[0] = 0;
    u32 code = 0;
    next[0] = 0;
    for (u32 L = 1; L <= MAX_CODE_LENGTH; L++) {
        code = (code + count[L - 1]) << 1;
        next[L] = code;
    }
    for (u32 s = 0; s < n; s++) {
        u32 L = lengths[s];
        if (L == 0)
            continue;
        u32 c = next[L]++;
        // Codes go first bit first, the canonical value's top bit; the bit
        // reader delivers the first bit in bit 0, so store them reversed.
        u32 reversed = 0;
        for (u32 i = 0; i < L; i++) {
            reversed = (reversed << 1) | (c & 1);
            c >>= 1;
        }
        codes[s] = reversed;
    }
    return 0;
}

ResultCode build_decode_table(i32* lookup, i32* store, const u32* codes, const u8* lengths, u32 k, u32 n)
{
    u32 entries = 1u << k;
    for (u32 i = 0; i < entries; i++)
        lookup[i] = EMPTY_SLOT;
    for (u32 i = 0; i < 2 * n; i++)
        store[i] = EMPTY_SLOT;
    u32 next_node = 1;

    for (u32 s = 0; s < n; s++) {
        u32 L = lengths[s];
        if (L == 0)
            continue;
        u32 c = codes[s];
        if (L <= k) {
            // An over-full code lets a later symbol overwrite these entries,
            // node references included; the nodes below them are orphaned.
            for (u32 i = c & ((1u << L) - 1); i < entries; i += 1u << L)
                lookup[i] = (i32)s;
            continue;
        }
        u32 i = c & (entries - 1);
        u32 h = c >> k;
        i32 d = (i32)(L - k - 1);
        u32 m;
        // Only a lookup entry that holds a node continues an existing path.
        // One holding a symbol (left by an over-full code) is replaced, so
        // that -entry is never taken as a node number.
        if (lookup[i] < 0 && lookup[i] != EMPTY_SLOT) {
            m = (u32)-lookup[i];
        } else {
            if (next_node >= n)
                return ERR_DAMAGED;
            m = next_node++;
            lookup[i] = -(i32)m;
        }
        u32 slot = 2 * m + (h & 1);
        h >>= 1;
        while (store[slot] >= 1) {
            m = (u32)store[slot];
            d--;
            slot = 2 * m + (h & 1);
            h >>= 1;
        }
        while (d > 0) {
            if (next_node >= n)
                return ERR_DAMAGED;
            u32 fresh = next_node++;
            store[slot] = (i32)fresh;
            slot = 2 * fresh + (h & 1);
            h >>= 1;
            d--;
        }
        // Under an over-full code this may overwrite a symbol or cut off a
        // subtree; either way every slot index stays below 2n, because node
        // numbers stay below n.
        store[slot] = -(i32)s;
    }
    return 0;
}

#ifdef DRAVEX_STUB_BUILD
i32 decode_table_symbol(const i32* table, u32 k, u32 bits)
{
    return decode_symbol(table, table + (1u << k), k, bits);
}
#endif

ResultCode build_code(i32* table, u32* codes, const u8* lengths, u32 k, u32 n)
{
    assign_codes(codes, lengths, n);
    return build_decode_table(table, table + (1u << k), codes, lengths, k, n);
}

// The fixed set as runs of equal lengths, (count, length) pairs up to a zero
// count: literals and lengths, then distance alphabet 0 (symbols 0..27 only,
// for distances up to 8192, or all 42), then alphabets 1 and 2. A table is
// less code than a loop for each run.
static const u8 fixed_runs_short[] = {244, 8, 17, 9, 5, 10, 22, 11, 4, 4, 24, 5, 14, 0, 2, 3, 12, 4, 0};
static const u8 fixed_runs_long[] = {244, 8, 17, 9, 5, 10, 22, 11, 22, 5, 20, 6, 2, 3, 12, 4, 0};

void fill_default_lengths(u8* rows, u32 extent)
{
    const u8* run = extent <= FIXED_SHORT_EXTENT ? fixed_runs_short : fixed_runs_long;
    for (u8* p = rows; run[0] != 0; run += 2)
        for (u32 n = run[0]; n > 0; n--)
            *p++ = run[1];
    rows[SYM_END_OF_SET] = 0;  // no code: the fixed set is the only set
}

// Stores the bit reader's locals back into the input stream.
static DRAVEX_INLINE void store_input(Decoder* d, const u8* cursor, u32 bit_position)
{
    d->input.cursor = cursor;
    d->input.bit_position = bit_position;
}

ResultCode read_code_lengths(Decoder* d, u8* rows, u32 W, u32 R, u32 extent)
{
    if (R == 0) {
        fill_default_lengths(rows, extent);
        return 0;
    }
    const u8* cursor = d->input.cursor;
    u32 bit_position = d->input.bit_position;
    const u8* end_mark = d->input.end_mark;

// A field or a symbol of this transmission needs at most 16 bits, well
// inside the held-back bytes.
#define REFILL_IF_NEEDED()                              \
    do {                                                \
        if (cursor >= end_mark) {                       \
            store_input(d, cursor, bit_position);          \
            ResultCode refill_result = stream_refill(d); \
            if (refill_result < 0)                      \
                return refill_result;                   \
            cursor = d->input.cursor;               \
            end_mark = d->input.end_mark;           \
        }                                               \
    } while (0)

    // The pre-code lengths, then the rows, in one loop (one end check before
    // each field or symbol). Each length of a row is a difference from the
    // length above it (the same symbol in the previous table set) or, where
    // that is 0 or absent, from the last length written. The run weights grow
    // while the same kind of run repeats, so long runs cost few symbols.
    u8 pre_lengths[PRECODE_SYMBOLS];
    for (u32 i = 0; i < PRECODE_SYMBOLS; i++)
        pre_lengths[i] = 0;
    u32 pre_codes[PRECODE_SYMBOLS];
    i32 pre_table[decode_table_slots(PRECODE_LOOKUP_BITS, PRECODE_SYMBOLS)];
    u32 pre_count = 0;
    u32 weight = 1;
    u32 total = R * W;
    u32 p = 0;
    u32 running = 0;
    u32 zero_weight = 1;
    u32 repeat_weight = 1;
    while (p < total) {
        REFILL_IF_NEEDED();
        if (pre_count < PRECODE_SYMBOLS) {
            // Fields 0 and 1 skip symbols: a run of them is a count in
            // bijective base 2, least significant digit first.
            u32 v = peek_bits(cursor, bit_position) & ((1u << PRECODE_FIELD_BITS) - 1);
            advance_bits(cursor, bit_position, PRECODE_FIELD_BITS);
            if (v < 2) {
                pre_count += weight << v;
                weight <<= 1;
            } else {
                pre_lengths[pre_count] = (u8)(v - 1);
                pre_count++;
                weight = 1;
            }
            if (pre_count < PRECODE_SYMBOLS)
                continue;
            for (u32 i = 0; i < PRECODE_SYMBOLS; i++) {
                if (pre_lengths[i] > MAX_CODE_LENGTH) {
                    store_input(d, cursor, bit_position);
                    return ERR_DAMAGED;
                }
            }
            build_code(pre_table, pre_codes, pre_lengths, PRECODE_LOOKUP_BITS, PRECODE_SYMBOLS);
            continue;
        }
        i32 sym = decode_table_symbol(pre_table, PRECODE_LOOKUP_BITS, peek_bits(cursor, bit_position));
        if (sym < 0) {
            store_input(d, cursor, bit_position);
            return ERR_DAMAGED;
        }
        advance_bits(cursor, bit_position, pre_lengths[sym]);
        if (sym < SYM_ZERO_RUN) {
            if (p >= W && rows[p - W] != 0)
                running = rows[p - W];
            running = (running + (u32)sym) % 17;
            rows[p++] = (u8)running;
            zero_weight = 1;
            repeat_weight = 1;
        } else if (sym < SYM_REPEAT_RUN) {
            u32 count = zero_weight << (sym - SYM_ZERO_RUN);
            if (count > total - p)
                count = total - p;
            for (u32 j = 0; j < count; j++)
                rows[p++] = 0;
            zero_weight <<= 1;
            repeat_weight = 1;
        } else {
            u32 count = repeat_weight << (sym - SYM_REPEAT_RUN);
            if (count > total - p)
                count = total - p;
            for (u32 j = 0; j < count; j++) {
                if (p >= W && rows[p - W] != 0)
                    running = rows[p - W];
                rows[p++] = (u8)running;
            }
            repeat_weight <<= 1;
            zero_weight = 1;
        }
        // A weight doubles only while runs of one kind follow each other,
        // and each such run writes at least the weight's worth of lengths,
        // so a weight never passes twice the total: no overflow.
    }
#undef REFILL_IF_NEEDED
    // Every length written is 0, a sum taken modulo 17 or a copy of a length
    // written before: none exceeds MAX_CODE_LENGTH.
    store_input(d, cursor, bit_position);
    return 0;
}
