// Block encoders of the archiver. Every block starts on a byte boundary and
// ends padded to one; the 45-bit header's stored length is patched in once
// the block's size is known.
#ifndef DRAVEX_PACKER_BLOCK_WRITER_H
#define DRAVEX_PACKER_BLOCK_WRITER_H

#include <cstdint>
#include <vector>

#include "packer/bit_writer.h"

namespace packer {

struct LzOptions {
    int level = 6;           // 1 (fast) .. 9 (strongest)
    bool allow_delta = true; // directory pieces pass false
};

struct BwtOptions {
    int level = 6;
};

// Writes the 45-bit block header with stored length 0; returns the byte
// offset of the block's start for patch_block_length.
size_t begin_block(BitWriter& out, unsigned method, bool last, uint32_t output_length);
// Aligns the writer and patches the stored length of the block begun at
// block_start (its whole size, header included).
void finish_block(BitWriter& out, size_t block_start);

// One stored block (method 0).
void encode_stored_block(BitWriter& out, const uint8_t* data, uint32_t length, bool last);

// One LZ block (method 1): header, window selector, sub-header, tables and
// symbols. window[0, history) is what the decoder holds in front of the
// block; the block's bytes are window[history, history + length). Matches
// may reach anywhere into the history (distance <= 1,048,576). The encoder
// may rewrite the block's bytes inside delta regions into their difference
// form; later blocks must then see the rewritten bytes as their history,
// since that is the form the decoder keeps.
void encode_lz_block(BitWriter& out, uint8_t* window, uint32_t history, uint32_t length, bool last,
                     unsigned selector, const LzOptions& options);

// One BWT block (method 2).
void encode_bwt_block(BitWriter& out, const uint8_t* data, uint32_t length, bool last, const BwtOptions& options);

}  // namespace packer

#endif
