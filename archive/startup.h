// The portable half of start-up: the self-check of the stub image and the
// reading of the payload headers from the own file. The stub's entry point
// calls these in order; the host tool uses the same code to find the archive
// inside a self-extractor.
#ifndef DRAVEX_ARCHIVE_STARTUP_H
#define DRAVEX_ARCHIVE_STARTUP_H

#include "archive/extraction.h"

// Sets the archive's display name to the file-name part of the program's
// path: after the last backslash, else after the last colon, else all of it.
void set_display_name(Extraction* x, const char* path);
// Checks the image of stub_length bytes at the start of the own file against
// the self-check value, with the 4 bytes at crc_slot read as zero (and, if
// that differs, with the fields signing rewrites taken as zero too): 0,
// ERR_NO_MEMORY, ERR_READ or ERR_STUB_MODIFIED (after its warning, shown
// through x). Sets archive_start to stub_length on success.
ResultCode verify_stub(Extraction* x, u32 stub_length, u32 crc_slot, u32 stub_crc);
// Where a PE image keeps the fields that signing rewrites: the offset of the
// "PE" signature at 0x3C; after it the file header, then the optional
// header with the CheckSum and, in its data directory, the certificate
// table's entry (offset and size), which lies further on in PE32+.
enum {
    PE_HEADER_OFFSET_FIELD = 0x3C,
    PE_OPTIONAL_HEADER = 24,  // from the signature
    PE_CHECKSUM = 64,         // from the optional header
    PE32_SECURITY_ENTRY = 128,
    PE32_PLUS_SECURITY_ENTRY = 144,
    PE32_PLUS_MAGIC = 0x20B,
    PE_SIGNING_FIELDS_END = PE_OPTIONAL_HEADER + PE32_PLUS_SECURITY_ENTRY + 8,
};
// Zeroes the CheckSum and the certificate table's entry of a PE image of
// `length` bytes; leaves an image too short to hold them as it is.
void clear_signing_fields(u8* image, u32 length);
// Reads the optional SfxHeader at archive_start into sfx_flags, the title,
// destination path and command buffers and OverwriteAll, and advances
// archive_start past it. The folder and the command become UTF-8 (from the
// system's code page unless the header says they are UTF-8); the title stays
// as stored. Never fails: a missing or short header leaves the defaults.
void read_sfx_header(Extraction* x);
// Reads the 42-byte ArchiveHeader at archive_start into archive_header;
// ERR_READ when it cannot be read whole.
ResultCode read_archive_header(Extraction* x);
// When archive_header carries our check values (tag "DX"), checks the
// SfxHeader, which starts at sfx_start and ends at archive_start, and the
// directory against them. 0 when they match or are absent, ERR_DAMAGED
// otherwise (a range that cannot be read whole counts as damage).
ResultCode check_archive_values(Extraction* x, u32 sfx_start);

#endif
