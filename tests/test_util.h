// Helpers shared by the test programs.
#ifndef DRAVEX_TESTS_TEST_UTIL_H
#define DRAVEX_TESTS_TEST_UTIL_H

#include <cstdint>
#include <string>
#include <vector>

struct Extraction;

namespace testutil {

using Bytes = std::vector<uint8_t>;

// A fresh directory under the build's temporary area, removed on destruction.
class TempDir {
public:
    TempDir();
    ~TempDir();
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

Bytes read_file(const std::string& path);
void write_file(const std::string& path, const Bytes& data);
void write_text(const std::string& path, const std::string& text);
bool file_exists(const std::string& path);
// Every file and folder below root, relative to it, sorted ({} when root is
// missing).
std::vector<std::string> list_tree(const std::string& root);

// Deterministic test data.
Bytes random_bytes(size_t n, uint32_t seed);
Bytes text_bytes(size_t n, uint32_t seed);  // word-like English-ish text

// Opens path as the extraction's own file (x->file, closing the one it had);
// returns false if it cannot be opened. The decoder's fixture is
// tests/engine.h.
bool open_as_own_file(Extraction* x, const std::string& path);
void close_own_file(Extraction* x);

// The shared material beside the checkout ("" when absent).
std::string shared_dir();

}  // namespace testutil

#endif
