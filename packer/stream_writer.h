// Solid data stream writer: member records cut into blocks, the method chosen
// per block, the window selector set so that the decoder keeps the history
// each LZ block refers to.
#ifndef DRAVEX_PACKER_STREAM_WRITER_H
#define DRAVEX_PACKER_STREAM_WRITER_H

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace packer {

struct StreamMember {
    std::string name;        // as stored (code page 1252, backslashes)
    const uint8_t* data;     // the member's original bytes
    uint32_t size;
    uint8_t filter;          // 0, ENTRY_FILTER16 or ENTRY_FILTER32
};

struct StreamPlacement {
    uint32_t member_offset;  // of its LocalHeader in the decoded stream
    uint32_t crc;            // standard CRC-32 of the original bytes
    uint8_t filter;          // the filter flag the stored bytes went through:
                             // ENTRY_FILTER16, ENTRY_FILTER32 or 0 (also 0
                             // when the member's size rules the filter out)
};

struct StreamOptions {
    int level = 6;
    // Threads that code blocks; the stream is the same whatever the count.
    unsigned threads = 1;
    // Called with bytes done and bytes in all, now and then.
    std::function<void(uint64_t, uint64_t)> progress;
};

// Returns the stream, starting with its "QVXLH\0" signature.
std::vector<uint8_t> write_data_stream(const std::vector<StreamMember>& members, const StreamOptions& options,
                                       std::vector<StreamPlacement>& placements);

}  // namespace packer

#endif
