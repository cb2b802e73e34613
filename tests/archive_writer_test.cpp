// The archive writer and the host-side extraction together: what qvx packs
// must come back byte for byte through the extractor's own code, names the
// stub could not create must be refused before anything is written, and
// hostile or damaged archives must end with the right exit code and never
// write outside the destination.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <set>

#include "archive/records.h"
#include "host/extract.h"
#include "packer/archive_writer.h"
#include "platform/host.h"
#include "platform/platform.h"
#include "tests/test_util.h"

namespace fs = std::filesystem;
using testutil::Bytes;

namespace {

struct UtcZone {
    UtcZone()
    {
        setenv("TZ", "UTC", 1);
        tzset();
    }
};

std::vector<uint8_t> pack(const std::vector<std::string>& inputs, uint64_t stream_size = 0, int level = 6)
{
    std::vector<packer::WriterEntry> entries;
    std::string error;
    std::vector<std::string> warnings;
    EXPECT_TRUE(packer::collect_entries(inputs, entries, error, warnings)) << error;
    packer::ArchiveOptions options;
    options.level = level;
    options.stream_size = stream_size;
    std::vector<uint8_t> archive;
    EXPECT_TRUE(packer::write_archive(entries, options, archive, error)) << error;
    return archive;
}

host::ExtractResult extract(const std::string& archive, const std::string& dest, bool test_only = false)
{
    host::ExtractOptions options;
    options.dest_dir = dest;
    options.test_only = test_only;
    options.overwrite_all = true;
    return host::extract_archive(archive, options);
}

std::vector<host::ListedEntry> list(const std::string& archive, ResultCode* result = nullptr)
{
    std::vector<host::ListedEntry> out;
    host::Run run;
    host::ArchiveInfo info;
    std::string error;
    EXPECT_EQ(host::open_archive(run, archive, info, error), 0) << error;
    ResultCode r = host::read_directory(run, [&](const host::ListedEntry& e) {
        out.push_back(e);
        return true;
    });
    if (result)
        *result = r;
    else
        EXPECT_EQ(r, 0);
    host::close_archive(run);
    return out;
}

// Every file and folder below root, relative, with the file contents.
std::map<std::string, Bytes> snapshot(const std::string& root)
{
    std::map<std::string, Bytes> out;
    for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator(); ++it) {
        std::string rel = fs::relative(it->path(), root).generic_string();
        if (it->is_directory())
            out[rel + "/"] = {};
        else
            out[rel] = testutil::read_file(it->path().string());
    }
    return out;
}

TEST(EntryNames, RefusesWhatTheStubCannotCreate)
{
    for (const char* ok : {"a.txt", "dir\\sub\\file", "caf\xe9.txt", "console\\x", "LPT10", ".hidden",
                           "a..b", "..a"})
        EXPECT_EQ(packer::check_entry_name(ok), "") << ok;
    for (const char* bad : {"", "\\abs", "C:\\x", "a:b", "..", "a\\..\\b", "a\\.\\b", "a\\\\b", "a\\", "x\x01y",
                            "CON", "nul.txt", "con.txt.d", "COM0", "dir\\Aux.c", "com1", "LPT9.log", "a*b", "a?b", "a<b", "a>b", "a|b",
                            "a\"b", "a/b", "trail.", "trail ", "dir.\\x", "COM\xB9", "lpt\xB2.txt", "sub\\Com\xB3"})
        EXPECT_NE(packer::check_entry_name(bad), "") << bad;
    EXPECT_EQ(packer::check_entry_name(std::string(packer::MAX_ENTRY_NAME, 'n')), "");
    EXPECT_NE(packer::check_entry_name(std::string(packer::MAX_ENTRY_NAME + 1, 'n')), "");
}

TEST(EntryNames, CollectRefusesUnstorableNames)
{
    struct Case {
        const char* file;
        const char* why;
    } cases[] = {
        {"a\xff" "b", "not UTF-8"},
        {"nul.txt", "reserved device name"},
        {"a\\b", "backslash"},
        {"x:y", "colon"},
    };
    for (const Case& c : cases) {
        testutil::TempDir dir;
        testutil::write_text(dir.file(c.file), "x");
        std::vector<packer::WriterEntry> entries;
        std::string error;
        std::vector<std::string> warnings;
        EXPECT_FALSE(packer::collect_entries({dir.path() + "/."}, entries, error, warnings)) << c.file;
        EXPECT_NE(error.find(c.why), std::string::npos) << error;
    }
    // Names that only Windows would see as the same file, over the whole
    // code page: ASCII, accented letters, letters with caron, Y diaeresis.
    // Beyond it, Cyrillic alike.
    const char* const same[][2] = {{"Read.me", "READ.ME"},
                                   {"\xc3\xa9.txt", "\xc3\x89.txt"},
                                   {"\xc5\xa1", "\xc5\xa0"},
                                   {"\xc3\xbf", "\xc5\xb8"},
                                   {"\xd0\x94\xd0\xb0.txt", "\xd0\x94\xd0\x90.txt"}};
    for (const auto& pair : same) {
        testutil::TempDir dir;
        testutil::write_text(dir.file(pair[0]), "1");
        testutil::write_text(dir.file(pair[1]), "2");
        std::vector<packer::WriterEntry> entries;
        std::string error;
        std::vector<std::string> warnings;
        EXPECT_FALSE(packer::collect_entries({dir.path() + "/."}, entries, error, warnings)) << pair[0];
        EXPECT_NE(error.find("ignores case"), std::string::npos) << error;
    }
    // The multiplication sign has no small form and the sharp s no capital.
    testutil::TempDir dir;
    testutil::write_text(dir.file("\xc3\x97"), "1");
    testutil::write_text(dir.file("\xc3\xb7"), "2");
    testutil::write_text(dir.file("\xc3\x9f"), "3");
    std::vector<packer::WriterEntry> entries;
    std::string error;
    std::vector<std::string> warnings;
    EXPECT_TRUE(packer::collect_entries({dir.path() + "/."}, entries, error, warnings)) << error;
}

TEST(EntryNames, CollectStoresCodePage1252AndAttributes)
{
    UtcZone utc;
    testutil::TempDir dir;
    fs::create_directories(dir.file("top/caf\xc3\xa9/empty"));
    testutil::write_text(dir.file("top/caf\xc3\xa9/ro.txt"), "read only");
    chmod(dir.file("top/caf\xc3\xa9/ro.txt").c_str(), 0444);
    struct timespec times[2] = {{0, UTIME_OMIT}, {946782245, 0}};  // 2000-01-02 03:04:05 UTC
    utimensat(AT_FDCWD, dir.file("top/caf\xc3\xa9/ro.txt").c_str(), times, 0);

    std::vector<packer::WriterEntry> entries;
    std::string error;
    std::vector<std::string> warnings;
    ASSERT_TRUE(packer::collect_entries({dir.file("top")}, entries, error, warnings)) << error;
    ASSERT_EQ(entries.size(), 4u);
    EXPECT_EQ(entries[0].name, "top");
    EXPECT_TRUE(entries[0].folder);
    EXPECT_EQ(entries[0].attributes, 0x10);
    EXPECT_EQ(entries[1].name, "top\\caf\xe9");
    EXPECT_EQ(entries[2].name, "top\\caf\xe9\\empty");
    EXPECT_EQ(entries[3].name, "top\\caf\xe9\\ro.txt");
    EXPECT_EQ(entries[3].attributes, 0x21);
    EXPECT_EQ(entries[3].write_date, (20 << 9) | (1 << 5) | 2);
    EXPECT_EQ(entries[3].write_time, (3 << 11) | (4 << 5) | 2);
}

// Any name: stored in code page 1252 with '_' for what it cannot hold, the
// exact name beside it in a "U8" record when it is not plain ASCII; listed
// and extracted exactly.
TEST(EntryNames, ExactNamesBesideTheirCodePage1252Form)
{
    testutil::TempDir tmp;
    const struct {
        const char* path;  // below src, with '/'
        const char* stored;
    } names[] = {
        {"plain.txt", "plain.txt"},
        {"\xc3\xa9.txt", "\xe9.txt"},                               // é: in the code page
        {"\xd0\x97\xd0\xb0\xd0\xb3\xd1\x80\xd1\x83\xd0\xb7\xd0\xba\xd0\xb8", "________"},  // Загрузки
        {"\xd0\x97\xd0\xb0\xd0\xb3\xd1\x80\xd1\x83\xd0\xb7\xd0\xba\xd0\xb8/\xe2\x82\xac \xf0\x9f\x99\x82.txt",
         "________\\\x80 _.txt"},                                   // € and an emoji: one '_'
        {"\xe4\xb8\xad\xe6\x96\x87.txt", "__.txt"},               // 中文
        {"\xe6\x97\xa5\xe6\x9c\xac\xe8\xaa\x9e-\xd0\x94\xd0\xb0.txt", "___-__.txt"},  // 日本語-Да
        {"\xe6\x97\xa5\xe6\x9c\xac.txt", "__.txt"},               // 日本: the stored form of 中文 too
    };
    std::string src = tmp.file("src");
    fs::create_directories(src);
    for (const auto& n : names) {
        std::string path = src + "/" + n.path;
        if (std::string(n.stored).find('.') == std::string::npos)
            fs::create_directories(path);
        else
            testutil::write_text(path, n.path);
    }
    std::vector<packer::WriterEntry> entries;
    std::string error;
    std::vector<std::string> warnings;
    ASSERT_TRUE(packer::collect_entries({src + "/."}, entries, error, warnings)) << error;
    std::vector<uint8_t> archive;
    ASSERT_TRUE(packer::write_archive(entries, packer::ArchiveOptions(), archive, error)) << error;
    std::string path = tmp.file("u.qvx");
    testutil::write_file(path, archive);

    std::map<std::string, host::ListedEntry> listed;
    for (const host::ListedEntry& e : list(path))
        listed[e.name] = e;
    ASSERT_EQ(listed.size(), sizeof names / sizeof names[0]);
    for (const auto& n : names) {
        std::string exact = n.path;
        std::replace(exact.begin(), exact.end(), '/', '\\');
        ASSERT_EQ(listed.count(exact), 1u) << exact;
        const host::ListedEntry& e = listed[exact];
        EXPECT_EQ(e.stored, n.stored) << exact;
        bool ascii = exact == n.stored;
        EXPECT_EQ(e.entry.extra_length_2, ascii ? 0u : 4 + exact.size()) << exact;
    }
    host::ExtractResult r = extract(path, tmp.file("out"));
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(snapshot(src), snapshot(tmp.file("out")));
}

TEST(DosTimes, RangeAndRounding)
{
    UtcZone utc;
    uint16_t date, time_word;
    host::time_to_dos(315532800, date, time_word);  // 1980-01-01 00:00:00
    EXPECT_EQ(date, (0 << 9) | (1 << 5) | 1);
    EXPECT_EQ(time_word, 0);
    host::time_to_dos(315532799, date, time_word);  // 1979: no DOS date
    EXPECT_EQ(date, 0);
    EXPECT_EQ(time_word, 0);
    host::time_to_dos(4354819199, date, time_word);  // 2107-12-31 23:59:59
    EXPECT_EQ(date, (127 << 9) | (12 << 5) | 31);
    EXPECT_EQ(time_word, (23 << 11) | (59 << 5) | 29);
    host::time_to_dos(4354819200, date, time_word);  // 2108
    EXPECT_EQ(date, 0);
}

TEST(Directory, PiecesHoldWholeEntriesAndFitTheStub)
{
    // Incompressible names force pieces that LZ cannot shrink: every piece
    // must still fit in 8184 bytes and decode to at most 8192.
    std::vector<std::vector<uint8_t>> records;
    Bytes noise = testutil::random_bytes(300 * 250, 7);
    for (int i = 0; i < 300; i++) {
        std::vector<uint8_t> r(DIRECTORY_ENTRY_SIZE, 0);
        std::string name;
        for (int k = 0; k < 250; k++)
            name += (char)('a' + noise[i * 250 + k] % 26);
        store_le16(r.data() + 26, (uint16_t)name.size());
        r.insert(r.end(), name.begin(), name.end());
        records.push_back(r);
    }
    std::vector<uint8_t> dir = packer::write_directory(records, 6);
    size_t pos = 0, pieces = 0;
    uint32_t decoded_total = 0;
    while (pos < dir.size()) {
        ASSERT_LE(pos + 6 + 6, dir.size());
        EXPECT_EQ(memcmp(dir.data() + pos, "QVXDE\0", 6), 0);
        uint32_t lo = load_le32(dir.data() + pos + 6), hi = load_le32(dir.data() + pos + 10);
        uint32_t method = lo & 15, out_len = (lo >> 5) & 0xFFFFF, stored = ((lo >> 25) | (hi << 7)) & 0xFFFFF;
        EXPECT_LE(method, 1u);
        EXPECT_LE(stored, (uint32_t)DIRECTORY_PIECE_MAX);
        EXPECT_LE(out_len, (uint32_t)DIRECTORY_BUFFER_SIZE);
        EXPECT_EQ(out_len % (DIRECTORY_ENTRY_SIZE + 250), 0u) << "a piece must hold whole entries";
        decoded_total += out_len;
        pos += 6 + stored;
        pieces++;
    }
    EXPECT_EQ(pos, dir.size());
    EXPECT_EQ(decoded_total, 300u * (DIRECTORY_ENTRY_SIZE + 250));
    EXPECT_GE(pieces, 10u);
}

// Directory pieces from the directory offset to the end, by their headers.
size_t count_pieces(const std::vector<uint8_t>& archive, size_t pos)
{
    size_t pieces = 0;
    while (pos + 12 <= archive.size() && memcmp(archive.data() + pos, "QVXDE\0", 6) == 0) {
        uint32_t lo = load_le32(archive.data() + pos + 6), hi = load_le32(archive.data() + pos + 10);
        pos += 6 + (((lo >> 25) | (hi << 7)) & 0xFFFFF);
        pieces++;
    }
    EXPECT_EQ(pos, archive.size());
    return pieces;
}

// A tree with everything the format carries: nested and empty folders, empty
// files, a read-only file, code page 1252 names, several streams and a
// directory of several pieces.
class RoundTrip : public testing::Test {
protected:
    void SetUp() override
    {
        src = tmp.file("src");
        fs::create_directories(src + "/nested/deeper/empty");
        fs::create_directories(src + "/caf\xc3\xa9");
        testutil::write_file(src + "/text.txt", testutil::text_bytes(300000, 1));
        testutil::write_file(src + "/random.bin", testutil::random_bytes(70000, 2));
        testutil::write_file(src + "/empty.dat", {});
        testutil::write_file(src + "/nested/deeper/more.txt", testutil::text_bytes(50000, 3));
        testutil::write_text(src + "/caf\xc3\xa9/cr\xc3\xa8me.txt", "br\xc3\xbbl\xc3\xa9" "e\n");
        testutil::write_text(src + "/readonly.txt", "do not touch");
        chmod((src + "/readonly.txt").c_str(), 0444);
        for (int i = 0; i < 250; i++)
            testutil::write_text(src + "/nested/file_with_a_rather_long_name_" + std::to_string(i) + ".txt",
                                 std::to_string(i));
    }
    testutil::TempDir tmp;
    std::string src;
};

TEST_F(RoundTrip, ManyStreamsAndPiecesExtractByteForByte)
{
    std::vector<uint8_t> archive = pack({src}, 64 * 1024, 6);
    std::string path = tmp.file("a.qvx");
    testutil::write_file(path, archive);

    std::vector<host::ListedEntry> entries = list(path);
    std::set<uint32_t> streams;
    for (const auto& e : entries)
        if (!(e.entry.entry_flags & ENTRY_FOLDER) && e.entry.member_size > 0)
            streams.insert(e.entry.stream_offset);
    EXPECT_GE(streams.size(), 3u) << "--stream-size must cut the members into several streams";
    ArchiveHeader header;
    parse_archive_header(archive.data(), &header);
    EXPECT_EQ(header.archive_length, archive.size());
    EXPECT_EQ(header.data_length, header.directory_offset - 42);
    EXPECT_EQ(header.entry_count, entries.size());
    EXPECT_GE(count_pieces(archive, header.directory_offset), 3u);

    host::ExtractResult r = extract(path, tmp.file("out"));
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_TRUE(r.messages.empty()) << r.messages[0];
    EXPECT_EQ(snapshot(src), snapshot(tmp.file("out/src")));
    struct stat st;
    ASSERT_EQ(stat(tmp.file("out/src/readonly.txt").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0222, 0u);

    EXPECT_EQ(extract(path, tmp.file("unused"), true).exit_code, 0);
    EXPECT_FALSE(fs::exists(tmp.file("unused")));
}

TEST_F(RoundTrip, EveryLevelRoundTrips)
{
    for (int level : {1, 9}) {
        std::string path = tmp.file("l" + std::to_string(level) + ".qvx");
        testutil::write_file(path, pack({src + "/."}, 0, level));
        std::string out = tmp.file("out" + std::to_string(level));
        EXPECT_EQ(extract(path, out).exit_code, 0) << level;
        EXPECT_EQ(snapshot(src), snapshot(out)) << level;
    }
}

TEST_F(RoundTrip, DamageIsReportedNeverWrittenPast)
{
    std::vector<uint8_t> archive = pack({src});
    ArchiveHeader header;
    parse_archive_header(archive.data(), &header);

    // A flipped byte in the middle of the data: a CRC mismatch or damage,
    // never success, and never a write outside the destination.
    std::vector<uint8_t> flipped = archive;
    flipped[42 + 200] ^= 0x40;
    std::string path = tmp.file("flipped.qvx");
    testutil::write_file(path, flipped);
    host::ExtractResult r = extract(path, tmp.file("d1/out"));
    EXPECT_NE(r.exit_code, 0);
    EXPECT_FALSE(r.messages.empty());
    EXPECT_EQ(fs::directory_iterator(tmp.file("d1"))->path().filename(), "out");

    // Cut inside the directory: the walk ends with damage (exit code 2).
    std::vector<uint8_t> cut(archive.begin(), archive.begin() + header.directory_offset + 20);
    testutil::write_file(path, cut);
    r = extract(path, tmp.file("d2"));
    EXPECT_EQ(r.exit_code, host::EXIT_FAILED);
    EXPECT_TRUE(r.damaged);
    EXPECT_EQ(extract(path, tmp.file("d3"), true).exit_code, host::EXIT_FAILED);

    // Header fields pointing nowhere: a directory past the end (or past what
    // 32-bit offsets reach), and more entries than the directory holds.
    for (uint32_t offset : {0xFFFFFFF0u, 0x7FFFFFF0u, (uint32_t)archive.size()}) {
        std::vector<uint8_t> moved = archive;
        store_le32(moved.data() + 4, offset);
        testutil::write_file(path, moved);
        EXPECT_EQ(extract(path, tmp.file("d7")).exit_code, host::EXIT_FAILED) << offset;
        EXPECT_EQ(extract(path, "", true).exit_code, host::EXIT_FAILED) << offset;
    }
    // Without our check values (which refuse it before anything is written)
    // the walk meets the missing entries itself.
    std::vector<uint8_t> counted = archive;
    store_le32(counted.data() + 8, 0xFFFFFFFFu);
    counted[40] = counted[41] = 0;
    testutil::write_file(path, counted);
    r = extract(path, tmp.file("d8"));
    EXPECT_EQ(r.exit_code, host::EXIT_FAILED);
    EXPECT_TRUE(snapshot(tmp.file("d8/src")) == snapshot(src)) << "every real entry still extracts";

    // Shorter than a header, and not an archive at all.
    testutil::write_file(path, Bytes(archive.begin(), archive.begin() + 30));
    EXPECT_EQ(extract(path, tmp.file("d4")).exit_code, host::EXIT_FAILED);
    testutil::write_text(path, "just some text, no archive here at all");
    r = extract(path, tmp.file("d5"));
    EXPECT_EQ(r.exit_code, host::EXIT_FAILED);
    EXPECT_FALSE(fs::exists(tmp.file("d5/src")));
    EXPECT_EQ(extract(tmp.file("missing.qvx"), tmp.file("d6")).exit_code, host::EXIT_FAILED);
}

TEST_F(RoundTrip, WrongMagicIsReadAsTheStubReadsIt)
{
    // The extractor finds its archive by position and never checks the
    // magic: with the directory offset and entry count right, everything
    // extracts; the tool warns about the signature. Nor does it read
    // archive_length, except as the end of the directory our check value
    // covers: without the check values (another writer's archive) a wrong
    // one extracts too.
    std::vector<uint8_t> archive = pack({src});
    archive[0] = 'X';
    std::vector<uint8_t> unchecked = archive;
    store_le32(unchecked.data() + 20, 12345);
    unchecked[40] = unchecked[41] = 0;
    int i = 0;
    for (const std::vector<uint8_t>& bytes : {archive, unchecked}) {
        std::string path = tmp.file("magic.qvx"), out = tmp.file("out" + std::to_string(i++));
        testutil::write_file(path, bytes);
        host::ExtractResult r = extract(path, out);
        EXPECT_EQ(r.exit_code, 0);
        ASSERT_EQ(r.messages.size(), 1u);
        EXPECT_NE(r.messages[0].find("QVX signature"), std::string::npos);
        EXPECT_EQ(snapshot(src), snapshot(out + "/src"));
    }
}

TEST_F(RoundTrip, OverwriteIsAskedAndAnswered)
{
    std::string path = tmp.file("a.qvx");
    testutil::write_file(path, pack({src + "/text.txt", src + "/empty.dat", src + "/random.bin"}));
    std::string out = tmp.file("out");
    fs::create_directories(out);
    testutil::write_text(out + "/text.txt", "mine");
    testutil::write_text(out + "/random.bin", "mine too");

    std::vector<std::string> asked;
    host::ExtractOptions options;
    options.dest_dir = out;
    options.ask_overwrite = [&](const std::string& file) {
        asked.push_back(file);
        return ANSWER_NO;
    };
    EXPECT_EQ(host::extract_archive(path, options).exit_code, 0);
    EXPECT_EQ(asked, (std::vector<std::string>{"text.txt", "random.bin"}));
    EXPECT_EQ(testutil::read_file(out + "/text.txt"), Bytes({'m', 'i', 'n', 'e'}));
    EXPECT_TRUE(fs::exists(out + "/empty.dat"));

    // Yes to all: asked once, everything replaced.
    asked.clear();
    options.ask_overwrite = [&](const std::string& file) {
        asked.push_back(file);
        return ANSWER_YES_TO_ALL;
    };
    EXPECT_EQ(host::extract_archive(path, options).exit_code, 0);
    EXPECT_EQ(asked.size(), 1u);
    EXPECT_EQ(testutil::read_file(out + "/random.bin"), testutil::read_file(src + "/random.bin"));
}

// Archives that a hostile writer made: names the checks of the writer would
// have refused.
TEST(HostileArchive, UnsafeNamesAreRefusedAndNothingLeavesTheDestination)
{
    testutil::TempDir tmp;
    testutil::write_text(tmp.file("payload"), "evil");
    std::vector<packer::WriterEntry> entries;
    for (const char* name : {"..\\escaped.txt", "\\rooted.txt", "C:\\drive.txt", "sub\\..\\..\\up.txt", "NUL",
                             "good.txt"}) {
        packer::WriterEntry e;
        e.host_path = tmp.file("payload");
        e.name = name;
        e.size = 4;
        e.attributes = 0x20;
        entries.push_back(e);
    }
    std::vector<uint8_t> archive;
    std::string error;
    ASSERT_TRUE(packer::write_archive(entries, packer::ArchiveOptions(), archive, error)) << error;
    std::string path = tmp.file("hostile.qvx");
    testutil::write_file(path, archive);

    std::string jail = tmp.file("jail/deep");
    host::ExtractResult r = extract(path, jail + "/out");
    EXPECT_EQ(r.exit_code, host::EXIT_MEMBERS_FAILED);
    EXPECT_EQ(r.failed_members, 5u);
    EXPECT_EQ(snapshot(tmp.file("jail")), (std::map<std::string, Bytes>{
                                              {"deep/", {}},
                                              {"deep/out/", {}},
                                              {"deep/out/good.txt", {'e', 'v', 'i', 'l'}},
                                          }));
    EXPECT_FALSE(fs::exists("/rooted.txt"));
    host::ExtractResult t = extract(path, "", true);
    EXPECT_EQ(t.exit_code, host::EXIT_MEMBERS_FAILED);
    EXPECT_EQ(t.failed_members, 5u);
}

TEST(HostileArchive, EmptyArchiveSaysSo)
{
    testutil::TempDir tmp;
    std::vector<uint8_t> archive;
    std::string error;
    ASSERT_TRUE(packer::write_archive({}, packer::ArchiveOptions(), archive, error));
    testutil::write_file(tmp.file("e.qvx"), archive);
    host::ExtractResult r = extract(tmp.file("e.qvx"), tmp.file("out"));
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_TRUE(r.empty);
    ASSERT_EQ(r.messages.size(), 1u);
    EXPECT_EQ(r.messages[0], "Archive contains no files");
}

TEST(Messages, OneLinePerMessage)
{
    EXPECT_EQ(host::message_line("Cannot create a\\b\nDisk full"), "Cannot create a\\b: Disk full");
    EXPECT_EQ(host::message_line("Archive data is damaged, probably caused by\na corrupt disk or download error"),
              "Archive data is damaged, probably caused by a corrupt disk or download error");
    EXPECT_EQ(host::message_line("File \"caf\xc3\xa9\" fails error check"), "File \"caf\xc3\xa9\" fails error check");
    EXPECT_EQ(host::format_attributes(0x27, false), "RHS.A");
    EXPECT_EQ(host::format_attributes(0x10, true), "...D.");
    EXPECT_EQ(host::dos_time_text((45 << 9) | (1 << 5) | 2, (3 << 11) | (4 << 5) | 2), "2025-01-02 03:04:04");
}

}  // namespace

namespace {

// Files that change between collection and reading, or while they are read:
// the archive stays consistent (a file that grew cut at the size collected,
// one that shrank stored as read, each CRC-32 over the bytes stored), and
// every such file is reported.
TEST(ArchiveInput, FilesThatChangeWhileReadAreReported)
{
    testutil::TempDir dir;
    fs::create_directories(dir.file("in"));
    testutil::write_file(dir.file("in/grows.txt"), testutil::text_bytes(3000, 1));
    testutil::write_file(dir.file("in/shrinks.txt"), testutil::text_bytes(3000, 2));
    testutil::write_file(dir.file("in/touched.txt"), testutil::text_bytes(3000, 3));
    testutil::write_file(dir.file("in/steady.txt"), testutil::text_bytes(3000, 4));
    testutil::write_file(dir.file("in/emptied.txt"), {});
    // A member with a call filter: an x86 PE image (with calls) that
    // shrinks is laid out at the size it has when it is packed.
    Bytes code = testutil::text_bytes(3000, 5);
    code[0] = 'M', code[1] = 'Z', code[0x3C] = 64, code[0x3D] = code[0x3E] = code[0x3F] = 0;
    const uint8_t pe[] = {'P', 'E', 0, 0, 0x4C, 0x01};
    std::copy(pe, pe + sizeof pe, code.begin() + 64);
    for (size_t i = 200; i + 5 < code.size(); i += 37)
        code[i] = 0xE8, code[i + 1] = (uint8_t)i, code[i + 2] = code[i + 3] = code[i + 4] = 0;
    testutil::write_file(dir.file("in/shrinks.exe"), code);
    std::vector<packer::WriterEntry> entries;
    std::string error;
    std::vector<std::string> warnings;
    ASSERT_TRUE(packer::collect_entries({dir.file("in")}, entries, error, warnings)) << error;

    testutil::write_file(dir.file("in/grows.txt"), testutil::text_bytes(5000, 1));
    testutil::write_file(dir.file("in/shrinks.txt"), testutil::text_bytes(1000, 2));
    code.resize(1000);
    testutil::write_file(dir.file("in/shrinks.exe"), code);
    testutil::write_text(dir.file("in/emptied.txt"), "not empty now");
    struct timespec times[2] = {{0, UTIME_OMIT}, {946782245, 0}};
    utimensat(AT_FDCWD, dir.file("in/touched.txt").c_str(), times, 0);
    // Changes since collection are seen when the file is opened; a change
    // while it is read, by the same comparison afterwards.
    packer::ArchiveOptions options;
    std::vector<std::string> reported;
    options.warn = [&reported](const std::string& line) { reported.push_back(line); };
    std::vector<uint8_t> archive;
    ASSERT_TRUE(packer::write_archive(entries, options, archive, error)) << error;
    std::string all;
    for (const std::string& line : reported)
        all += line + "\n";
    EXPECT_EQ(reported.size(), 5u) << all;
    for (const char* name : {"grows.txt", "shrinks.txt", "shrinks.exe", "emptied.txt", "touched.txt"})
        EXPECT_NE(all.find(name), std::string::npos) << all;
    EXPECT_EQ(all.find("steady.txt"), std::string::npos) << all;

    std::string path = dir.file("a.qvx");
    testutil::write_file(path, archive);
    host::ExtractResult r = extract(path, dir.file("out"));
    EXPECT_EQ(r.exit_code, 0);
    Bytes grown = testutil::read_file(dir.file("out/in/grows.txt"));
    EXPECT_TRUE(grown == testutil::text_bytes(3000, 1)) << "cut at the size collected";
    EXPECT_TRUE(testutil::read_file(dir.file("out/in/shrinks.txt")) == testutil::text_bytes(1000, 2))
        << "stored as read, not padded to the size collected";
    EXPECT_TRUE(testutil::read_file(dir.file("out/in/shrinks.exe")) == code) << "the filtered member as read";
}

// The 2 GiB bound comes from the sizes collected: nothing is opened, let
// alone read, for an input that cannot fit.
TEST(ArchiveInput, TooLargeIsRefusedBeforeReading)
{
    std::vector<packer::WriterEntry> entries(2);
    entries[0].name = "a";
    entries[0].host_path = "/nonexistent/a";
    entries[0].size = 0x50000000u;
    entries[1].name = "b";
    entries[1].host_path = "/nonexistent/b";
    entries[1].size = 0x40000000u;
    std::vector<uint8_t> archive;
    std::string error;
    EXPECT_FALSE(packer::write_archive(entries, packer::ArchiveOptions(), archive, error));
    EXPECT_NE(error.find("2 GiB"), std::string::npos) << error;
    // Split into streams each one fits; the first file's absence then shows.
    packer::ArchiveOptions options;
    options.stream_size = 0x40000000u;
    EXPECT_FALSE(packer::write_archive(entries, options, archive, error));
    EXPECT_NE(error.find("cannot open /nonexistent/a"), std::string::npos) << error;
    // Stored as they are (level 0), the two cannot fit whatever the streams.
    options.level = 0;
    EXPECT_FALSE(packer::write_archive(entries, options, archive, error));
    EXPECT_NE(error.find("2 GiB"), std::string::npos) << error;
    // A small one that fits is opened when its bytes are read, and the
    // stream ends there.
    entries.resize(1);
    entries[0].size = 10;
    error.clear();
    EXPECT_FALSE(packer::write_archive(entries, options, archive, error));
    EXPECT_NE(error.find("cannot open /nonexistent/a"), std::string::npos) << error;
}

// Members go into the stream by content class, extension and path, a twin
// right behind its first copy, folders before everything; the directory
// lists them so, and everything comes back whatever the thread count.
TEST(PackingOrder, KindsTwinsAndFoldersFirst)
{
    testutil::TempDir dir;
    Bytes pe = testutil::random_bytes(3000, 5);
    pe[0] = 'M';
    pe[1] = 'Z';
    Bytes png = testutil::random_bytes(70000, 6);
    memcpy(png.data(), "\x89PNG", 4);
    Bytes text = testutil::text_bytes(5000, 7);
    for (const char* folder : {"a", "b", "c", "d"})
        fs::create_directories(dir.file("in/") + folder);
    testutil::write_file(dir.file("in/b/x.dll"), pe);
    testutil::write_file(dir.file("in/d/twin.dll"), pe);
    testutil::write_file(dir.file("in/a/y.txt"), text);
    testutil::write_file(dir.file("in/a/z.txt"), testutil::text_bytes(4000, 8));
    testutil::write_file(dir.file("in/c/copy.txt"), text);
    testutil::write_file(dir.file("in/c/photo.png"), png);
    testutil::write_file(dir.file("in/rand.bin"), testutil::random_bytes(100000, 9));
    std::vector<packer::WriterEntry> entries;
    std::string error;
    std::vector<std::string> warnings;
    ASSERT_TRUE(packer::collect_entries({dir.file("in") + "/."}, entries, error, warnings)) << error;
    std::vector<bool> incompressible;
    std::vector<std::string> names;
    for (size_t i : packer::packing_order(entries, &incompressible))
        names.push_back(entries[i].exact + (incompressible[i] ? " stored" : ""));
    std::vector<std::string> expected = {"a", "b", "c", "d", "a\\y.txt", "c\\copy.txt", "a\\z.txt", "b\\x.dll",
                                         "d\\twin.dll", "rand.bin stored", "c\\photo.png stored"};
    EXPECT_EQ(names, expected);

    Bytes first;
    for (unsigned threads : {1u, 2u, 3u}) {
        packer::ArchiveOptions options;
        options.threads = threads;
        // Progress only ever moves on, and ends at the bytes in all.
        uint64_t shown = 0, all = 0;
        bool backwards = false;
        options.progress = [&](uint64_t done, uint64_t total) {
            backwards |= done < shown;
            shown = done;
            all = total;
        };
        Bytes archive;
        ASSERT_TRUE(packer::write_archive(entries, options, archive, error)) << error;
        if (threads == 1)
            first = archive;
        EXPECT_EQ(archive, first) << threads << " threads";
        EXPECT_FALSE(backwards);
        EXPECT_EQ(shown, all);
    }
    std::string path = dir.file("a.qvx");
    testutil::write_file(path, first);
    std::vector<std::string> listed;
    for (const host::ListedEntry& e : list(path))
        listed.push_back(e.name);
    for (std::string& n : expected)
        n = n.substr(0, n.find(' '));
    for (std::string& n : listed)
        std::replace(n.begin(), n.end(), '/', '\\');
    EXPECT_EQ(listed, expected);
    EXPECT_EQ(extract(path, dir.file("out")).exit_code, host::EXIT_OK);
    EXPECT_EQ(snapshot(dir.file("out")), snapshot(dir.file("in")));
}

}  // namespace

namespace {

// What the reader refuses before anything is written: a file that is no
// archive at all, and our archives whose headers or directory no longer
// match their check values (a changed entry count, a changed name; the
// command-line cases change a self-extractor's command).
TEST(HostileArchive, NotAnArchiveOrDamagedHeadersAreRefused)
{
    testutil::TempDir dir;
    fs::create_directories(dir.file("in/sub"));
    testutil::write_text(dir.file("in/a.txt"), "alpha");
    testutil::write_text(dir.file("in/sub/nums.txt"), "12345");
    std::vector<uint8_t> archive = pack({dir.file("in")});
    ArchiveHeader header;
    parse_archive_header(archive.data(), &header);
    size_t name = std::search(archive.begin() + header.directory_offset, archive.end(), "sub", "sub" + 3) -
                  archive.begin();
    struct Case {
        const char* what;
        Bytes bytes;
    };
    Bytes count = archive, renamed = archive, not_archive = testutil::random_bytes(5000, 3);
    count[8] -= 1;
    std::vector<Case> cases = {{"entry count", count}, {"not an archive", not_archive}};
    if (name < archive.size()) {
        renamed[name] = 'c';  // "sub/nums.txt" stored as it is: a stored piece
        cases.push_back({"name", renamed});
    }
    for (const Case& c : cases) {
        std::string path = dir.file("bad.qvx");
        testutil::write_file(path, c.bytes);
        for (bool test_only : {false, true}) {
            host::ExtractResult r = extract(path, dir.file("out"), test_only);
            EXPECT_EQ(r.exit_code, 2) << c.what;
            ASSERT_FALSE(r.messages.empty()) << c.what;
        }
        EXPECT_FALSE(fs::exists(dir.file("out/in"))) << c.what;
    }
}

}  // namespace
