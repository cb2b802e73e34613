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
    const uint8_t* data;     // the member's original bytes, or null: read them with read
    uint32_t size;
    uint8_t filter;          // 0, ENTRY_FILTER16 or ENTRY_FILTER32
    // Already compressed: a run of such members of 4 KB or more goes into
    // stored blocks of its own, without trying any coding.
    bool store = false;
    // When data is null: fills the buffer with the member's next bytes, in
    // order, exactly as many as asked (the caller pads a file that ended
    // early); false when they cannot be read, which ends the stream.
    std::function<bool(uint8_t*, size_t)> read;
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

// Returns the stream, starting with its "QVXLH\0" signature; empty when it
// cannot be written (see below).
std::vector<uint8_t> write_data_stream(const std::vector<StreamMember>& members, const StreamOptions& options,
                                       std::vector<StreamPlacement>& placements);

// The same, handing the stream's bytes to out as each block is done, so
// neither the members nor the stream are ever held whole: memory stays at
// the block in work, the history and the encoders' tables. Returns false
// when the stream cannot be written: a member's name or the whole stream
// too long for the format (error says which), or a member's read or out
// returning false (they have said why; error is left as it was).
bool write_data_stream(const std::vector<StreamMember>& members, const StreamOptions& options,
                       std::vector<StreamPlacement>& placements,
                       const std::function<bool(const uint8_t*, size_t)>& out, std::string& error);

}  // namespace packer

#endif
