// Writing qvx's output file: an archive or self-extractor appears whole or
// not at all.
#ifndef DRAVEX_TOOLS_OUTPUT_FILE_H
#define DRAVEX_TOOLS_OUTPUT_FILE_H

#include <cstdint>
#include <string>
#include <vector>

namespace qvx {

// False (with a message on stderr) when path is a folder, or exists and
// force is not set.
bool check_output(const std::string& path, bool force);

// An output file written piece by piece under a temporary name beside its
// final path, renamed there by commit(). Until then an error, an
// interruption (SIGINT, SIGTERM, SIGHUP) or the destructor removes it.
class OutputFile {
public:
    OutputFile() = default;
    ~OutputFile();
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    bool open(const std::string& path);
    bool write(const uint8_t* data, size_t size);
    bool write_at(uint64_t offset, const uint8_t* data, size_t size);
    bool commit();
    const std::string& error() const { return error_; }

private:
    void discard();
    bool write_all(const uint8_t* data, size_t size, const uint64_t* offset);
    std::string path_, temp_, error_;
    int fd_ = -1;
};

// Writes data to a temporary file beside path and renames it over path, so a
// failure or an interruption never leaves a partial archive.
bool write_atomically(const std::string& path, const std::vector<uint8_t>& data, std::string& error);

}  // namespace qvx

#endif
