// Host-only parts of the POSIX backend: the folder relative paths start
// from, and the conversions between archive names and host paths.
#ifndef DRAVEX_PLATFORM_HOST_H
#define DRAVEX_PLATFORM_HOST_H

#include <cstdio>
#include <ctime>
#include <string>

#include "platform/platform.h"

namespace host {

// Relative paths given to the file wrappers are resolved in this folder (a
// descriptor; AT_FDCWD, the working directory, by default). It is the
// calling thread's own, so extractions on two threads can each work
// relative to their destination.
void set_base_directory(int dir_fd);
int base_directory();

#if defined(_WIN32)
// Windows (qvx.exe): the base folder is a path, absolute once set ("": the
// working folder), and the thread's own as above.
void set_base_path(const std::string& utf8_path);
std::string base_path();
// A UTF-8 path, relative ones below the base, as the absolute \\?\ form
// the W functions take.
std::wstring full_path(const std::string& utf8_path);
std::wstring utf8_to_wide(const std::string& s);
std::string wide_to_utf8(const std::wstring& s);
// Sets the write time of a folder below the base, opened without following
// a reparse point on the way; false when it cannot be.
bool set_folder_write_time(const std::string& path, u16 date, u16 time_word);
#endif

// For qvx x: from now on SIGINT, SIGTERM and SIGHUP (Windows: Ctrl-C,
// Ctrl-Break and closing the console) first remove the file
// file_create_new made last, when it has not been renamed over its target
// or deleted yet, then end the process as they would have. Process-wide, for
// a tool that extracts one archive at a time.
void remove_temporary_file_on_signals();
// The same for a file of the caller's (qvx a's archive under its temporary
// name; path relative to the working folder): removed by those signals from
// guard_file until release_file. One file at a time.
void guard_file(const std::string& path);
void release_file(const std::string& path);

// The extractor's paths are UTF-8 with backslashes; the host file system
// takes UTF-8 with slashes.
std::string path_to_host(const char* path);
// Stored archive names and the strings of older self-extractors are in
// Windows code page 1252.
std::string cp1252_to_utf8(const std::string& s);
// Returns false when s is not UTF-8 or, unless substitute is set, when a
// character has no code page 1252 form; with it set, such a character
// becomes '_'.
bool utf8_to_cp1252(const std::string& s, std::string& out, bool substitute = false);
bool is_utf8(const std::string& s);
// Decodes the UTF-8 character at *p (before end) and moves *p past it.
// Returns its code point, or -1 for bytes that are not UTF-8 (no overlong
// form, surrogate or value past U+10FFFF); *p then moves on by one.
i32 utf8_next(const u8** p, const u8* end);
// Appends code point cp to out in UTF-8.
void append_utf8(std::string& out, unsigned cp);
// A name as Windows compares names, for comparing only (four bytes a
// character): every character in upper case by its simple mapping, as the
// file system's table holds it, '/' and '\\' alike. Bytes that are not
// UTF-8 are taken one by one.
std::string fold_name(const std::string& utf8);

// Writes UTF-8 text to stdout or stderr: to a Windows console as UTF-16
// through the console's own call (whatever its code page), otherwise, and
// on POSIX, the bytes as they are.
void write_text(FILE* stream, const std::string& utf8);

// Wraps a POSIX descriptor as a FileHandle and back.
FileHandle handle_from_fd(int fd);
int fd_from_handle(FileHandle handle);

// DOS date and time words, as entries keep them (local time). The one place
// they are converted, for every tool and backend.
// As seconds since the epoch.
time_t dos_to_time(u16 date, u16 time_word);
// From seconds since the epoch; both 0 outside 1980..2107.
void time_to_dos(time_t t, u16& date, u16& time_word);
// "YYYY-MM-DD HH:MM:SS"; 19 blanks when the date is 0, and
// "????-??-?? ??:??:??" when a field is out of its range.
std::string dos_time_text(u16 date, u16 time_word);
// The same as "YYYY-MM-DDTHH:MM:SS" for JSON; "" when absent or invalid.
std::string dos_time_iso(u16 date, u16 time_word);

// Maps errno to the Windows error number kept in LastError.
unsigned windows_error_from_errno(int err);

// Fault injection, for tests: while a counter is set on a thread, every
// wrapper call of the kinds it names counts one, and the call numbered
// fail_at (from 1; 0: none) fails as the system call would have (a read or
// seek with an I/O error, a write with a full disk, a create, open, folder
// create or rename with access denied, an allocation with no memory).
// Off (nullptr) by default; then the wrappers only test the pointer.
enum FaultKind : unsigned {
    FAULT_READ = 1,
    FAULT_WRITE = 2,
    FAULT_SEEK = 4,
    FAULT_CREATE = 8,  // file_create, file_create_new, file_open, dir_create
    FAULT_RENAME = 16,
    FAULT_ALLOC = 32,
    FAULT_ALL = 63,
};
struct FaultCounter {
    unsigned kinds = FAULT_ALL;
    unsigned long calls = 0;    // counted so far
    unsigned long fail_at = 0;
    unsigned failed_kind = 0;   // the kind of the call that failed, once it has
};
void set_fault_counter(FaultCounter* counter);

}  // namespace host

#endif
