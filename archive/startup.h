// The portable half of start-up: the self-check of the stub image and the
// reading of the payload headers from the own file. The stub's entry point
// calls these in order; the host tool uses the same code to find the archive
// inside a self-extractor.
#ifndef DRAVEX_ARCHIVE_STARTUP_H
#define DRAVEX_ARCHIVE_STARTUP_H

#include "platform/base.h"

// Sets the archive's display name to the file-name part of the program's
// path: after the last backslash, else after the last colon, else all of it.
void set_display_name(const char* path);
// 0, ERR_NO_MEMORY, ERR_READ or ERR_STUB_MODIFIED (after its warning).
// Sets archive_start to stub_length on success.
ResultCode verify_stub(void);
// Reads the optional SfxHeader at archive_start into the title, destination
// path and command buffers and OverwriteAll, and advances archive_start past
// it. Never fails: a missing or short header leaves the defaults.
void read_sfx_header(void);
// Reads the 42-byte ArchiveHeader at archive_start into archive_header;
// ERR_READ when it cannot be read whole.
ResultCode read_archive_header(void);

#endif
