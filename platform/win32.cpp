// Win32 backend of the platform layer, for the stub.
//
// Each wrapper makes one system call and keeps the call's error code in
// LastError. Most clear LastError first, so that a message built later names
// the call that failed and not an earlier one; path_get_attributes,
// path_delete, path_move and dir_create only set it, and file_close keeps
// an error that is already there (closing after a failed write must not hide
// the write's cause behind the close's).
//
// Paths come in as UTF-8 and go to the W functions as UTF-16, converted into
// a buffer of their own (path_move's second path into another).
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include "platform/platform.h"
#include "platform/text.h"

// Every kind of full disk reaches the user as one "Disk full".
static void keep_error(void)
{
    LastError = GetLastError();
    if (LastError == ERROR_HANDLE_DISK_FULL)
        LastError = ERROR_DISK_FULL;
}

// --- text --------------------------------------------------------------------

u32 text_to_units(u16* out, u32 size, const char* text, u32 length, int utf8)
{
    return (u32)MultiByteToWideChar(utf8 ? CP_UTF8 : CP_ACP, utf8 ? MB_ERR_INVALID_CHARS : 0, text, (int)length,
                                    (wchar_t*)out, (int)size);
}

u32 text_from_units(char* out, u32 out_size, const u16* units, u32 count)
{
    int n = WideCharToMultiByte(CP_UTF8, 0, (const wchar_t*)units, (int)count, out, (int)out_size - 1, 0, 0);
    out[n] = 0;
    return (u32)n;
}

wchar_t* text_to_wide(wchar_t* out, u32 size, const char* text)
{
    if (MultiByteToWideChar(CP_UTF8, 0, text, -1, out, (int)size) == 0)
        out[0] = 0;
    return out;
}

// A path of at most 259 units; a longer one becomes empty, which no call
// finds or creates.
static wchar_t wide_path[MAX_PATH];

static const wchar_t* wide(const char* path)
{
    return text_to_wide(wide_path, MAX_PATH, path);
}

// --- heap --------------------------------------------------------------------

// Out of line: one call is smaller than LocalAlloc's arguments at each site.
DRAVEX_NOINLINE void* mem_alloc(u32 size)
{
    return (void*)LocalAlloc(LMEM_FIXED, size);
}

void* mem_realloc(void* block, u32 size)
{
    return (void*)LocalReAlloc((HLOCAL)block, size, LMEM_MOVEABLE);
}

// Out of line as well: in PE32 code each call through the import table is a
// base relocation, one here instead of one at every site.
DRAVEX_NOINLINE void mem_free(void* block)
{
    LocalFree((HLOCAL)block);
}

// --- files -------------------------------------------------------------------

static FileHandle create_file(const char* path, u32 attributes, DWORD disposition)
{
    LastError = 0;
    HANDLE h = CreateFileW(wide(path), GENERIC_READ | GENERIC_WRITE, 0, 0, disposition,
                           attributes | FILE_FLAG_SEQUENTIAL_SCAN, 0);
    if (h == INVALID_HANDLE_VALUE)
        keep_error();
    return (FileHandle)h;
}

FileHandle file_create(const char* path, u32 attributes)
{
    return create_file(path, attributes, CREATE_ALWAYS);
}

FileHandle file_create_new(const char* path, u32 attributes)
{
    return create_file(path, attributes, CREATE_NEW);
}

FileHandle file_open(const char* path, u32 access)
{
    LastError = 0;
    // A writer shares only reading; a reader lets others read and write, so
    // the stub can run while, say, a virus scanner holds its file open.
    DWORD share = (access & GENERIC_WRITE) ? FILE_SHARE_READ : FILE_SHARE_READ | FILE_SHARE_WRITE;
    HANDLE h = CreateFileW(wide(path), access, share, 0, OPEN_EXISTING, FILE_FLAG_RANDOM_ACCESS, 0);
    if (h == INVALID_HANDLE_VALUE)
        keep_error();
    return (FileHandle)h;
}

// Out of line: the driver closes in three places.
DRAVEX_NOINLINE int file_close(FileHandle handle)
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
    DWORD done = 0;
    if (!ReadFile((HANDLE)handle, buffer, count, &done, 0)) {
        keep_error();
        return -1;
    }
    return (i32)done;
}

i32 file_write(FileHandle handle, const void* buffer, u32 count)
{
    LastError = 0;
    DWORD done = 0;
    if (!WriteFile((HANDLE)handle, buffer, count, &done, 0)) {
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
    DWORD pos = SetFilePointer((HANDLE)handle, distance, 0, origin);
    if (pos == INVALID_SET_FILE_POINTER) {
        keep_error();
        return -1;
    }
    return (i32)pos;
}

// Converts a DOS date and time in local time to a UTC file time; 0 when the
// pair cannot be converted, so that time is left as the system set it.
static FILETIME* dos_to_file_time(u16 date, u16 time_word, FILETIME* out)
{
    FILETIME local;
    if (date == 0)
        return 0;
    if (!DosDateTimeToFileTime(date, time_word, &local) || !LocalFileTimeToFileTime(&local, out))
        return 0;
    return out;
}

int file_set_times(FileHandle handle, u16 create_date, u16 create_time, u16 write_date, u16 write_time)
{
    FILETIME create_ft, write_ft;
    LastError = 0;
    FILETIME* create = dos_to_file_time(create_date, create_time, &create_ft);
    FILETIME* write = dos_to_file_time(write_date, write_time, &write_ft);
    if (!SetFileTime((HANDLE)handle, create, 0, write)) {
        keep_error();
        return 0;
    }
    return 1;
}

i32 path_get_attributes(const char* path)
{
    DWORD attributes = GetFileAttributesW(wide(path));
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        keep_error();
        return -1;
    }
    return (i32)attributes;
}

int path_set_attributes(const char* path, u32 attributes)
{
    LastError = 0;
    if (!SetFileAttributesW(wide(path), attributes)) {
        keep_error();
        return 0;
    }
    return 1;
}

int path_delete(const char* path)
{
    if (!DeleteFileW(wide(path))) {
        keep_error();
        return 0;
    }
    return 1;
}

int path_move(const char* from, const char* to, u32 replace)
{
    static_assert(MOVEFILE_REPLACE_EXISTING == 1, "replace is passed as the flag");
    static wchar_t wide_from[MAX_PATH];
    if (!MoveFileExW(text_to_wide(wide_from, MAX_PATH, from), wide(to), replace)) {
        keep_error();
        return 0;
    }
    return 1;
}

int dir_create(const char* path)
{
    if (!CreateDirectoryW(wide(path), 0)) {
        keep_error();
        return 0;
    }
    return 1;
}

// --- user interface and system services --------------------------------------

void pump_messages(WindowHandle dialog)
{
    MSG msg;
    while (PeekMessageW(&msg, 0, 0, 0, PM_REMOVE)) {
        if (!IsDialogMessageW((HWND)dialog, &msg)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
    }
}

int volume_needs_short_names(char drive_letter)
{
    char root[4] = {drive_letter, ':', '\\', 0};
    char file_system[16];
    DWORD max_component = 0;
    // A volume we cannot ask about (a network path, an empty drive) gets long
    // names: shortening them for nothing would rename every member.
    if (!GetVolumeInformationA(root, 0, 0, 0, &max_component, 0, file_system, sizeof file_system))
        return 0;
    return (i32)max_component < 13 && text_compare_nocase(file_system, "NTFS") != 0;
}

u64 volume_free_bytes(const char* folder)
{
    wchar_t* path = (wchar_t*)wide(folder);
    ULARGE_INTEGER free_bytes;
    for (;;) {
        if (GetDiskFreeSpaceExW(path[0] ? path : 0, &free_bytes, 0, 0))
            return free_bytes.QuadPart;
        // Up one folder, to the drive ("X:dest" to "X:"); a lone root
        // ("\\server", "\\") is not asked.
        wchar_t* cut = 0;
        for (wchar_t* p = path; *p != 0; p++)
            if (*p == '\\')
                cut = p;
        if (cut <= path + 1) {
            if (path[1] != ':' || path[2] == 0)
                return ~(u64)0;
            cut = path + 2;
        }
        *cut = 0;
    }
}

u32 current_directory(char* buffer, u32 size)
{
    DWORD n = GetCurrentDirectoryW(MAX_PATH, wide_path);
    // A directory longer than a path returns the size it would need and
    // leaves the buffer undefined: treat it as no directory.
    if (n >= MAX_PATH)
        n = 0;
    return text_from_units(buffer, size, (const u16*)wide_path, n);
}

// CreateProcessW, not WinExec: it takes the working folder. The process and
// thread handles are left to the end of the stub's process, which comes
// right after the command.
int run_command(const char* command_line, const char* directory, u32* exit_code)
{
    // UTF-16 takes no more units than UTF-8 takes bytes.
    static wchar_t line[COMMAND_LINE_SIZE];
    static STARTUPINFOW startup;  // zeroed: the defaults
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process;
    if (!CreateProcessW(0, text_to_wide(line, COMMAND_LINE_SIZE, command_line), 0, 0, FALSE, 0, 0,
                        directory ? wide(directory) : 0, &startup, &process)) {
        keep_error();
        return 0;
    }
    if (exit_code != 0) {
        WaitForSingleObject(process.hProcess, INFINITE);
        GetExitCodeProcess(process.hProcess, (DWORD*)exit_code);
    }
    return 1;
}
