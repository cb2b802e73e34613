// Fuzz target: the archiver's data stream read back by the extractor's
// engine. Whatever the bytes, the level and the way they are cut into
// members, every member must come back whole with its CRC-32.
//
// Input layout:
//   byte 0       bits 0..2: level 1 to 6 (value mod 6, plus 1), or with
//                bit 7 set 7 to 9 (value mod 3, plus 7: the shortest-path
//                parses, and at 9 machine code's second parse from the
//                first one's searches); bits 3..5: the members marked
//                already compressed (stored, without trials, in runs of
//                4 KB or more); bit 6: the last member is a copy of the
//                first (a twin, as the archiver places them)
//   byte 1       bits 0..1: members - 1 (1 to 3); bits 2..7: call filter
//                flags, two bits per member (0, ENTRY_FILTER16,
//                ENTRY_FILTER32, both)
//   bytes 2..3   where the data is cut between the members
//   the rest     the members' bytes, at most 8 KB
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "codec/decoder.h"
#include "packer/stream_writer.h"
#include "tests/engine.h"

namespace {

const size_t MAX_DATA = 8192;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 4 || size - 4 > MAX_DATA)
        return 0;
    const int level = data[0] & 0x80 ? (data[0] & 7) % 3 + 7 : (data[0] & 7) % 6 + 1;
    const size_t count = (data[1] & 3) % 3 + 1;
    const uint8_t* bytes = data + 4;
    const size_t length = size - 4;
    size_t cuts[4] = {0, 0, 0, length};
    cuts[1] = length ? data[2] * length / 255 : 0;
    cuts[2] = length ? data[3] * length / 255 : 0;
    if (cuts[2] < cuts[1])
        std::swap(cuts[1], cuts[2]);
    if (count < 3)
        cuts[2] = length;
    if (count < 2)
        cuts[1] = length;

    std::vector<packer::StreamMember> members;
    std::vector<std::vector<uint8_t>> originals;
    for (size_t i = 0; i < count; i++) {
        if (i > 0 && i + 1 == count && (data[0] & 0x40))
            originals.push_back(originals[0]);
        else
            originals.emplace_back(bytes + cuts[i], bytes + cuts[i + 1]);
    }
    for (size_t i = 0; i < count; i++) {
        uint8_t filter = (uint8_t)(((data[1] >> (2 + 2 * i)) & 3) << 1);  // bits 1 and 2
        packer::StreamMember m;
        m.name = "m" + std::to_string(i);
        m.data = originals[i].data();
        m.size = (uint32_t)originals[i].size();
        m.filter = filter;
        m.store = (data[0] >> (3 + i)) & 1;
        members.push_back(m);
    }
    packer::StreamOptions options;
    options.level = level;
    std::vector<packer::StreamPlacement> placements;
    std::vector<uint8_t> stream = packer::write_data_stream(members, options, placements);

    // One engine for the process: fresh pages for every input cost more
    // than the decoding.
    static testutil::Engine engine;
    if (!engine.load(stream))
        return 0;
    std::vector<uint8_t> out;
    for (size_t i = 0; i < count; i++) {
        ResultCode r = engine.member(0, placements[i].member_offset, members[i].size, placements[i].filter, out);
        if (r != 0 || engine.d->running_crc != placements[i].crc || out != originals[i])
            __builtin_trap();
    }
    return 0;
}
