// CRC-32, reflected polynomial 0xEDB88320. crc32_update neither presets nor
// complements: callers start from 0xFFFFFFFF and complement at the end for
// the standard CRC-32. crc32_build_table must have run once before the
// first use in the stub; on the host the tables are constant and it does
// nothing.
#ifndef DRAVEX_CODEC_CRC32_H
#define DRAVEX_CODEC_CRC32_H

#include "platform/base.h"

void crc32_build_table(void);
u32 crc32_update(const u8* data, u32 count, u32 crc);

#endif
