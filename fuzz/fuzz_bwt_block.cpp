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

#include "codec/bwt_decoder.h"
#include "codec/input_stream.h"
#include "fuzz/fuzz_stream.h"
#include "platform/platform.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzStream stream(data, size);
    if (!stream.ok())
        return 0;
    if (stream_begin_block() < 0)
        return 0;
    BlockHeader header;
    parse_block_header(input_stream.cursor, &header);
    uint32_t n = header.output_length < (1u << 18) ? header.output_length : (1u << 18);
    input_stream.cursor += BLOCK_HEADER_BITS / 8;
    input_stream.bit_position = BLOCK_HEADER_BITS % 8;
    u8* out = (u8*)mem_alloc(n + 1);
    if (out == nullptr)
        return 0;
    ResultCode r = decode_bwt_block(out, n);
    if (r > 0)
        __builtin_trap();  // success is exactly 0
    mem_free(out);
    return 0;
}
