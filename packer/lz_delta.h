// Delta regions of the LZ encoder: stretches of a block whose bytes code
// better as differences at a fixed stride (16-bit samples, pixel rows).
#ifndef DRAVEX_PACKER_LZ_DELTA_H
#define DRAVEX_PACKER_LZ_DELTA_H

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
// as differences at a stride of 1 to 7, rewrites them in place into the form
// the decoder's delta regions undo, and returns their markers in position
// order.
std::vector<Marker> delta_transform(uint8_t* window, uint32_t history, uint32_t length);

}  // namespace packer

#endif
