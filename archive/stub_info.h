// The stub's record in its own image.
//
// StubInfo is one record in the stub's initialised data. Its first three
// fields are written by the stub builder (qvx): the image length, the file
// offset of stub_crc, and the self-check value. The rest are the run-time
// flags and the fixed tables the decoder reads; being part of the image, they
// are covered by the self-check too. The builder finds the record by its
// fixed contents (directory signature, window table, initial title), so the
// field order and the initial values below are part of the stub format.
// Every field is naturally aligned and pointer-free, so the record has the
// same layout in the PE32 and PE32+ builds.
#ifndef DRAVEX_ARCHIVE_STUB_INFO_H
#define DRAVEX_ARCHIVE_STUB_INFO_H

#include "platform/base.h"
#include "platform/platform.h"

enum {
    TITLE_SIZE = 80,
    PATH_SIZE = 260,  // a Windows path: at most 259 UTF-16 units and the terminator
    // The same path as UTF-8: three bytes hold any unit (four a pair).
    PATH_BUFFER_SIZE = 3 * (PATH_SIZE - 1) + 1,
    ARCHIVE_HEADER_SIZE = 42,
};

// The flags of one extraction. The stub's live in its StubInfo record; the
// host gives each extraction its own.
struct RunFlags {
    u8 cancel_flag;    // CancelFlag
    u8 overwrite_all;  // OverwriteAll
    u8 short_names;    // ShortNames
    u8 command_in_destination;  // SfxHeader flag bit 3: the command starts there
};

struct StubInfo {
    u32 stub_length;
    u32 crc_slot;
    u32 stub_crc;
    RunFlags flags;
    i32 archive_start;
    // The format tables (codec/format_tables.h), copied here because the stub
    // format puts them in this record.
    u8 distance_sizes[4];     // 42, 14, 28 (alphabets 0, 1, 2), 0
    u16 distance_offsets[4];  // 288, 330, 344 within a table set, 0
    char directory_signature[8];  // "QVXDE", zero byte, 2 bytes padding
    u32 window_sizes[3][8];
    char title[TITLE_SIZE];
};

extern StubInfo stub_info;

// Offsets the stub builder relies on.
enum {
    STUB_INFO_CRC_OFFSET = 8,             // of stub_crc within StubInfo
    STUB_INFO_SIGNATURE_OFFSET = 32,      // of directory_signature
    STUB_INFO_SIZE = 216,
};

extern const char initial_title[];  // "Dravex Self-Extractor"

#endif
