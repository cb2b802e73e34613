// POSIX backend of the platform layer, for the qvx tool and the tests.
//
// It keeps the Win32 wrappers' contracts: −1/0 on failure, Windows error
// numbers in LastError, the same "clears"/"sets" rules. What POSIX lacks maps
// as simply as possible: read-only is the write bits, hidden and system are
// dropped, creation times are not kept.
#include "platform/host.h"

#include "platform/text.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <time.h>
#include <unistd.h>

namespace host {

static thread_local int t_base_directory = AT_FDCWD;

void set_base_directory(int dir_fd) { t_base_directory = dir_fd; }
int base_directory() { return t_base_directory; }

void write_text(FILE* stream, const std::string& utf8) { fwrite(utf8.data(), 1, utf8.size(), stream); }


FileHandle handle_from_fd(int fd) { return (FileHandle)(intptr_t)fd; }
int fd_from_handle(FileHandle handle) { return (int)(intptr_t)handle; }

unsigned windows_error_from_errno(int err)
{
    switch (err) {
    case 0: return 0;
    case ENOENT: return OS_FILE_NOT_FOUND;
    case ENOTDIR: return OS_PATH_NOT_FOUND;
    case ELOOP: return OS_ACCESS_DENIED;  // a link where none is followed
    case EACCES:
    case EPERM:
    case EISDIR: return OS_ACCESS_DENIED;
    case ENOSPC:
    case EDQUOT:
    case EFBIG: return OS_DISK_FULL;
    case EEXIST: return OS_ALREADY_EXISTS;
    case EROFS: return 19;
    case EIO: return 31;
    case ENAMETOOLONG: return 206;
    case EINVAL: return 87;
    case EBADF: return 6;
    default: return 31;
    }
}

static void set_error() { LastError = windows_error_from_errno(errno); }

// --- fault injection (tests) ---------------------------------------------------

static thread_local FaultCounter* t_faults = nullptr;

void set_fault_counter(FaultCounter* counter) { t_faults = counter; }

// Counts a call of kind; true when it is the one to fail, with errno set as
// the failing system call would set it.
static inline bool injected_fault(unsigned kind, int error)
{
    FaultCounter* c = t_faults;
    if (c == nullptr || (c->kinds & kind) == 0 || ++c->calls != c->fail_at)
        return false;
    c->failed_kind = kind;
    errno = error;
    return true;
}

// --- the temporary file a signal removes --------------------------------------

// The file file_create_new made and neither path_move nor path_delete has
// taken away yet, while the guard is on (qvx x): its folder's descriptor and
// its host path, for the signal handler. Changed only with the three signals
// blocked, so the handler never sees half of it.
static volatile sig_atomic_t g_guard_on = 0;
static volatile sig_atomic_t g_armed = 0;
static int g_temporary_dir = AT_FDCWD;
static char g_temporary_path[PATH_MAX];
static const int guarded_signals[] = {SIGINT, SIGTERM, SIGHUP};

static void remove_temporary_and_die(int signal_number)
{
    if (g_armed)
        unlinkat(g_temporary_dir, g_temporary_path, 0);
    // SA_RESETHAND has put the default action back; the signal, blocked
    // while this handler runs, ends the process as it would have.
    raise(signal_number);
}

void remove_temporary_file_on_signals()
{
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = remove_temporary_and_die;
    action.sa_flags = SA_RESETHAND;
    sigemptyset(&action.sa_mask);
    for (int s : guarded_signals)
        sigaddset(&action.sa_mask, s);
    for (int s : guarded_signals)
        sigaction(s, &action, nullptr);
    g_guard_on = 1;
}

// Blocks the guarded signals for the life of the object when the guard is on.
class SignalsHeld {
public:
    SignalsHeld()
    {
        if (!g_guard_on)
            return;
        sigset_t set;
        sigemptyset(&set);
        for (int s : guarded_signals)
            sigaddset(&set, s);
        held_ = pthread_sigmask(SIG_BLOCK, &set, &saved_) == 0;
    }
    ~SignalsHeld()
    {
        if (held_)
            pthread_sigmask(SIG_SETMASK, &saved_, nullptr);
    }
    SignalsHeld(const SignalsHeld&) = delete;
    SignalsHeld& operator=(const SignalsHeld&) = delete;

private:
    sigset_t saved_;
    bool held_ = false;
};

static void arm(int dir, const std::string& path)
{
    if (!g_guard_on || path.size() >= sizeof g_temporary_path)
        return;
    memcpy(g_temporary_path, path.c_str(), path.size() + 1);
    g_temporary_dir = dir;
    g_armed = 1;
}

static void disarm(int dir, const std::string& path)
{
    if (g_armed && dir == g_temporary_dir && path == g_temporary_path)
        g_armed = 0;
}

void guard_file(const std::string& path)
{
    remove_temporary_file_on_signals();
    SignalsHeld held;
    arm(AT_FDCWD, path);
}

void release_file(const std::string& path)
{
    SignalsHeld held;
    disarm(AT_FDCWD, path);
}

}  // namespace host

using host::fd_from_handle;
using host::handle_from_fd;
using host::injected_fault;
using host::path_to_host;
using host::set_error;

static int base() { return host::base_directory(); }

// A path as the wrappers use it: relative ones are resolved below the base
// directory one folder at a time, and a symbolic link among those folders is
// never followed (the call fails as for a missing folder), so nothing is
// made, changed or removed outside the base through a link that is there
// already. The wrappers act on the last component in its folder without
// following it either. Absolute paths are used as given.
class Beneath {
public:
    explicit Beneath(const std::string& path)
    {
        if (path.empty() || path[0] == '/') {
            leaf_ = path;
            return;
        }
        dir_ = base();
        size_t start = 0;
        for (size_t end; (end = path.find('/', start)) != std::string::npos; start = end + 1) {
            std::string folder = path.substr(start, end - start);
            if (folder.empty() || folder == ".")
                continue;
            int next = openat(dir_, folder.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            int error = errno;
            if (owned_ >= 0)
                close(owned_);
            owned_ = dir_ = next;
            if (next < 0) {
                errno = error;
                return;
            }
        }
        leaf_ = path.substr(start);
    }
    ~Beneath()
    {
        if (owned_ >= 0)
            close(owned_);
    }
    Beneath(const Beneath&) = delete;
    Beneath& operator=(const Beneath&) = delete;

    // False when a folder on the way could not be opened (errno says why).
    bool ok() const { return dir_ != -1; }
    int dir() const { return dir_; }
    const char* leaf() const { return leaf_.c_str(); }

private:
    int dir_ = AT_FDCWD;
    int owned_ = -1;
    std::string leaf_;
};

void* mem_alloc(u32 size)
{
    if (injected_fault(host::FAULT_ALLOC, ENOMEM))
        return nullptr;
    return malloc(size == 0 ? 1 : size);
}

void* mem_realloc(void* block, u32 size)
{
    if (injected_fault(host::FAULT_ALLOC, ENOMEM))
        return nullptr;
    return realloc(block, size == 0 ? 1 : size);
}
void mem_free(void* block) { free(block); }

FileHandle file_create(const char* path, u32 attributes)
{
    (void)attributes;
    LastError = 0;
    Beneath at(path_to_host(path));
    int fd = injected_fault(host::FAULT_CREATE, EACCES) ? -1
             : at.ok() ? openat(at.dir(), at.leaf(), O_RDWR | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0666)
                       : -1;
    if (fd < 0) {
        // Windows names a missing parent folder "path not found".
        LastError = errno == ENOENT ? (u32)OS_PATH_NOT_FOUND : host::windows_error_from_errno(errno);
        return INVALID_FILE;
    }
    return handle_from_fd(fd);
}

FileHandle file_create_new(const char* path, u32 attributes)
{
    (void)attributes;
    LastError = 0;
    std::string p = path_to_host(path);
    Beneath at(p);
    host::SignalsHeld held;
    int fd = injected_fault(host::FAULT_CREATE, EACCES) ? -1
             : at.ok() ? openat(at.dir(), at.leaf(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666)
                       : -1;
    if (fd < 0) {
        // As Windows names them: a name in use "exists", a missing parent
        // folder "path not found".
        LastError = errno == EEXIST   ? (u32)OS_FILE_EXISTS
                    : errno == ENOENT ? (u32)OS_PATH_NOT_FOUND
                                      : host::windows_error_from_errno(errno);
        return INVALID_FILE;
    }
    host::arm(base(), p);
    return handle_from_fd(fd);
}

FileHandle file_open(const char* path, u32 access)
{
    LastError = 0;
    Beneath at(path_to_host(path));
    int flags = (access & ACCESS_WRITE) ? O_RDWR : O_RDONLY;
    int fd = injected_fault(host::FAULT_CREATE, EACCES) ? -1
             : at.ok() ? openat(at.dir(), at.leaf(), flags | O_NOFOLLOW | O_CLOEXEC)
                       : -1;
    if (fd < 0) {
        set_error();
        return INVALID_FILE;
    }
    return handle_from_fd(fd);
}

int file_close(FileHandle handle)
{
    if (close(fd_from_handle(handle)) != 0) {
        if (LastError == 0)
            set_error();
        return 0;
    }
    return 1;
}

i32 file_read(FileHandle handle, void* buffer, u32 count)
{
    LastError = 0;
    u32 done = 0;
    while (done < count) {
        ssize_t n = injected_fault(host::FAULT_READ, EIO)
                        ? -1
                        : read(fd_from_handle(handle), (char*)buffer + done, count - done);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            set_error();
            return -1;
        }
        if (n == 0)
            break;
        done += (u32)n;
    }
    return (i32)done;
}

i32 file_write(FileHandle handle, const void* buffer, u32 count)
{
    LastError = 0;
    u32 done = 0;
    while (done < count) {
        ssize_t n = injected_fault(host::FAULT_WRITE, ENOSPC)
                        ? -1
                        : write(fd_from_handle(handle), (const char*)buffer + done, count - done);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            set_error();
            if (LastError == OS_HANDLE_DISK_FULL)
                LastError = OS_DISK_FULL;
            return -1;
        }
        if (n == 0)
            break;
        done += (u32)n;
    }
    if (done < count) {
        LastError = OS_DISK_FULL;
        return -1;
    }
    return (i32)done;
}

i32 file_seek(FileHandle handle, i32 distance, u32 origin)
{
    LastError = 0;
    int whence = origin == SEEK_FROM_START ? SEEK_SET : origin == SEEK_FROM_CURRENT ? SEEK_CUR : SEEK_END;
    off_t r = injected_fault(host::FAULT_SEEK, EIO) ? -1 : lseek(fd_from_handle(handle), (off_t)distance, whence);
    if (r < 0 || r > 0x7FFFFFFF) {
        if (r < 0)
            set_error();
        else
            LastError = 87;
        return -1;
    }
    return (i32)r;
}

int file_set_times(FileHandle handle, u16 create_date, u16 create_time, u16 write_date, u16 write_time)
{
    (void)create_date;
    (void)create_time;  // POSIX keeps no creation time to set
    LastError = 0;
    struct timespec times[2];
    times[0].tv_sec = 0;
    times[0].tv_nsec = UTIME_OMIT;
    times[1].tv_sec = 0;
    times[1].tv_nsec = UTIME_OMIT;
    if (write_date != 0) {
        times[1].tv_sec = host::dos_to_time(write_date, write_time);
        times[1].tv_nsec = 0;
    }
    if (futimens(fd_from_handle(handle), times) != 0) {
        set_error();
        return 0;
    }
    return 1;
}

i32 path_get_attributes(const char* path)
{
    struct stat st;
    Beneath at(path_to_host(path));
    if (!at.ok() || fstatat(at.dir(), at.leaf(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        set_error();
        return -1;
    }
    if (S_ISDIR(st.st_mode))
        return ATTR_DIRECTORY;
    return (st.st_mode & 0222) ? ATTR_ARCHIVE : (ATTR_ARCHIVE | ATTR_READONLY);
}

int path_set_attributes(const char* path, u32 attributes)
{
    LastError = 0;
    Beneath at(path_to_host(path));
    struct stat st;
    if (!at.ok() || fstatat(at.dir(), at.leaf(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        set_error();
        return 0;
    }
    // A link keeps its bits: changing them would change its target's.
    if (S_ISLNK(st.st_mode)) {
        LastError = OS_ACCESS_DENIED;
        return 0;
    }
    // A read-only folder means nothing to Windows programs but would stop
    // POSIX from creating the members inside it: folders keep their bits.
    if (S_ISDIR(st.st_mode))
        return 1;
    mode_t mode = st.st_mode & 07777;
    if (attributes & ATTR_READONLY)
        mode &= ~(mode_t)0222;
    else
        mode |= 0200;
    if (fchmodat(at.dir(), at.leaf(), mode, 0) != 0) {
        set_error();
        return 0;
    }
    return 1;
}

int path_delete(const char* path)
{
    std::string p = path_to_host(path);
    Beneath at(p);
    host::SignalsHeld held;
    if (!at.ok() || unlinkat(at.dir(), at.leaf(), 0) != 0) {
        set_error();
        return 0;
    }
    host::disarm(base(), p);
    return 1;
}

// Renames without replacing: renameat2's RENAME_NOREPLACE, or where the file
// system does not take it, a hard link under the new name (which fails when
// the name is taken) and the old name removed.
static int rename_no_replace(int from_dir, const char* from, int to_dir, const char* to)
{
    if (renameat2(from_dir, from, to_dir, to, RENAME_NOREPLACE) == 0)
        return 0;
    if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP)
        return -1;
    if (linkat(from_dir, from, to_dir, to, 0) != 0)
        return -1;
    unlinkat(from_dir, from, 0);
    return 0;
}

int path_move(const char* from, const char* to, u32 replace)
{
    std::string p = path_to_host(from);
    Beneath source(p), target(path_to_host(to));
    host::SignalsHeld held;
    if (injected_fault(host::FAULT_RENAME, EACCES) || !source.ok() || !target.ok() ||
        (replace ? renameat(source.dir(), source.leaf(), target.dir(), target.leaf())
                 : rename_no_replace(source.dir(), source.leaf(), target.dir(), target.leaf())) != 0) {
        set_error();
        return 0;
    }
    host::disarm(base(), p);
    return 1;
}

int dir_create(const char* path)
{
    Beneath at(path_to_host(path));
    if (injected_fault(host::FAULT_CREATE, EACCES) || !at.ok() || mkdirat(at.dir(), at.leaf(), 0777) != 0) {
        set_error();
        return 0;
    }
    return 1;
}

u32 text_to_units(u16* out, u32 size, const char* text, u32 length, int utf8)
{
    const u8* p = (const u8*)text;
    const u8* end = p + length;
    u32 n = 0;
    while (p < end) {
        i32 c = *p;
        if (!utf8) {
            p++;
            if (c >= 0x80 && c < 0xA0)
                c = cp1252_high[c - 0x80];
        } else {
            c = host::utf8_next(&p, end);
        }
        if (c < 0 || n + (c > 0xFFFF) >= size)
            return 0;
        if (c > 0xFFFF) {
            out[n++] = (u16)(0xD7C0 + (c >> 10));
            out[n++] = (u16)(0xDC00 | (c & 0x3FF));
        } else {
            out[n++] = (u16)c;
        }
    }
    return n;
}

u32 text_from_units(char* out, u32 out_size, const u16* units, u32 count)
{
    std::string s;
    for (u32 i = 0; i < count; i++) {
        u32 c = units[i];
        // A pair makes one character; a lone half becomes U+FFFD, as
        // Windows' conversion makes it.
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < count && units[i + 1] >= 0xDC00 && units[i + 1] <= 0xDFFF)
            c = 0x10000 + ((c - 0xD800) << 10) + (units[++i] - 0xDC00);
        else if (c >= 0xD800 && c <= 0xDFFF)
            c = 0xFFFD;
        host::append_utf8(s, c);
    }
    if (s.size() >= out_size) {
        out[0] = 0;
        return 0;
    }
    memcpy(out, s.c_str(), s.size() + 1);
    return (u32)s.size();
}

u64 volume_free_bytes(const char* folder)
{
    std::string path = host::path_to_host(folder);
    for (;;) {
        int fd = openat(host::base_directory(), path.empty() ? "." : path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (fd >= 0) {
            struct statvfs st;
            int ok = fstatvfs(fd, &st) == 0;
            close(fd);
            return ok ? (u64)st.f_bavail * st.f_frsize : ~(u64)0;
        }
        size_t cut = path.find_last_of('/');
        if (path.empty() || cut == 0)
            return ~(u64)0;
        path.resize(cut == std::string::npos ? 0 : cut);
    }
}

u32 current_directory(char* buffer, u32 size)
{
    if (getcwd(buffer, size) == 0) {
        if (size > 0)
            buffer[0] = 0;
        return 0;
    }
    return (u32)strlen(buffer);
}
