// What the benchmark programs share: processor-time clocks, the corpus
// beside the checkout, and the sizes other compressors reach.
#ifndef DRAVEX_BENCH_BENCH_UTIL_H
#define DRAVEX_BENCH_BENCH_UTIL_H

#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace bench_util {

// Speeds come from the process's processor time: the machine may be shared.
inline double cpu_seconds()
{
    timespec ts;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return ts.tv_sec + ts.tv_nsec * 1e-9;
}

struct CpuTimer {
    double start = cpu_seconds();
    double seconds() const { return cpu_seconds() - start; }
};

// At most max_bytes of the file (all of it by default); empty when unreadable.
inline std::vector<uint8_t> read_file(const std::string& path, size_t max_bytes = SIZE_MAX)
{
    std::vector<uint8_t> data;
    FILE* f = fopen(path.c_str(), "rb");
    if (f == nullptr)
        return data;
    uint8_t chunk[1 << 16];
    size_t n;
    while (data.size() < max_bytes && (n = fread(chunk, 1, std::min(sizeof chunk, max_bytes - data.size()), f)) > 0)
        data.insert(data.end(), chunk, chunk + n);
    fclose(f);
    return data;
}

// Bytes a shell command writes to its standard output, or -1.
inline long output_size(const std::string& command)
{
    FILE* p = popen((command + " 2>/dev/null").c_str(), "r");
    if (p == nullptr)
        return -1;
    char buffer[1 << 16];
    long total = 0;
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, p)) > 0)
        total += (long)n;
    return pclose(p) == 0 ? total : -1;
}

inline std::string shared_dir()
{
    if (const char* env = getenv("DRAVEX_SHARED"))
        return env;
    return std::string(DRAVEX_SOURCE_DIR) + "/../shared";
}

// The unzipped corpus file of that name (dickens, ooffice, ...) in a cache
// folder, or "" after a line saying why it is skipped.
inline std::string corpus_file(const std::string& name)
{
    namespace fs = std::filesystem;
    const std::string zip = shared_dir() + "/corpus/silesia/" + name + ".zip";
    const std::string dir = "/tmp/dravex-bench-silesia";
    const std::string path = dir + "/" + name;
    std::error_code ec;
    if (fs::exists(path, ec))
        return path;
    if (access(zip.c_str(), R_OK) != 0) {
        printf("%-8s skipped: %s not found\n", name.c_str(), zip.c_str());
        return "";
    }
    fs::create_directories(dir, ec);
    std::string unzip = "unzip -o -q '" + zip + "' -d '" + dir + "' >/dev/null 2>&1";
    if (system(unzip.c_str()) != 0 || access(path.c_str(), R_OK) != 0) {
        printf("%-8s skipped: cannot unzip %s\n", name.c_str(), zip.c_str());
        return "";
    }
    return path;
}

// Every corpus file that is there, unzipped, in name order.
inline std::vector<std::string> corpus_files()
{
    namespace fs = std::filesystem;
    std::vector<std::string> files;
    std::error_code ec;
    for (auto& entry : fs::directory_iterator(shared_dir() + "/corpus/silesia", ec))
        if (entry.path().extension() == ".zip") {
            std::string path = corpus_file(entry.path().stem().string());
            if (!path.empty())
                files.push_back(path);
        }
    std::sort(files.begin(), files.end());
    return files;
}

// The decode benchmarks' command line: [-n RUNS] [-l LEVEL] [-m MIB] [FILE...].
// Returns the files, or every corpus file when none is named.
inline std::vector<std::string> parse_args(int argc, char** argv, int& runs, int& level, size_t& max_bytes)
{
    std::vector<std::string> files;
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        if (a == "-n" && i + 1 < argc)
            runs = std::atoi(argv[++i]);
        else if (a == "-l" && i + 1 < argc)
            level = std::atoi(argv[++i]);
        else if (a == "-m" && i + 1 < argc)
            max_bytes = (size_t)std::atoi(argv[++i]) << 20;
        else
            files.push_back(a);
    }
    return files.empty() ? corpus_files() : files;
}

// Calls run(name, bytes) for each file, at most max_bytes of it; a file that
// cannot be read gets a line instead.
inline void for_each_file(const std::vector<std::string>& files, size_t max_bytes,
                          const std::function<void(const std::string&, const std::vector<uint8_t>&)>& run)
{
    for (const std::string& path : files) {
        std::string name = std::filesystem::path(path).filename().string();
        std::vector<uint8_t> data = read_file(path, max_bytes);
        if (data.empty())
            printf("%-14s cannot read\n", name.c_str());
        else
            run(name, data);
    }
}

// Deterministic incompressible bytes.
inline std::vector<uint8_t> noise(size_t n)
{
    std::vector<uint8_t> out(n);
    uint32_t state = 12345;
    for (auto& b : out) {
        state = state * 1103515245u + 12345u;
        b = (uint8_t)(state >> 24);
    }
    return out;
}

}  // namespace bench_util

#endif
