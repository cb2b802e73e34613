// The archiver's model of the extractor's DecoderHistory: how many bytes of
// earlier output the decoder holds in front of each block. An LZ block may
// refer only to those bytes, so the model must follow the decoder's rules to
// the byte: the first block keeps nothing, an LZ block keeps at most its
// window, a stored or BWT block keeps what fits beside it in 524,288 bytes
// and in the buffer's current capacity (nothing when it is the last), and
// the buffer grows with a 512-byte margin only when a block needs it.
#ifndef DRAVEX_PACKER_HISTORY_MODEL_H
#define DRAVEX_PACKER_HISTORY_MODEL_H

#include <cstdint>

#include "codec/format_tables.h"

namespace packer {

// Window sizes of the LZ selector: lz_window_sizes in codec/format_tables.h.

// The 5-bit selector value as the block carries it: row in bits 0-1,
// column in bits 2-4.
inline unsigned lz_selector(unsigned row, unsigned column) { return row | (column << 2); }
uint32_t lz_selector_window(unsigned selector);
// The selector with the smallest window that still keeps `wanted` bytes, or
// the largest window when none does.
unsigned lz_selector_for(uint64_t wanted);

struct HistoryModel {
    bool have_buffer = false;
    bool history_valid = false;
    uint64_t capacity = 0;  // the decoder's counted capacity
    uint64_t valid = 0;     // bytes in the buffer after the last block

    // Bytes the decoder will keep in front of a block with these
    // properties; selector only matters for LZ blocks. Does not change the
    // model.
    uint32_t kept_before(unsigned method, bool last, uint32_t length, unsigned selector) const;
    // Takes the block in: the same rules, applied. Returns the kept count.
    uint32_t advance(unsigned method, bool last, uint32_t length, unsigned selector);
};

}  // namespace packer

#endif
