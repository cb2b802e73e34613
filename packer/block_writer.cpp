#include "packer/block_writer.h"


#include "codec/input_stream.h"

namespace packer {

size_t begin_block(BitWriter& out, unsigned method, bool last, uint32_t output_length)
{
    out.align();
    size_t start = out.byte_count();
    out.put(method, 4);
    out.put(last ? 1 : 0, 1);
    out.put(output_length, 20);
    out.put(0, 20);  // stored length, patched by finish_block
    return start;
}

bool finish_block(BitWriter& out, size_t block_start)
{
    out.align();
    std::vector<uint8_t>& bytes = out.bytes();
    uint64_t stored = bytes.size() - block_start;
    // The stored length has 20 bits. A longer block cannot be framed; masking
    // the length would write a block the extractor misreads, so refuse it and
    // let the caller choose another method or a shorter block.
    if (stored > MAX_BLOCK_OUTPUT)
        return false;
    uint64_t header = 0;
    for (int i = 0; i < 6; i++)
        header |= (uint64_t)bytes[block_start + i] << (8 * i);
    header &= ~(((uint64_t)0xFFFFF) << 25);
    header |= (stored & 0xFFFFF) << 25;
    for (int i = 0; i < 6; i++)
        bytes[block_start + i] = (uint8_t)(header >> (8 * i));
    return true;
}

bool encode_stored_block(BitWriter& out, const uint8_t* data, uint32_t length, bool last)
{
    size_t start = begin_block(out, METHOD_STORED, last, length);
    out.put(0, 3);  // bits 45..47, not read
    out.bytes().insert(out.bytes().end(), data, data + length);
    return finish_block(out, start);
}

}  // namespace packer
