// Huffman side of the archiver: length-limited code lengths, canonical codes
// in the decoder's bit order, and the code-length transmission writer.
#ifndef DRAVEX_PACKER_HUFFMAN_ENCODER_H
#define DRAVEX_PACKER_HUFFMAN_ENCODER_H

#include <cstdint>
#include <vector>

#include "packer/bit_writer.h"

namespace packer {

// Code lengths of at most max_length (<= 16) bits for the given symbol
// frequencies; unused symbols get 0. When only one symbol is used it still
// gets a 1-bit code, so every used symbol can be written.
std::vector<uint8_t> huffman_lengths(const std::vector<uint32_t>& freqs, unsigned max_length = 16);

// Canonical codes for the lengths, stored bit-reversed (first bit in bit 0)
// exactly as the decoder assigns them; BitWriter::put_code writes them.
std::vector<uint32_t> canonical_codes(const std::vector<uint8_t>& lengths);

// Writes a code-length transmission of R rows of W lengths each (R >= 1):
// the pre-code, then the rows as differences, zero runs and repeat runs.
void write_code_lengths(BitWriter& out, const std::vector<uint8_t>& rows, unsigned W, unsigned R);

// The number of bits write_code_lengths would write.
uint64_t code_lengths_cost(const std::vector<uint8_t>& rows, unsigned W, unsigned R);

}  // namespace packer

#endif
