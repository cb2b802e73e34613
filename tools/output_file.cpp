#include "tools/output_file.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "tools/tool_util.h"

namespace qvx {

// The temporary file being written, removed when the process is interrupted
// so that no partial archive stays behind.
static char g_temp_path[4096];

static void remove_temp_and_die(int sig)
{
    if (g_temp_path[0] != 0)
        unlink(g_temp_path);
    signal(sig, SIG_DFL);
    raise(sig);
}

bool write_atomically(const std::string& path, const std::vector<uint8_t>& data, std::string& error)
{
    std::string temp = path + ".tmpXXXXXX";
    if (temp.size() >= sizeof g_temp_path) {
        error = "output path too long: " + path;
        return false;
    }
    std::vector<char> name(temp.begin(), temp.end());
    name.push_back(0);
    int fd = mkstemp(name.data());
    if (fd < 0) {
        error = "cannot create " + temp + ": " + strerror(errno);
        return false;
    }
    memcpy(g_temp_path, name.data(), name.size());
    signal(SIGINT, remove_temp_and_die);
    signal(SIGTERM, remove_temp_and_die);
    signal(SIGHUP, remove_temp_and_die);

    bool ok = true;
    size_t done = 0;
    while (ok && done < data.size()) {
        ssize_t n = write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            error = "cannot write " + path + ": " + strerror(n < 0 ? errno : ENOSPC);
            ok = false;
            break;
        }
        done += (size_t)n;
    }
    mode_t mask = umask(0);
    umask(mask);
    if (ok)
        fchmod(fd, 0666 & ~mask);
    if (close(fd) != 0 && ok) {
        error = "cannot write " + path + ": " + strerror(errno);
        ok = false;
    }
    if (ok && rename(name.data(), path.c_str()) != 0) {
        error = "cannot rename " + std::string(name.data()) + " to " + path + ": " + strerror(errno);
        ok = false;
    }
    if (!ok)
        unlink(name.data());
    signal(SIGINT, SIG_DFL);
    signal(SIGTERM, SIG_DFL);
    signal(SIGHUP, SIG_DFL);
    g_temp_path[0] = 0;
    return ok;
}

bool check_output(const std::string& path, bool force)
{
    struct stat st;
    if (lstat(path.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode)) {
            error_line(path + " is a folder");
            return false;
        }
        if (!force) {
            error_line(path + " already exists (use -f to replace it)");
            return false;
        }
    }
    return true;
}

}  // namespace qvx
