#include "codec/format_tables.h"

const u8 lz_distance_sizes[LZ_DISTANCE_TABLE_SIZE] = DRAVEX_DISTANCE_SIZES_INIT;
const u16 lz_distance_offsets[LZ_DISTANCE_TABLE_SIZE] = DRAVEX_DISTANCE_OFFSETS_INIT;
const u32 lz_window_sizes[LZ_WINDOW_ROWS][LZ_WINDOW_COLUMNS] = DRAVEX_WINDOW_SIZES_INIT;
