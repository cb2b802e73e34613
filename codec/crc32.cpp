// The table holds, for every byte value i, the register after shifting i
// through eight steps of the bit-serial reflected CRC; one lookup then
// replaces eight steps. Built once at start-up rather than stored, which
// keeps 1 KB out of the stub image.
#include "codec/crc32.h"

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
