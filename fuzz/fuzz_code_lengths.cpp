// Fuzz target: the code-length transmission (pre-code, differences, zero and
// repeat runs) read through the real input stream.
//
// Input layout:
//   byte 0     R, the number of rows (0 to 63; 0 writes the fixed set)
//   byte 1     the row width: 0 -> 344, 1 -> 372, otherwise 258 (BWT)
//   the rest   the bits, placed in a block right after its 6 header bytes,
//              so that long inputs go through refills
//
// Afterwards every row is built into decoding tables and every bit pattern
// of a few samples is decoded, to check the builder on whatever arrived.

#include <cstdint>
#include <vector>

#include "codec/huffman.h"
#include "codec/huffman_decode.h"
#include "codec/input_stream.h"
#include "platform/platform.h"
#include "tests/engine.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 2 || size > 900000)
        return 0;
    uint32_t R = data[0] % 64;
    uint32_t W = data[1] == 0 ? 344 : data[1] == 1 ? 372 : 258;
    data += 2;
    size -= 2;

    // A block header (method 1, last) whose stored length covers the bits.
    std::vector<uint8_t> image(6 + size);
    uint64_t stored = image.size();
    uint64_t head = 1 | 1u << 4 | (stored & 0xFFFFF) << 25;
    for (int i = 0; i < 6; i++)
        image[i] = (uint8_t)(head >> (8 * i));
    std::copy(data, data + size, image.begin() + 6);

    // One engine for the process: fresh pages for every input cost more
    // than the decoding.
    static testutil::Engine engine;
    if (!engine.load(image) || stream_begin_block(engine.d) < 0)
        return 0;
    engine.d->input.cursor += 6;

    std::vector<uint8_t> rows((size_t)(R == 0 ? 344 : R * W));
    if (read_code_lengths(engine.d, rows.data(), W, R, size) < 0)
        return 0;
    uint32_t rows_read = R == 0 ? 1 : R;
    uint32_t width = R == 0 ? 344 : W;
    for (uint32_t r = 0; r < rows_read; r++) {
        const uint8_t* lengths = rows.data() + r * width;
        uint32_t n = width < 288 ? width : 288;
        std::vector<uint32_t> codes(n);
        std::vector<int32_t> lookup(512), store(2 * n);
        assign_codes(codes.data(), lengths, n);
        build_decode_table(lookup.data(), store.data(), codes.data(), lengths, 9, n);
        for (uint32_t bits = 0; bits < (1u << 16); bits += 251) {
            int32_t s = decode_symbol(lookup.data(), store.data(), 9, bits);
            if (s < -1 || s >= (int32_t)n)
                __builtin_trap();
        }
    }
    return 0;
}
