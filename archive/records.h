// The payload records: read from (and, for the archiver, written to)
// little-endian unaligned bytes. Never cast a struct over file bytes.
//
// Layout of a self-extractor: stub image (stub_length bytes), optional
// SfxHeader, then the archive: ArchiveHeader, data streams ("QVXLH\0" and
// blocks), directory stream (pieces of "QVXDE\0" and one block each).
#ifndef DRAVEX_ARCHIVE_RECORDS_H
#define DRAVEX_ARCHIVE_RECORDS_H

#include "codec/member_output.h"
#include "platform/base.h"

enum {
    SFX_HEADER_SIZE = 10,
    SFX_MAGIC = 0x5853,            // "SX"
    SFX_FLAG_OVERWRITE = 0x02,
    SFX_FLAG_UTF8 = 0x04,          // title, folder and command are UTF-8
    SFX_FLAG_COMMAND_IN_DESTINATION = 0x08,  // the command starts in the destination folder
    SFX_FLAG_SWITCHES = 0x10,      // the stub takes its unattended switches (/S, /D= ...)
    SFX_FLAG_FOLDER_VARIABLES = 0x20,  // the folder's %NAME% are environment variables to expand
    ARCHIVE_HEADER_BYTES = 42,
    DIRECTORY_ENTRY_SIZE = 38,
    STREAM_SIGNATURE_SIZE = 6,
    DIRECTORY_BUFFER_SIZE = 8192,
    DIRECTORY_PIECE_MAX = 8184,    // a piece's block, header included
    ENTRY_FOLDER = 0x01,
    // ENTRY_FILTER16 and ENTRY_FILTER32 come with the member output.
};

// Check values our archiver keeps in the ArchiveHeader's reserved fields
// (the format leaves them to the writer; readers that do not know them
// ignore them). Present only when the 16-bit field at offset 40 holds the
// tag "DX", since other writers may use the reserved fields otherwise:
//   offset 12: CRC-32 of the whole SfxHeader, strings included (0: none)
//   offset 16: CRC-32 of directory_offset and entry_count (their 8 header
//              bytes) followed by the directory stream, from
//              directory_offset up to archive_length
// The SfxHeader's reserved byte holds SFX_CHECKED ("D") when the archive
// after it carries the check values: a damaged string length that moves the
// archive's start then cannot hide them.
enum {
    SFX_CHECKED = 0x44,
    ARCHIVE_SFX_CRC_OFFSET = 12,
    ARCHIVE_DIRECTORY_CRC_OFFSET = 16,
    ARCHIVE_TAG_OFFSET = 40,
    ARCHIVE_CHECK_TAG = 0x5844,  // "DX"
};

extern const u8 archive_magic[4];            // "QVX\n"
extern const u8 stream_signature[6];         // "QVXLH\0"
extern const u8 directory_piece_signature[6];  // "QVXDE\0"

struct SfxHeader {
    u16 magic;
    u8 flags;
    u8 reserved;
    u16 title_length;
    u16 folder_length;
    u16 command_length;
};

struct ArchiveHeader {
    u8 magic[4];
    u32 directory_offset;
    u32 entry_count;
    u32 archive_length;
    u32 data_length;
};

struct DirectoryEntry {
    u32 reserved;
    u32 stream_offset;
    u16 attributes;
    u8 extra_length_1;
    u8 entry_flags;
    u32 member_offset;
    u32 member_size;
    u32 member_crc;
    u16 extra_length_2;
    u16 name_length;
    u16 create_time;
    u16 create_date;
    u16 write_time;
    u16 write_date;
    u16 reserved2;
};

struct LocalHeader {
    u32 member_length;
    u16 name_length;
    u8 further[5];
};

void parse_sfx_header(const u8* p, SfxHeader* out);
void parse_archive_header(const u8* p, ArchiveHeader* out);
void parse_directory_entry(const u8* p, DirectoryEntry* out);
void parse_local_header(const u8* p, LocalHeader* out);

void write_sfx_header(u8* p, const SfxHeader* in);
void write_archive_header(u8* p, const ArchiveHeader* in);  // reserved fields 0
void write_directory_entry(u8* p, const DirectoryEntry* in);
void write_local_header(u8* p, const LocalHeader* in);

#endif
