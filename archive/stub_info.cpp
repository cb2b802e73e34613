#include "archive/stub_info.h"

#include <stddef.h>

#include "codec/format_tables.h"

DRAVEX_STATIC_ASSERT(offsetof(StubInfo, stub_crc) == STUB_INFO_CRC_OFFSET, "StubInfo layout");
DRAVEX_STATIC_ASSERT(offsetof(StubInfo, directory_signature) == STUB_INFO_SIGNATURE_OFFSET, "StubInfo layout");
DRAVEX_STATIC_ASSERT(sizeof(StubInfo) == STUB_INFO_SIZE, "StubInfo layout");

const char initial_title[] = "Dravex Self-Extractor";

StubInfo stub_info = {
    0, 0, 0,
    {0, 0, 1, 0},
    0,
    DRAVEX_DISTANCE_SIZES_INIT,
    DRAVEX_DISTANCE_OFFSETS_INIT,
    {'Q', 'V', 'X', 'D', 'E', 0, 0, 0},
    DRAVEX_WINDOW_SIZES_INIT,
    "Dravex Self-Extractor",
};
