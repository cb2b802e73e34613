// Canonical Huffman codes: code assignment, the two-level decoding table
// (primary lookup plus node store), the code-length transmission and the
// fixed LZ table set.
#ifndef DRAVEX_CODEC_HUFFMAN_H
#define DRAVEX_CODEC_HUFFMAN_H

#include "platform/base.h"

enum {
    EMPTY_SLOT = -288,
    MAX_CODE_LENGTH = 16,
    PRECODE_SYMBOLS = 21,
    PRECODE_LOOKUP_BITS = 6,
};

u32 assign_codes(u32* codes, const u8* lengths, u32 n);
ResultCode build_decode_table(i32* lookup, i32* store, const u32* codes, const u8* lengths, u32 k, u32 n);
// Both steps for a decoder, into one table of decode_table_slots(k, n)
// entries: the lookup, then the node store (decode_table_symbol reads it).
// codes (n entries) is scratch. The result is build_decode_table's; lengths
// above MAX_CODE_LENGTH are the caller's to refuse beforehand.
static constexpr u32 decode_table_slots(u32 k, u32 n) { return (1u << k) + 2 * n; }
ResultCode build_code(i32* table, u32* codes, const u8* lengths, u32 k, u32 n);
struct Decoder;

ResultCode read_code_lengths(Decoder* d, u8* rows, u32 W, u32 R, u32 extent);
void fill_default_lengths(u8* rows, u32 extent);

#endif
