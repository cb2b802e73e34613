// qvx.exe only (the build includes this header first in every source): the
// POSIX file calls the host tool makes, with their POSIX meaning, on the
// Win32 W functions. Paths are UTF-8, as inside the tool (the manifest also
// makes UTF-8 the process's code page, for the C runtime's own calls).
//
// - stat, lstat and fstat fill a struct with nanosecond times, the file ID as
//   the inode and the volume serial as the device; lstat reports a reparse
//   point (a symbolic link or a junction) as a link, stat follows it;
// - opendir and readdir enumerate with FindFirstFileExW, names in UTF-8;
// - realpath is the final path of the opened file; readlink reads a symbolic
//   link's target;
// - rename replaces its target, as POSIX's does; unlink (as on POSIX)
//   removes a file that mkstemp made while it is open;
// - pread and pwrite read and write at an offset; descriptors open in
//   binary and are never inherited (O_CLOEXEC).
// Folders, links and times are the file system's; there are no permission
// bits beyond the read-only attribute (write bits off).
#ifndef DRAVEX_PLATFORM_HOST_POSIX_WIN32_H
#define DRAVEX_PLATFORM_HOST_POSIX_WIN32_H

#if defined(_WIN32) && defined(DRAVEX_HOST_WIN32) && defined(__cplusplus)

#include <dirent.h>
#include <fcntl.h>
#include <io.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <time.h>
#include <unistd.h>

// <cstdio> takes back a macro named rename when it is first included, and
// <filesystem> declares a rename of its own: both come before the macro.
#include <cstdio>
#include <filesystem>

#undef O_CLOEXEC
#define O_CLOEXEC (_O_BINARY | _O_NOINHERIT)
#define O_NOFOLLOW 0
#ifndef SIGHUP
#define SIGHUP SIGBREAK
#endif
#ifndef S_IFLNK
#define S_IFLNK 0xA000
#endif
#ifndef S_ISLNK
#define S_ISLNK(m) (((m) & S_IFMT) == S_IFLNK)
#endif

struct dravex_stat {
    uint64_t st_dev;
    uint64_t st_ino;
    unsigned st_mode;
    uint32_t st_nlink;
    int64_t st_size;
    time_t st_mtime;
    struct timespec st_mtim;
    struct timespec st_btim;  // the creation time
    uint32_t st_attributes;   // FILE_ATTRIBUTE_*
};
int dravex_stat(const char* path, struct dravex_stat* st);
int dravex_lstat(const char* path, struct dravex_stat* st);
int dravex_fstat(int fd, struct dravex_stat* st);
#undef stat
#undef lstat
#undef fstat
#define stat dravex_stat
#define lstat(path, st) dravex_lstat(path, st)
#define fstat(fd, st) dravex_fstat(fd, st)

struct dravex_dirent {
    char d_name[1024];  // UTF-8: 255 UTF-16 units take at most 765 bytes
};
struct dravex_dir;
dravex_dir* dravex_opendir(const char* path);
dravex_dirent* dravex_readdir(dravex_dir* dir);
int dravex_closedir(dravex_dir* dir);
#define DIR dravex_dir
#define dirent dravex_dirent
#define opendir(path) dravex_opendir(path)
#define readdir(dir) dravex_readdir(dir)
#define closedir(dir) dravex_closedir(dir)

char* dravex_realpath(const char* path, char* resolved);
ssize_t dravex_readlink(const char* path, char* buffer, size_t size);
#define realpath(path, resolved) dravex_realpath(path, resolved)
#define readlink(path, buffer, size) dravex_readlink(path, buffer, size)

// rename() replaces the target, as POSIX's does (MoveFileExW); unlink()
// takes a UTF-8 path.
int dravex_rename(const char* from, const char* to);
int dravex_unlink(const char* path);
#define rename(from, to) dravex_rename(from, to)
#define unlink(path) dravex_unlink(path)

ssize_t pread(int fd, void* buffer, size_t count, off_t offset);
ssize_t pwrite(int fd, const void* buffer, size_t count, off_t offset);
// mkstemp's file may be deleted while open (an interrupt's handler does).
int dravex_mkstemp(char* name_template);
#define mkstemp(t) dravex_mkstemp(t)

// A console, not any character device (the C runtime's isatty also says
// yes for NUL, where no one can be asked).
int dravex_isatty(int fd);
#define isatty(fd) dravex_isatty(fd)

// Read-only when no write bit is left.
int fchmod(int fd, unsigned mode);

static inline struct tm* localtime_r(const time_t* t, struct tm* out)
{
    return localtime_s(out, t) == 0 ? out : nullptr;
}

#endif
#endif
