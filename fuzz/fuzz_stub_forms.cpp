// Fuzz target, differential: the decoder's inner steps that the stub and the
// host take in different forms, against the plain forms both must give the
// same bytes as. The BWT inversion (the host's chains through a chunk list,
// falling back to the single walk; the stub's pieces, which leave L as it
// was for links of several cycles) against the single walk; the forward
// copy (8- or 4-byte steps) against byte after byte, in both directions and
// at every distance; the CRC-32 (eight or four bytes a step) against the
// bit-serial one. Built against either form of the codec (the *_stub_form
// targets take the stub's).
//
// Input: byte 0 chooses the BWT case (bit 0: the last column of a real
// transform of a text grown from the input, else the input itself as a last
// column, which may hold several cycles of links), byte 1 the length's
// share and the alphabet offset, byte 2 the copy's distance; the rest is
// the material.
#include <divsufsort.h>

#include <cstdint>
#include <cstring>
#include <vector>

#include "codec/bwt_inverse.h"
#include "codec/crc32.h"
#include "codec/input_stream.h"
#include "platform/platform.h"

namespace {

// From 65,536 bytes on, where the inversions take their chains.
const uint32_t MIN_N = 65536;

void check_bwt(const uint8_t* data, size_t size, bool transform, uint32_t extra, uint32_t offset)
{
    const uint32_t n = MIN_N + extra * 4099;
    std::vector<uint8_t> text(n);
    for (uint32_t i = 0; i < n; i++) {
        // Repeats of the material with a slow drift: long matches, as text has.
        uint32_t round = i / (uint32_t)size;
        text[i] = (uint8_t)(data[i % size] + (round % 7 == 6 ? round : 0));
    }
    std::vector<uint8_t> last(n + 1);
    uint32_t origin;
    if (transform) {
        std::vector<saidx_t> sa(n);
        if (divsufsort(text.data(), sa.data(), (saidx_t)n) != 0)
            __builtin_trap();
        last[0] = text[n - 1];
        origin = 0;
        for (uint32_t r = 1; r <= n; r++) {
            uint32_t s = (uint32_t)sa[r - 1];
            if (s == 0) {
                origin = r;
                last[r] = 0;
            } else {
                last[r] = text[s - 1];
            }
        }
    } else {
        origin = 1 + text[0] * 251u % n;
        for (uint32_t r = 0; r <= n; r++)
            last[r] = r == origin ? 0 : text[r % n];
    }
    uint32_t start[256] = {};
    for (uint32_t r = 0; r <= n; r++)
        if (r != origin)
            start[last[r]]++;
    for (uint32_t c = 0, s = 1; c < 256; c++) {
        uint32_t count = start[c];
        start[c] = s;
        s += count;
    }
    u32* link = (u32*)mem_alloc(bwt_link_bytes(n));
    if (link == nullptr)
        __builtin_trap();
    bwt_build_links(link, last.data(), n, origin, start);
    // The output is the single walk's; where row 0's cycle is not every
    // row (a damaged block), the stub's form leaves L as it was.
    std::vector<uint8_t> expected(n);
    uint32_t row = 0;
    bool one_cycle = true;  // the marker's row first met after n steps
    for (uint32_t q = n; q > 0; q--) {
        uint32_t e = link[row];
        expected[q - 1] = (uint8_t)((e >> 24) + offset);
        row = e & 0xFFFFF;
        if (row == origin && q > 1)
            one_cycle = false;
    }
    one_cycle = one_cycle && row == origin;
#ifdef DRAVEX_CODEC_STUB_FORM
    if (!one_cycle)
        expected.assign(last.begin(), last.begin() + n);
#else
    (void)one_cycle;
#endif
    std::vector<uint8_t> out(last);  // L, as the decoder leaves it there
    bwt_unwind(link, out.data(), n, origin, offset);
    if (std::memcmp(out.data(), expected.data(), n) != 0)
        __builtin_trap();
    if (transform)
        for (uint32_t i = 0; i < n; i++)
            if (out[i] != (uint8_t)(text[i] + offset))
                __builtin_trap();
    mem_free(link);
}

void check_copy(const uint8_t* data, size_t size, uint32_t distance)
{
    // Towards the back (an LZ match, distance bytes behind) and towards the
    // front (the history move).
    std::vector<uint8_t> a(data, data + size), b(a);
    uint32_t count = (uint32_t)size - distance;
    forward_copy(a.data() + distance, a.data(), count);
    for (uint32_t i = 0; i < count; i++)
        b[distance + i] = b[i];
    if (a != b)
        __builtin_trap();
    forward_copy(a.data(), a.data() + distance, count);
    for (uint32_t i = 0; i < count; i++)
        b[i] = b[distance + i];
    if (a != b)
        __builtin_trap();
}

void check_crc(const uint8_t* data, size_t size)
{
    u32 bitwise = 0xFFFFFFFFu;
    for (size_t i = 0; i < size; i++) {
        bitwise ^= data[i];
        for (int k = 0; k < 8; k++)
            bitwise = (bitwise & 1) ? (bitwise >> 1) ^ 0xEDB88320u : bitwise >> 1;
    }
    // In two parts, so the steps start at every alignment.
    size_t cut = size / 3;
    u32 crc = crc32_update(data, (u32)cut, 0xFFFFFFFFu);
    crc = crc32_update(data + cut, (u32)(size - cut), crc);
    if (crc != bitwise)
        __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    crc32_build_table();
    if (size < 4)
        return 0;
    const uint8_t mode = data[0], shape = data[1], distance = data[2];
    data += 3;
    size -= 3;
    check_crc(data, size);
    if (distance > 0 && distance < size)
        check_copy(data, size, distance);
    check_bwt(data, size, mode & 1, shape & 15, (mode & 2) ? shape : 0);
    return 0;
}
