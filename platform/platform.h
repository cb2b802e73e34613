// The platform layer: thin wrappers over the system's file, heap, time and
// user-interface calls, and the one routine that turns result codes into
// message boxes.
//
// Two backends implement this interface: win32.cpp over the Win32 API (the
// stub) and host.cpp over POSIX (the qvx tool and the tests). Every wrapper
// makes one system call, turns its failure into −1 or 0 and keeps the
// operating system's error code in LastError (Windows error numbers on both
// backends), so that a message built much later can still name the cause.
#ifndef DRAVEX_PLATFORM_PLATFORM_H
#define DRAVEX_PLATFORM_PLATFORM_H

#include "platform/base.h"

typedef void* FileHandle;
typedef void* WindowHandle;

#define INVALID_FILE ((FileHandle)(intptr_t)-1)

// Windows values the core uses on both backends.
enum {
    ACCESS_READ = 0x80000000u,   // GENERIC_READ
    ACCESS_WRITE = 0x40000000u,  // GENERIC_WRITE
    SEEK_FROM_START = 0,
    SEEK_FROM_CURRENT = 1,
    SEEK_FROM_END = 2,
    ATTR_READONLY = 0x01,
    ATTR_HIDDEN = 0x02,
    ATTR_SYSTEM = 0x04,
    ATTR_DIRECTORY = 0x10,
    ATTR_ARCHIVE = 0x20,
    ATTR_NORMAL = 0x80,
};

// Windows error numbers kept in LastError.
enum {
    OS_FILE_NOT_FOUND = 2,
    OS_PATH_NOT_FOUND = 3,
    OS_ACCESS_DENIED = 5,
    OS_HANDLE_DISK_FULL = 39,
    OS_FILE_EXISTS = 80,
    OS_DISK_FULL = 112,
    OS_BAD_PATHNAME = 161,
    OS_PATH_TOO_LONG = 206,  // ERROR_FILENAME_EXCED_RANGE
    OS_ALREADY_EXISTS = 183,
};

// Message box styles and answers (Windows values).
enum {
    BOX_OK = 0x00,
    BOX_OKCANCEL = 0x01,
    BOX_EXCLAMATION = 0x30,
    BOX_ANSWER_OK = 1,
    BOX_ANSWER_CANCEL = 2,
};

// Answers of the overwrite question (the button ids of its dialog).
enum {
    ANSWER_YES_TO_ALL = 108,
    ANSWER_YES = 109,
    ANSWER_NO = 110,
};

// The longest message fits: a 259-character path (777 bytes of UTF-8), its
// cause and the line saying that the extraction has stopped.
enum { MESSAGE_BUFFER_SIZE = 912 };

// One per thread on the host, where extractions may run side by side (as
// Windows keeps its own last error per thread); the stub has one thread.
// (qvx.exe, the host tool built for Windows, defines DRAVEX_HOST_WIN32.)
#if defined(_WIN32) && !defined(DRAVEX_HOST_WIN32)
#define DRAVEX_THREAD_LOCAL
#else
#define DRAVEX_THREAD_LOCAL thread_local
#endif
extern DRAVEX_THREAD_LOCAL u32 LastError;

// Heap. LastError untouched.
void* mem_alloc(u32 size);
void* mem_realloc(void* block, u32 size);
void mem_free(void* block);

// Paths are UTF-8 (the Win32 backend calls the system's W functions).
// Files. Most clear LastError first; path_get_attributes, path_delete,
// path_move and dir_create only set it, and file_close keeps one already
// there (the head of platform/win32.cpp says why).
FileHandle file_create(const char* path, u32 attributes);
// Creates path as a new file and fails when the name is taken by anything
// (a file, a folder, a link): LastError is then OS_FILE_EXISTS. The driver
// writes each member into such a file and renames it over its target only
// once the member is whole and checked (path_move), or deletes it.
FileHandle file_create_new(const char* path, u32 attributes);
FileHandle file_open(const char* path, u32 access);
int file_close(FileHandle handle);
i32 file_read(FileHandle handle, void* buffer, u32 count);
i32 file_write(FileHandle handle, const void* buffer, u32 count);
i32 file_seek(FileHandle handle, i32 distance, u32 origin);
int file_set_times(FileHandle handle, u16 create_date, u16 create_time, u16 write_date, u16 write_time);
i32 path_get_attributes(const char* path);
int path_set_attributes(const char* path, u32 attributes);
int path_delete(const char* path);
// Renames the file from to the name to, in one step. With replace (1) a
// file (not a folder) that has that name is replaced; with 0 the rename fails
// when the name is taken (LastError OS_ALREADY_EXISTS), so
// that a file that appeared after its check is never lost. Win32: MoveFileExW
// (replace is MOVEFILE_REPLACE_EXISTING); host: renameat, renameat2 with
// RENAME_NOREPLACE (or link and unlink where the file system lacks it).
int path_move(const char* from, const char* to, u32 replace);
int dir_create(const char* path);

// The bytes free to this user on the volume of folder (UTF-8; empty: the
// current folder), asked of the folder or, while it does not exist yet, of
// its nearest parent that does; all bits set when no parent can be asked.
// Win32: GetDiskFreeSpaceExW; host: statvfs, relative to the base folder.
u64 volume_free_bytes(const char* folder);

// System services. Win32: GetCurrentDirectoryW; host: getcwd.
u32 current_directory(char* buffer, u32 size);
// Converts length bytes of text in the system's ANSI code page (code page
// 1252 on the host) or, with utf8 set, of UTF-8 to UTF-16 in out (size
// units, no terminator). Returns the number of units, 0 when the text is
// empty, does not fit or is not UTF-8 (a stray or missing continuation byte,
// an overlong form, a surrogate, a value past U+10FFFF): the stub takes
// Windows' own strict conversion, the host the same rule.
u32 text_to_units(u16* out, u32 size, const char* text, u32 length, int utf8);
// Converts count UTF-16 units to UTF-8 in out (out_size bytes, at least 1,
// always terminated). Returns the length, 0 (out empty) when it does not fit.
u32 text_from_units(char* out, u32 out_size, const u16* units, u32 count);
#if defined(_WIN32)
// Win32 only: the stub's shell builds its side of the extraction on these.
// pump_messages dispatches every waiting message (PeekMessageW loop), those
// of dialog and its controls through IsDialogMessageW (dialog may be 0);
// volume_needs_short_names asks GetVolumeInformationA; run_command starts
// the command line with CreateProcessW in directory (0: the working folder
// unchanged) and returns 0 (with LastError) when it could not start; with
// exit_code it waits for the command to end and keeps its exit code there.
void pump_messages(WindowHandle dialog);
int volume_needs_short_names(char drive_letter);
int run_command(const char* command_line, const char* directory, u32* exit_code);
// UTF-8 to UTF-16 for the W functions, into out of `size` units (always
// terminated; empty when the text does not fit). Returns out.
wchar_t* text_to_wide(wchar_t* out, u32 size, const char* text);
#endif

// The longest command line run_command takes, in bytes with its terminator:
// a quote, the folder with its separator, the program, a quote and the
// arguments, with both the folder and the command at their 259-character
// limit (777 bytes of UTF-8 each).
enum { COMMAND_LINE_SIZE = 2 * (3 * 259 + 1) + 4 };

// Failure messages (messages.cpp, shared by both backends).
// Formats the message of a result code about name into out, with the cause
// LastError names on its second line; returns its length, or 0 for a code
// that is never shown (ERR_CANCELLED).
u32 format_failure(char* out, u32 out_size, ResultCode code, const char* name);
const char* os_error_suffix(void);

#endif
