// CRC-32 through lookup tables. Table 0 holds, for every byte value i, the
// register after shifting i through eight steps of the bit-serial reflected
// CRC; one lookup then replaces eight steps.
//
// The stub builds table 0 once at start-up rather than storing it, which
// keeps 1 KB out of its image, and takes one byte per lookup. The host takes
// eight bytes per step ("slicing by 8"): table k gives the effect of a byte
// followed by k zero bytes, so eight lookups, one per byte of a 64-bit load,
// together advance the register by eight bytes. Its tables are computed by
// the compiler and read-only, so any number of threads may use them without
// anything to set up.
#include "codec/crc32.h"

#ifdef DRAVEX_STUB_BUILD

u32 crc32_table[256];

void crc32_build_table(void)
{
    for (u32 i = 0; i < 256; i++) {
        u32 c = i;
        for (int k = 0; k < 8; k++)
            c = (c & 1) ? (c >> 1) ^ 0xEDB88320u : c >> 1;
        crc32_table[i] = c;
    }
}

u32 crc32_update(const u8* data, u32 count, u32 crc)
{
    for (u32 i = 0; i < count; i++)
        crc = crc32_table[(crc ^ data[i]) & 0xFF] ^ (crc >> 8);
    return crc;
}

#else

namespace {

struct CrcTables {
    u32 t[8][256];
};

constexpr CrcTables make_tables()
{
    CrcTables r{};
    for (u32 i = 0; i < 256; i++) {
        u32 c = i;
        for (int k = 0; k < 8; k++)
            c = (c & 1) ? (c >> 1) ^ 0xEDB88320u : c >> 1;
        r.t[0][i] = c;
    }
    for (int k = 1; k < 8; k++)
        for (u32 i = 0; i < 256; i++)
            r.t[k][i] = (r.t[k - 1][i] >> 8) ^ r.t[0][r.t[k - 1][i] & 0xFF];
    return r;
}

constexpr CrcTables tables = make_tables();

}  // namespace

const u32* const crc32_table = tables.t[0];

void crc32_build_table(void)
{
}

u32 crc32_update(const u8* data, u32 count, u32 crc)
{
    const u32(*t)[256] = tables.t;
    while (count >= 8) {
        u32 lo = load_le32(data) ^ crc;
        u32 hi = load_le32(data + 4);
        crc = t[7][lo & 0xFF] ^ t[6][(lo >> 8) & 0xFF] ^ t[5][(lo >> 16) & 0xFF] ^ t[4][lo >> 24] ^
              t[3][hi & 0xFF] ^ t[2][(hi >> 8) & 0xFF] ^ t[1][(hi >> 16) & 0xFF] ^ t[0][hi >> 24];
        data += 8;
        count -= 8;
    }
    for (u32 i = 0; i < count; i++)
        crc = t[0][(crc ^ data[i]) & 0xFF] ^ (crc >> 8);
    return crc;
}

#endif
