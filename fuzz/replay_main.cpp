// Runs a fuzz target over every file of the given directories (or the given
// files), so the seed corpus runs under the normal test command and its
// sanitizers. Exit code 0 when every input ran; a fault aborts.

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace fs = std::filesystem;

static void run_file(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::vector<uint8_t> data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    LLVMFuzzerTestOneInput(data.data(), data.size());
}

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s <seed directory or file>...\n", argv[0]);
        return 2;
    }
    size_t count = 0;
    for (int i = 1; i < argc; i++) {
        fs::path arg(argv[i]);
        if (fs::is_directory(arg)) {
            std::vector<fs::path> files;
            for (auto& e : fs::recursive_directory_iterator(arg))
                if (e.is_regular_file())
                    files.push_back(e.path());
            std::sort(files.begin(), files.end());
            for (auto& f : files) {
                run_file(f);
                count++;
            }
        } else if (fs::is_regular_file(arg)) {
            run_file(arg);
            count++;
        } else {
            std::fprintf(stderr, "%s: no such file or directory\n", argv[i]);
            return 2;
        }
    }
    std::printf("%zu inputs ran\n", count);
    return 0;
}
