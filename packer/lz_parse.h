// Parsing an LZ block: the choice of literals and matches. Levels 1 to 7
// parse greedily or lazily, with longer searches as the level rises; they
// weigh the two recent distances and the short distances 1 to 4 against
// explicit ones with a rough bit price, so that a cheap reused distance wins
// over a slightly longer match far away. Levels 8 and 9 take the shortest
// path through the block instead, priced with the code lengths that a lazy
// parse of the same bytes yields.
//
// A parse reads the window and nothing else: the same bytes give the same
// items.
#ifndef DRAVEX_PACKER_LZ_PARSE_H
#define DRAVEX_PACKER_LZ_PARSE_H

#include <cstdint>
#include <vector>

#include "packer/lz_delta.h"
#include "packer/lz_symbols.h"

namespace packer {
namespace lz {

// The parse of window[history, end) at level 1..9, matches reaching into
// window[0, history) up to the format's farthest distance. markers are the
// block's delta markers in position order: each becomes an item at its
// position, and no match runs across one.
// optimal_passes (levels 8 and 9): shortest-path parses in a row, each
// priced with the code lengths of the one before; the first is priced by a
// lazy parse, or by `from` when given (an earlier parse of the same bytes at
// the same level, so that passes go on where that one stopped).
std::vector<Item> parse_block(const uint8_t* window, uint32_t history, uint32_t end,
                              const std::vector<Marker>& markers, int level, unsigned optimal_passes = 1,
                              const std::vector<Item>* from = nullptr);

}  // namespace lz
}  // namespace packer

#endif
