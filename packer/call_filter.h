// Forward x86 call filters: the exact inverse of the extractor's conversion
// under the whole-member rule.
#ifndef DRAVEX_PACKER_CALL_FILTER_H
#define DRAVEX_PACKER_CALL_FILTER_H

#include <cstddef>
#include <cstdint>
#include <vector>

namespace packer {

// width 2 or 4. Returns the member's bytes as the archive stores them; a
// member for which call_filter_reversible is false comes back unchanged and
// must not be flagged as filtered.
std::vector<uint8_t> encode_calls(const uint8_t* data, uint32_t size, int width);
// The same conversion over a member that arrives in pieces, so a large
// member is never held whole. Pieces are given in order, each starting where
// the previous one's final bytes ended.
class CallFilterStream {
public:
    CallFilterStream(uint32_t size, int width);
    // Converts in place the bytes of member positions [position,
    // position + length) and returns how many of them, from the front, are
    // final. The others (an operand the piece does not hold whole, at most
    // width bytes) must be given again at the front of the next piece.
    size_t convert(uint8_t* bytes, size_t length, uint64_t position);

private:
    uint64_t size_;
    int width_;
    uint64_t scan_ = 0;  // the next member position to look at
};
// False when the extractor's conversion of that width is not a one-to-one
// mapping for a member of this size (32-bit filter, 2 GiB and more), so the
// member must be stored unfiltered.
bool call_filter_reversible(uint32_t size, int width);
// Returns ENTRY_FILTER32, ENTRY_FILTER16 or 0 from the bytes themselves.
uint8_t detect_call_filter(const uint8_t* data, uint32_t size);

}  // namespace packer

#endif
