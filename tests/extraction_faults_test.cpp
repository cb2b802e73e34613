// Faults while the host extraction writes a member: whatever ends it (its
// CRC-32, damaged data, a cancel, a signal that ends qvx x, a full disk), a
// file that was there before stays exactly as it was, no temporary or partial
// file is left, the members before it stay extracted, and the user is told
// what was not extracted.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "archive/driver.h"
#include "codec/decoder.h"
#include "host/extract.h"
#include "host/run.h"
#include "archive/stub_info.h"
#include "platform/host.h"
#include "platform/text.h"
#include "tests/archive_builder.h"
#include "tests/test_util.h"

namespace fs = std::filesystem;
using testarchive::Archive;
using testarchive::Bytes;
using testarchive::Member;

namespace {

using testutil::list_tree;

const Bytes kOld = {'o', 'l', 'd', ' ', 'b', 'y', 't', 'e', 's'};

bool holds_temporary(const std::string& folder)
{
    for (const std::string& name : list_tree(folder))
        if (fs::path(name).filename().string().rfind("~dx", 0) == 0)
            return true;
    return false;
}

// One extraction of first.txt, m/big.txt (over an existing m/big.txt) and
// last.txt into out/, with every existing file overwritten without a
// question. at_big_data runs where the driver pumps messages just before
// big.txt's data, when its temporary file exists.
struct FaultRun {
    testutil::TempDir temp;
    host::Run run;
    std::string out = temp.file("out");
    std::vector<Member> members;
    testarchive::Options options;
    std::function<void(Archive&)> damage;
    std::function<void(host::Run&)> at_big_data;
    bool temporary_seen = false;

    FaultRun()
    {
        members = {testarchive::file("first.txt", testutil::text_bytes(3000, 1)),
                   testarchive::file("m\\big.txt", testutil::text_bytes(200000, 2)),
                   testarchive::file("last.txt", "last")};
        options.block_size = 4096;  // big.txt spans many blocks
        fs::create_directories(out + "/m");
        testutil::write_file(out + "/m/big.txt", kOld);
    }

    ResultCode extract()
    {
        Archive a = testarchive::build(members, options);
        if (damage)
            damage(a);
        EXPECT_TRUE(testarchive::install(a, temp.file("archive.qvx"), &run.x));
        std::string folder = out;
        std::replace(folder.begin(), folder.end(), '/', '\\');
        text_copy(run.x.dest_path, sizeof run.x.dest_path, folder.c_str());
        run.flags.overwrite_all = 1;
        std::string current;
        run.hooks.progress = [&current](const char* name) { current = name; };
        run.hooks.pump = [this, &current]() {
            if (current != "m\\big.txt" || temporary_seen)
                return;
            temporary_seen = holds_temporary(out);
            if (at_big_data)
                at_big_data(run);
        };
        Decoder* d = decoder_create(&run.flags.cancel_flag);
        ResultCode r = extract_all(&run.x, d);
        decoder_destroy(d);
        testutil::close_own_file(&run.x);
        return r;
    }

    void expect_old_file_kept_and_no_temporary()
    {
        EXPECT_TRUE(temporary_seen) << "the member was being written under a temporary name";
        EXPECT_EQ(testutil::read_file(out + "/m/big.txt"), kOld) << "the file it was to replace is as it was";
        EXPECT_FALSE(holds_temporary(out)) << "no temporary file is left";
        EXPECT_EQ(testutil::read_file(out + "/first.txt"), members[0].data) << "earlier members stay";
    }
};

TEST(ExtractionFaults, AFailedMemberKeepsTheFileItWasToReplace)
{
    struct Case {
        const char* what;
        std::function<void(FaultRun&)> fault;
        const char* message;  // the one message shown, or "" for none
        bool goes_on;         // last.txt is extracted after the failure
    } cases[] = {
        {"CRC-32 mismatch", [](FaultRun& f) { f.members[1].crc = 0xDEADBEEF; },
         "fails error check", true},
        {"damaged data",
         [](FaultRun& f) {
             f.damage = [](Archive& a) {
                 // The tenth block of the data stream, inside big.txt, gets
                 // a method that does not exist.
                 size_t block = a.archive_start + a.stream_offset + 6 + 10 * (6 + 4096);
                 a.bytes[block] = (uint8_t)((a.bytes[block] & 0xF0) | 9);
             };
         },
         "Archive data is damaged", false},
        {"cancelled", [](FaultRun& f) { f.at_big_data = [](host::Run& run) { run.flags.cancel_flag = 1; }; },
         "", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        FaultRun f;
        c.fault(f);
        EXPECT_EQ(f.extract(), 0);
        f.expect_old_file_kept_and_no_temporary();
        if (c.message[0] == 0) {
            EXPECT_TRUE(f.run.messages.empty());
        } else {
            ASSERT_EQ(f.run.messages.size(), 1u);
            EXPECT_NE(f.run.messages[0].text.find(c.message), std::string::npos) << f.run.messages[0].text;
        }
        EXPECT_EQ(testutil::file_exists(f.out + "/last.txt"), c.goes_on);
    }
}

// The temporary name never takes an existing file's place, and is cut
// short where the folder leaves less room than it needs.
TEST(ExtractionFaults, TemporaryNamesPassOverFilesAndFitTheRoom)
{
    FaultRun f;
    testutil::write_text(f.out + "/m/~dx00000.tmp", "mine");
    testutil::write_text(f.out + "/m/~dx00001.tmp", "mine too");
    // A folder whose path leaves 5 characters for the names in it.
    size_t used = f.out.size() + 1;  // the folder and its separator
    std::string deep(PATH_SIZE - 1 - used - 1 - 5, 'd');
    f.members.push_back(testarchive::file(deep + "\\ab", "deep"));
    EXPECT_EQ(f.extract(), 0);
    for (const host::MessageRecord& m : f.run.messages)
        ADD_FAILURE() << m.text;
    EXPECT_EQ(testutil::read_file(f.out + "/m/big.txt"), f.members[1].data);
    EXPECT_EQ(testutil::read_file(f.out + "/" + deep + "/ab"), Bytes({'d', 'e', 'e', 'p'}));
    EXPECT_EQ(testutil::read_file(f.out + "/m/~dx00000.tmp"), Bytes({'m', 'i', 'n', 'e'}));
    EXPECT_EQ(fs::file_size(f.out + "/m/~dx00001.tmp"), 8u);
    EXPECT_EQ(list_tree(f.out + "/m"), (std::vector<std::string>{"big.txt", "~dx00000.tmp", "~dx00001.tmp"}));
    EXPECT_EQ(list_tree(f.out + "/" + deep), std::vector<std::string>{"ab"});
    std::string last_temporary = f.run.x.temp_path;
    EXPECT_EQ(last_temporary.size(), (size_t)PATH_SIZE - 1);
    EXPECT_EQ(last_temporary.substr(last_temporary.size() - 6), "\\~dx00");
}

// qvx x ended by a signal while it writes a member (in a child process, as
// the tool runs): the handler removes the temporary file, then the signal
// ends the process as it would have.
TEST(ExtractionFaults, ASignalDuringAMemberLeavesTheOldFileAndNoTemporary)
{
    for (int signal_number : {SIGINT, SIGTERM, SIGHUP}) {
        SCOPED_TRACE(strsignal(signal_number));
        FaultRun f;
        pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            host::remove_temporary_file_on_signals();
            f.at_big_data = [&f, signal_number](host::Run&) {
                if (!f.temporary_seen)
                    _exit(3);  // nothing to remove: the test would prove nothing
                raise(signal_number);
            };
            f.extract();
            _exit(0);  // not reached: the signal ends the child
        }
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFSIGNALED(status)) << "the child ended with status " << status;
        EXPECT_EQ(WTERMSIG(status), signal_number);
        f.temporary_seen = true;  // the child saw it, or it would have exited
        f.expect_old_file_kept_and_no_temporary();
        EXPECT_FALSE(testutil::file_exists(f.out + "/last.txt"));
    }
}

// A full disk (here: the file size limit, which fails writes as a full disk
// does) while qvx x writes m/big.txt: the message says what failed, why, that
// the extraction has stopped, and which files were not extracted; exit 1.
TEST(ExtractionFaults, DiskFullSaysTheExtractionStoppedAndWhatWasLeftOut)
{
    FaultRun f;
    Archive a = testarchive::build(f.members, f.options);
    std::string archive = f.temp.file("archive.qvx");
    testutil::write_file(archive, a.bytes);
    std::string report = f.temp.file("report.txt");
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        signal(SIGXFSZ, SIG_IGN);
        struct rlimit limit = {100000, 100000};
        setrlimit(RLIMIT_FSIZE, &limit);
        host::ExtractOptions options;
        options.dest_dir = f.out;
        options.overwrite_all = true;
        host::ExtractResult r = host::extract_archive(archive, options);
        FILE* out = fopen(report.c_str(), "w");
        for (const std::string& line : r.messages)
            fprintf(out, "%s\n", line.c_str());
        fclose(out);
        _exit(r.exit_code);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), host::EXIT_MEMBERS_FAILED);
    Bytes text = testutil::read_file(report);
    EXPECT_EQ(std::string(text.begin(), text.end()),
              "Cannot write m\\big.txt: Disk full: Extraction has stopped; the files from here on were not "
              "extracted.\n"
              "the extraction stopped; 2 files were not extracted: m/big.txt, last.txt\n");
    f.temporary_seen = true;  // the message names the member being written
    f.expect_old_file_kept_and_no_temporary();
    EXPECT_FALSE(testutil::file_exists(f.out + "/last.txt"));
}

// A name too long for the path, or with a part longer than a file system's
// name, is a member that failed, in qvx x and qvx t alike, with the reason;
// before, one of 260 bytes and more was passed over without a word, one of
// 256 to 259 bytes had no reason, and t passed it.
TEST(ExtractionFaults, ANameTooLongIsAFailedMemberWithItsReason)
{
    struct Case {
        std::string name;
        host::ExitCode exit_code;
    } cases[] = {
        {std::string(256, 'n'), host::EXIT_MEMBERS_FAILED},                       // a part of 256
        {"d\\" + std::string(256, 'n'), host::EXIT_MEMBERS_FAILED},              // 258, a part of 256
        {std::string(255, 'n') + "\\" + std::string(3, 'n'), host::EXIT_OK},     // 259 in parts that fit
        {std::string(280, 'n'), host::EXIT_MEMBERS_FAILED},                       // too long for any path
    };
    for (const Case& c : cases) {
        for (bool test_only : {false, true}) {
            SCOPED_TRACE(std::to_string(c.name.size()) + (test_only ? " t" : " x"));
            testutil::TempDir temp;
            Archive a =
                testarchive::build({testarchive::file(c.name, "long"), testarchive::file("next.txt", "next")});
            testutil::write_file(temp.file("a.qvx"), a.bytes);
            host::ExtractOptions options;
            options.dest_dir = temp.file("out");
            options.test_only = test_only;
            host::ExtractResult r = host::extract_archive(temp.file("a.qvx"), options);
            EXPECT_EQ(r.exit_code, c.exit_code);
            if (c.exit_code == host::EXIT_OK)
                continue;
            ASSERT_EQ(r.messages.size(), 1u);
            EXPECT_EQ(r.messages[0], "Cannot create " + c.name.substr(0, std::min<size_t>(c.name.size(), PATH_SIZE - 1)) +
                                         ": Path too long");
            if (!test_only) {
                EXPECT_EQ(list_tree(temp.file("out")), std::vector<std::string>{"next.txt"});
            }
        }
    }
}

// A symbolic link already in the destination is never written through, as
// a file or as a folder on the way: the member is refused with the reason
// (exit 1), the link and what it points to stay as they were, and the other
// members are extracted.
TEST(ExtractionFaults, NothingIsWrittenThroughALinkInTheDestination)
{
    struct Case {
        const char* what;
        const char* link;    // below out/
        const char* target;  // what it points to, relative to the link
        const char* member;  // the archive's name of the member
    } cases[] = {
        {"a file that is a link", "src/victim.txt", "../../outside/target.txt", "src\\victim.txt"},
        {"a folder that is a link", "src", "../outside", "src\\target.txt"},
        {"a folder deeper in", "a/b", "../../outside", "a\\b\\c\\target.txt"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        testutil::TempDir temp;
        std::string out = temp.file("out"), outside = temp.file("outside");
        fs::create_directories(outside);
        testutil::write_text(outside + "/target.txt", "outside");
        fs::create_directories(fs::path(out + "/" + c.link).parent_path());
        fs::create_symlink(c.target, out + "/" + c.link);
        Archive a = testarchive::build({testarchive::file(c.member, "written through the link"),
                                        testarchive::file("next.txt", "next")});
        testutil::write_file(temp.file("a.qvx"), a.bytes);
        host::ExtractOptions options;
        options.dest_dir = out;
        options.overwrite_all = true;
        host::ExtractResult r = host::extract_archive(temp.file("a.qvx"), options);
        EXPECT_EQ(r.exit_code, host::EXIT_MEMBERS_FAILED);
        ASSERT_EQ(r.messages.size(), 1u);
        EXPECT_EQ(r.messages[0], "Cannot create " + host::path_to_host(c.member) + ": " + c.link +
                                     " is a symbolic link in the destination, and qvx x writes through none");
        EXPECT_EQ(list_tree(outside), std::vector<std::string>{"target.txt"});
        EXPECT_EQ(testutil::read_file(outside + "/target.txt"), Bytes({'o', 'u', 't', 's', 'i', 'd', 'e'}));
        EXPECT_TRUE(fs::is_symlink(out + "/" + c.link));
        EXPECT_EQ(testutil::read_file(out + "/next.txt"), Bytes({'n', 'e', 'x', 't'}));
    }
}

// Below the base directory the platform layer itself follows no link, so
// nothing reaches outside even where a link appears after that check.
TEST(ExtractionFaults, ThePlatformLayerFollowsNoLinkBelowTheBase)
{
    testutil::TempDir temp;
    fs::create_directories(temp.file("base/real"));
    fs::create_directories(temp.file("outside"));
    testutil::write_text(temp.file("outside/file.txt"), "outside");
    fs::create_symlink("../outside", temp.file("base/link"));
    fs::create_symlink("../outside/file.txt", temp.file("base/file_link"));
    int base = open(temp.file("base").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(base, 0);
    int saved = host::base_directory();
    host::set_base_directory(base);

    EXPECT_EQ(file_create_new("link\\new.txt", ATTR_NORMAL), INVALID_FILE);
    EXPECT_EQ(file_create("link\\file.txt", ATTR_NORMAL), INVALID_FILE);
    EXPECT_EQ(file_create("file_link", ATTR_NORMAL), INVALID_FILE);
    EXPECT_EQ(file_open("link\\file.txt", ACCESS_READ | ACCESS_WRITE), INVALID_FILE);
    EXPECT_EQ(dir_create("link\\sub"), 0);
    EXPECT_EQ(path_set_attributes("file_link", ATTR_READONLY), 0);
    EXPECT_EQ(path_set_attributes("link\\file.txt", ATTR_READONLY), 0);
    EXPECT_EQ(path_get_attributes("link") & ATTR_DIRECTORY, 0) << "a link is no folder to go into";
    FileHandle f = file_create_new("real\\x.tmp", ATTR_NORMAL);
    ASSERT_NE(f, INVALID_FILE);
    file_close(f);
    EXPECT_EQ(path_move("real\\x.tmp", "link\\file.txt", 1), 0);
    EXPECT_EQ(path_delete("link\\file.txt"), 0);
    EXPECT_EQ(path_delete("real\\x.tmp"), 1);

    host::set_base_directory(saved);
    close(base);
    EXPECT_EQ(list_tree(temp.file("outside")), std::vector<std::string>{"file.txt"});
    EXPECT_EQ(testutil::read_file(temp.file("outside/file.txt")), Bytes({'o', 'u', 't', 's', 'i', 'd', 'e'}));
    EXPECT_NE(fs::status(temp.file("outside/file.txt")).permissions() & fs::perms::owner_write, fs::perms::none);
}

}  // namespace

namespace {

// Fails each call of the platform layer that one extraction makes in turn
// (reads, seeks and allocations of the archive's side, creates, writes and
// renames of the destination's), the way qvx x runs it: whatever fails, the
// user is told, the exit code says how bad it is, no temporary or partial
// file stays, nothing outside the destination changes, a file that was
// there is kept whole or replaced whole, and the members before the failing
// one are extracted.
TEST(ExtractionFaults, EveryFailingCallOfAnExtractionIsReportedAndLosesNothing)
{
    testutil::TempDir temp;
    std::vector<Member> members = {
        testarchive::folder("docs"),
        testarchive::file("a.txt", testutil::text_bytes(700, 3)),
        testarchive::file("docs\\b.txt", testutil::text_bytes(1500, 4)),     // replaces a file
        testarchive::file("big.bin", testutil::random_bytes(10000, 5)),     // three blocks
        testarchive::file("docs\\c\\d.txt", testutil::text_bytes(300, 6)),  // its folder has no entry
        testarchive::file("z.txt", testutil::text_bytes(5000, 7)),          // replaces a file
    };
    const std::vector<std::string> existing = {"docs/b.txt", "z.txt"};
    testarchive::Options options;
    options.data = testarchive::Coding::lz;
    options.block_size = 4096;
    std::string archive = temp.file("a.qvx"), out = temp.file("out");
    testutil::write_file(archive, testarchive::build(members, options).bytes);
    testutil::write_text(temp.file("outside.txt"), "outside");
    auto outside = [&]() {
        std::vector<std::string> names;
        for (const std::string& name : list_tree(temp.path()))
            if (name != "out" && name.rfind("out/", 0) != 0)
                names.push_back(name + " " + std::to_string(fs::is_regular_file(temp.file(name))
                                                                ? fs::file_size(temp.file(name))
                                                                : 0));
        return names;
    };
    const std::vector<std::string> outside_before = outside();
    const Bytes archive_bytes = testutil::read_file(archive);

    // Each file as its member, or as it was before; nothing else in out/.
    std::vector<std::string> file_names;
    for (const Member& m : members)
        if (!m.folder)
            file_names.push_back(host::path_to_host(m.name.c_str()));
    auto run = [&](host::FaultCounter& counter, std::vector<unsigned long>* starts) {
        fs::remove_all(out);
        fs::create_directories(out + "/docs");
        for (const std::string& name : existing)
            testutil::write_file(out + "/" + name, kOld);
        host::ExtractOptions o;
        o.dest_dir = out;
        o.overwrite_all = true;
        o.progress = [&](const std::string&, uint64_t, uint64_t) {
            if (starts != nullptr)
                starts->push_back(counter.calls);
        };
        host::set_fault_counter(&counter);
        host::ExtractResult r = host::extract_archive(archive, o);
        host::set_fault_counter(nullptr);
        return r;
    };
    auto extracted = [&](size_t i) { return testutil::read_file(out + "/" + file_names[i]) == members[i + 1].data; };

    // One whole extraction, counted: the call each file starts at.
    host::FaultCounter count;
    std::vector<unsigned long> starts;
    host::ExtractResult whole = run(count, &starts);
    ASSERT_EQ(whole.exit_code, host::EXIT_OK);
    ASSERT_EQ(starts.size(), file_names.size());
    for (size_t i = 0; i < file_names.size(); i++)
        EXPECT_TRUE(extracted(i)) << file_names[i];
    ASSERT_GT(count.calls, 30u);

    // What a failing call of each kind means (exit_code_of): the archive
    // that cannot be read on ends the run as damage, a member that cannot be
    // made or written is a member's failure.
    const struct {
        unsigned kind;
        ResultCode code;
        const char* cause;  // on the message's second line
    } kinds[] = {
        {host::FAULT_READ, ERR_READ, "General failure"},
        {host::FAULT_SEEK, ERR_SEEK, "General failure"},
        {host::FAULT_ALLOC, ERR_NO_MEMORY, "Not enough memory"},
        {host::FAULT_WRITE, ERR_WRITE, "Disk full"},
        {host::FAULT_CREATE, ERR_CREATE, "Access denied"},
        {host::FAULT_RENAME, ERR_CREATE, "Access denied"},
    };
    std::map<unsigned, int> failed_by_kind;
    unsigned long harmless = 0;
    for (unsigned long n = 1; n <= count.calls; n++) {
        host::FaultCounter counter;
        counter.fail_at = n;
        host::ExtractResult r = run(counter, nullptr);
        SCOPED_TRACE("call " + std::to_string(n) + " of kind " + std::to_string(counter.failed_kind));
        ASSERT_NE(counter.failed_kind, 0u) << "the extraction made fewer calls than counted";
        std::string messages;
        for (const std::string& m : r.messages)
            messages += m + "\n";
        if (r.exit_code == host::EXIT_OK) {
            // A failure the extraction meets another way (a folder made
            // after the create that failed, a seek made again), or one that
            // costs the progress figures and folder times only: nothing to
            // say, as long as nothing is missing.
            harmless++;
            EXPECT_EQ(messages, "");
            for (size_t i = 0; i < file_names.size(); i++)
                EXPECT_TRUE(extracted(i)) << file_names[i];
        } else {
            for (const auto& k : kinds) {
                if (k.kind != counter.failed_kind)
                    continue;
                failed_by_kind[k.kind]++;
                EXPECT_EQ(r.exit_code, host::exit_code_of(k.code, false)) << messages;
                EXPECT_NE(messages.find(k.cause), std::string::npos) << messages;
            }
        }
        EXPECT_FALSE(holds_temporary(out)) << messages;
        EXPECT_EQ(outside(), outside_before);
        EXPECT_EQ(testutil::read_file(archive), archive_bytes);
        for (size_t i = 0; i < file_names.size(); i++) {
            std::string path = out + "/" + file_names[i];
            bool was_there = std::find(existing.begin(), existing.end(), file_names[i]) != existing.end();
            bool before_the_failure = i + 1 < starts.size() && starts[i + 1] < n;
            if (testutil::file_exists(path)) {
                EXPECT_TRUE(extracted(i) || (was_there && testutil::read_file(path) == kOld))
                    << file_names[i] << "\n" << messages;
            }
            if (before_the_failure) {
                EXPECT_TRUE(extracted(i)) << file_names[i] << "\n" << messages;
            }
            if (was_there) {
                EXPECT_TRUE(testutil::file_exists(path)) << file_names[i];
            }
        }
    }
    for (const auto& k : kinds)
        EXPECT_GT(failed_by_kind[k.kind], 0) << "no call of kind " << k.kind << " failed the extraction";
    EXPECT_LT(harmless, count.calls / 3);
}

}  // namespace

// The hostile directory that claims far more than its data: 1,050 entries
// share one small member's data and each claims 4 GiB - 1 bytes, 4.5 TB in
// all. qvx x refuses the run with both figures before anything is written
// (exit 4); with --no-space-check it goes on, to the damage it then meets.
TEST(ExtractionFaults, FilesThatCannotFitAreRefusedBeforeAnythingIsWritten)
{
    testutil::TempDir temp;
    Archive small = testarchive::build({testarchive::file("data.bin", "shared data")});
    Bytes archive(small.bytes.begin(), small.bytes.begin() + small.directory_offset);
    DirectoryEntry entry = small.entries[0];
    entry.member_size = 0xFFFFFFFFu;
    for (int piece = 0; piece < 7; piece++) {
        Bytes records;
        for (int i = 0; i < 150; i++) {
            Bytes r = testarchive::directory_record(entry, "f" + std::to_string(piece * 150 + i), {}, {});
            records.insert(records.end(), r.begin(), r.end());
        }
        Bytes p = testarchive::directory_piece(records, testarchive::Coding::stored);
        archive.insert(archive.end(), p.begin(), p.end());
    }
    ArchiveHeader header;
    parse_archive_header(archive.data(), &header);
    header.entry_count = 1050;
    header.archive_length = (uint32_t)archive.size();
    write_archive_header(archive.data(), &header);
    testutil::write_file(temp.file("a.qvx"), archive);

    for (bool no_space_check : {false, true}) {
        SCOPED_TRACE(no_space_check ? "--no-space-check" : "checked");
        host::ExtractOptions options;
        options.dest_dir = temp.file(no_space_check ? "anyway" : "out");
        options.no_space_check = no_space_check;
        host::ExtractResult r = host::extract_archive(temp.file("a.qvx"), options);
        if (no_space_check) {
            EXPECT_NE(r.exit_code, host::EXIT_NO_SPACE);
            continue;
        }
        EXPECT_EQ(r.exit_code, host::EXIT_NO_SPACE);
        EXPECT_TRUE(list_tree(temp.file("out")).empty());
        // The shared data is warned about first; the refusal ends the run.
        ASSERT_EQ(r.messages.size(), 2u);
        EXPECT_NE(r.messages[0].find("share their data"), std::string::npos) << r.messages[0];
        EXPECT_NE(r.messages[1].find("the files take 4509715659750 bytes"), std::string::npos) << r.messages[1];
    }
}
