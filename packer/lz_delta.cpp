// Windows of 4 KB whose order-0 entropy drops clearly under differencing at
// some stride become delta regions; a marker starts each region and ends the
// one before it. The rewritten bytes are what the decoder keeps as history.
#include "packer/lz_delta.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace packer {

namespace {

enum {
    DELTA_WINDOW = 4096,  // granularity of the stride decision
    MAX_MARKERS = 1000,   // below the decoder's region table of 1024
    MAX_STRIDE = 7,
};

double entropy_bits(const uint32_t* hist, uint32_t total)
{
    double bits = 0;
    for (int i = 0; i < 256; i++)
        if (hist[i] != 0)
            bits -= hist[i] * std::log2((double)hist[i] / total);
    return bits;
}

// Best stride of one window, or 0 when differences do not pay clearly. The
// order-0 entropy is a coarse guide: text and code grow under differencing,
// while sampled signals shrink a lot, so only a clear gain is taken.
unsigned window_stride(const uint8_t* w, uint32_t from, uint32_t to)
{
    uint32_t hist[MAX_STRIDE + 1][256];
    memset(hist, 0, sizeof hist);
    for (uint32_t q = from; q < to; q++) {
        uint8_t x = w[q];
        hist[0][x]++;
        for (unsigned s = 1; s <= MAX_STRIDE; s++)
            hist[s][(uint8_t)(x - w[q - s])]++;
    }
    uint32_t n = to - from;
    double raw = entropy_bits(hist[0], n);
    double best = raw;
    unsigned best_stride = 0;
    for (unsigned s = 1; s <= MAX_STRIDE; s++) {
        double e = entropy_bits(hist[s], n);
        if (e < best * 0.98) {
            best = e;
            best_stride = s;
        }
    }
    if (best_stride != 0 && best < raw * 0.9 && raw - best > n * 0.25)
        return best_stride;
    return 0;
}

}  // namespace

std::vector<Marker> delta_transform(uint8_t* w, uint32_t history, uint32_t length)
{
    std::vector<Marker> markers;
    const uint32_t end = history + length;
    unsigned current = 0;
    for (uint32_t from = history; from < end; from += DELTA_WINDOW) {
        uint32_t to = std::min<uint32_t>(end, from + DELTA_WINDOW);
        // Differences need the stride's bytes in front of them.
        uint32_t start = std::max<uint32_t>(from, MAX_STRIDE);
        unsigned stride = 0;
        if (to > start + 64)
            stride = window_stride(w, start, to);
        if (stride != current) {
            if (markers.size() + 1 >= MAX_MARKERS) {
                if (current != 0)
                    markers.push_back({from, 0});
                break;
            }
            uint32_t pos = std::max<uint32_t>(from, stride);
            if (pos >= end)
                break;
            markers.push_back({pos, stride});
            current = stride;
        }
    }
    // Rewrite from the last region down and from the end of each region
    // down, so that every subtraction sees the original byte before it: the
    // decoder adds in the opposite order over the already restored bytes.
    for (size_t i = markers.size(); i-- > 0;) {
        uint32_t s = markers[i].stride;
        if (s == 0)
            continue;
        uint32_t region_end = i + 1 < markers.size() ? markers[i + 1].pos : end;
        for (uint32_t q = region_end; q-- > markers[i].pos;)
            w[q] = (uint8_t)(w[q] - w[q - s]);
    }
    return markers;
}

}  // namespace packer
