// The bit reader and the symbol decoding step that every decoder runs in line
// in its own loop.
//
// A decoder keeps the input cursor and the bit position (0 to 7) in locals.
// Every field comes from a 32-bit little-endian load at the cursor shifted
// right by the bit position, which leaves at least 25 valid bits: enough for
// any code (at most 16 bits) and any extra-bits field (at most 18 bits).
#ifndef DRAVEX_CODEC_HUFFMAN_DECODE_H
#define DRAVEX_CODEC_HUFFMAN_DECODE_H

#include "codec/huffman.h"
#include "codec/input_stream.h"
#include "platform/base.h"

enum {
    // Bits a peek is guaranteed to hold.
    PEEK_BITS = 32 - 7,
    // Bytes from the end mark on that a decoder may load before its next end
    // check: the 8 held-back bytes, plus the one more byte that a 32-bit load
    // reaches beyond the last bit it needs.
    INPUT_READ_AHEAD = INPUT_HELD_BACK + 1,
};

DRAVEX_STATIC_ASSERT((int)PEEK_BITS >= (int)MAX_CODE_LENGTH, "a peek holds any code");

// The next 25 or more input bits, the first one in bit 0.
static DRAVEX_INLINE u32 peek_bits(const u8* cursor, u32 bit_position)
{
    return load_le32(cursor) >> bit_position;
}

static DRAVEX_INLINE void advance_bits(const u8*& cursor, u32& bit_position, u32 count)
{
    bit_position += count;
    cursor += bit_position >> 3;
    bit_position &= 7;
}

// Decodes the symbol whose code starts at bit 0 of `bits` through a primary
// lookup of 2^k entries and its node store. Returns the symbol, or -1 for a
// code with nothing behind it. The caller advances by the symbol's length.
//
// Nodes are numbered in the order the builder creates them and a node's
// children are always younger nodes, so the walk ends after at most n - 1
// steps even on a damaged code, and every slot it reads lies below 2n.
static DRAVEX_INLINE i32 decode_symbol(const i32* lookup, const i32* store, u32 k, u32 bits)
{
    i32 e = lookup[bits & ((1u << k) - 1)];
    if (DRAVEX_LIKELY(e >= 0))
        return e;
    if (e == EMPTY_SLOT)
        return -1;
    u32 m = (u32)-e;
    bits >>= k;
    for (;;) {
        e = store[2 * m + (bits & 1)];
        bits >>= 1;
        if (e < 1)
            break;
        m = (u32)e;
    }
    if (e == EMPTY_SLOT)
        return -1;
    return -e;
}

// decode_symbol through a table as build_code lays it out. The host decodes
// in line in each loop; the stub calls one copy (huffman.cpp) from all of
// them.
#ifdef DRAVEX_STUB_BUILD
i32 decode_table_symbol(const i32* table, u32 k, u32 bits);
#else
static DRAVEX_INLINE i32 decode_table_symbol(const i32* table, u32 k, u32 bits)
{
    return decode_symbol(table, table + (1u << k), k, bits);
}
#endif

#endif
