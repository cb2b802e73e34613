#include "archive/records.h"

const u8 archive_magic[4] = {'Q', 'V', 'X', 0x0A};
const u8 stream_signature[6] = {'Q', 'V', 'X', 'L', 'H', 0};
const u8 directory_piece_signature[6] = {'Q', 'V', 'X', 'D', 'E', 0};

void parse_sfx_header(const u8* p, SfxHeader* out)
{
    out->magic = load_le16(p);
    out->flags = p[2];
    out->reserved = p[3];
    out->title_length = load_le16(p + 4);
    out->folder_length = load_le16(p + 6);
    out->command_length = load_le16(p + 8);
}

void write_sfx_header(u8* p, const SfxHeader* in)
{
    store_le16(p, in->magic);
    p[2] = in->flags;
    p[3] = in->reserved;
    store_le16(p + 4, in->title_length);
    store_le16(p + 6, in->folder_length);
    store_le16(p + 8, in->command_length);
}

void parse_archive_header(const u8* p, ArchiveHeader* out)
{
    for (int i = 0; i < 4; i++)
        out->magic[i] = p[i];
    out->directory_offset = load_le32(p + 4);
    out->entry_count = load_le32(p + 8);
    out->archive_length = load_le32(p + 20);
    out->data_length = load_le32(p + 24);
}

void write_archive_header(u8* p, const ArchiveHeader* in)
{
    for (int i = 0; i < ARCHIVE_HEADER_BYTES; i++)
        p[i] = 0;
    for (int i = 0; i < 4; i++)
        p[i] = in->magic[i];
    store_le32(p + 4, in->directory_offset);
    store_le32(p + 8, in->entry_count);
    store_le32(p + 20, in->archive_length);
    store_le32(p + 24, in->data_length);
}

void parse_directory_entry(const u8* p, DirectoryEntry* out)
{
    out->reserved = load_le32(p);
    out->stream_offset = load_le32(p + 4);
    out->attributes = load_le16(p + 8);
    out->extra_length_1 = p[10];
    out->entry_flags = p[11];
    out->member_offset = load_le32(p + 12);
    out->member_size = load_le32(p + 16);
    out->member_crc = load_le32(p + 20);
    out->extra_length_2 = load_le16(p + 24);
    out->name_length = load_le16(p + 26);
    out->create_time = load_le16(p + 28);
    out->create_date = load_le16(p + 30);
    out->write_time = load_le16(p + 32);
    out->write_date = load_le16(p + 34);
    out->reserved2 = load_le16(p + 36);
}

void write_directory_entry(u8* p, const DirectoryEntry* in)
{
    store_le32(p, in->reserved);
    store_le32(p + 4, in->stream_offset);
    store_le16(p + 8, in->attributes);
    p[10] = in->extra_length_1;
    p[11] = in->entry_flags;
    store_le32(p + 12, in->member_offset);
    store_le32(p + 16, in->member_size);
    store_le32(p + 20, in->member_crc);
    store_le16(p + 24, in->extra_length_2);
    store_le16(p + 26, in->name_length);
    store_le16(p + 28, in->create_time);
    store_le16(p + 30, in->create_date);
    store_le16(p + 32, in->write_time);
    store_le16(p + 34, in->write_date);
    store_le16(p + 36, in->reserved2);
}

void parse_local_header(const u8* p, LocalHeader* out)
{
    out->member_length = load_le32(p);
    out->name_length = load_le16(p + 4);
    for (int i = 0; i < 5; i++)
        out->further[i] = p[6 + i];
}

void write_local_header(u8* p, const LocalHeader* in)
{
    store_le32(p, in->member_length);
    store_le16(p + 4, in->name_length);
    for (int i = 0; i < 5; i++)
        p[6 + i] = in->further[i];
}
