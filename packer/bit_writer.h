// LSB-first bit writer, the mirror of the decoder's bit order: a field of n
// bits goes to the next n bit positions, its least significant bit first.
#ifndef DRAVEX_PACKER_BIT_WRITER_H
#define DRAVEX_PACKER_BIT_WRITER_H

#include <cstddef>
#include <cstdint>
#include <vector>

namespace packer {

class BitWriter {
public:
    explicit BitWriter(std::vector<uint8_t>& out) : out_(out) {}

    // Writes the low `count` bits of value (count <= 32).
    void put(uint32_t value, unsigned count)
    {
        if (count < 32)
            value &= (1u << count) - 1;
        acc_ |= (uint64_t)value << used_;
        used_ += count;
        while (used_ >= 8) {
            out_.push_back((uint8_t)acc_);
            acc_ >>= 8;
            used_ -= 8;
        }
    }

    // Writes a Huffman code stored bit-reversed (first bit in bit 0).
    void put_code(uint32_t reversed_code, unsigned length) { put(reversed_code, length); }

    // Pads with zero bits up to the next byte boundary.
    void align()
    {
        if (used_ > 0)
            put(0, 8 - used_);
    }

    // Bits written so far, counted from the start of the output vector.
    uint64_t bit_count() const { return (uint64_t)out_.size() * 8 + used_; }
    size_t byte_count() const { return out_.size(); }
    std::vector<uint8_t>& bytes() { return out_; }

private:
    std::vector<uint8_t>& out_;
    uint64_t acc_ = 0;
    unsigned used_ = 0;
};

}  // namespace packer

#endif
