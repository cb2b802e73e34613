#include "tools/output_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "platform/host.h"
#include "tools/tool_util.h"

namespace qvx {

bool OutputFile::open(const std::string& path)
{
    path_ = path;
    std::string temp = path + ".tmpXXXXXX";
    std::vector<char> name(temp.begin(), temp.end());
    name.push_back(0);
    fd_ = mkstemp(name.data());
    if (fd_ < 0) {
        error_ = "cannot create " + temp + ": " + strerror(errno);
        return false;
    }
    temp_ = name.data();
    // Ctrl-C, a closed terminal or a kill leave no partial archive.
    host::guard_file(temp_);
    return true;
}

// Writes all of data, at the file position (offset null) or at *offset.
bool OutputFile::write_all(const uint8_t* data, size_t size, const uint64_t* offset)
{
    uint64_t at = offset != nullptr ? *offset : 0;
    while (size > 0) {
        ssize_t n = offset != nullptr ? pwrite(fd_, data, size, (off_t)at) : ::write(fd_, data, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            error_ = "cannot write " + path_ + ": " + strerror(n < 0 ? errno : ENOSPC);
            return false;
        }
        data += n;
        size -= (size_t)n;
        at += (uint64_t)n;
    }
    return true;
}

bool OutputFile::write(const uint8_t* data, size_t size)
{
    return write_all(data, size, nullptr);
}

bool OutputFile::write_at(uint64_t offset, const uint8_t* data, size_t size)
{
    return write_all(data, size, &offset);
}

bool OutputFile::commit()
{
    mode_t mask = umask(0);
    umask(mask);
    fchmod(fd_, 0666 & ~mask);
    int fd = fd_;
    fd_ = -1;
    if (close(fd) != 0) {
        error_ = "cannot write " + path_ + ": " + strerror(errno);
        discard();
        return false;
    }
    if (rename(temp_.c_str(), path_.c_str()) != 0) {
        error_ = "cannot rename " + temp_ + " to " + path_ + ": " + strerror(errno);
        discard();
        return false;
    }
    host::release_file(temp_);
    temp_.clear();
    discard();
    return true;
}

void OutputFile::discard()
{
    if (fd_ >= 0)
        close(fd_);
    fd_ = -1;
    if (!temp_.empty()) {
        unlink(temp_.c_str());
        host::release_file(temp_);
    }
    temp_.clear();
}

OutputFile::~OutputFile() { discard(); }

bool write_atomically(const std::string& path, const std::vector<uint8_t>& data, std::string& error)
{
    OutputFile out;
    bool ok = out.open(path) && out.write(data.data(), data.size()) && out.commit();
    if (!ok)
        error = out.error();
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
