#include "packer/lz_symbols.h"

#include <utility>

namespace packer {
namespace lz {

uint32_t resolve(const uint8_t* w, uint32_t history, const std::vector<Item>& items, unsigned D,
                 std::vector<Token>& tokens)
{
    uint32_t unsendable = 0;
    tokens.clear();
    tokens.reserve(items.size() + items.size() / 8);
    uint32_t r0 = 0, r1 = 0;
    uint32_t p = history;
    for (const Item& it : items) {
        if (it.len == 0) {
            tokens.push_back({p, 0, 0, w[p], 0, NO_ALPHA, 0, 0});
            p++;
            continue;
        }
        if (it.len == 1) {
            tokens.push_back({p, it.dist, 0, SYM_DELTA_MARK, 3, NO_ALPHA, 0, 0});
            continue;
        }
        unsigned alpha = it.len == 2 ? 1 : (it.len == 3 && D == 3) ? 2 : 0;
        uint32_t d = it.dist;
        unsigned sym, nbits = 0;
        uint32_t extra = 0;
        bool ok = true;
        if (d == r0)
            sym = 0;
        else if (d == r1)
            sym = 1;
        else if (d <= 4)
            sym = 1 + d;
        else {
            explicit_distance(d, sym, nbits, extra);
            ok = sym < alphabet_size[alpha];
        }
        if (!ok) {
            // No code reaches this distance at this length: plain bytes.
            unsendable++;
            for (uint32_t k = 0; k < it.len; k++)
                tokens.push_back({p + k, 0, 0, w[p + k], 0, NO_ALPHA, 0, 0});
            p += it.len;
            continue;
        }
        if (sym == 1)
            std::swap(r0, r1);
        else if (sym >= FIRST_EXTRA_DISTANCE_SYMBOL) {
            r1 = r0;
            r0 = d;
        }
        LengthCode lc = length_code(it.len);
        tokens.push_back({p, lc.extra, extra, lc.sym, lc.nbits, (uint8_t)alpha, (uint8_t)sym, (uint8_t)nbits});
        p += it.len;
    }
    return unsendable;
}

}  // namespace lz
}  // namespace packer
