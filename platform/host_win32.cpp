// Win32 backend of the platform layer for qvx.exe, the Windows build of the
// host tool: what host.cpp does with POSIX, done with the W functions.
//
// Paths are UTF-8 inside, as everywhere; here they become UTF-16 with the
// \\?\ prefix, so a path past MAX_PATH works. Relative paths are resolved
// below the thread's base folder (the destination of qvx x), one folder at a
// time, and a reparse point (a junction or a symbolic link) among those
// folders or as the last component is never followed: the call fails with
// access denied, as a link does on the POSIX backend. Read-only, hidden and
// system attributes and both file times are the file system's own.
//
// The wrappers keep the stub's contracts: -1/0 on failure, the Windows error
// in LastError, the same "clears"/"sets" rules.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include "platform/host.h"
#include "platform/text.h"

#include <io.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <string>

namespace host {

// --- text ------------------------------------------------------------------------

std::wstring utf8_to_wide(const std::string& s)
{
    if (s.empty())
        return std::wstring();
    int n = MultiByteToWideChar(CP_UTF8, 0, s.data(), (int)s.size(), nullptr, 0);
    std::wstring out((size_t)n, L'\0');
    MultiByteToWideChar(CP_UTF8, 0, s.data(), (int)s.size(), &out[0], n);
    return out;
}

void write_text(FILE* stream, const std::string& utf8)
{
    HANDLE h = INVALID_HANDLE_VALUE;
    if (stream == stdout)
        h = GetStdHandle(STD_OUTPUT_HANDLE);
    else if (stream == stderr)
        h = GetStdHandle(STD_ERROR_HANDLE);
    DWORD mode;
    if (h == INVALID_HANDLE_VALUE || h == nullptr || !GetConsoleMode(h, &mode)) {
        fwrite(utf8.data(), 1, utf8.size(), stream);
        return;
    }
    // What the C runtime holds for the console goes first.
    fflush(stream);
    std::wstring wide = utf8_to_wide(utf8);
    const wchar_t* p = wide.data();
    size_t left = wide.size();
    while (left > 0) {
        DWORD done = 0;
        DWORD chunk = left > 8192 ? 8192 : (DWORD)left;
        if (chunk < left && p[chunk - 1] >= 0xD800 && p[chunk - 1] < 0xDC00)
            chunk--;  // a surrogate pair stays whole
        if (!WriteConsoleW(h, p, chunk, &done, nullptr) || done == 0)
            return;
        p += done;
        left -= done;
    }
}

std::string wide_to_utf8(const std::wstring& s)
{
    if (s.empty())
        return std::string();
    int n = WideCharToMultiByte(CP_UTF8, 0, s.data(), (int)s.size(), nullptr, 0, nullptr, nullptr);
    std::string out((size_t)n, '\0');
    WideCharToMultiByte(CP_UTF8, 0, s.data(), (int)s.size(), &out[0], n, nullptr, nullptr);
    return out;
}


// --- paths -----------------------------------------------------------------------

static thread_local std::wstring t_base;  // absolute, no prefix; empty: the working folder

static bool is_separator(wchar_t c) { return c == L'\\' || c == L'/'; }

static bool is_absolute(const std::wstring& p)
{
    return (p.size() >= 2 && is_separator(p[0]) && is_separator(p[1])) ||
           (p.size() >= 3 && p[1] == L':' && is_separator(p[2]));
}

// The \\?\ form of an absolute path (\\?\UNC\ for \\server\share).
static std::wstring prefixed(const std::wstring& absolute)
{
    if (absolute.compare(0, 4, L"\\\\?\\") == 0)
        return absolute;
    if (absolute.size() >= 2 && is_separator(absolute[0]) && is_separator(absolute[1]))
        return L"\\\\?\\UNC\\" + absolute.substr(2);
    return L"\\\\?\\" + absolute;
}

std::wstring full_path(const std::string& utf8_path)
{
    std::wstring p = utf8_to_wide(utf8_path);
    for (wchar_t& c : p)
        if (c == L'/')
            c = L'\\';
    if (p.compare(0, 4, L"\\\\?\\") == 0)
        return p;
    if (!is_absolute(p) && !t_base.empty())
        p = t_base + L"\\" + p;
    // GetFullPathNameW resolves a relative path against the working folder
    // and folds "." and ".." textually (archive names hold none of the
    // latter: they are refused before they get here).
    DWORD n = GetFullPathNameW(p.c_str(), 0, nullptr, nullptr);
    if (n == 0)
        return prefixed(p);
    std::wstring out(n, L'\0');
    n = GetFullPathNameW(p.c_str(), n, &out[0], nullptr);
    out.resize(n);
    return prefixed(out);
}

void set_base_path(const std::string& utf8_path)
{
    if (utf8_path.empty()) {
        t_base.clear();
        return;
    }
    std::wstring p = full_path(utf8_path);
    // Kept without the prefix, as full_path takes a base.
    t_base = p.compare(0, 8, L"\\\\?\\UNC\\") == 0 ? L"\\" + p.substr(7) : p.substr(4);
}

std::string base_path() { return wide_to_utf8(t_base); }

// A relative path's folders below the base, each checked not to be a
// reparse point before anything is done inside it; false (LastError set)
// when one is, or a folder on the way is missing. Absolute paths are used as
// given, as on the POSIX backend.
static bool beneath(const std::string& utf8_path, std::wstring& out)
{
    out = full_path(utf8_path);
    std::wstring given = utf8_to_wide(utf8_path);
    if (is_absolute(given) || given.compare(0, 4, L"\\\\?\\") == 0)
        return true;
    // The folders after the base's own path; all of them should the path
    // not lie below it (it cannot, with the names the driver lets through).
    std::wstring root = full_path(".");
    size_t start = out.compare(0, root.size(), root) == 0 ? root.size() : 7;  // past \\?\X:\ at least
    for (size_t i = start + 1; i < out.size(); i++) {
        if (out[i] != L'\\')
            continue;
        DWORD a = GetFileAttributesW(out.substr(0, i).c_str());
        if (a == INVALID_FILE_ATTRIBUTES) {
            LastError = ERROR_PATH_NOT_FOUND;
            return false;
        }
        if (a & FILE_ATTRIBUTE_REPARSE_POINT) {
            LastError = ERROR_ACCESS_DENIED;
            return false;
        }
    }
    return true;
}

// True when the path's last component exists as a reparse point.
static bool is_reparse_point(const std::wstring& path)
{
    DWORD a = GetFileAttributesW(path.c_str());
    return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_REPARSE_POINT);
}

// --- fault injection (tests) ---------------------------------------------------

static thread_local FaultCounter* t_faults = nullptr;

void set_fault_counter(FaultCounter* counter) { t_faults = counter; }

static inline bool injected_fault(unsigned kind, DWORD error)
{
    FaultCounter* c = t_faults;
    if (c == nullptr || (c->kinds & kind) == 0 || ++c->calls != c->fail_at)
        return false;
    c->failed_kind = kind;
    SetLastError(error);
    return true;
}

// --- the temporary file Ctrl-C removes ----------------------------------------

// The file file_create_new made last and neither path_replace nor path_delete
// has taken away yet, while the guard is on (qvx x). The console's handler
// runs on a thread of its own: the lock keeps it from seeing a rename half
// done, and once it holds the lock the process ends before anything else
// renames or deletes.
static CRITICAL_SECTION g_lock;
static bool g_guard_on = false;
static bool g_armed = false;
static std::wstring g_temporary;

static BOOL WINAPI remove_temporary_and_die(DWORD event)
{
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT &&
        event != CTRL_LOGOFF_EVENT && event != CTRL_SHUTDOWN_EVENT)
        return FALSE;
    EnterCriticalSection(&g_lock);
    if (g_armed)
        DeleteFileW(g_temporary.c_str());
    g_armed = false;
    // The process ends here, with the lock held so that nothing is renamed
    // in between, and with the code Windows gives a process Ctrl-C ended:
    // never one that reads as success.
    ExitProcess(STATUS_CONTROL_C_EXIT);
    return TRUE;
}

void remove_temporary_file_on_signals()
{
    if (g_guard_on)
        return;
    InitializeCriticalSection(&g_lock);
    g_guard_on = true;
    SetConsoleCtrlHandler(remove_temporary_and_die, TRUE);
}

class GuardHeld {
public:
    GuardHeld()
    {
        if (g_guard_on)
            EnterCriticalSection(&g_lock);
    }
    ~GuardHeld()
    {
        if (g_guard_on)
            LeaveCriticalSection(&g_lock);
    }
    GuardHeld(const GuardHeld&) = delete;
    GuardHeld& operator=(const GuardHeld&) = delete;
};

static void arm(const std::wstring& path)
{
    if (!g_guard_on)
        return;
    g_temporary = path;
    g_armed = true;
}

static void disarm(const std::wstring& path)
{
    if (g_armed && path == g_temporary)
        g_armed = false;
}

void guard_file(const std::string& path)
{
    remove_temporary_file_on_signals();
    GuardHeld held;
    arm(full_path(path));
}

void release_file(const std::string& path)
{
    GuardHeld held;
    disarm(full_path(path));
}

// --- times ---------------------------------------------------------------------

bool set_folder_write_time(const std::string& path, u16 date, u16 time_word)
{
    std::wstring p;
    FILETIME local, utc;
    if (!beneath(path, p) || is_reparse_point(p) || !DosDateTimeToFileTime(date, time_word, &local) ||
        !LocalFileTimeToFileTime(&local, &utc))
        return false;
    HANDLE h = CreateFileW(p.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    bool ok = SetFileTime(h, nullptr, nullptr, &utc) != 0;
    CloseHandle(h);
    return ok;
}

// CRT descriptors (the archive qvx opens) as handles: the handle stays the
// descriptor's, and file_close closes it; the descriptor's slot is left.
FileHandle handle_from_fd(int fd) { return (FileHandle)_get_osfhandle(fd); }
int fd_from_handle(FileHandle handle) { return _open_osfhandle((intptr_t)handle, 0); }

unsigned windows_error_from_errno(int err) { return err == 0 ? 0 : 31; }

}  // namespace host

// Every kind of full disk reaches the user as one "Disk full".
static void keep_error()
{
    LastError = GetLastError();
    if (LastError == ERROR_HANDLE_DISK_FULL)
        LastError = ERROR_DISK_FULL;
}

void* mem_alloc(u32 size)
{
    if (host::injected_fault(host::FAULT_ALLOC, ERROR_NOT_ENOUGH_MEMORY))
        return nullptr;
    return malloc(size == 0 ? 1 : size);
}

void* mem_realloc(void* block, u32 size)
{
    if (host::injected_fault(host::FAULT_ALLOC, ERROR_NOT_ENOUGH_MEMORY))
        return nullptr;
    return realloc(block, size == 0 ? 1 : size);
}

void mem_free(void* block) { free(block); }

static FileHandle create_file(const char* path, u32 attributes, DWORD disposition, bool guard)
{
    LastError = 0;
    std::wstring p;
    if (!host::beneath(path, p))
        return INVALID_FILE;
    // Replacing through a link would write where the link points.
    if (disposition == CREATE_ALWAYS && host::is_reparse_point(p)) {
        LastError = ERROR_ACCESS_DENIED;
        return INVALID_FILE;
    }
    // Shared for deletion alone: Ctrl-C's handler deletes the temporary file
    // while it is open (it goes when the process ends).
    host::GuardHeld held;
    HANDLE h = host::injected_fault(host::FAULT_CREATE, ERROR_ACCESS_DENIED)
                   ? INVALID_HANDLE_VALUE
                   : CreateFileW(p.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_DELETE, nullptr, disposition,
                                 attributes | FILE_FLAG_SEQUENTIAL_SCAN | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        keep_error();
        return INVALID_FILE;
    }
    if (guard)
        host::arm(p);
    return (FileHandle)h;
}

FileHandle file_create(const char* path, u32 attributes) { return create_file(path, attributes, CREATE_ALWAYS, false); }

FileHandle file_create_new(const char* path, u32 attributes)
{
    return create_file(path, attributes, CREATE_NEW, true);
}

FileHandle file_open(const char* path, u32 access)
{
    LastError = 0;
    std::wstring p;
    // qvx t decodes into the null device, named as on POSIX.
    if (strcmp(path, "/dev/null") == 0)
        p = L"\\\\.\\NUL";
    else if (!host::beneath(path, p))
        return INVALID_FILE;
    // A writer shares only reading; a reader lets others read and write.
    DWORD share = (access & GENERIC_WRITE) ? FILE_SHARE_READ : FILE_SHARE_READ | FILE_SHARE_WRITE;
    HANDLE h = host::injected_fault(host::FAULT_CREATE, ERROR_ACCESS_DENIED)
                   ? INVALID_HANDLE_VALUE
                   : CreateFileW(p.c_str(), access, share, nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT,
                                 nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        keep_error();
        return INVALID_FILE;
    }
    return (FileHandle)h;
}

int file_close(FileHandle handle)
{
    if (!CloseHandle((HANDLE)handle)) {
        if (LastError == 0)
            keep_error();
        return 0;
    }
    return 1;
}

i32 file_read(FileHandle handle, void* buffer, u32 count)
{
    LastError = 0;
    u32 done = 0;
    while (done < count) {
        DWORD n = 0;
        if (host::injected_fault(host::FAULT_READ, ERROR_READ_FAULT) ||
            !ReadFile((HANDLE)handle, (char*)buffer + done, count - done, &n, nullptr)) {
            keep_error();
            return -1;
        }
        if (n == 0)
            break;
        done += n;
    }
    return (i32)done;
}

i32 file_write(FileHandle handle, const void* buffer, u32 count)
{
    LastError = 0;
    DWORD done = 0;
    if (host::injected_fault(host::FAULT_WRITE, ERROR_DISK_FULL) ||
        !WriteFile((HANDLE)handle, buffer, count, &done, nullptr)) {
        keep_error();
        return -1;
    }
    if (done != count) {
        LastError = ERROR_DISK_FULL;
        return -1;
    }
    return (i32)done;
}

i32 file_seek(FileHandle handle, i32 distance, u32 origin)
{
    LastError = 0;
    LARGE_INTEGER move, pos;
    move.QuadPart = distance;
    if (host::injected_fault(host::FAULT_SEEK, ERROR_READ_FAULT) ||
        !SetFilePointerEx((HANDLE)handle, move, &pos, origin)) {
        keep_error();
        return -1;
    }
    if (pos.QuadPart > 0x7FFFFFFF) {
        LastError = ERROR_INVALID_PARAMETER;
        return -1;
    }
    return (i32)pos.QuadPart;
}

// A DOS date and time in local time as a UTC file time, as the stub converts
// it; null when the pair cannot be converted (the time stays as it is).
static FILETIME* dos_to_file_time(u16 date, u16 time_word, FILETIME* out)
{
    FILETIME local;
    if (date == 0)
        return nullptr;
    if (!DosDateTimeToFileTime(date, time_word, &local) || !LocalFileTimeToFileTime(&local, out))
        return nullptr;
    return out;
}

int file_set_times(FileHandle handle, u16 create_date, u16 create_time, u16 write_date, u16 write_time)
{
    FILETIME create_ft, write_ft;
    LastError = 0;
    FILETIME* create = dos_to_file_time(create_date, create_time, &create_ft);
    FILETIME* write = dos_to_file_time(write_date, write_time, &write_ft);
    if (!SetFileTime((HANDLE)handle, create, nullptr, write)) {
        keep_error();
        return 0;
    }
    return 1;
}

i32 path_get_attributes(const char* path)
{
    std::wstring p;
    if (!host::beneath(path, p))
        return -1;
    DWORD a = GetFileAttributesW(p.c_str());
    if (a == INVALID_FILE_ATTRIBUTES) {
        keep_error();
        return -1;
    }
    return (i32)(a & 0xFFFF);
}

int path_set_attributes(const char* path, u32 attributes)
{
    LastError = 0;
    std::wstring p;
    if (!host::beneath(path, p))
        return 0;
    // A link's attributes are its own, but changing them through it is not
    // what an extraction means to do.
    if (host::is_reparse_point(p)) {
        LastError = ERROR_ACCESS_DENIED;
        return 0;
    }
    if (!SetFileAttributesW(p.c_str(), attributes)) {
        keep_error();
        return 0;
    }
    return 1;
}

int path_delete(const char* path)
{
    std::wstring p;
    if (!host::beneath(path, p))
        return 0;
    host::GuardHeld held;
    if (!DeleteFileW(p.c_str())) {
        keep_error();
        return 0;
    }
    host::disarm(p);
    return 1;
}

int path_move(const char* from, const char* to, u32 replace)
{
    std::wstring source, target;
    if (!host::beneath(from, source) || !host::beneath(to, target))
        return 0;
    host::GuardHeld held;
    if (host::injected_fault(host::FAULT_RENAME, ERROR_ACCESS_DENIED)) {
        keep_error();
        return 0;
    }
    if (!replace) {
        // Fails when the name is taken, whatever took it since its check.
        if (!MoveFileExW(source.c_str(), target.c_str(), 0)) {
            keep_error();
            if (LastError == ERROR_FILE_EXISTS)
                LastError = ERROR_ALREADY_EXISTS;
            return 0;
        }
    } else if (!MoveFileExW(source.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING)) {
        // Windows refuses to replace a read-only file, which POSIX's rename
        // replaces like any other: the target loses the attribute for the
        // move, and gets it back when the move fails all the same.
        DWORD error = GetLastError();
        DWORD a = GetFileAttributesW(target.c_str());
        bool retried = error == ERROR_ACCESS_DENIED && a != INVALID_FILE_ATTRIBUTES &&
                       (a & FILE_ATTRIBUTE_READONLY) && !(a & FILE_ATTRIBUTE_REPARSE_POINT) &&
                       SetFileAttributesW(target.c_str(), a & ~(DWORD)FILE_ATTRIBUTE_READONLY);
        if (!retried || !MoveFileExW(source.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING)) {
            if (retried) {
                error = GetLastError();
                SetFileAttributesW(target.c_str(), a);
            }
            SetLastError(error);
            keep_error();
            return 0;
        }
    }
    host::disarm(source);
    return 1;
}

int dir_create(const char* path)
{
    std::wstring p;
    if (!host::beneath(path, p))
        return 0;
    if (host::injected_fault(host::FAULT_CREATE, ERROR_ACCESS_DENIED) || !CreateDirectoryW(p.c_str(), nullptr)) {
        keep_error();
        return 0;
    }
    return 1;
}

u32 text_to_units(u16* out, u32 size, const char* text, u32 length, int utf8)
{
    if (!utf8) {
        // Code page 1252 as the POSIX backend reads it, whatever the
        // system's ANSI code page.
        if (length >= size)
            return 0;
        for (u32 i = 0; i < length; i++) {
            u8 c = (u8)text[i];
            out[i] = c >= 0x80 && c < 0xA0 ? cp1252_high[c - 0x80] : c;
        }
        return length;
    }
    int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text, (int)length, (wchar_t*)out, (int)size);
    return n > 0 && (u32)n < size ? (u32)n : 0;
}

u32 text_from_units(char* out, u32 out_size, const u16* units, u32 count)
{
    int n = count == 0 ? 0
                       : WideCharToMultiByte(CP_UTF8, 0, (const wchar_t*)units, (int)count, out, (int)out_size - 1,
                                             nullptr, nullptr);
    if (n <= 0) {
        out[0] = 0;
        return 0;
    }
    out[n] = 0;
    return (u32)n;
}

u64 volume_free_bytes(const char* folder)
{
    std::string path = host::path_to_host(folder);
    for (;;) {
        std::wstring wide = host::full_path(path.empty() ? "." : path);
        DWORD a = GetFileAttributesW(wide.c_str());
        if (a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY)) {
            if (wide.empty() || wide.back() != L'\\')
                wide += L'\\';
            ULARGE_INTEGER available;
            return GetDiskFreeSpaceExW(wide.c_str(), &available, nullptr, nullptr) ? (u64)available.QuadPart
                                                                                  : ~(u64)0;
        }
        size_t cut = path.find_last_of('/');
        if (path.empty() || cut == 0)
            return ~(u64)0;
        path.resize(cut == std::string::npos ? 0 : cut);
    }
}

u32 current_directory(char* buffer, u32 size)
{
    DWORD n = GetCurrentDirectoryW(0, nullptr);
    std::wstring wide(n, L'\0');
    n = GetCurrentDirectoryW(n, &wide[0]);
    wide.resize(n);
    std::string utf8 = host::wide_to_utf8(wide);
    if (n == 0 || utf8.size() >= size) {
        if (size > 0)
            buffer[0] = 0;
        return 0;
    }
    memcpy(buffer, utf8.c_str(), utf8.size() + 1);
    return (u32)utf8.size();
}
