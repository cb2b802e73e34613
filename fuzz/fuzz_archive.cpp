// Fuzz target: any bytes as a whole archive, extracted (qvx x) and tested
// (qvx t) by the host's extraction code, which runs the stub's driver: the
// archive header and its check values, directory pieces, records, names,
// filters and data streams. The archive is a file in a folder of its own
// (in /dev/shm where there is one) and is extracted into a folder beside
// it, emptied after each input.
//
// A hostile archive may ask for far more output than it holds input; the
// platform's fault counter fails the writes after the first few hundred,
// as a full disk would, so one input never writes much.
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>

#include "codec/crc32.h"
#include "host/extract.h"
#include "platform/host.h"

namespace fs = std::filesystem;

namespace {

// Each write is at most one output buffer: this bounds the bytes an input
// writes to a few megabytes.
const unsigned long MAX_WRITES = 256;

struct Place {
    std::string folder, archive, out;
    Place()
    {
        std::string base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : fs::temp_directory_path().string();
        std::string pattern = base + "/dravex-fuzz-archive-XXXXXX";
        if (mkdtemp(&pattern[0]) == nullptr)
            abort();
        folder = pattern;
        archive = folder + "/input.qvx";
        out = folder + "/out";
    }
    ~Place()
    {
        std::error_code ec;
        fs::remove_all(folder, ec);
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    crc32_build_table();
    static Place place;
    FILE* f = fopen(place.archive.c_str(), "wb");
    if (f == nullptr || fwrite(data, 1, size, f) != size || fclose(f) != 0)
        abort();
    for (bool test_only : {false, true}) {
        host::ExtractOptions options;
        options.dest_dir = place.out;
        options.test_only = test_only;
        options.overwrite_all = true;
        host::FaultCounter writes;
        writes.kinds = host::FAULT_WRITE;
        writes.fail_at = MAX_WRITES;
        host::set_fault_counter(&writes);
        host::ExtractResult r = host::extract_archive(place.archive, options);
        host::set_fault_counter(nullptr);
        // Whatever the input, the run says how it went.
        if (r.exit_code != host::EXIT_OK && r.messages.empty())
            __builtin_trap();
    }
    // Nothing but the extraction's folder appears beside the archive.
    for (const fs::directory_entry& e : fs::directory_iterator(place.folder))
        if (e.path() != place.archive && e.path() != place.out)
            __builtin_trap();
    std::error_code ec;
    fs::remove_all(place.out, ec);
    return 0;
}
