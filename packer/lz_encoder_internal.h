// Pieces of the LZ block encoder that the tests reach directly.
#ifndef DRAVEX_PACKER_LZ_ENCODER_INTERNAL_H
#define DRAVEX_PACKER_LZ_ENCODER_INTERNAL_H

#include <cstdint>
#include <vector>

namespace packer {

// A delta marker: from window position pos on, bytes are differences at
// distance stride (0 ends the region before it).
struct Marker {
    uint32_t pos;
    uint32_t stride;
};

// Finds the stretches of window[history, history + length) that code better
// as differences at a fixed stride, rewrites them in place into the form the
// decoder's delta regions undo, and returns their markers in position order.
std::vector<Marker> delta_transform(uint8_t* window, uint32_t history, uint32_t length);

// What the encoder chose for the last block it wrote (for tests and tuning).
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
const LzBlockStats& last_lz_block_stats();

// Forces a choice the encoder would make by cost, so that tests can cover
// every path: distance alphabets 0 = by cost, 2 or 3; table sets -1 = by
// cost, 0 = the fixed set, n = at least n sets where the data allows.
struct LzForce {
    unsigned distance_alphabets = 0;
    int table_sets = -1;
};
void set_lz_force(const LzForce& force);

}  // namespace packer

#endif
