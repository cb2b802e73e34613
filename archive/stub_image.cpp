#include "archive/stub_image.h"

#include "archive/stub_info.h"
#include "codec/format_tables.h"
#include "platform/text.h"

// --- PE headers ----------------------------------------------------------------

enum {
    DOS_HEADER_SIZE = 64,
    DOS_PE_OFFSET_FIELD = 0x3C,
    COFF_HEADER_SIZE = 24,  // "PE\0\0" and the file header
    SECTION_HEADER_SIZE = 40,
    OPTIONAL_SIZE_OF_HEADERS = 60,  // same offset in PE32 and PE32+
};

int pe_headers(const u8* data, size_t size, PeHeaders* out)
{
    if (data == 0 || size < DOS_HEADER_SIZE || data[0] != 'M' || data[1] != 'Z')
        return 0;
    u64 pe = load_le32(data + DOS_PE_OFFSET_FIELD);
    if (pe + COFF_HEADER_SIZE > size || load_le32(data + pe) != 0x00004550u)  // "PE\0\0"
        return 0;
    u32 section_count = load_le16(data + pe + 6);
    u32 optional_size = load_le16(data + pe + 20);
    u64 optional = pe + COFF_HEADER_SIZE;
    u64 sections = optional + optional_size;
    if (section_count == 0 || sections + (u64)section_count * SECTION_HEADER_SIZE > size)
        return 0;
    out->optional = (u32)optional;
    out->optional_size = optional_size;
    out->sections = (u32)sections;
    out->section_count = section_count;
    return 1;
}

u32 pe_image_end(const u8* data, size_t size)
{
    PeHeaders h;
    if (!pe_headers(data, size, &h) || h.optional_size < OPTIONAL_SIZE_OF_HEADERS + 4)
        return 0;
    u32 section_count = h.section_count;
    u64 optional = h.optional, sections = h.sections;
    // The headers are part of the image even when every section is empty.
    u64 end = load_le32(data + optional + OPTIONAL_SIZE_OF_HEADERS);
    for (u32 i = 0; i < section_count; i++) {
        const u8* header = data + sections + (u64)i * SECTION_HEADER_SIZE;
        u64 raw_size = load_le32(header + 16);
        u64 raw_offset = load_le32(header + 20);
        if (raw_size != 0 && raw_offset + raw_size > end)
            end = raw_offset + raw_size;
    }
    return end > 0xFFFFFFFFu ? 0 : (u32)end;
}

// --- StubInfo --------------------------------------------------------------------

// The bytes before this offset are the ones the builder writes
// (stub_length, crc_slot, stub_crc); everything after is fixed.
enum { STUB_INFO_FIXED_OFFSET = 12 };

void write_unbuilt_stub_info(u8* out)
{
    memory_fill(out, 0, STUB_INFO_SIZE);
    out[12] = 0;  // CancelFlag
    out[13] = 0;  // OverwriteAll
    out[14] = 1;  // ShortNames
    // 16: archive_start, 0
    memory_copy(out + 20, lz_distance_sizes, LZ_DISTANCE_TABLE_SIZE);
    for (u32 i = 0; i < LZ_DISTANCE_TABLE_SIZE; i++)
        store_le16(out + 24 + 2 * i, lz_distance_offsets[i]);
    memory_copy(out + STUB_INFO_SIGNATURE_OFFSET, "QVXDE", 6);
    u8* at = out + STUB_INFO_SIGNATURE_OFFSET + 8;
    for (u32 row = 0; row < LZ_WINDOW_ROWS; row++)
        for (u32 column = 0; column < LZ_WINDOW_COLUMNS; column++, at += 4)
            store_le32(at, lz_window_sizes[row][column]);
    memory_copy(at, initial_title, text_length(initial_title));
}

size_t find_stub_info(const u8* image, size_t size, size_t from)
{
    u8 pattern[STUB_INFO_SIZE];
    write_unbuilt_stub_info(pattern);
    if (size < STUB_INFO_SIZE)
        return size;
    for (size_t at = from; at <= size - STUB_INFO_SIZE; at++) {
        if (image[at + STUB_INFO_SIGNATURE_OFFSET] != 'Q')
            continue;
        u32 i = STUB_INFO_FIXED_OFFSET;
        while (i < STUB_INFO_SIZE && image[at + i] == pattern[i])
            i++;
        if (i == STUB_INFO_SIZE)
            return at;
    }
    return size;
}

// Whether the fixed part of a StubInfo record at `at` is mostly there: a
// record changed in a few bytes, which no other data comes near.
static int near_stub_info(const u8* image, size_t at, const u8* pattern)
{
    u32 differing = 0;
    for (u32 i = STUB_INFO_FIXED_OFFSET; i < STUB_INFO_SIZE; i++)
        if (image[at + i] != pattern[i] && ++differing > (STUB_INFO_SIZE - STUB_INFO_FIXED_OFFSET) / 4)
            return 0;
    return 1;
}

int read_stub_fields(const u8* image, size_t size, u32* stub_length_ret, u32* crc_slot_ret, u32* stub_crc_ret)
{
    size_t record = find_stub_info(image, size, 0);
    if (record == size || find_stub_info(image, size, record + 1) != size) {
        if (record != size)
            return -1;  // two records: the builder patches one
        u8 pattern[STUB_INFO_SIZE];
        write_unbuilt_stub_info(pattern);
        for (size_t at = 0; size >= STUB_INFO_SIZE && at <= size - STUB_INFO_SIZE; at++)
            if (near_stub_info(image, at, pattern))
                return -1;
        return 0;
    }
    const u8* p = image + record;
    *stub_length_ret = load_le32(p);
    *crc_slot_ret = load_le32(p + 4);
    *stub_crc_ret = load_le32(p + STUB_INFO_CRC_OFFSET);
    return 1;
}
