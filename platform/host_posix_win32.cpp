// The POSIX file calls of qvx.exe on the W functions; see
// host_posix_win32.h. Compiled into the Windows build of the host tool only.
#if defined(_WIN32) && defined(DRAVEX_HOST_WIN32)

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include "platform/host_posix_win32.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "platform/host.h"

// The POSIX name of the last Windows error.
static int errno_from_windows(DWORD error)
{
    switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
    case ERROR_BAD_NETPATH:
        return ENOENT;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
        return EACCES;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
        return EEXIST;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
        return ENOSPC;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
        return ENOMEM;
    case ERROR_DIRECTORY:
        return ENOTDIR;
    case ERROR_FILENAME_EXCED_RANGE:
        return ENAMETOOLONG;
    case ERROR_CANT_RESOLVE_FILENAME:
        return ELOOP;
    default:
        return EIO;
    }
}

static int fail_with_windows_error()
{
    errno = errno_from_windows(GetLastError());
    return -1;
}

// 100-ns intervals since 1601 as seconds and nanoseconds since 1970.
static struct timespec to_timespec(const FILETIME& ft)
{
    int64_t t = (int64_t)(((uint64_t)ft.dwHighDateTime << 32) | ft.dwLowDateTime) - 116444736000000000LL;
    struct timespec out;
    int64_t seconds = t / 10000000, rest = t % 10000000;
    if (rest < 0) {
        rest += 10000000;
        seconds--;
    }
    out.tv_sec = (time_t)seconds;
    out.tv_nsec = (long)(rest * 100);
    return out;
}

static void fill(struct dravex_stat* st, const BY_HANDLE_FILE_INFORMATION& info, bool as_link)
{
    memset(st, 0, sizeof *st);
    st->st_dev = info.dwVolumeSerialNumber;
    st->st_ino = ((uint64_t)info.nFileIndexHigh << 32) | info.nFileIndexLow;
    st->st_nlink = info.nNumberOfLinks;
    if (as_link)
        st->st_mode = S_IFLNK | 0777;
    else if (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
        st->st_mode = S_IFDIR | 0777;
    else
        st->st_mode = S_IFREG | ((info.dwFileAttributes & FILE_ATTRIBUTE_READONLY) ? 0444 : 0666);
    if (!(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
        st->st_size = (int64_t)(((uint64_t)info.nFileSizeHigh << 32) | info.nFileSizeLow);
    st->st_mtim = to_timespec(info.ftLastWriteTime);
    st->st_mtime = st->st_mtim.tv_sec;
    st->st_btim = to_timespec(info.ftCreationTime);
    st->st_attributes = info.dwFileAttributes;
}

static int stat_handle(HANDLE h, struct dravex_stat* st, bool as_link)
{
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(h, &info))
        return fail_with_windows_error();
    fill(st, info, as_link);
    return 0;
}

static HANDLE open_for_stat(const char* path, bool follow)
{
    DWORD flags = FILE_FLAG_BACKUP_SEMANTICS | (follow ? 0 : FILE_FLAG_OPEN_REPARSE_POINT);
    return CreateFileW(host::full_path(path).c_str(), FILE_READ_ATTRIBUTES,
                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING, flags,
                       nullptr);
}

int dravex_stat(const char* path, struct dravex_stat* st)
{
    HANDLE h = open_for_stat(path, true);
    if (h == INVALID_HANDLE_VALUE)
        return fail_with_windows_error();
    int r = stat_handle(h, st, false);
    CloseHandle(h);
    return r;
}

int dravex_lstat(const char* path, struct dravex_stat* st)
{
    HANDLE h = open_for_stat(path, false);
    if (h == INVALID_HANDLE_VALUE)
        return fail_with_windows_error();
    FILE_ATTRIBUTE_TAG_INFO tag;
    bool link = GetFileInformationByHandleEx(h, FileAttributeTagInfo, &tag, sizeof tag) &&
                (tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) &&
                (tag.ReparseTag == IO_REPARSE_TAG_SYMLINK || tag.ReparseTag == IO_REPARSE_TAG_MOUNT_POINT);
    int r = stat_handle(h, st, link);
    CloseHandle(h);
    return r;
}

int dravex_fstat(int fd, struct dravex_stat* st)
{
    HANDLE h = (HANDLE)_get_osfhandle(fd);
    if (h == INVALID_HANDLE_VALUE) {
        errno = EBADF;
        return -1;
    }
    return stat_handle(h, st, false);
}

struct dravex_dir {
    HANDLE find = INVALID_HANDLE_VALUE;
    WIN32_FIND_DATAW data;
    bool pending = false;  // data holds an entry not yet returned
    dravex_dirent entry;
};

dravex_dir* dravex_opendir(const char* path)
{
    std::wstring pattern = host::full_path(path);
    if (!pattern.empty() && pattern.back() != L'\\')
        pattern += L'\\';
    pattern += L'*';
    dravex_dir* dir = new dravex_dir;
    dir->find = FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &dir->data, FindExSearchNameMatch, nullptr,
                                 FIND_FIRST_EX_LARGE_FETCH);
    if (dir->find == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        delete dir;
        // An empty folder has no entries at all on some file systems.
        if (error == ERROR_FILE_NOT_FOUND) {
            errno = 0;
            dir = new dravex_dir;
            return dir;
        }
        errno = error == ERROR_DIRECTORY ? ENOTDIR : errno_from_windows(error);
        return nullptr;
    }
    dir->pending = true;
    return dir;
}

dravex_dirent* dravex_readdir(dravex_dir* dir)
{
    if (dir->find == INVALID_HANDLE_VALUE)
        return nullptr;
    if (!dir->pending && !FindNextFileW(dir->find, &dir->data))
        return nullptr;
    dir->pending = false;
    std::string name = host::wide_to_utf8(dir->data.cFileName);
    if (name.size() >= sizeof dir->entry.d_name)
        name.resize(sizeof dir->entry.d_name - 1);
    memcpy(dir->entry.d_name, name.c_str(), name.size() + 1);
    return &dir->entry;
}

int dravex_closedir(dravex_dir* dir)
{
    if (dir->find != INVALID_HANDLE_VALUE)
        FindClose(dir->find);
    delete dir;
    return 0;
}

// The final path of what path names, links followed, as the user writes it
// (a drive letter, no \\?\ prefix); malloc'ed when resolved is null.
char* dravex_realpath(const char* path, char* resolved)
{
    HANDLE h = open_for_stat(path, true);
    if (h == INVALID_HANDLE_VALUE) {
        fail_with_windows_error();
        return nullptr;
    }
    DWORD n = GetFinalPathNameByHandleW(h, nullptr, 0, FILE_NAME_NORMALIZED);
    std::wstring wide(n, L'\0');
    n = n == 0 ? 0 : GetFinalPathNameByHandleW(h, &wide[0], n, FILE_NAME_NORMALIZED);
    CloseHandle(h);
    if (n == 0) {
        fail_with_windows_error();
        return nullptr;
    }
    wide.resize(n);
    if (wide.compare(0, 8, L"\\\\?\\UNC\\") == 0)
        wide = L"\\\\" + wide.substr(8);
    else if (wide.compare(0, 4, L"\\\\?\\") == 0)
        wide = wide.substr(4);
    std::string utf8 = host::wide_to_utf8(wide);
    if (resolved == nullptr)
        return strdup(utf8.c_str());
    if (utf8.size() >= 260) {
        errno = ENAMETOOLONG;
        return nullptr;
    }
    memcpy(resolved, utf8.c_str(), utf8.size() + 1);
    return resolved;
}

// The reparse buffer of a symbolic link (as the Windows DDK lays it out).
struct SymlinkReparse {
    ULONG tag;
    USHORT data_length;
    USHORT reserved;
    USHORT substitute_offset;
    USHORT substitute_length;
    USHORT print_offset;
    USHORT print_length;
    ULONG flags;
    WCHAR path[1];
};

ssize_t dravex_readlink(const char* path, char* buffer, size_t size)
{
    HANDLE h = CreateFileW(host::full_path(path).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return fail_with_windows_error();
    static const DWORD FSCTL_GET_REPARSE = 0x900A8;  // FSCTL_GET_REPARSE_POINT
    std::string raw(16 * 1024, '\0');
    DWORD got = 0;
    BOOL ok = DeviceIoControl(h, FSCTL_GET_REPARSE, nullptr, 0, &raw[0], (DWORD)raw.size(), &got, nullptr);
    CloseHandle(h);
    const SymlinkReparse* r = (const SymlinkReparse*)raw.data();
    if (!ok || got < sizeof(SymlinkReparse) || r->tag != IO_REPARSE_TAG_SYMLINK) {
        errno = EINVAL;
        return -1;
    }
    std::wstring target(r->path + r->print_offset / 2, r->print_length / 2);
    std::string utf8 = host::wide_to_utf8(target);
    size_t n = utf8.size() < size ? utf8.size() : size;
    memcpy(buffer, utf8.data(), n);
    return (ssize_t)n;
}

int dravex_rename(const char* from, const char* to)
{
    if (!MoveFileExW(host::full_path(from).c_str(), host::full_path(to).c_str(), MOVEFILE_REPLACE_EXISTING))
        return fail_with_windows_error();
    return 0;
}

int dravex_unlink(const char* path)
{
    if (!DeleteFileW(host::full_path(path).c_str()))
        return fail_with_windows_error();
    return 0;
}

static ssize_t at_offset(int fd, void* buffer, size_t count, off_t offset, bool writing)
{
    HANDLE h = (HANDLE)_get_osfhandle(fd);
    if (h == INVALID_HANDLE_VALUE) {
        errno = EBADF;
        return -1;
    }
    OVERLAPPED at;
    memset(&at, 0, sizeof at);
    at.Offset = (DWORD)((uint64_t)offset & 0xFFFFFFFFu);
    at.OffsetHigh = (DWORD)((uint64_t)offset >> 32);
    DWORD done = 0;
    DWORD chunk = count > 0x40000000u ? 0x40000000u : (DWORD)count;
    BOOL ok = writing ? WriteFile(h, buffer, chunk, &done, &at) : ReadFile(h, buffer, chunk, &done, &at);
    if (!ok) {
        if (!writing && GetLastError() == ERROR_HANDLE_EOF)
            return 0;
        return fail_with_windows_error();
    }
    return (ssize_t)done;
}

ssize_t pread(int fd, void* buffer, size_t count, off_t offset)
{
    return at_offset(fd, buffer, count, offset, false);
}

ssize_t pwrite(int fd, const void* buffer, size_t count, off_t offset)
{
    return at_offset(fd, (void*)buffer, count, offset, true);
}

int dravex_mkstemp(char* name_template)
{
    size_t length = strlen(name_template);
    if (length < 6 || strcmp(name_template + length - 6, "XXXXXX") != 0) {
        errno = EINVAL;
        return -1;
    }
    static const char letters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    uint64_t seed = GetTickCount64() ^ ((uint64_t)GetCurrentProcessId() << 32);
    for (int attempt = 0; attempt < 1000; attempt++) {
        for (size_t i = length - 6; i < length; i++) {
            seed = seed * 6364136223846793005ULL + 1442695040888963407ULL;
            name_template[i] = letters[(seed >> 33) % 36];
        }
        HANDLE h = CreateFileW(host::full_path(name_template).c_str(), GENERIC_READ | GENERIC_WRITE,
                               FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h != INVALID_HANDLE_VALUE) {
            int fd = _open_osfhandle((intptr_t)h, _O_BINARY | _O_RDWR);
            if (fd < 0)
                CloseHandle(h);
            return fd;
        }
        if (GetLastError() != ERROR_FILE_EXISTS && GetLastError() != ERROR_ALREADY_EXISTS)
            return fail_with_windows_error();
    }
    errno = EEXIST;
    return -1;
}

int dravex_isatty(int fd)
{
    DWORD mode;
    HANDLE h = (HANDLE)_get_osfhandle(fd);
    return h != INVALID_HANDLE_VALUE && GetConsoleMode(h, &mode) ? 1 : 0;
}

int fchmod(int fd, unsigned mode)
{
    HANDLE h = (HANDLE)_get_osfhandle(fd);
    FILE_BASIC_INFO info;
    if (h == INVALID_HANDLE_VALUE || !GetFileInformationByHandleEx(h, FileBasicInfo, &info, sizeof info))
        return fail_with_windows_error();
    if (mode & 0222)
        info.FileAttributes &= ~(DWORD)FILE_ATTRIBUTE_READONLY;
    else
        info.FileAttributes |= FILE_ATTRIBUTE_READONLY;
    if (info.FileAttributes == 0)
        info.FileAttributes = FILE_ATTRIBUTE_NORMAL;
    if (!SetFileInformationByHandle(h, FileBasicInfo, &info, sizeof info))
        return fail_with_windows_error();
    return 0;
}

#endif
