// Table sets of an LZ block: where the block switches to a new set of
// Huffman tables, the code lengths of each set, the exact size of the block
// under a plan, and the writing of the symbols under the chosen plan.
#ifndef DRAVEX_PACKER_LZ_TABLE_SETS_H
#define DRAVEX_PACKER_LZ_TABLE_SETS_H

#include <cstdint>
#include <vector>

#include "packer/bit_writer.h"
#include "packer/lz_symbols.h"

namespace packer {
namespace lz {

enum { MAX_CODE_BITS = 16 };

// Start positions of the table sets after the first. The symbol stream is
// cut into chunks whose statistics are merged greedily while a merge saves
// more than set_price bits (what a new table set is guessed to cost on top
// of the one before it); forced_sets > 0 asks for that many sets where the
// data allows, forced_sets < 0 chooses by cost.
std::vector<uint32_t> choose_boundaries(const std::vector<Token>& tokens, int forced_sets, double set_price);

// One way of writing the block, with its exact size in bits.
struct BlockPlan {
    unsigned D = 2;
    unsigned S = 0;  // 0: the fixed set
    std::vector<uint32_t> bounds;
    std::vector<uint8_t> rows;  // S rows of W lengths (one row for the fixed set)
    uint64_t bits = 0;
};

inline unsigned table_width(unsigned D) { return D == 3 ? LZ_TABLE_WIDTH_D3 : LZ_TABLE_WIDTH; }

// Huffman tables built for the tokens between the bounds.
BlockPlan plan_dynamic(const std::vector<Token>& tokens, unsigned D, const std::vector<uint32_t>& bounds);

// The fixed set for D = 2 symbols, or bits = ~0 when a symbol has no code.
// extent is the history and block together, as the decoder counts it.
BlockPlan plan_fixed(const std::vector<Token>& tokens, uint32_t extent);

void write_tokens(BitWriter& out, const std::vector<Token>& tokens, const BlockPlan& plan);

}  // namespace lz
}  // namespace packer

#endif
