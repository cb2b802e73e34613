// Fuzz target: one BWT block through the real input stream: its Huffman
// tables and selectors, the move-to-front runs, the origin marker and the
// inverse transform.
//
// Input: the stream from the block header on. The header's output length N
// is cut to 256 KiB to keep runs fast (nothing in the decoder depends on
// sizes beyond that). The decoder writes the block with the origin marker's
// place in it before the inverse transform moves it out, so its output
// buffer holds exactly N + 1 bytes (the history keeps a margin for that) and
// any write past them faults under AddressSanitizer.
#include <cstdint>
#include <cstring>

#include "codec/decoder.h"
#include "platform/platform.h"
#include "tests/engine.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // One engine for the process: fresh pages for every input cost more
    // than the decoding.
    static testutil::Engine engine;
    Decoder* d = engine.d;
    if (!engine.load(data, size) || engine.begin_block(false) < 0)
        return 0;
    BlockHeader header;
    parse_block_header(d->input.buffer, &header);
    uint32_t n = header.output_length < (1u << 18) ? header.output_length : (1u << 18);
    u8* out = (u8*)mem_alloc(n + 1);
    if (out == nullptr)
        return 0;
    ResultCode r = decode_bwt_block(d, out, n);
    if (r > 0)
        __builtin_trap();  // success is exactly 0
    mem_free(out);
    return 0;
}
