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

// What the match finder found at the positions a shortest-path parse
// searched: a later parse of the same bytes at the same level reads them
// here rather than walking the chains again (most of a parse's time), and
// searches only where the first did not. The results are the finder's
// own, so the later parse comes out exactly as without them.
struct MatchCache {
    struct Match {
        uint32_t len, dist;
    };
    std::vector<uint32_t> first;  // per block position: its first match in found
    std::vector<uint8_t> count;   // matches found there; NOT_SEARCHED when none was sought
    std::vector<Match> found;
    enum : uint8_t { NOT_SEARCHED = 0xFF };
    bool empty() const { return count.empty(); }
};

// The parse of window[history, end) at level 1..9, matches reaching into
// window[0, history) up to the format's farthest distance. markers are the
// block's delta markers in position order: each becomes an item at its
// position, and no match runs across one.
// optimal_passes (levels 8 and 9): shortest-path parses in a row, each
// priced with the code lengths of the one before; the first is priced by a
// lazy parse, or by `from` when given (an earlier parse of the same bytes at
// the same level, so that passes go on where that one stopped).
// matches (levels 8 and 9): when empty, the first shortest-path parse
// leaves its searches' results there; when filled (by a parse of the same
// window, history, end, markers and level), the parses read them.
std::vector<Item> parse_block(const uint8_t* window, uint32_t history, uint32_t end,
                              const std::vector<Marker>& markers, int level, unsigned optimal_passes = 1,
                              const std::vector<Item>* from = nullptr, MatchCache* matches = nullptr);

}  // namespace lz
}  // namespace packer

#endif
