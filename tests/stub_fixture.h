// Stub images for the start-up and stub-builder tests: the real PE32 stub
// when the build made one, otherwise a minimal PE image that carries an
// unbuilt StubInfo record the way the stub's .data does.
#ifndef DRAVEX_TESTS_STUB_FIXTURE_H
#define DRAVEX_TESTS_STUB_FIXTURE_H

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "archive/stub_info.h"
#include "platform/base.h"
#include "tests/test_util.h"

namespace stubfixture {

using testutil::Bytes;

// The unbuilt StubInfo record as the stub's initialised data holds it.
inline Bytes unbuilt_stub_info()
{
    static const uint32_t windows[3][8] = {
        {32768, 65536, 73728, 98304, 122880, 147456, 172032, 196608},
        {32768, 65536, 73728, 98304, 122880, 147456, 172032, 196608},
        {32768, 131072, 196608, 262144, 327680, 393216, 458752, 524288},
    };
    Bytes r(STUB_INFO_SIZE, 0);
    r[14] = 1;
    r[20] = 42;
    r[21] = 14;
    r[22] = 28;
    store_le16(&r[24], 288);
    store_le16(&r[26], 330);
    store_le16(&r[28], 344);
    std::memcpy(&r[32], "QVXDE", 6);
    for (int t = 0; t < 3; t++)
        for (int i = 0; i < 8; i++)
            store_le32(&r[40 + 32 * t + 4 * i], windows[t][i]);
    std::memcpy(&r[136], "Dravex Self-Extractor", 21);
    return r;
}

// A PE32 image: headers in the first 512 bytes, then one section of
// `section_size` bytes holding some filler with the record at
// `record_offset` within it.
inline Bytes synthetic_pe(uint32_t section_size = 2048, uint32_t record_offset = 700)
{
    Bytes pe(512 + section_size, 0);
    pe[0] = 'M';
    pe[1] = 'Z';
    store_le32(&pe[0x3C], 0x80);
    std::memcpy(&pe[0x80], "PE\0\0", 4);
    store_le16(&pe[0x84], 0x14C);  // i386
    store_le16(&pe[0x86], 1);      // one section
    store_le16(&pe[0x94], 0xE0);   // optional header size
    store_le16(&pe[0x98], 0x10B);  // PE32
    store_le32(&pe[0x98 + 32], 0x1000);  // SectionAlignment
    store_le32(&pe[0x98 + 36], 512);     // FileAlignment
    store_le32(&pe[0x98 + 60], 512);     // SizeOfHeaders
    store_le32(&pe[0x98 + 92], 16);      // NumberOfRvaAndSizes
    uint8_t* section = &pe[0x98 + 0xE0];
    std::memcpy(section, ".data\0\0\0", 8);
    store_le32(section + 8, section_size);
    store_le32(section + 12, 0x1000);
    store_le32(section + 16, section_size);
    store_le32(section + 20, 512);
    for (uint32_t i = 0; i < section_size; i++)
        pe[512 + i] = (uint8_t)(i * 7 + 3);
    Bytes record = unbuilt_stub_info();
    std::memcpy(&pe[512 + record_offset], record.data(), record.size());
    return pe;
}

// The real PE32 stub if it was built, else the synthetic image.
inline Bytes stub_image(bool* real = nullptr)
{
#ifdef DRAVEX_STUB32_PATH
    Bytes stub = testutil::read_file(DRAVEX_STUB32_PATH);
    if (!stub.empty()) {
        if (real)
            *real = true;
        return stub;
    }
#endif
    if (real)
        *real = false;
    return synthetic_pe();
}

// Offset of the record in an image (built or not), or npos.
inline size_t find_record(const Bytes& image)
{
    Bytes record = unbuilt_stub_info();
    for (size_t at = 0; at + record.size() <= image.size(); at++)
        if (std::memcmp(&image[at + 12], &record[12], record.size() - 12) == 0)
            return at;
    return std::string::npos;
}

}  // namespace stubfixture

#endif
