// Two extractions at the same time in one process. Each archive goes through
// its own Run, Extraction and Decoder on its own thread into its own folder;
// nothing of one run is process-wide (the decoder's state, the driver's, the
// destination's descriptor, the last OS error), so both results must be
// exact. test.sh runs this program under ThreadSanitizer too.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <condition_variable>
#include <filesystem>
#include <map>
#include <mutex>
#include <thread>

#include "host/extract.h"
#include "packer/archive_writer.h"
#include "tests/test_util.h"

namespace fs = std::filesystem;
using testutil::Bytes;

namespace {

// Holds each run at its first file until the other has reached its own, so
// the two decode at the same time however the threads are scheduled.
class Rendezvous {
public:
    void meet()
    {
        std::unique_lock<std::mutex> lock(mutex_);
        if (++arrived_ == 2)
            ready_.notify_all();
        else
            ready_.wait_for(lock, std::chrono::seconds(10), [this] { return arrived_ == 2; });
    }

private:
    std::mutex mutex_;
    std::condition_variable ready_;
    int arrived_ = 0;
};

std::map<std::string, Bytes> tree(const std::string& root)
{
    std::map<std::string, Bytes> out;
    for (const fs::directory_entry& e : fs::recursive_directory_iterator(root)) {
        std::string name = fs::relative(e.path(), root).generic_string();
        out[e.is_directory() ? name + "/" : name] = e.is_directory() ? Bytes() : testutil::read_file(e.path());
    }
    return out;
}

std::string pack(const std::string& source, const packer::ArchiveOptions& options, const std::string& path)
{
    std::vector<packer::WriterEntry> entries;
    std::string error;
    std::vector<std::string> warnings;
    Bytes archive;
    EXPECT_TRUE(packer::collect_entries({source + "/."}, entries, error, warnings)) << error;
    EXPECT_TRUE(packer::write_archive(entries, options, archive, error)) << error;
    testutil::write_file(path, archive);
    return path;
}

TEST(ConcurrentExtraction, TwoArchivesOnTwoThreadsComeOutExact)
{
    testutil::TempDir dir;
    // Different contents and codings: text at the strongest level (its
    // blocks go to BWT) beside text, random bytes and folders at the fastest
    // level, cut into several streams.
    fs::create_directories(dir.file("a/docs"));
    testutil::write_file(dir.file("a/docs/book.txt"), testutil::text_bytes(150000, 1));
    testutil::write_file(dir.file("a/tail.txt"), testutil::text_bytes(5000, 2));
    fs::create_directories(dir.file("b/x/y"));
    testutil::write_file(dir.file("b/x/y/noise.bin"), testutil::random_bytes(50000, 3));
    testutil::write_file(dir.file("b/notes.txt"), testutil::text_bytes(100000, 4));
    packer::ArchiveOptions strong, fast;
    strong.level = 9;
    fast.level = 1;
    fast.stream_size = 32 * 1024;
    const std::string archives[2] = {pack(dir.file("a"), strong, dir.file("a.qvx")),
                                     pack(dir.file("b"), fast, dir.file("b.qvx"))};

    // The runs set file times through mktime. glibc reads the time zone
    // under a lock of its own, which ThreadSanitizer does not see; with TZ
    // unset it reads it again on every call. A fixed zone, read here once,
    // leaves the threads nothing to read but the one settled string.
    setenv("TZ", "UTC", 1);
    tzset();

    Rendezvous rendezvous;
    host::ExtractResult results[2];
    std::thread threads[2];
    for (int i = 0; i < 2; i++)
        threads[i] = std::thread([&, i] {
            host::ExtractOptions options;
            options.dest_dir = dir.file(std::string("out") + (char)('a' + i));
            bool met = false;
            options.progress = [&](const std::string&, uint64_t, uint64_t) {
                if (!met)
                    rendezvous.meet();
                met = true;
            };
            results[i] = host::extract_archive(archives[i], options);
        });
    for (std::thread& t : threads)
        t.join();

    for (int i = 0; i < 2; i++) {
        std::string side(1, (char)('a' + i));
        EXPECT_EQ(results[i].exit_code, host::EXIT_OK) << side;
        EXPECT_TRUE(results[i].messages.empty()) << side << ": " << results[i].messages[0];
        EXPECT_TRUE(tree(dir.file("out" + side)) == tree(dir.file(side))) << side << " differs from its source";
    }
}

}  // namespace
