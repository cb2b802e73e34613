// Fuzz target: a whole data stream with member requests, through
// output_member, the solid stream (history keeping, restarts, block pending)
// and all three block decoders, with the call filters on top.
//
// Input layout:
//   byte 0            bits 0..2: number of requests - 1 (1 to 8)
//   7 bytes/request   member offset (3 bytes, little-endian, cut to 22
//                     bits), member size (3 bytes, cut to 22 bits), entry
//                     flags (1 byte)
//   the rest          the stream's blocks; the file holds the 6-byte stream
//                     signature in front of them, and the stream lies at
//                     archive offset 0
//
// The requests run one after the other as the driver makes them, so that
// the state left by one (a pending block, a short stream, history) meets the
// next. The output goes to /dev/null; its CRC-32 is not checked, only that
// every request ends with a result.

#include <cstdint>
#include <vector>

#include "codec/decoder.h"
#include "platform/platform.h"
#include "tests/engine.h"

namespace {

const uint32_t REQUEST_BYTES = 7;
const uint32_t POSITION_MASK = (1u << 22) - 1;

uint32_t load_le24(const uint8_t* p) { return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1)
        return 0;
    const uint32_t requests = (data[0] & 7) + 1;
    if (size < 1 + requests * REQUEST_BYTES)
        return 0;
    const uint8_t* request = data + 1;
    std::vector<uint8_t> file = {'Q', 'V', 'X', 'L', 'H', 0};
    file.insert(file.end(), data + 1 + requests * REQUEST_BYTES, data + size);

    static FileHandle sink = file_open("/dev/null", ACCESS_WRITE);
    if (sink == INVALID_FILE)
        return 0;

    // One engine for the process: fresh pages for every input cost more
    // than the decoding.
    static testutil::Engine engine;
    if (!engine.load(file))
        return 0;

    for (uint32_t i = 0; i < requests; i++, request += REQUEST_BYTES) {
        uint32_t member_offset = load_le24(request) & POSITION_MASK;
        uint32_t member_size = load_le24(request + 3) & POSITION_MASK;
        uint32_t flags = request[6];
        ResultCode r = output_member(engine.d, sink, 0, member_offset, member_size, flags);
        if (r > 0)
            __builtin_trap();  // success is exactly 0
    }

    return 0;
}
