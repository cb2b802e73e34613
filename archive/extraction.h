// One run of the extraction driver as an object: where it writes, what it
// has read of the archive, how far its directory walk has come, and the
// front end that shows what happens.
//
// The driver and start-up keep no state of their own: everything lives here
// and is reached through the pointer they are given. The stub owns one
// static instance (its working buffers must stay off the stack, which has
// no probes); the host tool makes one per archive, so two extractions can
// run at the same time on two threads.
//
// The front end is a set of functions declared below and defined by
// whichever program links the driver: shell/ in the stub (the dialogs, the
// message boxes, the Win32 message pump) and host/ on the host (per-object
// hooks reached through `context`). Binding them at link time costs the stub
// nothing over direct calls.
#ifndef DRAVEX_ARCHIVE_EXTRACTION_H
#define DRAVEX_ARCHIVE_EXTRACTION_H

#include "archive/records.h"
#include "archive/stub_info.h"
#include "platform/platform.h"

struct Decoder;

struct Extraction {
    // --- set by the front end before start-up --------------------------
    RunFlags* flags;         // cancel, overwrite all, short names (see run_flags)
    char* title;             // TITLE_SIZE bytes: the caption of every message (see run_title)
    WindowHandle owner;      // the window messages belong to (0 on the host)
    void* context;           // the front end's own data; the driver never reads it
    FileHandle file;         // the own file: the stub's image with the archive, or an archive

    // --- filled by start-up, read by the driver ------------------------
    // Names, paths and messages are UTF-8. The title is as stored: UTF-8
    // when sfx_flags has SFX_FLAG_UTF8, else in the system's code page.
    i32 archive_start;       // where the archive begins in file (see run_archive_start)
    u8 sfx_flags;            // the SfxHeader's flags (0 without one)
    u8 archive_header[ARCHIVE_HEADER_SIZE];

    // --- the driver's own ----------------------------------------------
    u8 running;                     // set while extract_all runs
    Decoder* decoder;               // of the run or directory walk (extract_all, directory_begin)
    // The directory buffer and its read window.
    const u8* directory_cursor;
    const u8* directory_end;
    i32 directory_position;         // file offset of the next directory piece
    u32 entries_left;               // of the directory walk
    u8 directory_cut;               // the file ended inside the last piece loaded
    // For the progress display: the files and their size (in units of the
    // driver's walk_directory) counted by a first pass over the directory,
    // the files reached by the walk proper and the units of the entries done.
    u32 files_total, files_reached;
    u32 units_total, units_done;
    // The bytes the directory's files will take, counted by the same pass,
    // and the volume's free bytes they were compared with: a run that would
    // not fit ends with ERR_NO_SPACE before anything is written.
    u64 space_needed, space_free;
#ifndef DRAVEX_STUB_BUILD
    u8 no_space_check;  // the host tool's --no-space-check: extract anyway
#endif

    // --- the buffers, last: the fields above then lie within a one-byte
    // offset of the record's start, which keeps the stub's code short
    char display_name[PATH_BUFFER_SIZE];   // the archive's name in messages without a path (start-up)
    char dest_path[PATH_BUFFER_SIZE];      // the folder, then each target in turn (start-up)
    char command[PATH_BUFFER_SIZE];        // the archive's command, or empty (start-up)
    char temp_path[PATH_BUFFER_SIZE];  // the file a member is written to before it replaces its target
    char message[MESSAGE_BUFFER_SIZE];
    char command_line[COMMAND_LINE_SIZE];
    u8 directory_buffer[DIRECTORY_BUFFER_SIZE];
};

// The run's flags, title and archive start. The stub's one extraction uses
// its StubInfo's directly: the same bytes, reached without the pointers.
static DRAVEX_INLINE RunFlags* run_flags(Extraction* x)
{
#if defined(DRAVEX_STUB_BUILD)
    (void)x;
    return &stub_info.flags;
#else
    return x->flags;
#endif
}

static DRAVEX_INLINE char* run_title(Extraction* x)
{
#if defined(DRAVEX_STUB_BUILD)
    (void)x;
    return stub_info.title;
#else
    return x->title;
#endif
}

static DRAVEX_INLINE i32* run_archive_start(Extraction* x)
{
#if defined(DRAVEX_STUB_BUILD)
    (void)x;
    return &stub_info.archive_start;
#else
    return &x->archive_start;
#endif
}

// --- the front end ------------------------------------------------------

// Shows a failure (text, the extraction's title as caption, a message box
// style) and returns BOX_ANSWER_OK or BOX_ANSWER_CANCEL. code is the result
// code the text was made from, for a front end that counts outcomes.
int extraction_message(Extraction* x, ResultCode code, const char* text, u32 style);
// The driver starts on a file (name as it will be created, after the
// folder).
void extraction_progress(Extraction* x, const char* name);
// dest_path exists: ANSWER_YES, ANSWER_NO or ANSWER_YES_TO_ALL.
int extraction_ask_overwrite(Extraction* x);
// Lets the user interface run; a Cancel there sets flags->cancel.
void extraction_pump(Extraction* x);
// The command line built after a complete run.
void extraction_run_command(Extraction* x, const char* command_line);
// 1 when the volume of the drive letter takes only 8.3 names.
int extraction_short_names(Extraction* x, char drive_letter);
#ifndef DRAVEX_STUB_BUILD
// The host tool's choice of members: 0 passes the entry over without a word.
// name is the one the entry is extracted under (entry_target_name). The stub
// takes every entry and has no such function.
int extraction_wants(Extraction* x, const DirectoryEntry* entry, const char* name);
#endif

// How a failure bears on the run, for report_error.
enum {
    REPORT_FINAL = 0,         // nothing to choose: OK only
    REPORT_CAN_CONTINUE = 1,  // OK goes on with the next entry, Cancel stops
    REPORT_RUN_STOPS = 2,     // OK only, and the message says that the entries from here on were not extracted
};

// Formats the message of a failure (name 0: the archive's display name) and
// shows it. Returns 0 when the caller should go on, 1 when it should stop.
int report_error(Extraction* x, ResultCode code, const char* name, int can_continue);

#endif
