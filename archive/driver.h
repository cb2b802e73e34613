// The extraction driver: walks the compressed directory and produces every
// folder and file under the destination folder. The same code runs in the
// stub and in the host tool; everything it keeps is in the Extraction.
#ifndef DRAVEX_ARCHIVE_DRIVER_H
#define DRAVEX_ARCHIVE_DRIVER_H

#include "archive/extraction.h"

struct Decoder;

// Extracts everything into the folder held in x->dest_path, decoding with d.
// Returns 0 when the run ended normally or its failure was already shown,
// EXTRACT_NOTHING_WRITTEN after the message about a failure found before the
// first file was written (the destination folder cannot be made), or a
// negative code the caller must report. Refuses to be entered again while it
// runs.
ResultCode extract_all(Extraction* x, Decoder* d);
// Nothing of the archive was written: the front end may let the user choose
// another folder and call extract_all again.
enum { EXTRACT_NOTHING_WRITTEN = 1 };
ResultCode load_directory_piece(Extraction* x, u8* buffer);

struct DirectoryEntry;
// The directory walk, also used by the host tool's listing: begin at the
// first piece, then take entries one by one. directory_next loads pieces as
// needed and returns 0 with the entry and its name (inside the directory
// buffer, valid until the next call), or a negative code: a directory that
// ends early or holds a record or name past its piece is ERR_DAMAGED. The
// walk reads through d, which decoder_begin has prepared. directory_begin
// sets x->entries_left to the archive's entry count.
void directory_begin(Extraction* x, Decoder* d);
ResultCode directory_next(Extraction* x, DirectoryEntry* entry_ret, const char** name_ret);

// Builds the command line for run_command: the folder and the command's
// program part (up to the first blank, or the quoted part) inside one pair
// of double quotes, then the rest of the command as its arguments. Returns
// the length, or 0 when there is no program or the line does not fit in
// out_size bytes (nothing is then to be run; out is never written past).
u32 build_command_line(char* out, u32 out_size, const char* folder, const char* command);

#endif
