// CRC-32 through lookup tables, eight bytes a step ("slicing by 8"). Table 0
// holds, for every byte value i, the register after shifting i through
// eight steps of the bit-serial reflected CRC, so one lookup replaces eight
// steps; table k gives the effect of a byte followed by k zero bytes, so
// eight lookups, one per byte of two 32-bit loads, together advance the
// register by eight bytes. The step needs only 32-bit arithmetic, so the
// PE32 stub runs the same loop.
//
// The host's tables are computed by the compiler and read-only, so any
// number of threads may use them without anything to set up. The stub
// builds them once at start-up in zeroed data instead, which keeps their
// 8 KB out of its file.
#include "codec/crc32.h"

enum { CRC_TABLE = 256 };

#ifdef DRAVEX_STUB_BUILD

static u32 tables[4 * CRC_TABLE];

// Eight steps of the bit-serial register advance a whole register as
// (c >> 8) ^ table0[c & 0xFF] does: so table k is table k - 1 taken
// through eight more steps, and one loop builds all four.
void crc32_build_table(void)
{
    for (u32 i = 0; i < 4 * CRC_TABLE; i++) {
        u32 c = i < CRC_TABLE ? i : tables[i - CRC_TABLE];
        for (int k = 0; k < 8; k++)
            c = (c & 1) ? (c >> 1) ^ 0xEDB88320u : c >> 1;
        tables[i] = c;
    }
}

#else

namespace {

struct CrcTables {
    u32 t[8 * CRC_TABLE];
};

constexpr CrcTables make_tables()
{
    CrcTables r{};
    for (u32 i = 0; i < CRC_TABLE; i++) {
        u32 c = i;
        for (int k = 0; k < 8; k++)
            c = (c & 1) ? (c >> 1) ^ 0xEDB88320u : c >> 1;
        r.t[i] = c;
    }
    for (u32 i = CRC_TABLE; i < 8 * CRC_TABLE; i++)
        r.t[i] = (r.t[i - CRC_TABLE] >> 8) ^ r.t[r.t[i - CRC_TABLE] & 0xFF];
    return r;
}

constexpr CrcTables crc_tables = make_tables();
const u32* const tables = crc_tables.t;

}  // namespace

void crc32_build_table(void)
{
}

#endif

u32 crc32_update(const u8* data, u32 count, u32 crc)
{
    const u32* t = tables;
#ifdef DRAVEX_STUB_BUILD
    // The stub's four tables: four bytes a step, half the code.
    for (; count >= 4; count -= 4, data += 4) {
        u32 v = load_le32(data) ^ crc;
        crc = t[3 * CRC_TABLE + (v & 0xFF)] ^ t[2 * CRC_TABLE + ((v >> 8) & 0xFF)] ^
              t[1 * CRC_TABLE + ((v >> 16) & 0xFF)] ^ t[v >> 24];
    }
#else
    for (; count >= 8; count -= 8, data += 8) {
        u32 lo = load_le32(data) ^ crc;
        u32 hi = load_le32(data + 4);
        crc = t[7 * CRC_TABLE + (lo & 0xFF)] ^ t[6 * CRC_TABLE + ((lo >> 8) & 0xFF)] ^
              t[5 * CRC_TABLE + ((lo >> 16) & 0xFF)] ^ t[4 * CRC_TABLE + (lo >> 24)] ^
              t[3 * CRC_TABLE + (hi & 0xFF)] ^ t[2 * CRC_TABLE + ((hi >> 8) & 0xFF)] ^
              t[1 * CRC_TABLE + ((hi >> 16) & 0xFF)] ^ t[hi >> 24];
    }
#endif
    for (u32 i = 0; i < count; i++)
        crc = t[(crc ^ data[i]) & 0xFF] ^ (crc >> 8);
    return crc;
}
