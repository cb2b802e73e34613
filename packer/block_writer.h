// Block encoders of the archiver. Every block starts on a byte boundary and
// ends padded to one; the 45-bit header's stored length is patched in once
// the block's size is known.
#ifndef DRAVEX_PACKER_BLOCK_WRITER_H
#define DRAVEX_PACKER_BLOCK_WRITER_H

#include <cstdint>
#include <vector>

#include "packer/bit_writer.h"

namespace packer {

namespace lz {
struct Item;
struct MatchCache;
}
struct Marker;

// Forces a choice the LZ encoder would make by cost, so that tests can cover
// every path: distance alphabets 0 = by cost, 2 or 3; table sets -1 = by
// cost, 0 = the fixed set, n = at least n sets where the data allows.
struct LzForce {
    unsigned distance_alphabets = 0;
    int table_sets = -1;
};

// What the LZ encoder chose for a block (for tests and tuning).
struct LzBlockStats {
    unsigned distance_alphabets = 0;  // D
    unsigned table_sets = 0;          // S (0: the fixed set)
    unsigned markers = 0;
    uint32_t matches = 0;
    uint32_t long_matches = 0;        // sent with SYM_LONG_LENGTH
    uint32_t recent_distances = 0;    // sent with distance symbols 0 and 1
    uint32_t length2_matches = 0;     // through distance alphabet 1
    uint32_t unsendable_matches = 0;  // parsed, but sent as literals under D
};

struct LzOptions {
    int level = 6;           // 1 (fast) .. 9 (strongest)
    bool allow_delta = true; // directory pieces pass false
    LzForce force;
    LzBlockStats* stats = nullptr;  // filled in when set
    unsigned optimal_passes = 1;    // levels 8 and 9: shortest-path parses, each priced by the one before
    // Levels 8 and 9: when set, the parse the block was coded with is left
    // here, and a parse already here (of the same bytes at the same level)
    // prices the first pass in place of a lazy parse.
    std::vector<lz::Item>* parse = nullptr;
    // Levels 8 and 9: the match finder's results, left by a first coding
    // of the block when empty and read by a later one (lz_parse.h).
    lz::MatchCache* matches = nullptr;
    // When set, the window's delta regions are already in their difference
    // form (delta_transform on these very bytes) and these are their
    // markers: the block's writer made that pass to foresee the history.
    // The encoder then leaves the window as it is.
    const std::vector<Marker>* delta_markers = nullptr;
};

struct BwtOptions {
    int level = 6;
};

// Writes the 45-bit block header with stored length 0; returns the byte
// offset of the block's start for finish_block.
size_t begin_block(BitWriter& out, unsigned method, bool last, uint32_t output_length);
// Aligns the writer and patches the stored length of the block begun at
// block_start (its whole size, header included). Returns false, patching
// nothing, when the block is longer than its 20-bit stored length can say:
// the caller then takes another method or a shorter block, and drops what
// was written.
bool finish_block(BitWriter& out, size_t block_start);

// One stored block (method 0). The encoders return false for a block that
// does not fit its frame (finish_block).
bool encode_stored_block(BitWriter& out, const uint8_t* data, uint32_t length, bool last);

// One LZ block (method 1): header, window selector, sub-header, tables and
// symbols. window[0, history) is what the decoder holds in front of the
// block; the block's bytes are window[history, history + length). Matches
// may reach anywhere into the history (distance <= 1,048,576). The encoder
// may rewrite the block's bytes inside delta regions into their difference
// form; later blocks must then see the rewritten bytes as their history,
// since that is the form the decoder keeps.
bool encode_lz_block(BitWriter& out, uint8_t* window, uint32_t history, uint32_t length, bool last,
                     unsigned selector, const LzOptions& options);

// One BWT block (method 2).
bool encode_bwt_block(BitWriter& out, const uint8_t* data, uint32_t length, bool last, const BwtOptions& options);

}  // namespace packer

#endif
