// The extraction driver on real archives through the host backend: what is
// created, what is asked and shown, when the command runs, and that damaged
// directories and hostile names are reported without anything appearing
// outside the destination folder.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "archive/driver.h"
#include "archive/stub_info.h"
#include "codec/decoder.h"
#include "host/run.h"
#include "platform/host.h"
#include "platform/platform.h"
#include "platform/text.h"
#include "tests/archive_builder.h"
#include "tests/test_util.h"

namespace fs = std::filesystem;
using testarchive::Archive;
using testarchive::Bytes;
using testarchive::Coding;
using testarchive::Member;
using testarchive::Options;

namespace {

using testutil::list_tree;

const std::string DAMAGED_TEXT = "Archive data is damaged, probably caused by\na corrupt disk or download error";
const std::string kStopped = "\nExtraction has stopped; the files from here on were not extracted.";

std::string windows_form(std::string s)
{
    std::replace(s.begin(), s.end(), '/', '\\');
    return s;
}

std::string read_text(const std::string& path)
{
    Bytes b = testutil::read_file(path);
    return std::string(b.begin(), b.end());
}

bool is_dir(const std::string& path)
{
    std::error_code ec;
    return fs::is_directory(path, ec);
}

u16 dos_date(int year, int month, int day) { return (u16)(((year - 1980) << 9) | (month << 5) | day); }
u16 dos_time(int hour, int minute, int second) { return (u16)((hour << 11) | (minute << 5) | (second / 2)); }

// Patches fields of the block header at offset p of the bytes.
void patch_block_header(Bytes& bytes, size_t p, int method, int output_length)
{
    uint64_t h = 0;
    for (int i = 0; i < 6; i++)
        h |= (uint64_t)bytes[p + i] << (8 * i);
    if (method >= 0)
        h = (h & ~(uint64_t)15) | (uint64_t)method;
    if (output_length >= 0)
        h = (h & ~((uint64_t)0xFFFFF << 5)) | ((uint64_t)output_length << 5);
    for (int i = 0; i < 6; i++)
        bytes[p + i] = (uint8_t)(h >> (8 * i));
}

// Replaces the directory stream of a built archive with the given pieces.
// count one-byte files named STEM0.txt, STEM1.txt, ...
std::vector<Member> numbered_files(const std::string& stem, int count)
{
    std::vector<Member> members;
    for (int i = 0; i < count; i++)
        members.push_back(testarchive::file(stem + std::to_string(i) + ".txt", "x"));
    return members;
}

void replace_directory(Archive& a, const std::vector<Bytes>& pieces)
{
    a.bytes.resize(a.archive_start + a.directory_offset);
    a.piece_offsets.clear();
    for (const Bytes& piece : pieces) {
        a.piece_offsets.push_back((uint32_t)(a.bytes.size() - a.archive_start));
        a.bytes.insert(a.bytes.end(), piece.begin(), piece.end());
    }
}

struct DriverTest : ::testing::Test {
    host::Run session;
    testutil::TempDir temp;
    std::string out;      // host path of the destination
    std::string sandbox;  // the current directory while the driver runs
    std::string saved_cwd;
    std::vector<std::string> progress;
    std::vector<std::string> questions;
    Decoder* decoder = nullptr;

    void SetUp() override
    {
        setenv("TZ", "UTC", 1);
        tzset();
        reset_hooks();
        session.hooks.progress = [this](const char* name) { progress.push_back(std::string("Extracting ") + name); };
        session.hooks.ask_overwrite = [this](const std::string& path) {
            questions.push_back(path);
            return (int)ANSWER_NO;
        };
        session.flags.cancel_flag = 0;
        session.flags.overwrite_all = 0;
        session.flags.short_names = 0;
        session.x.command[0] = 0;
        decoder = decoder_create(&session.flags.cancel_flag);
        LastError = 0;
        text_copy(session.x.display_name, sizeof session.x.display_name, "setup.exe");
        text_copy(session.title, sizeof session.title, "Dravex Self-Extractor");
        out = temp.file("out");
        sandbox = temp.file("cwd");
        fs::create_directory(sandbox);
        char cwd[4096];
        saved_cwd = getcwd(cwd, sizeof cwd) ? cwd : "/";
        ASSERT_EQ(chdir(sandbox.c_str()), 0);
    }

    void TearDown() override
    {
        decoder_destroy(decoder);
        testutil::close_own_file(&session.x);
        session.flags.cancel_flag = 0;
        session.flags.overwrite_all = 0;
        reset_hooks();
        ASSERT_EQ(chdir(saved_cwd.c_str()), 0);
    }

    void reset_hooks()
    {
        session.hooks = host::Hooks();
        session.messages.clear();
        session.commands.clear();
    }

    std::string out_win() const { return windows_form(out); }

    ResultCode run_in(const Archive& a, const std::string& folder, const std::string& command = "")
    {
        EXPECT_TRUE(testarchive::install(a, temp.file("archive.qvx"), &session.x));
        text_copy(session.x.dest_path, sizeof session.x.dest_path, folder.c_str());
        text_copy(session.x.command, sizeof session.x.command, command.c_str());
        ResultCode r = extract_all(&session.x, decoder);
        testutil::close_own_file(&session.x);
        return r;
    }
    ResultCode run(const Archive& a, const std::string& command = "") { return run_in(a, out_win(), command); }

    std::vector<std::string> texts() const
    {
        std::vector<std::string> t;
        for (const host::MessageRecord& m : session.messages)
            t.push_back(m.text);
        return t;
    }

    // Everything the run left in the temporary directory, beside the archive.
    std::vector<std::string> everything() const
    {
        std::vector<std::string> all = list_tree(temp.path());
        all.erase(std::remove(all.begin(), all.end(), "archive.qvx"), all.end());
        all.erase(std::remove(all.begin(), all.end(), "cwd"), all.end());
        return all;
    }
};

// The same set of entries in every layout the driver must read alike.
std::vector<Member> sample_members()
{
    std::vector<Member> m;
    m.push_back(testarchive::folder("docs"));
    m.push_back(testarchive::file("docs\\readme.txt", testutil::text_bytes(3000, 1)));
    m.push_back(testarchive::folder("empty"));
    m.push_back(testarchive::folder("nested\\deeper\\deepest"));
    m.push_back(testarchive::file("empty.txt", Bytes()));
    Member ro = testarchive::file("readonly.txt", "keep me");
    ro.attributes = 0x21;
    m.push_back(ro);
    // No folder entry before it: the parent chain is made on demand.
    m.push_back(testarchive::file("x\\y\\z.bin", testutil::random_bytes(20000, 2)));
    Member timed = testarchive::file("timed.txt", testutil::text_bytes(700, 3));
    timed.write_date = dos_date(2020, 6, 15);
    timed.write_time = dos_time(13, 45, 30);
    timed.create_date = dos_date(2019, 1, 2);
    timed.create_time = dos_time(3, 4, 6);
    m.push_back(timed);
    m.push_back(testarchive::file("last.txt", testutil::text_bytes(12000, 4)));
    return m;
}

void expect_sample_extracted(const std::string& out, const std::vector<Member>& members)
{
    for (const Member& m : members) {
        std::string path = out + "/" + host::path_to_host(m.name.c_str());
        if (m.folder) {
            EXPECT_TRUE(is_dir(path)) << m.name;
        } else {
            EXPECT_EQ(testutil::read_file(path), m.data) << m.name;
        }
    }
    struct stat st;
    ASSERT_EQ(stat((out + "/readonly.txt").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0222, 0u) << "0x21 gives a read-only file";
    EXPECT_EQ(path_get_attributes(windows_form(out + "/readonly.txt").c_str()) & ATTR_READONLY, ATTR_READONLY);
    ASSERT_EQ(stat((out + "/docs/readme.txt").c_str(), &st), 0);
    EXPECT_NE(st.st_mode & 0200, 0u);
    ASSERT_EQ(stat((out + "/timed.txt").c_str(), &st), 0);
    struct tm tm = {};
    tm.tm_year = 120;
    tm.tm_mon = 5;
    tm.tm_mday = 15;
    tm.tm_hour = 13;
    tm.tm_min = 45;
    tm.tm_sec = 30;
    EXPECT_EQ(st.st_mtime, timegm(&tm));
    EXPECT_EQ(fs::file_size(out + "/empty.txt"), 0u);
}

TEST_F(DriverTest, ExtractsEveryEntryInEveryLayout)
{
    struct Layout {
        const char* what;
        Coding data;
        uint32_t block_size;
        Coding directory;
        size_t per_piece;
    } layouts[] = {
        {"stored, one block, one piece", Coding::stored, 0, Coding::stored, 0},
        {"stored blocks of 1000, pieces of 2", Coding::stored, 1000, Coding::stored, 2},
        {"LZ, one block, LZ piece", Coding::lz, 0, Coding::lz, 0},
        {"LZ blocks of 4096, LZ pieces of 3", Coding::lz, 4096, Coding::lz, 3},
        {"LZ blocks of 777, stored pieces of 1", Coding::lz, 777, Coding::stored, 1},
    };
    std::vector<Member> members = sample_members();
    for (const Layout& l : layouts) {
        SCOPED_TRACE(l.what);
        Options o;
        o.data = l.data;
        o.block_size = l.block_size;
        o.directory = l.directory;
        o.entries_per_piece = l.per_piece;
        o.prefix = testutil::random_bytes(1234, 9);  // a stub in front
        Archive a = testarchive::build(members, o);
        if (l.per_piece == 2) {
            ASSERT_EQ(a.piece_offsets.size(), 5u);
        }
        fs::remove_all(out);
        progress.clear();
        session.messages.clear();
        session.commands.clear();

        EXPECT_EQ(run(a, "setup.exe"), 0);
        expect_sample_extracted(out, members);
        EXPECT_TRUE(session.messages.empty()) << texts()[0];
        EXPECT_EQ(session.commands.size(), 1u);
        std::vector<std::string> expected = {"Extracting docs\\readme.txt", "Extracting empty.txt",
                                             "Extracting readonly.txt",    "Extracting x\\y\\z.bin",
                                             "Extracting timed.txt",       "Extracting last.txt"};
        EXPECT_EQ(progress, expected);
        EXPECT_EQ(std::string(session.x.dest_path), out_win()) << "the folder is left in dest_path";
        EXPECT_EQ(decoder->input.buffer, nullptr) << "the input buffer is released";
        EXPECT_EQ(decoder->stream.history, nullptr) << "the history buffer is released";
    }
}

TEST_F(DriverTest, EmptyMemberPassesOnlyWithCrcZero)
{
    Member bad = testarchive::file("bad-empty.txt", Bytes());
    bad.crc = 0x12345678;
    Archive a = testarchive::build({testarchive::file("good-empty.txt", Bytes()), bad});
    EXPECT_EQ(run(a), 0);
    EXPECT_TRUE(testutil::file_exists(out + "/good-empty.txt"));
    EXPECT_FALSE(testutil::file_exists(out + "/bad-empty.txt"));
    ASSERT_EQ(texts().size(), 1u);
    EXPECT_EQ(texts()[0], "File \"" + out_win() + "\\bad-empty.txt\" fails error check");
}

TEST_F(DriverTest, NameAsLongAsTheRoomIsExtractedOneMoreCannotBeCreated)
{
    int room = 259 - (int)(out_win().size() + 1);
    ASSERT_LT(room, 255) << "one host component must hold the name";
    std::string fits(room, 'f');
    std::string too_long(room + 1, 'g');
    Archive a = testarchive::build({testarchive::file(fits, "fits"), testarchive::file(too_long, "too long"),
                                    testarchive::folder(too_long + "\\sub"), testarchive::file("next.txt", "next")});
    EXPECT_EQ(run(a), 0);
    EXPECT_EQ(read_text(out + "/" + fits), "fits");
    EXPECT_EQ(read_text(out + "/next.txt"), "next");
    EXPECT_EQ(list_tree(out).size(), 2u);
    // A name that does not fit is a member that failed (shown cut to the
    // room there is), file or folder, with OK to go on.
    std::string shown = "Cannot create " + out_win() + "\\" + too_long.substr(0, room) + "\nPath too long";
    EXPECT_EQ(texts(), (std::vector<std::string>{shown, shown}));
    EXPECT_EQ(session.messages[0].style, 0x31u);
    EXPECT_EQ(progress.size(), 2u);
}

TEST_F(DriverTest, EmptyFolderExtractsIntoTheCurrentDirectoryWithRoom259)
{
    std::string fits = std::string(200, 'a') + "\\" + std::string(58, 'b');
    std::string too_long = std::string(200, 'c') + "\\" + std::string(59, 'd');
    ASSERT_EQ(fits.size(), 259u);
    Archive a = testarchive::build({testarchive::file(fits, "deep"), testarchive::file(too_long, "no"),
                                    testarchive::folder("f"), testarchive::file("f\\c.txt", "c")});
    EXPECT_EQ(run_in(a, "", "tool.exe --go"), 0);
    EXPECT_EQ(read_text(sandbox + "/" + host::path_to_host(fits.c_str())), "deep");
    EXPECT_FALSE(testutil::file_exists(sandbox + "/" + std::string(200, 'c')));
    EXPECT_EQ(read_text(sandbox + "/f/c.txt"), "c");
    ASSERT_EQ(session.commands.size(), 1u);
    EXPECT_EQ(session.commands[0], "\"tool.exe\" --go");
    EXPECT_EQ(progress.back(), "Extracting f\\c.txt");
}

TEST_F(DriverTest, DriveOnlyFolderTakesNamesWithoutSeparator)
{
    // "X:\" is used as "X:": no folder is made and no backslash added. On the
    // host that is a relative name beginning "X:".
    Archive a = testarchive::build({testarchive::file("f.txt", "f")});
    EXPECT_EQ(run_in(a, "X:\\", "go.exe"), 0);
    EXPECT_EQ(read_text(sandbox + "/X:f.txt"), "f");
    EXPECT_FALSE(is_dir(sandbox + "/X:"));
    ASSERT_EQ(session.commands.size(), 1u);
    EXPECT_EQ(session.commands[0], "\"X:go.exe\"");
}

TEST_F(DriverTest, TrailingBackslashOnTheFolderIsTheSameFolder)
{
    Archive a = testarchive::build({testarchive::file("sub\\f.txt", "f")});
    EXPECT_EQ(run_in(a, out_win() + "\\"), 0);
    EXPECT_EQ(read_text(out + "/sub/f.txt"), "f");
    EXPECT_EQ(progress, std::vector<std::string>{"Extracting sub\\f.txt"});
}

TEST_F(DriverTest, OverwriteNoLeavesTheFileAndGoesOn)
{
    fs::create_directories(out);
    testutil::write_text(out + "/keep.txt", "old");
    Archive a = testarchive::build({testarchive::file("keep.txt", "new"), testarchive::file("other.txt", "o")});
    EXPECT_EQ(run(a, "cmd.exe"), 0);
    EXPECT_EQ(read_text(out + "/keep.txt"), "old");
    EXPECT_EQ(read_text(out + "/other.txt"), "o");
    EXPECT_EQ(questions, std::vector<std::string>{out + "/keep.txt"}) << "the question names the full path";
    EXPECT_EQ(progress, std::vector<std::string>{"Extracting other.txt"});
    EXPECT_EQ(session.commands.size(), 1u);
}

TEST_F(DriverTest, OverwriteYesReplacesAndAsksEachTime)
{
    fs::create_directories(out);
    testutil::write_text(out + "/a.txt", "old a");
    testutil::write_text(out + "/b.txt", "old b");
    session.hooks.ask_overwrite = [this](const std::string& path) {
        questions.push_back(path);
        return (int)ANSWER_YES;
    };
    Archive a = testarchive::build({testarchive::file("a.txt", "A"), testarchive::file("b.txt", "B")});
    EXPECT_EQ(run(a), 0);
    EXPECT_EQ(read_text(out + "/a.txt"), "A");
    EXPECT_EQ(read_text(out + "/b.txt"), "B");
    EXPECT_EQ(questions.size(), 2u);
    EXPECT_EQ(session.flags.overwrite_all, 0);
}

TEST_F(DriverTest, OverwriteYesToAllAsksNoMore)
{
    fs::create_directories(out);
    testutil::write_text(out + "/a.txt", "old a");
    testutil::write_text(out + "/b.txt", "old b");
    session.hooks.ask_overwrite = [this](const std::string& path) {
        questions.push_back(path);
        return (int)ANSWER_YES_TO_ALL;
    };
    Archive a = testarchive::build({testarchive::file("a.txt", "A"), testarchive::file("b.txt", "B")});
    EXPECT_EQ(run(a), 0);
    EXPECT_EQ(read_text(out + "/a.txt"), "A");
    EXPECT_EQ(read_text(out + "/b.txt"), "B");
    EXPECT_EQ(questions.size(), 1u);
    EXPECT_EQ(session.flags.overwrite_all, 1);
}

// A file that appears after the existence check, while the member is
// written, is met by the rename: it meets the question, and is kept unless
// the answer is yes.
TEST_F(DriverTest, FileThatAppearsWhileTheMemberIsWrittenMeetsTheQuestion)
{
    for (int answer : {(int)ANSWER_NO, (int)ANSWER_YES}) {
        fs::remove_all(out);
        fs::create_directories(out);
        questions.clear();
        session.hooks.progress = [this](const char* name) {
            if (std::string(name) == "race.txt")
                testutil::write_text(out + "/race.txt", "mine");
        };
        session.hooks.ask_overwrite = [this, answer](const std::string& path) {
            questions.push_back(path);
            return answer;
        };
        Archive a = testarchive::build({testarchive::file("race.txt", "archive's"), testarchive::file("b.txt", "B")});
        EXPECT_EQ(run(a), 0);
        EXPECT_EQ(read_text(out + "/race.txt"), answer == ANSWER_NO ? "mine" : "archive's");
        EXPECT_EQ(questions, std::vector<std::string>{out + "/race.txt"});
        EXPECT_EQ(read_text(out + "/b.txt"), "B");
        EXPECT_EQ(everything(), (std::vector<std::string>{"out", "out/b.txt", "out/race.txt"})) << "no temporary file";
    }
}

TEST_F(DriverTest, OverwritePresetAsksNothing)
{
    fs::create_directories(out);
    testutil::write_text(out + "/a.txt", "old a");
    session.flags.overwrite_all = 1;
    Archive a = testarchive::build({testarchive::file("a.txt", "A")});
    EXPECT_EQ(run(a), 0);
    EXPECT_EQ(read_text(out + "/a.txt"), "A");
    EXPECT_TRUE(questions.empty());
}

TEST_F(DriverTest, ExistingFolderOfTheMembersNameCannotBeCreated)
{
    fs::create_directories(out + "/taken");
    Archive a = testarchive::build({testarchive::file("taken", "x"), testarchive::file("after.txt", "after")});
    EXPECT_EQ(run(a, "cmd.exe"), 0);
    EXPECT_TRUE(questions.empty()) << "a folder is not a file to overwrite";
    ASSERT_EQ(session.messages.size(), 1u);
    EXPECT_EQ(texts()[0], "Cannot create " + out_win() + "\\taken\nAccess denied");
    EXPECT_EQ(session.messages[0].style, 0x31u);
    EXPECT_EQ(read_text(out + "/after.txt"), "after") << "OK goes on";
    EXPECT_EQ(session.commands.size(), 1u);

    // Cancel ends the run without the command.
    reset_hooks();
    fs::remove(out + "/after.txt");
    session.hooks.message_box = [](ResultCode, const char*, unsigned) { return (int)BOX_ANSWER_CANCEL; };
    EXPECT_EQ(run(a, "cmd.exe"), 0);
    EXPECT_FALSE(testutil::file_exists(out + "/after.txt"));
    EXPECT_TRUE(session.commands.empty());
}

// Found before anything is written: the front end may offer the folder
// box again. A file in the folder's place is refused there too, rather than
// in every member.
TEST_F(DriverTest, DestinationFolderThatCannotBeMadeWritesNothing)
{
    testutil::write_text(temp.file("blocker"), "file");
    Archive a = testarchive::build({testarchive::file("a.txt", "a")});
    EXPECT_EQ(run_in(a, windows_form(temp.file("blocker/out")), "cmd.exe"), EXTRACT_NOTHING_WRITTEN);
    EXPECT_EQ(run_in(a, windows_form(temp.file("blocker")), "cmd.exe"), EXTRACT_NOTHING_WRITTEN);
    ASSERT_EQ(texts().size(), 2u);
    EXPECT_EQ(texts()[0], "Cannot create folder " + windows_form(temp.file("blocker/out")) + "\nPath not found");
    EXPECT_EQ(texts()[1], "Cannot create folder " + windows_form(temp.file("blocker")) + "\nFile exists");
    EXPECT_EQ(read_text(temp.file("blocker")), "file");
    EXPECT_TRUE(session.commands.empty());
}

TEST_F(DriverTest, FolderEntryThatCannotBeMadeEndsTheRun)
{
    Archive a = testarchive::build({testarchive::file("blocker", "file"), testarchive::folder("blocker\\sub"),
                                    testarchive::file("after.txt", "a")});
    EXPECT_EQ(run(a, "cmd.exe"), 0);
    ASSERT_EQ(texts().size(), 1u);
    EXPECT_EQ(texts()[0], "Cannot create folder " + out_win() + "\\blocker\\sub\nPath not found" + kStopped);
    EXPECT_EQ(session.messages[0].style, 0x30u);
    EXPECT_FALSE(testutil::file_exists(out + "/after.txt"));
    EXPECT_TRUE(session.commands.empty());
}

TEST_F(DriverTest, CrcMismatchDeletesTheMemberAndAsks)
{
    std::vector<Member> members = {testarchive::file("one.txt", "1111"), testarchive::file("two.txt", "2222"),
                                   testarchive::file("three.txt", "3333")};
    members[1].crc = 0xDEADBEEF;
    Archive a = testarchive::build(members);

    EXPECT_EQ(run(a, "cmd.exe"), 0);
    EXPECT_EQ(read_text(out + "/one.txt"), "1111");
    EXPECT_FALSE(testutil::file_exists(out + "/two.txt")) << "no damaged file stays behind";
    EXPECT_EQ(read_text(out + "/three.txt"), "3333");
    ASSERT_EQ(texts().size(), 1u);
    EXPECT_EQ(texts()[0], "File \"" + out_win() + "\\two.txt\" fails error check");
    EXPECT_EQ(session.messages[0].style, 0x31u);
    EXPECT_EQ(session.commands.size(), 1u);

    fs::remove_all(out);
    reset_hooks();
    session.hooks.message_box = [](ResultCode, const char*, unsigned) { return (int)BOX_ANSWER_CANCEL; };
    EXPECT_EQ(run(a, "cmd.exe"), 0);
    EXPECT_TRUE(testutil::file_exists(out + "/one.txt")) << "members finished earlier stay";
    EXPECT_FALSE(testutil::file_exists(out + "/two.txt"));
    EXPECT_FALSE(testutil::file_exists(out + "/three.txt"));
    EXPECT_TRUE(session.commands.empty());
}

TEST_F(DriverTest, DamagedDataEndsTheRunAndLeavesNoPartialFile)
{
    Options o;
    o.block_size = 100;
    std::vector<Member> members = {testarchive::file("first.txt", testutil::text_bytes(50, 1)),
                                   testarchive::file("second.txt", testutil::text_bytes(400, 2)),
                                   testarchive::file("third.txt", "3")};
    Archive a = testarchive::build(members, o);
    // The data stream's second block gets a method that does not exist.
    size_t second_block = a.archive_start + a.stream_offset + 6 + 6 + 100;
    patch_block_header(a.bytes, second_block, 9, -1);

    EXPECT_EQ(run(a, "cmd.exe"), 0);
    EXPECT_EQ(read_text(out + "/first.txt"), std::string(members[0].data.begin(), members[0].data.end()));
    EXPECT_FALSE(testutil::file_exists(out + "/second.txt"));
    EXPECT_FALSE(testutil::file_exists(out + "/third.txt"));
    ASSERT_EQ(texts().size(), 1u);
    EXPECT_EQ(texts()[0], DAMAGED_TEXT + kStopped);
    EXPECT_EQ(session.messages[0].style, 0x30u);
    EXPECT_TRUE(session.commands.empty());
    EXPECT_EQ(decoder->input.buffer, nullptr);
}

TEST_F(DriverTest, DamagedDirectoryIsReturnedAfterTheCommand)
{
    Options o;
    o.entries_per_piece = 2;
    std::vector<Member> members = {testarchive::file("p1a.txt", "a"), testarchive::file("p1b.txt", "b"),
                                   testarchive::file("p2a.txt", "c"), testarchive::file("p2b.txt", "d")};
    Archive good = testarchive::build(members, o);
    ASSERT_EQ(good.piece_offsets.size(), 2u);
    size_t second_piece = good.archive_start + good.piece_offsets[1];

    // The second piece is the last: where its bytes run out, so does the
    // file, and its entries present are used.
    struct Damage {
        const char* what;
        void (*apply)(Archive&, size_t);
        bool second_piece_used;
    } damages[] = {
        {"bad signature", [](Archive& a, size_t p) { a.bytes[p + 3] ^= 0x20; }, false},
        {"signature without its zero byte", [](Archive& a, size_t p) { a.bytes[p + 5] = 1; }, false},
        {"method 2", [](Archive& a, size_t p) { patch_block_header(a.bytes, p + 6, 2, -1); }, false},
        {"method 15", [](Archive& a, size_t p) { patch_block_header(a.bytes, p + 6, 15, -1); }, false},
        {"output beyond the directory buffer", [](Archive& a, size_t p) { patch_block_header(a.bytes, p + 6, -1, 8193); },
         false},
        {"output beyond the piece", [](Archive& a, size_t p) { patch_block_header(a.bytes, p + 6, -1, 120); }, true},
        {"truncated piece", [](Archive& a, size_t p) { a.bytes.resize(p + 30); }, false},
        {"piece cut inside its header", [](Archive& a, size_t p) { a.bytes.resize(p + 9); }, false},
        {"piece missing", [](Archive& a, size_t p) { a.bytes.resize(p); }, false},
        {"one entry more than the directory holds", [](Archive& a, size_t) { a.bytes[a.archive_start + 8] = 5; },
         true},
    };
    for (const Damage& d : damages) {
        SCOPED_TRACE(d.what);
        Archive a = good;
        d.apply(a, second_piece);
        fs::remove_all(out);
        reset_hooks();
        EXPECT_EQ(run(a, "cmd.exe"), ERR_DAMAGED);
        EXPECT_TRUE(testutil::file_exists(out + "/p1a.txt"));
        EXPECT_TRUE(testutil::file_exists(out + "/p1b.txt"));
        EXPECT_EQ(testutil::file_exists(out + "/p2b.txt"), d.second_piece_used);
        EXPECT_TRUE(session.messages.empty()) << "the caller reports it";
        EXPECT_EQ(session.commands.size(), 1u) << "a directory failure still runs the command";
        EXPECT_EQ(decoder->input.buffer, nullptr);
    }
}

TEST_F(DriverTest, LzDirectoryPieceCutShortIsDamage)
{
    Options o;
    o.directory = Coding::lz;
    o.entries_per_piece = 1;
    Archive a = testarchive::build(numbered_files("name number ", 3), o);
    ASSERT_EQ(a.piece_offsets.size(), 3u);
    size_t second = a.archive_start + a.piece_offsets[1];
    size_t third = a.archive_start + a.piece_offsets[2];
    // Keep the second piece's header but only part of its codes, and glue
    // the third piece behind it: the decoder must not take those bytes as
    // part of the second piece and go on as if nothing happened.
    Bytes tail(a.bytes.begin() + third, a.bytes.end());
    a.bytes.resize(second + 6 + 8);
    a.bytes.insert(a.bytes.end(), tail.begin(), tail.end());
    EXPECT_EQ(run(a, "cmd.exe"), ERR_DAMAGED);
    EXPECT_TRUE(testutil::file_exists(out + "/name number 0.txt"));
    EXPECT_FALSE(testutil::file_exists(out + "/name number 2.txt"));
}

TEST_F(DriverTest, PieceCutByTheFilesEndGivesOnlyItsEntriesDecodedFromBytesPresent)
{
    // The file ends inside the last piece, at every byte. The entries decoded
    // wholly from the bytes present extract, in order, and the walk ends with
    // damage; whatever the decoder makes of the missing bits never becomes an
    // entry, so the last entry, whose codes end the piece, never extracts.
    for (Coding coding : {Coding::stored, Coding::lz}) {
        Options o;
        o.directory = coding;
        o.entries_per_piece = 3;
        Archive good = testarchive::build(numbered_files("entry", 5), o);
        ASSERT_EQ(good.piece_offsets.size(), 2u);
        size_t last_piece = good.archive_start + good.piece_offsets[1];
        const std::vector<std::string> first_piece = {"entry0.txt", "entry1.txt", "entry2.txt"};
        std::vector<std::string> with_entry3 = first_piece;
        with_entry3.push_back("entry3.txt");
        size_t entry3_from = 0;
        for (size_t keep = 6 + 6; keep < good.bytes.size() - last_piece; keep++) {
            SCOPED_TRACE(testing::Message() << (coding == Coding::lz ? "lz" : "stored") << " piece cut to " << keep);
            Archive a = good;
            a.bytes.resize(last_piece + keep);
            fs::remove_all(out);
            reset_hooks();
            EXPECT_EQ(run(a), ERR_DAMAGED);
            EXPECT_TRUE(session.messages.empty());
            std::vector<std::string> got = list_tree(out);
            if (got == with_entry3) {
                if (entry3_from == 0)
                    entry3_from = keep;
            } else {
                EXPECT_EQ(got, first_piece);
                EXPECT_EQ(entry3_from, 0u) << "an entry that came out with fewer bytes is lost with more";
            }
        }
        // A stored piece holds its entries as they are: 6 + 6 bytes of
        // signature and header, then 38 + 10 bytes for the first entry.
        if (coding == Coding::stored)
            EXPECT_EQ(entry3_from, 12u + 48u);
        else
            EXPECT_NE(entry3_from, 0u) << "the first entry of a cut LZ piece never came out";
    }
}

TEST_F(DriverTest, EntryRunningPastItsPieceIsDamage)
{
    Archive base = testarchive::build({testarchive::file("ok.txt", "ok"), testarchive::file("b.txt", "b")});
    DirectoryEntry first = base.entries[0];
    DirectoryEntry second = base.entries[1];

    struct Case {
        const char* what;
        Bytes piece2;
    };
    Bytes name_short = testarchive::directory_record(second, "b.txt", {}, {});
    store_le16(name_short.data() + 26, 40);  // name said to be 40 bytes
    Bytes extra_short = testarchive::directory_record(second, "b.txt", {}, {1, 2, 3});
    store_le16(extra_short.data() + 24, 300);  // second extra field said to be 300 bytes
    Bytes extra1_short = testarchive::directory_record(second, "b.txt", {}, {});
    extra1_short[10] = 200;  // first extra field said to be 200 bytes
    Bytes cut_record(name_short.begin(), name_short.begin() + 30);
    Case cases[] = {
        {"name past the piece", name_short},
        {"extra field past the piece", extra_short},
        {"first extra field past the piece", extra1_short},
        {"record cut short", cut_record},
    };
    for (Case& c : cases) {
        SCOPED_TRACE(c.what);
        Archive a = base;
        replace_directory(a, {testarchive::directory_piece(testarchive::directory_record(first, "ok.txt", {}, {}),
                                                           Coding::stored),
                              testarchive::directory_piece(c.piece2, Coding::stored)});
        fs::remove_all(out);
        reset_hooks();
        EXPECT_EQ(run(a), ERR_DAMAGED);
        EXPECT_EQ(read_text(out + "/ok.txt"), "ok");
        EXPECT_FALSE(testutil::file_exists(out + "/b.txt"));
    }
}

TEST_F(DriverTest, ExtraFieldsArePassedOver)
{
    Member m = testarchive::file("with-extras.txt", "x");
    m.extra1 = Bytes(17, 0xAA);
    m.extra2 = Bytes(300, 0xBB);
    Options o;
    o.entries_per_piece = 2;
    Archive a = testarchive::build({m, testarchive::file("next.txt", "n"), m, testarchive::file("last.txt", "l")}, o);
    EXPECT_EQ(run(a), 0);
    EXPECT_EQ(read_text(out + "/with-extras.txt"), "x");
    EXPECT_EQ(read_text(out + "/next.txt"), "n");
    EXPECT_EQ(read_text(out + "/last.txt"), "l");
}

TEST_F(DriverTest, ArchiveShorterThanItsHeaderRunsNothing)
{
    Archive a = testarchive::build({testarchive::file("a.txt", "a")});
    a.bytes.resize(a.archive_start + 41);
    EXPECT_EQ(run(a, "cmd.exe"), ERR_DAMAGED);
    EXPECT_TRUE(session.commands.empty());
    EXPECT_FALSE(testutil::file_exists(out)) << "checked before the folder is made";
}

TEST_F(DriverTest, CancelAfterAnEntryEndsTheLoopAndRunsTheCommand)
{
    Archive a = testarchive::build({testarchive::file("a.txt", "a"), testarchive::file("b.txt", "b"),
                                    testarchive::file("c.txt", "c")});
    int pumps = 0;
    session.hooks.pump = [&pumps, this]() {
        // 1: before a's data, 2: after a.
        if (++pumps == 2)
            session.flags.cancel_flag = 1;
    };
    EXPECT_EQ(run(a, "cmd.exe"), 0);
    EXPECT_TRUE(testutil::file_exists(out + "/a.txt"));
    EXPECT_FALSE(testutil::file_exists(out + "/b.txt"));
    EXPECT_EQ(session.commands.size(), 1u);
    EXPECT_TRUE(session.messages.empty());
}

TEST_F(DriverTest, CancelBeforeAMembersDataLeavesNoFileAndRunsNoCommand)
{
    Options o;
    o.block_size = 64;
    Archive a = testarchive::build({testarchive::file("a.txt", testutil::text_bytes(20, 1)),
                                    testarchive::file("b.txt", testutil::text_bytes(500, 2)),
                                    testarchive::file("c.txt", "c")},
                                   o);
    int pumps = 0;
    session.hooks.pump = [&pumps, this]() {
        // 3: before b's data; b needs blocks after the one holding its start.
        if (++pumps == 3)
            session.flags.cancel_flag = 1;
    };
    EXPECT_EQ(run(a, "cmd.exe"), 0);
    EXPECT_TRUE(testutil::file_exists(out + "/a.txt"));
    EXPECT_FALSE(testutil::file_exists(out + "/b.txt"));
    EXPECT_FALSE(testutil::file_exists(out + "/c.txt"));
    EXPECT_TRUE(session.commands.empty());
    EXPECT_TRUE(session.messages.empty()) << "a cancel is never shown";
}

// The file the user agreed to replace is still the old one when a Cancel
// (here one that came while the question was up) is seen before the
// member's data, also when the member lies in the block decoded already and
// would be completed without a check of the flag: nothing of it is written.
TEST_F(DriverTest, CancelBeforeAMembersDataKeepsTheFileItWouldReplace)
{
    Archive a = testarchive::build(
        {testarchive::file("a.txt", "a"), testarchive::file("b.txt", "b"), testarchive::file("c.txt", "c")});
    fs::create_directories(out);
    testutil::write_text(out + "/b.txt", "old b");
    session.hooks.ask_overwrite = [this](const std::string&) {
        session.flags.cancel_flag = 1;
        return (int)ANSWER_YES;
    };
    EXPECT_EQ(run(a, "cmd.exe"), 0);
    EXPECT_TRUE(testutil::file_exists(out + "/a.txt"));
    EXPECT_EQ(read_text(out + "/b.txt"), "old b");
    EXPECT_FALSE(testutil::file_exists(out + "/c.txt"));
    EXPECT_TRUE(session.commands.empty());
    EXPECT_TRUE(session.messages.empty());
}

// The totals for the progress display come from a first pass over the
// directory: every file is one unit and one more per whole KB, folders
// count nothing; the walk proper counts the files it reaches and the units
// done. A damaged directory ends both passes at the same entry, so the
// totals are what the walk can reach.
TEST_F(DriverTest, ProgressTotalsCountFilesAndTheirSize)
{
    Options o;
    o.entries_per_piece = 2;
    Archive good = testarchive::build({testarchive::folder("sub"), testarchive::file("sub/empty.txt", ""),
                                       testarchive::file("sub/k.txt", std::string(1023, 'k')),
                                       testarchive::file("sub/two.txt", std::string(2048, 't')),
                                       testarchive::file("last.txt", "l")},
                                      o);
    Archive damaged = good;
    damaged.bytes[damaged.archive_start + good.piece_offsets[2] + 3] ^= 0x20;
    struct Case {
        const Archive* archive;
        u32 files, units;
        std::vector<u32> reached;
    } cases[] = {{&good, 4, 1 + 1 + 3 + 1, {1, 2, 3, 4}}, {&damaged, 3, 1 + 1 + 3, {1, 2, 3}}};
    for (const Case& c : cases) {
        fs::remove_all(out);
        std::vector<u32> reached;
        session.hooks.progress = [&](const char*) {
            EXPECT_EQ(session.x.files_total, c.files);
            EXPECT_EQ(session.x.units_total, c.units);
            reached.push_back(session.x.files_reached);
        };
        run(*c.archive);
        EXPECT_EQ(reached, c.reached);
        EXPECT_EQ(session.x.units_done, c.units) << "the bar ends full";
    }
}

TEST_F(DriverTest, SecondExtractWhileRunningIsRefused)
{
    Archive a = testarchive::build({testarchive::file("a.txt", "a"), testarchive::file("b.txt", "b")});
    std::vector<ResultCode> nested;
    std::vector<std::string> folders;
    session.hooks.pump = [&]() {
        nested.push_back(extract_all(&session.x, decoder));
        folders.push_back(session.x.dest_path);
    };
    EXPECT_EQ(run(a, "cmd.exe"), 0);
    EXPECT_EQ(nested, std::vector<ResultCode>(4, 0));
    EXPECT_EQ(progress.size(), 2u) << "the nested calls extracted nothing";
    EXPECT_EQ(folders[1], out_win() + "\\a.txt") << "and left the running call's path alone";
    EXPECT_EQ(session.commands.size(), 1u);
    // Once the run is over, extraction can start again.
    EXPECT_EQ(run(a), 0);
}

TEST(BuildCommandLine, QuotesFolderAndProgramTogether)
{
    char out[COMMAND_LINE_SIZE];
    struct Case {
        const char* folder;
        const char* command;
        const char* expected;
    } cases[] = {
        {"C:\\Program Files\\App\\", "setup.exe", "\"C:\\Program Files\\App\\setup.exe\""},
        {"C:\\Program Files\\App\\", "setup.exe /S /D=x", "\"C:\\Program Files\\App\\setup.exe\" /S /D=x"},
        {"C:\\Program Files\\App\\", "\"my setup.exe\" -q", "\"C:\\Program Files\\App\\my setup.exe\" -q"},
        {"C:\\Program Files\\App\\", "\"my setup.exe\"", "\"C:\\Program Files\\App\\my setup.exe\""},
        {"C:\\Program Files\\App\\", "\"unclosed quote", "\"C:\\Program Files\\App\\unclosed quote\""},
        {"C:\\App\\", "bin\\tool.exe\targ", "\"C:\\App\\bin\\tool.exe\"\targ"},
        {"C:", "go.exe", "\"C:go.exe\""},
        {"", "go.exe x", "\"go.exe\" x"},
    };
    for (const Case& c : cases) {
        u32 n = build_command_line(out, sizeof out, c.folder, c.command);
        EXPECT_EQ(std::string(out), c.expected);
        EXPECT_EQ(n, strlen(c.expected));
    }
}

TEST(BuildCommandLine, NothingToRunGivesNothing)
{
    char out[64];
    EXPECT_EQ(build_command_line(out, sizeof out, "C:\\x\\", ""), 0u);
    EXPECT_EQ(build_command_line(out, sizeof out, "C:\\x\\", " /S"), 0u);
    EXPECT_EQ(build_command_line(out, sizeof out, "C:\\x\\", "\"\" /S"), 0u);
    EXPECT_EQ(build_command_line(out, sizeof out, "C:\\x\\", "set\"up.exe"), 0u);
    EXPECT_EQ(build_command_line(out, 0, "C:\\x\\", "a.exe"), 0u);
}

TEST(BuildCommandLine, ALineThatDoesNotFitIsNotBuiltNorCut)
{
    const std::string expected = "\"C:\\dir\\prog.exe\" --flag";
    for (size_t size = 1; size <= expected.size() + 1; size++) {
        std::vector<char> out(size + 8, '#');
        u32 n = build_command_line(out.data(), (u32)size, "C:\\dir\\", "prog.exe --flag");
        if (size == expected.size() + 1) {
            EXPECT_EQ(n, expected.size());
            EXPECT_EQ(std::string(out.data()), expected);
        } else {
            EXPECT_EQ(n, 0u) << size;
        }
        for (size_t i = size; i < out.size(); i++)
            ASSERT_EQ(out[i], '#') << "written past the end at size " << size;
    }
    // The largest folder and command the buffers hold still fit.
    std::string folder = "C:\\" + std::string(255, 'f') + "\\";
    std::string command = "\"" + std::string(200, 'p') + "\" " + std::string(56, 'a');
    ASSERT_EQ(folder.size(), 259u);
    ASSERT_EQ(command.size(), 259u);
    char out[COMMAND_LINE_SIZE];
    EXPECT_GT(build_command_line(out, sizeof out, folder.c_str(), command.c_str()), 0u);
}

TEST_F(DriverTest, CommandRunsQuotedInsideTheFolderOnlyWhenThereIsOne)
{
    std::string spaced = temp.file("Program Files/App");
    Archive a = testarchive::build({testarchive::file("setup.exe", "MZ")});
    EXPECT_EQ(run_in(a, windows_form(spaced), "setup.exe /S"), 0);
    ASSERT_EQ(session.commands.size(), 1u);
    EXPECT_EQ(session.commands[0], "\"" + windows_form(spaced) + "\\setup.exe\" /S");

    session.commands.clear();
    EXPECT_EQ(run_in(a, windows_form(spaced), "\"my setup.exe\" -q"), 0);
    EXPECT_EQ(session.commands, std::vector<std::string>{"\"" + windows_form(spaced) + "\\my setup.exe\" -q"});

    session.commands.clear();
    EXPECT_EQ(run_in(a, windows_form(spaced), ""), 0);
    EXPECT_TRUE(session.commands.empty());
}

// Every refused form, with both separators, nested or not, as a file and as
// a folder entry; the safe entries between them are still extracted.
std::vector<std::string> hostile_names(const std::string& unique)
{
    std::vector<std::string> base = {
        "\\" + unique + "-abs.txt", "\\\\" + unique + "-server\\share\\x", "C:" + unique + "-drive.txt",
        "C:\\" + unique + "-drive-root.txt", "a:" + unique, "..\\" + unique + "-up.txt",
        "sub\\..\\..\\" + unique + "-up2.txt", "..", "sub\\..", "...\\" + unique, ".. \\" + unique,
        "bad\x01name", "tab\tname", "CON", "con.txt", "sub\\NUL\\x.txt", "Aux .log", "COM1", "lpt9.txt",
        "sub\\prn", "COM\xB9", "",
    };
    std::vector<std::string> all;
    for (const std::string& name : base) {
        all.push_back(name);
        std::string slashed = name;
        std::replace(slashed.begin(), slashed.end(), '\\', '/');
        if (slashed != name)
            all.push_back(slashed);
        if (!name.empty() && name[0] != '\\' && name.find(':') == std::string::npos) {
            all.push_back("nest\\" + name);
            all.push_back("nest/deeper/" + slashed);
        }
    }
    return all;
}

TEST_F(DriverTest, HostileNamesAreNeverCreated)
{
    std::string unique = "dravex-" + std::to_string(getpid());
    std::vector<std::string> names = hostile_names(unique);
    for (bool empty_folder : {false, true}) {
        SCOPED_TRACE(empty_folder ? "empty folder" : "folder");
        std::string target = empty_folder ? sandbox : out;
        std::vector<Member> members;
        std::vector<std::string> expected_messages;
        int n = 0;
        for (const std::string& name : names) {
            for (bool as_folder : {false, true}) {
                members.push_back(as_folder ? testarchive::folder(name) : testarchive::file(name, "evil"));
                std::string shown = host::cp1252_to_utf8(name);
                std::replace(shown.begin(), shown.end(), '/', '\\');
                expected_messages.push_back("Cannot create " + (empty_folder ? "" : out_win() + "\\") + shown +
                                            "\nInvalid path");
                members.push_back(testarchive::file("ok" + std::to_string(n++) + ".txt", "fine"));
            }
        }
        Archive a = testarchive::build(members);
        reset_hooks();
        EXPECT_EQ(run_in(a, empty_folder ? "" : out_win(), "cmd.exe"), 0);
        EXPECT_EQ(texts(), expected_messages);
        for (const host::MessageRecord& m : session.messages)
            EXPECT_EQ(m.style, 0x31u);
        std::vector<std::string> expected_tree;
        for (int i = 0; i < n; i++)
            expected_tree.push_back("ok" + std::to_string(i) + ".txt");
        std::sort(expected_tree.begin(), expected_tree.end());
        EXPECT_EQ(list_tree(target), expected_tree);
        EXPECT_EQ(session.commands.size(), 1u);
        // Nothing beside the destination, nor at the root of the file system.
        std::vector<std::string> around = everything();
        for (const std::string& p : around)
            EXPECT_TRUE(p.rfind("out", 0) == 0 || p.rfind("cwd", 0) == 0) << p;
        for (const char* suffix : {"-abs.txt", "-up.txt", "-up2.txt", "-server", "-drive.txt"})
            EXPECT_FALSE(testutil::file_exists("/" + unique + suffix)) << suffix;
        EXPECT_FALSE(testutil::file_exists(temp.path() + "/" + unique + "-up.txt"));
        fs::remove_all(out);
        for (auto& entry : fs::directory_iterator(sandbox))
            fs::remove_all(entry.path());
    }
}

TEST_F(DriverTest, CancelAtAHostileNameEndsTheRunWithoutTheCommand)
{
    session.hooks.message_box = [](ResultCode, const char*, unsigned) { return (int)BOX_ANSWER_CANCEL; };
    Archive a = testarchive::build({testarchive::file("first.txt", "1"), testarchive::file("..\\up.txt", "x"),
                                    testarchive::file("after.txt", "2")});
    EXPECT_EQ(run(a, "cmd.exe"), 0);
    EXPECT_TRUE(testutil::file_exists(out + "/first.txt"));
    EXPECT_FALSE(testutil::file_exists(out + "/after.txt"));
    EXPECT_FALSE(testutil::file_exists(temp.file("up.txt")));
    EXPECT_TRUE(session.commands.empty());
}

// A tagged record of the second extra field: two bytes, a u16 length (the
// bytes' own unless given), the bytes.
Bytes name_record(const char* tag, const std::string& bytes, int length = -1)
{
    Bytes r = {(uint8_t)tag[0], (uint8_t)tag[1], 0, 0};
    store_le16(&r[2], (uint16_t)(length >= 0 ? length : (int)bytes.size()));
    r.insert(r.end(), bytes.begin(), bytes.end());
    return r;
}

Bytes operator+(Bytes a, const Bytes& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// The exact name of a "U8" record is used only when it is UTF-8, safe and
// stands for the stored name (its code page 1252 form, with '_' for what that
// cannot hold, is the stored name); otherwise the stored name is used, taken
// in the system's code page (1252 on the host).
TEST_F(DriverTest, ExactNamesOnlyWhenTheyStandForTheStoredName)
{
    const struct {
        const char* what;
        std::string stored;
        Bytes extra2;
        std::string extracted;  // UTF-8, with '/'
    } cases[] = {
        {"exact", "___-__1.txt", name_record("U8", "日本語-Да1.txt"), "日本語-Да1.txt"},
        {"beyond U+FFFF: one '_'", "_2.txt", name_record("U8", "🙂2.txt"), "🙂2.txt"},
        {"after a record of another kind", "__3.txt", name_record("XY", "abc") + name_record("U8", "Да3.txt"),
         "Да3.txt"},
        {"in a folder made for it", "___\\_4.txt", name_record("U8", "Дом\\Я4.txt"), "Дом/Я4.txt"},
        {"code page 1252, no record", "caf\xe9" "5.txt", {}, "café5.txt"},
        {"not UTF-8", "_6.txt", name_record("U8", "\xff" "6.txt"), "_6.txt"},
        {"an overlong form", "_7.txt", name_record("U8", "\xc1\xbf" "7.txt"), "_7.txt"},
        {"a surrogate", "_8.txt", name_record("U8", "\xed\xa0\x80" "8.txt"), "_8.txt"},
        {"another name", "a9.txt", name_record("U8", "b9.txt"), "a9.txt"},
        {"a letter the code page holds", "_10.txt", name_record("U8", "é10.txt"), "_10.txt"},
        {"one '_' per UTF-16 unit", "__11.txt", name_record("U8", "🙂11.txt"), "__11.txt"},
        {"a record past its field", "_12.txt", name_record("U8", "Я12.txt", 9), "_12.txt"},
        {"only a record of another kind", "_13.txt", name_record("XY", "Я13.txt"), "_13.txt"},
        {"a form that is only a prefix of the stored name", "_14.txt", name_record("U8", "Я14"), "_14.txt"},
        {"a stored name that is only a prefix of the form", "_15", name_record("U8", "Я15.txt"), "_15"},
    };
    std::vector<Member> members;
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; i++) {
        members.push_back(testarchive::file(cases[i].stored, "case " + std::to_string(i)));
        members.back().extra2 = cases[i].extra2;
    }
    EXPECT_EQ(run(testarchive::build(members)), 0);
    EXPECT_TRUE(session.messages.empty()) << texts()[0];
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; i++) {
        SCOPED_TRACE(cases[i].what);
        EXPECT_EQ(read_text(out + "/" + cases[i].extracted), "case " + std::to_string(i));
        EXPECT_EQ(progress[i], "Extracting " + windows_form(cases[i].extracted));
    }
    EXPECT_EQ(list_tree(out).size(), sizeof cases / sizeof cases[0] + 1) << "and the folder Дом";
}

// The 259-character limit of a path counts UTF-16 units, not bytes.
TEST_F(DriverTest, NamesAreMeasuredInUtf16Units)
{
    int room = 259 - (int)(out_win().size() + 1);
    const std::string de = "Д";  // one unit, two bytes
    // Components of at most 100 letters: the host file system takes 255 bytes.
    std::string fits = std::string();
    for (int i = 0; i < room; i++)
        fits += (i == 100 || i == 200) ? "\\" : de;
    std::string too_long = fits.substr(0, fits.size() - de.size()) + "🙂";
    std::string stored_fits(room, '_'), stored_too_long(room, '_');
    stored_fits[100] = stored_fits[200] = stored_too_long[100] = stored_too_long[200] = '\\';
    Member a = testarchive::file(stored_fits, "fits");
    a.extra2 = name_record("U8", fits);
    Member b = testarchive::file(stored_too_long, "too long");
    b.extra2 = name_record("U8", too_long);
    EXPECT_EQ(run(testarchive::build({a, b})), 0);
    EXPECT_EQ(read_text(out + "/" + host::path_to_host(fits.c_str())), "fits");
    EXPECT_EQ(progress.size(), 1u);
    // One unit past the room cannot be created; it is shown cut to the room,
    // never inside a character (here: before the emoji's pair).
    std::string shown = fits.substr(0, fits.size() - de.size());
    EXPECT_EQ(texts(), std::vector<std::string>{"Cannot create " + out_win() + "\\" + shown + "\nPath too long"});
}

TEST_F(DriverTest, ForwardSlashesAreFolderSeparators)
{
    Archive a = testarchive::build({testarchive::file("a/b/c.txt", "abc")});
    EXPECT_EQ(run(a), 0);
    EXPECT_EQ(read_text(out + "/a/b/c.txt"), "abc");
    EXPECT_EQ(progress, std::vector<std::string>{"Extracting a\\b\\c.txt"});
}

TEST_F(DriverTest, ShortNamesConvertFolderAndNamesAlike)
{
    session.hooks.short_names = 1;
    Archive a = testarchive::build({testarchive::file("read me.html", "r"),
                                    testarchive::file("Sub Folder\\another file.text", "s"),
                                    testarchive::file("C O N.txt", "device after conversion"),
                                    testarchive::file("z.tar.gz", "z")});
    EXPECT_EQ(run_in(a, "Long Folder Name", "setup.exe /x"), 0);
    EXPECT_EQ(session.flags.short_names, 1);
    EXPECT_EQ(read_text(sandbox + "/LongFold/readme.htm"), "r");
    EXPECT_EQ(read_text(sandbox + "/LongFold/SubFolde/anotherf.tex"), "s");
    EXPECT_EQ(read_text(sandbox + "/LongFold/ztar.gz"), "z");
    std::vector<std::string> expected = {"Extracting readme.htm", "Extracting SubFolde\\anotherf.tex",
                                         "Extracting ztar.gz"};
    EXPECT_EQ(progress, expected);
    EXPECT_EQ(texts(), std::vector<std::string>{"Cannot create LongFold\\CON.txt\nInvalid path"});
    EXPECT_EQ(session.commands, std::vector<std::string>{"\"LongFold\\setup.exe\" /x"});

    // Without short names nothing is converted.
    reset_hooks();
    progress.clear();
    session.hooks.progress = [this](const char* name) { progress.push_back(std::string("Extracting ") + name); };
    EXPECT_EQ(run_in(a, "Long Folder Name"), 0);
    EXPECT_EQ(session.flags.short_names, 0);
    EXPECT_EQ(read_text(sandbox + "/Long Folder Name/read me.html"), "r");
    EXPECT_EQ(progress.front(), "Extracting read me.html");
}

}  // namespace
