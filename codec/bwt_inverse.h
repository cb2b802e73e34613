// The inverse Burrows-Wheeler transform of one block: from the last column L
// (n bytes and the marker's place) to the block's bytes, through a link
// vector that the caller allocates.
#ifndef DRAVEX_CODEC_BWT_INVERSE_H
#define DRAVEX_CODEC_BWT_INVERSE_H

#include "platform/base.h"

// Bytes of the working area bwt_unwind needs for a block of n bytes: the link
// vector of n + 1 entries, and room for the parallel chains (in the stub a
// byte a row).
u32 bwt_link_bytes(u32 n);

// Fills link[0..n] from the last column at `last` (the marker at `origin`,
// 1 <= origin <= n unless n is 0) and the start array `start` of the sorted
// first column, which it advances: entry k holds the byte L[k] in its top 8
// bits and in its low 24 bits the row whose first column holds that same
// occurrence. The marker's entry is 0.
void bwt_build_links(u32* link, const u8* last, u32 n, u32 origin, u32* start);

// Follows the links from row 0 and writes the n bytes, each plus `offset`
// (mod 256), at out[0..n-1], which holds L on entry. `link` must be the area
// of bwt_link_bytes(n) bytes filled by bwt_build_links; the rest of the area
// is scratch. The stub's walk spends the links.
void bwt_unwind(u32* link, u8* out, u32 n, u32 origin, u32 offset);

#endif
