// The extractor's history rules replayed on counts alone (see
// history_model.h). Every step below mirrors one step of the decoder's block
// fetch; a difference of a single byte would let an LZ block refer to bytes
// the decoder no longer holds.
#include "packer/history_model.h"

#include <algorithm>

#include "codec/input_stream.h"
#include "codec/solid_stream.h"

namespace packer {

uint32_t lz_selector_window(unsigned selector)
{
    unsigned row = std::min(selector & 3u, 2u);
    return lz_window_sizes[row][(selector >> 2) & 7];
}

unsigned lz_selector_for(uint64_t wanted)
{
    unsigned best = lz_selector(2, 7);
    for (unsigned row = 0; row < 3; row++)
        for (unsigned col = 0; col < 8; col++)
            if (lz_window_sizes[row][col] >= wanted && lz_window_sizes[row][col] < lz_selector_window(best))
                best = lz_selector(row, col);
    return best;
}

uint32_t HistoryModel::kept_before(unsigned method, bool last, uint32_t length, unsigned selector) const
{
    HistoryModel copy = *this;
    return copy.advance(method, last, length, selector);
}

uint32_t HistoryModel::advance(unsigned method, bool last, uint32_t length, unsigned selector)
{
    // The previous block's output joins the kept bytes.
    uint64_t kept = valid;
    if (!have_buffer) {
        capacity = (uint64_t)length + HISTORY_MARGIN;
        have_buffer = true;
    }
    if (method == METHOD_LZ || method == METHOD_LZ_ALT) {
        if (history_valid) {
            kept = std::min<uint64_t>(kept, lz_selector_window(selector));
            if (kept + length > capacity)
                capacity = kept + length + HISTORY_MARGIN;
        } else {
            kept = 0;
        }
    } else {
        if (length > capacity)
            capacity = (uint64_t)length + HISTORY_MARGIN;
        if (last) {
            kept = 0;
        } else {
            uint64_t room = length >= MAX_KEPT_HISTORY ? 0 : MAX_KEPT_HISTORY - length;
            room = std::min<uint64_t>(room, capacity - length);
            kept = std::min(kept, room);
        }
    }
    valid = kept + length;
    history_valid = true;
    return (uint32_t)kept;
}

}  // namespace packer
