// Inverting the Burrows-Wheeler transform.
//
// A stable counting sort of L tells, for every occurrence of a byte in L, the
// row of the sorted rotations whose first column holds the same occurrence,
// which is the rotation that starts one byte earlier in the text. Following
// these links from row 0 (the rotation that starts with the marker and so
// ends with the last byte) yields the text from back to front. Each link
// carries its own byte in its top 8 bits, so the output may overwrite L in
// place.
//
// Following one chain costs one dependent load per byte from a vector of up
// to 4 MB: the processor waits for memory at every step. The host therefore
// follows several chains at once, so that their loads overlap. It cuts the
// cycle of links at a number of rows chosen in advance (evenly spaced row
// numbers), and each of a few lanes decodes one piece at a time, from a cut
// to the next cut it meets, into chunks of a scratch area. Where a piece lies
// in the text is not known while it is decoded; once every piece is done,
// the cuts each piece ended at chain them in text order from the block's
// end, and the chunks are copied into place. Links of a damaged block need
// not form one cycle through every row: then the pieces do not chain up, and
// the block is decoded again along the single chain, with the result the
// plain walk gives. The stub has a smaller form of its own (below).
#include "codec/bwt_inverse.h"

#include "codec/input_stream.h"

enum {
    LINK_SHIFT = 24,
    // Rows need 20 bits (n + 1 <= 2^20); bits 20 to 23 are free for marks.
    ROW_MASK = (1u << 20) - 1,
};

#ifdef DRAVEX_STUB_BUILD
enum {
    // A cut every 2^14 rows: at most 64 pieces, each followed by a chain
    // of its own, all at once; a block under 16 KB is one piece.
    STUB_CUT_SHIFT = 14,
    STUB_PIECES = ((1u << 20) >> STUB_CUT_SHIFT) + 1,
};
#else
enum {
    LANES = 16,            // chains followed at once
    PIECES = 256,          // cuts in the cycle of links
    CHUNK = 4096,          // bytes of scratch a lane takes at a time
    PARALLEL_MIN = 65536,  // smaller blocks take the plain walk
    // Bit 23 marks a cut, whose entry then holds the piece number instead
    // of a link.
    CUT_FLAG = 1u << 23,
    ORIGIN_PIECE = PIECES,  // the cut at the marker's row: the text's start
    NONE = 0xFFFFFFFFu,
    MAX_CHUNKS = (1u << 20) / CHUNK + PIECES + LANES + 2,
};

// Every piece wastes less than one chunk; a few more for the lanes' last ones.
// At most MAX_CHUNKS, since n + 1 <= 2^20.
static u32 chunk_count(u32 n)
{
    return (n + 1) / CHUNK + PIECES + LANES + 2;
}
#endif

u32 bwt_link_bytes(u32 n)
{
#ifdef DRAVEX_STUB_BUILD
    return (n + 1) * 5;  // the links and the plane
#else
    if (n >= PARALLEL_MIN)
        return (n + 1) * 4 + chunk_count(n) * CHUNK;
    return (n + 1) * 4;
#endif
}

void bwt_build_links(u32* link, const u8* last, u32 n, u32 origin, u32* start)
{
    // The marker's row holds no byte of L (its slot is read, not used) and
    // its link is never followed.
    for (u32 k = 0; k <= n; k++) {
        u32 c = last[k];
        link[k] = k == origin ? 0 : (c << LINK_SHIFT) | start[c]++;
    }
}

#ifndef DRAVEX_STUB_BUILD
static void unwind_plain(const u32* link, u8* out, u32 n, u32 offset)
{
    u32 i = 0;
    for (u32 q = n; q > 0; q--) {
        u32 e = link[i];
        out[q - 1] = (u8)((e >> LINK_SHIFT) + offset);
        i = e & ROW_MASK;
    }
}
#endif

#ifdef DRAVEX_STUB_BUILD
// The stub's form of the parallel walk: less code than the host's, and
// 1 byte a row more memory. The cuts are the rows at multiples of a power
// of two, so a chain sees a cut from the row number alone, and every cut
// starts a piece of its own, all followed at once. A piece stops at the next
// cut or at the marker's row, and leaves in every row it passes, in place of
// the link just read, its number and its step within the piece: every row is
// passed once. Chaining the pieces from row 0 gives the place of each
// piece's steps in the text; one pass over the rows then puts every row's
// byte of L there, in a plane behind the links, and the plane goes to `out`.
// The links form a permutation, so every piece stops at a cut or at the
// marker's row. A damaged block whose pieces do not chain up into n bytes
// (links of several cycles) leaves L in `out`, which its check value then
// refuses; the host's walk gives the single chain's bytes there instead.
namespace {
struct StubPiece {
    u32 row;   // where the chain is, then where it stopped
    u32 step;  // steps taken, then the place of the first one
};
}  // namespace

static void unwind_pieces(u32* link, u8* out, u32 n, u32 origin, u32 offset)
{
    const u32 pieces = (n >> STUB_CUT_SHIFT) + 1;
    u8* plane = (u8*)(link + n + 1);
    StubPiece piece[STUB_PIECES];
    for (u32 j = 0; j < pieces; j++) {
        piece[j].row = j << STUB_CUT_SHIFT;
        piece[j].step = 0;
    }
    for (u32 busy = 1; busy;) {
        busy = 0;
        for (u32 j = 0; j < pieces; j++) {
            StubPiece* p = &piece[j];
            u32 r = p->row;
            if (r == origin || (p->step && !(r & ((1u << STUB_CUT_SHIFT) - 1))))
                continue;  // stopped
            p->row = link[r] & ROW_MASK;
            link[r] = (j << 20) | ++p->step;
            busy = 1;
        }
    }
    // From the block's end back to the marker, each piece at most once.
    u32 place = n;
    u32 r = 0;
    for (u32 k = pieces; r != origin; k--) {
        StubPiece* p = &piece[r >> STUB_CUT_SHIFT];
        u32 m = p->step;
        if (k == 0 || m > place)
            return;
        p->step = place;  // step s of the piece goes to place - s
        place -= m;
        r = p->row;
    }
    if (place)
        return;
    // Every row, the marker's too: its entry is still 0, which puts its byte
    // at n, the plane's spare last byte.
    for (r = 0; r <= n; r++) {
        u32 t = link[r];
        plane[piece[t >> 20].step - (t & ROW_MASK)] = (u8)(out[r] + offset);
    }
    forward_copy(out, plane, n);
}
#endif

#ifndef DRAVEX_STUB_BUILD
namespace {

struct Lane {
    u8* dst;   // next byte goes to dst - 1
    u8* low;   // start of the current chunk
    u32 row;
    u32 piece;
    u32 chunk;
    u32 length;  // bytes of the piece in chunks already full
    bool active;
};

struct Pieces {
    u32 start_row[PIECES];
    u32 start_entry[PIECES];  // the entries the cut marks replaced
    u32 next[PIECES];         // the cut the piece ended at
    u32 length[PIECES];
    u32 first_chunk[PIECES];
    u32 place[PIECES];
    u32 count;
};

class Unwinder {
public:
    Unwinder(u32* link, u32 n, u32 origin) : link_(link), n_(n), origin_(origin)
    {
        scratch_ = (u8*)(link + n + 1);
        chunks_ = chunk_count(n);
        chunk_next_ = chunk_next_store_;
    }

    // Decodes every piece; false when the links do not form one cycle.
    bool run(u8* out, u32 offset)
    {
        mark_cuts();
        bool ok = follow() && place_pieces();
        restore_cuts();
        if (ok)
            copy_out(out, offset);
        return ok;
    }

private:
    u32* link_;
    u32 n_;
    u32 origin_;
    u8* scratch_;
    u32 chunks_;
    u32 used_chunks_ = 0;
    u32* chunk_next_;
    u32 chunk_next_store_[MAX_CHUNKS];
    Pieces p_;
    u32 next_piece_ = 0;

    void mark_cuts()
    {
        const u32 total = n_ + 1;
        u32 count = 0;
        for (u32 j = 0; j < PIECES; j++) {
            u32 row = (u32)((u64)j * total / PIECES);
            if (j > 0 && row == origin_)
                continue;
            p_.start_row[count] = row;
            p_.start_entry[count] = link_[row];
            link_[row] = CUT_FLAG | count;
            count++;
        }
        p_.count = count;
        link_[origin_] = CUT_FLAG | ORIGIN_PIECE;
    }

    void restore_cuts()
    {
        for (u32 j = 0; j < p_.count; j++)
            link_[p_.start_row[j]] = p_.start_entry[j];
        link_[origin_] = 0;
    }

    bool take_chunk(Lane& l)
    {
        if (used_chunks_ == chunks_)
            return false;
        u32 c = used_chunks_++;
        chunk_next_[c] = NONE;
        l.chunk = c;
        l.low = scratch_ + (u64)c * CHUNK;
        l.dst = l.low + CHUNK;
        return true;
    }

    // Starts the next piece on the lane; false when none is left or the
    // scratch is used up.
    bool start_piece(Lane& l)
    {
        if (next_piece_ == p_.count || !take_chunk(l))
            return false;
        u32 j = next_piece_++;
        p_.first_chunk[j] = l.chunk;
        u32 e = p_.start_entry[j];
        *--l.dst = (u8)(e >> LINK_SHIFT);
        l.row = e & ROW_MASK;
        l.piece = j;
        l.length = 0;
        return true;
    }

    bool follow()
    {
        Lane lanes[LANES];
        u32 active = 0;
        for (u32 k = 0; k < LANES; k++) {
            lanes[k].active = start_piece(lanes[k]);
            active += lanes[k].active;
        }
        bool ok = true;
        while (active > 0 && ok) {
            for (u32 k = 0; k < LANES; k++) {
                Lane& l = lanes[k];
                if (!l.active)
                    continue;
                u32 e = link_[l.row];
                if (DRAVEX_LIKELY(!(e & CUT_FLAG))) {
                    *--l.dst = (u8)(e >> LINK_SHIFT);
                    l.row = e & ROW_MASK;
                    if (DRAVEX_UNLIKELY(l.dst == l.low)) {
                        u32 full = l.chunk;
                        if (!take_chunk(l)) {
                            ok = false;  // a chain that never meets a cut
                            break;
                        }
                        chunk_next_[full] = l.chunk;
                        l.length += CHUNK;
                    }
                    continue;
                }
                // Met a cut: the piece ends.
                p_.next[l.piece] = e & ~CUT_FLAG;
                p_.length[l.piece] = l.length + (u32)(l.low + CHUNK - l.dst);
                if (!start_piece(l)) {
                    l.active = false;
                    active--;
                }
            }
        }
        return ok && next_piece_ == p_.count;
    }

    // Chains the pieces from the block's end (the piece at row 0) back to the
    // marker; every piece must be met once and their lengths must add up to n.
    bool place_pieces()
    {
        u8 seen[PIECES] = {};
        u32 place = n_;
        u32 j = 0;
        for (u32 k = 0; k < p_.count; k++) {
            if (j >= p_.count || seen[j] || p_.length[j] > place)
                return false;
            seen[j] = 1;
            place -= p_.length[j];
            p_.place[j] = place;
            j = p_.next[j];
        }
        return j == ORIGIN_PIECE && place == 0;
    }

    void copy_out(u8* out, u32 offset)
    {
        for (u32 j = 0; j < p_.count; j++) {
            u32 end = p_.place[j] + p_.length[j];
            u32 left = p_.length[j];
            for (u32 c = p_.first_chunk[j]; left > 0; c = chunk_next_[c]) {
                u32 m = left < CHUNK ? left : CHUNK;
                const u8* src = scratch_ + (u64)(c + 1) * CHUNK - m;
                u8* dst = out + end - m;
                if (offset == 0)
                    __builtin_memcpy(dst, src, m);
                else
                    for (u32 i = 0; i < m; i++)
                        dst[i] = (u8)(src[i] + offset);
                end -= m;
                left -= m;
            }
        }
    }
};

}  // namespace
#endif

void bwt_unwind(u32* link, u8* out, u32 n, u32 origin, u32 offset)
{
#ifdef DRAVEX_STUB_BUILD
    unwind_pieces(link, out, n, origin, offset);
#else
    if (n >= PARALLEL_MIN) {
        Unwinder u(link, n, origin);
        if (u.run(out, offset))
            return;
    }
    unwind_plain(link, out, n, offset);
#endif
}
