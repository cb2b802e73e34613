// Target paths: 8.3 conversion for volumes that take only short names, and
// creation of a folder together with its missing ancestors.
#ifndef DRAVEX_ARCHIVE_PATHS_H
#define DRAVEX_ARCHIVE_PATHS_H

#include "platform/base.h"

char* shorten_component(char* dest, const char* begin, const char* end);
// Converts every component to its 8.3 form when short_names is set.
void make_short_path(char* path, int short_names);
int create_folder_path(const char* path);
// The length of the path's folder part, up to and with its last backslash;
// 0 when it has none.
u32 folder_part_length(const char* path);
// 1 when the archive name of length bytes stays inside the destination
// folder and names an ordinary file: not empty, not absolute, no drive or
// stream colon, no control byte, no ".." component and no device name
// (CON, NUL, COM1, ...), with either separator. 0 otherwise.
int entry_name_is_safe(const char* name, u32 length);

// The rules below are shared by the extractor and the archiver, so that the
// archiver never stores a name the extractor refuses.
//
// 1 when the path component [begin, end) is a name Windows opens as a device
// in every folder (CON, NUL, COM1, LPT\xB9, ...), with any extension.
int is_device_name(const char* begin, const char* end);
// The byte's lower-case form in code page 1252, as Windows compares names:
// two names that fold alike are one file there ("\xC9.txt" and "\xE9.txt").
u8 fold_name_byte(u8 c);

#endif
