// Fuzz target: one LZ block through the real input stream, with a history in
// front of its output, then the re-encoding of the kept tail.
//
// Input layout:
//   byte 0       bit 0: apply_regions; bits 1..7: the keep amount for
//                delta_encode_tail, in 1/128ths of the buffer
//   bytes 1, 2   H, the history length (little-endian, cut to what follows)
//   H bytes      the history
//   the rest     the stream from the block header on; its output length is
//                N, cut to 256 KiB to keep runs fast (nothing in the decoder
//                depends on sizes beyond that)
//
// The output buffer holds exactly H + N bytes, so any write past the block
// faults under AddressSanitizer.

#include <cstdint>
#include <cstring>

#include "codec/decoder.h"
#include "platform/platform.h"
#include "tests/engine.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 3)
        return 0;
    int apply_regions = data[0] & 1;
    uint32_t keep_share = data[0] >> 1;
    uint32_t H = (uint32_t)data[1] | (uint32_t)data[2] << 8;
    data += 3;
    size -= 3;
    if (H > size)
        H = (uint32_t)size;
    const uint8_t* history = data;
    data += H;
    size -= H;

    // One engine for the process: fresh pages for every input cost more
    // than the decoding.
    static testutil::Engine engine;
    Decoder* d = engine.d;
    if (!engine.load(data, size) || engine.begin_block(true) < 0)
        return 0;
    BlockHeader header;
    parse_block_header(d->input.buffer, &header);
    uint32_t N = header.output_length < (1u << 18) ? header.output_length : (1u << 18);

    uint32_t total = H + N;
    u8* buffer = (u8*)mem_alloc(total > 0 ? total : 1);
    if (buffer == nullptr)
        return 0;
    std::memcpy(buffer, history, H);
    std::memset(buffer + H, 0, N);
    i32 n = decode_lz_block(d, buffer, H, N, apply_regions);
    if (n > (i32)N)
        __builtin_trap();
    if (n >= 0 && apply_regions) {
        // What next_block does before keeping history.
        d->stream.history = buffer;
        d->stream.kept = H + (uint32_t)n;
        delta_encode_tail(d, (uint32_t)(((uint64_t)d->stream.kept * keep_share) / 127));
        d->stream.history = nullptr;  // not the engine's to free
        d->stream.kept = 0;
    }
    mem_free(buffer);
    return 0;
}
