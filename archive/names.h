// The name an entry is extracted under.
//
// The directory stores every name in code page 1252 (our archiver puts '_'
// where a character has no form there), which any reader can use. Our
// archiver also keeps the exact name of one that is not plain ASCII, in
// UTF-8, as a record of the entry's second extra field: the two bytes "U8",
// a u16 length, the bytes. Other records may stand before or after it, each
// the same way: a two-byte tag, a u16 length, the bytes.
//
// The exact name is used only when it is UTF-8, a safe name by the same
// rule as every name (entry_name_is_safe), and stands for the stored one:
// its code page 1252 form, with '_' for what that cannot hold, is the stored
// name byte for byte. Otherwise the stored name is taken in the system's
// code page, as Windows' ANSI functions take it, so archives of other
// writers extract as they always did.
#ifndef DRAVEX_ARCHIVE_NAMES_H
#define DRAVEX_ARCHIVE_NAMES_H

#include "archive/records.h"

enum {
    NAME_RECORD_TAG = 0x3855,  // "U8"
    NAME_RECORD_HEADER = 4,    // the tag and the length
};

// The exact name of an entry whose stored name is `name` (followed, as in
// the directory, by the two extra fields), or 0 when it has none that may
// be used; *length_ret gets its length in bytes.
const char* entry_exact_name(const DirectoryEntry* entry, const char* name, u32* length_ret);
// Writes the name the entry is extracted under into out (UTF-8, terminated;
// out holds 3 * max_units + 1 bytes): the exact name, or the stored one
// converted from the system's code page; '/' becomes '\'. Returns its
// length in bytes, or -1 when it has more than max_units characters (UTF-16
// units): out then holds it cut to max_units.
i32 entry_target_name(const DirectoryEntry* entry, const char* name, char* out, u32 max_units);

#endif
