// Match finder of the LZ encoder. Chains link positions with the same 4
// bytes, which keeps them short over a window of a megabyte and more; the
// latest position of every 3-byte and 2-byte prefix gives the short matches,
// which only pay when they are near.
//
// Both parsers search through matches(): the greedy and lazy parse keeps the
// longest, the shortest-path parse prices every one.
#ifndef DRAVEX_PACKER_LZ_MATCH_FINDER_H
#define DRAVEX_PACKER_LZ_MATCH_FINDER_H

#include <cstdint>
#include <cstring>
#include <vector>

#include "codec/lz_decoder.h"

namespace packer {
namespace lz {

enum : uint32_t { NO_POS = 0xFFFFFFFFu };

class MatchFinder {
public:
    MatchFinder(const uint8_t* w, uint32_t end, unsigned hash_bits)
        : w_(w), end_(end), hash_bits_(hash_bits), head_((size_t)1 << hash_bits, NO_POS), prev_(end, NO_POS),
          head3_((size_t)1 << HASH3_BITS, NO_POS), head2_(65536, NO_POS)
    {
    }

    void insert(uint32_t p)
    {
        if (p + 4 <= end_) {
            uint32_t h = hash4(p);
            prev_[p] = head_[h];
            head_[h] = p;
        }
        if (p + 3 <= end_)
            head3_[hash3(p)] = p;
        if (p + 2 <= end_)
            head2_[load16(p)] = p;
    }

    // Every match at p of at least 3 bytes that is longer than the ones
    // before it, nearest first, as emit(length, distance) with increasing
    // lengths of at most limit. The 3-byte prefix's latest position comes
    // first, then up to `chain` candidates of the 4-byte chain; a match of
    // nice bytes (or of limit) ends the search.
    template <typename F>
    void matches(uint32_t p, uint32_t limit, unsigned chain, uint32_t nice, F&& emit) const
    {
        uint32_t best = 2;
        if (limit < 3 || p + 3 > end_)
            return;
        uint32_t c3 = head3_[hash3(p)];
        if (c3 != NO_POS && c3 < p && p - c3 <= LZ_MAX_DISTANCE) {
            uint32_t len = match_length(c3, p, limit);
            if (len > best) {
                best = len;
                emit(len, p - c3);
                if (len >= nice || len >= limit)
                    return;
            }
        }
        if (limit < 4 || p + 4 > end_)
            return;
        const uint32_t lowest = p > LZ_MAX_DISTANCE ? p - LZ_MAX_DISTANCE : 0;
        const uint32_t head4 = load32(p);
        uint32_t cand = head_[hash4(p)];
        while (cand != NO_POS && cand >= lowest && chain-- > 0) {
            // The byte that would lengthen the best match rules out most
            // candidates before the full comparison.
            if (cand < p && w_[cand + best] == w_[p + best] && load32(cand) == head4) {
                uint32_t len = match_length(cand, p, limit);
                if (len > best) {
                    best = len;
                    emit(len, p - cand);
                    if (len >= nice || len >= limit)
                        break;
                }
            }
            uint32_t next = prev_[cand];
            if (next >= cand)
                break;
            cand = next;
        }
    }

    // The longest of matches() (ties go to the nearest), or 0 when there is
    // none.
    uint32_t longest(uint32_t p, uint32_t limit, unsigned chain, uint32_t nice, uint32_t& dist_ret) const
    {
        uint32_t best = 0;
        matches(p, limit, chain, nice, [&](uint32_t len, uint32_t dist) {
            best = len;
            dist_ret = dist;
        });
        return best;
    }

    // Most recent earlier position with the same two bytes as p.
    uint32_t pair_before(uint32_t p) const { return p + 2 <= end_ ? head2_[load16(p)] : NO_POS; }

    uint32_t match_length(uint32_t a, uint32_t b, uint32_t limit) const
    {
        uint32_t i = 0;
        while (i + 8 <= limit) {
            uint64_t x, y;
            memcpy(&x, w_ + a + i, 8);
            memcpy(&y, w_ + b + i, 8);
            if (x != y)
                return i + (__builtin_ctzll(x ^ y) >> 3);
            i += 8;
        }
        while (i < limit && w_[a + i] == w_[b + i])
            i++;
        return i;
    }

private:
    enum { HASH3_BITS = 15 };
    uint32_t hash4(uint32_t p) const { return (load32(p) * 0x9E3779B1u) >> (32 - hash_bits_); }
    uint32_t hash3(uint32_t p) const
    {
        uint32_t v = w_[p] | (w_[p + 1] << 8) | (w_[p + 2] << 16);
        return (v * 0x9E3779B1u) >> (32 - HASH3_BITS);
    }
    uint32_t load16(uint32_t p) const { return w_[p] | (w_[p + 1] << 8); }
    uint32_t load32(uint32_t p) const
    {
        uint32_t v;
        memcpy(&v, w_ + p, 4);
        return v;
    }

    const uint8_t* w_;
    uint32_t end_;
    unsigned hash_bits_;
    std::vector<uint32_t> head_;
    std::vector<uint32_t> prev_;
    std::vector<uint32_t> head3_;
    std::vector<uint32_t> head2_;
};

}  // namespace lz
}  // namespace packer

#endif
