#include "tests/test_util.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <unistd.h>

#include "archive/extraction.h"
#include "platform/platform.h"
#include "platform/text.h"

namespace fs = std::filesystem;

namespace testutil {

TempDir::TempDir()
{
    std::string base = fs::temp_directory_path().string() + "/dravex-test-XXXXXX";
    std::vector<char> buf(base.begin(), base.end());
    buf.push_back(0);
    if (mkdtemp(buf.data()) == nullptr)
        throw std::runtime_error("mkdtemp failed");
    path_ = buf.data();
}

TempDir::~TempDir()
{
    std::error_code ec;
    // Members may have been made read-only; give the tree back its write bits.
    for (auto it = fs::recursive_directory_iterator(path_, ec); !ec && it != fs::recursive_directory_iterator(); ++it)
        fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
    fs::remove_all(path_, ec);
}

Bytes read_file(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void write_file(const std::string& path, const Bytes& data)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write((const char*)data.data(), (std::streamsize)data.size());
}

void write_text(const std::string& path, const std::string& text)
{
    write_file(path, Bytes(text.begin(), text.end()));
}

bool file_exists(const std::string& path)
{
    std::error_code ec;
    return fs::exists(path, ec);
}

std::vector<std::string> list_tree(const std::string& root)
{
    namespace fs = std::filesystem;
    std::vector<std::string> out;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(root, ec); !ec && it != fs::recursive_directory_iterator(); ++it)
        out.push_back(fs::relative(it->path(), root).string());
    std::sort(out.begin(), out.end());
    return out;
}

static uint32_t next_random(uint32_t& state)
{
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    return state;
}

Bytes random_bytes(size_t n, uint32_t seed)
{
    uint32_t state = seed * 2654435761u + 1;
    Bytes out(n);
    for (auto& b : out)
        b = (uint8_t)(next_random(state) >> 7);
    return out;
}

Bytes text_bytes(size_t n, uint32_t seed)
{
    static const char* words[] = {"the", "of", "and", "a", "to", "in", "is", "you", "that", "it", "he", "was",
                                  "for", "on", "are", "as", "with", "his", "they", "I", "at", "be", "this",
                                  "have", "from", "or", "one", "had", "by", "word", "but", "not", "what",
                                  "all", "were", "we", "when", "your", "can", "said", "there", "archive",
                                  "extract", "folder", "Dravex", "compression", "window", "history"};
    uint32_t state = seed * 2654435761u + 7;
    Bytes out;
    out.reserve(n + 16);
    while (out.size() < n) {
        const char* w = words[next_random(state) % (sizeof words / sizeof words[0])];
        out.insert(out.end(), w, w + strlen(w));
        uint32_t r = next_random(state) % 16;
        out.push_back(r == 0 ? '\n' : r == 1 ? ',' : ' ');
    }
    out.resize(n);
    return out;
}

bool open_as_own_file(Extraction* x, const std::string& path)
{
    close_own_file(x);
    x->file = file_open(path.c_str(), ACCESS_READ);
    return x->file != INVALID_FILE;
}

void close_own_file(Extraction* x)
{
    if (x->file != INVALID_FILE && x->file != nullptr)
        file_close(x->file);
    x->file = INVALID_FILE;
}

std::string shared_dir()
{
    const char* env = getenv("DRAVEX_SHARED");
    if (env != nullptr && fs::is_directory(env))
        return env;
    fs::path candidate = fs::path(DRAVEX_SOURCE_DIR).parent_path() / "shared";
    if (fs::is_directory(candidate))
        return candidate.string();
    return "";
}

}  // namespace testutil
