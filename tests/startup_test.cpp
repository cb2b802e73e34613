// Start-up's portable half: the self-check of the stub image and the reading
// of the SfxHeader and the ArchiveHeader from the own file.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>

#include "archive/records.h"
#include "archive/startup.h"
#include "archive/stub_info.h"
#include "codec/crc32.h"
#include "host/run.h"
#include "packer/archive_writer.h"
#include "packer/sfx_builder.h"
#include "platform/host.h"
#include "platform/text.h"
#include "tests/stub_fixture.h"
#include "tests/test_util.h"

namespace {

using stubfixture::Bytes;

const char kCurrentDir[] = "C:\\Current";

// Start-up fills one extraction: its own file, archive start, title,
// destination, command and flags.
struct StartupTest : ::testing::Test {
    host::Run run;
    void TearDown() override { testutil::close_own_file(&run.x); }

    testutil::TempDir dir;
};

TEST_F(StartupTest, DisplayNameIsTheFileNamePart)
{
    const struct {
        const char* path;
        const char* name;
    } cases[] = {
        {"C:\\Downloads\\setup.exe", "setup.exe"},
        {"\\\\server\\share\\a b.exe", "a b.exe"},
        {"C:setup.exe", "setup.exe"},
        {"setup.exe", "setup.exe"},
        {"C:\\odd:name\\x.exe", "x.exe"},  // a backslash wins over a later colon
        {"C:\\folder\\", ""},
    };
    for (const auto& c : cases) {
        set_display_name(&run.x, c.path);
        EXPECT_STREQ(run.x.display_name, c.name) << c.path;
    }
}

// ---------------------------------------------------------------------------
// SfxHeader and ArchiveHeader
// ---------------------------------------------------------------------------

struct Header {
    uint8_t flags = 0;
    std::string title, folder, command;
    // Lengths written into the header; default: the strings' own.
    int title_length = -1, folder_length = -1, command_length = -1;
};

Bytes sfx_header(const Header& h)
{
    Bytes out(SFX_HEADER_SIZE);
    out[0] = 'S';
    out[1] = 'X';
    out[2] = h.flags;
    store_le16(&out[4], (uint16_t)(h.title_length >= 0 ? h.title_length : (int)h.title.size()));
    store_le16(&out[6], (uint16_t)(h.folder_length >= 0 ? h.folder_length : (int)h.folder.size()));
    store_le16(&out[8], (uint16_t)(h.command_length >= 0 ? h.command_length : (int)h.command.size()));
    for (const std::string* s : {&h.title, &h.folder, &h.command})
        out.insert(out.end(), s->begin(), s->end());
    return out;
}

Bytes archive_header_bytes(uint32_t entry_count)
{
    Bytes a(ARCHIVE_HEADER_SIZE, 0);
    std::memcpy(&a[0], "QVX\n", 4);
    store_le32(&a[4], 1234);
    store_le32(&a[8], entry_count);
    return a;
}

constexpr uint32_t kStubLength = 1000;

struct SfxHeaderTest : StartupTest {
    // Writes a fake image of kStubLength bytes followed by `payload`, opens it
    // as the own file and runs read_sfx_header as start-up does after the
    // self-check.
    void read(const Bytes& payload)
    {
        Bytes file = testutil::random_bytes(kStubLength, 9);
        file.insert(file.end(), payload.begin(), payload.end());
        testutil::write_file(dir.file("sfx.exe"), file);
        ASSERT_TRUE(testutil::open_as_own_file(&run.x, dir.file("sfx.exe")));
        run.x.archive_start = kStubLength;
        text_copy(run.x.dest_path, PATH_SIZE, kCurrentDir);
        read_sfx_header(&run.x);
    }
    static Bytes cat(Bytes a, const Bytes& b)
    {
        a.insert(a.end(), b.begin(), b.end());
        return a;
    }
};

TEST_F(SfxHeaderTest, NoHeaderKeepsTheDefaults)
{
    read(archive_header_bytes(3));
    EXPECT_STREQ(run.title, "Dravex Self-Extractor");
    EXPECT_STREQ(run.x.dest_path, kCurrentDir);
    EXPECT_STREQ(run.x.command, "");
    EXPECT_EQ(run.flags.overwrite_all, 0);
    EXPECT_EQ(run.x.archive_start, (int32_t)kStubLength);
    EXPECT_EQ(read_archive_header(&run.x), 0);
    EXPECT_EQ(load_le32(run.x.archive_header + 8), 3u);
}

TEST_F(SfxHeaderTest, NothingAfterTheImageIsNoHeaderAndNoArchive)
{
    read({});
    EXPECT_STREQ(run.title, "Dravex Self-Extractor");
    EXPECT_STREQ(run.x.dest_path, kCurrentDir);
    EXPECT_EQ(run.x.archive_start, (int32_t)kStubLength);
    EXPECT_EQ(read_archive_header(&run.x), ERR_READ);
}

TEST_F(SfxHeaderTest, LongStringsAreCutAndSkipped)
{
    Header h;
    h.title = std::string(100, 'T');
    h.title[78] = 'x';
    h.title[79] = 'y';
    h.folder = "D:\\Target";
    h.command = "run.exe";
    Bytes header = sfx_header(h);
    read(cat(header, archive_header_bytes(5)));
    EXPECT_EQ(std::string(run.title), h.title.substr(0, 79));
    EXPECT_STREQ(run.x.dest_path, "D:\\Target");
    EXPECT_STREQ(run.x.command, "run.exe");
    EXPECT_EQ(run.x.archive_start, (int32_t)(kStubLength + header.size()));
    EXPECT_EQ(read_archive_header(&run.x), 0);
    EXPECT_EQ(load_le32(run.x.archive_header + 8), 5u);

    // Folder and command past 259 bytes: the first 259 of each.
    Header l;
    l.folder = std::string(300, 'f');
    l.command = std::string(270, 'c');
    l.folder[258] = 'F';
    l.command[258] = 'C';
    header = sfx_header(l);
    read(cat(header, archive_header_bytes(6)));
    EXPECT_EQ(std::string(run.x.dest_path), l.folder.substr(0, 259));
    EXPECT_EQ(std::string(run.x.command), l.command.substr(0, 259));
    EXPECT_EQ(read_archive_header(&run.x), 0);
    EXPECT_EQ(load_le32(run.x.archive_header + 8), 6u);
}

// Strings are in the system's code page (code page 1252 on the host) unless
// flag bit 2 says UTF-8. The folder and the command become UTF-8, the title
// stays as stored; UTF-8 is cut before a character the 79 or 259 bytes split.
TEST_F(SfxHeaderTest, StringsInTheCodePageOrUtf8)
{
    const std::string de = "\xd0\x94";  // a Cyrillic letter, two bytes in UTF-8
    const struct {
        uint8_t flags;
        std::string title, folder, command;
        std::string title_read, folder_read, command_read;
    } cases[] = {
        {0, "Caf\xe9", "C:\\Caf\xe9", "caf\xe9.exe", "Caf\xe9", "C:\\Caf\xc3\xa9", "caf\xc3\xa9.exe"},
        {SFX_FLAG_UTF8, "Caf\xc3\xa9", "C:\\" + de, de + ".exe", "Caf\xc3\xa9", "C:\\" + de, de + ".exe"},
        {SFX_FLAG_UTF8, std::string(78, 'T') + de, std::string(258, 'f') + de, std::string(257, 'c') + de + "x",
         std::string(78, 'T'), std::string(258, 'f'), std::string(257, 'c') + de},
        {0, std::string(78, 'T') + de, std::string(258, 'f') + de, "", std::string(78, 'T') + "\xd0",
         std::string(258, 'f') + "\xc3\x90", ""},
    };
    for (const auto& c : cases) {
        Header h;
        h.flags = c.flags;
        h.title = c.title;
        h.folder = c.folder;
        h.command = c.command;
        read(cat(sfx_header(h), archive_header_bytes(1)));
        EXPECT_EQ(run.x.sfx_flags, c.flags);
        EXPECT_EQ(std::string(run.title), c.title_read) << c.title;
        EXPECT_EQ(std::string(run.x.dest_path), c.folder_read) << c.folder;
        EXPECT_EQ(std::string(run.x.command), c.command_read) << c.command;
    }
}

TEST_F(SfxHeaderTest, OnlyFlagBitOneMeansOverwrite)
{
    Header h;
    h.title = "t";
    h.flags = 2;
    read(cat(sfx_header(h), archive_header_bytes(1)));
    EXPECT_EQ(run.flags.overwrite_all, 1);
    h.flags = 1;
    read(cat(sfx_header(h), archive_header_bytes(1)));
    EXPECT_EQ(run.flags.overwrite_all, 0);
    h.flags = 0xFD;  // every bit but bit 1
    read(cat(sfx_header(h), archive_header_bytes(1)));
    EXPECT_EQ(run.flags.overwrite_all, 0);
}

TEST_F(SfxHeaderTest, FileEndingInsideTheTitle)
{
    Header h;
    h.flags = 2;
    h.title = std::string(40, 'T');
    h.folder = "D:\\x";
    h.command = "c.exe";
    Bytes header = sfx_header(h);
    header.resize(SFX_HEADER_SIZE + 20);  // cut inside the title
    read(header);
    EXPECT_STREQ(run.title, "");
    EXPECT_STREQ(run.x.dest_path, kCurrentDir);
    EXPECT_STREQ(run.x.command, "");
    EXPECT_EQ(run.flags.overwrite_all, 0);
    // The archive is looked for after the whole header, and is not there.
    EXPECT_EQ(run.x.archive_start, (int32_t)(kStubLength + SFX_HEADER_SIZE + 40 + 4 + 5));
    EXPECT_EQ(read_archive_header(&run.x), ERR_READ);
}

TEST_F(SfxHeaderTest, FileEndingInsideTheFolderOrCommand)
{
    Header h;
    h.flags = 2;
    h.title = "Title";
    h.folder = "D:\\Some\\Folder";
    h.command = "setup.exe";
    Bytes header = sfx_header(h);
    Bytes cut(header.begin(), header.begin() + SFX_HEADER_SIZE + 5 + 4);
    read(cut);
    EXPECT_STREQ(run.title, "Title");
    EXPECT_STREQ(run.x.dest_path, "");  // the folder read failed: empty, not the current directory
    EXPECT_STREQ(run.x.command, "");
    EXPECT_EQ(run.flags.overwrite_all, 1);

    cut.assign(header.begin(), header.end() - 3);
    read(cut);
    EXPECT_STREQ(run.x.dest_path, "D:\\Some\\Folder");
    EXPECT_STREQ(run.x.command, "");
    EXPECT_EQ(run.flags.overwrite_all, 1);
    EXPECT_EQ(read_archive_header(&run.x), ERR_READ);
}

TEST_F(SfxHeaderTest, EmptyStringsReadAsEmpty)
{
    Header h;  // all three lengths 0
    Bytes header = sfx_header(h);
    read(cat(header, archive_header_bytes(0)));
    EXPECT_STREQ(run.title, "");
    EXPECT_STREQ(run.x.dest_path, "");
    EXPECT_STREQ(run.x.command, "");
    EXPECT_EQ(run.x.archive_start, (int32_t)(kStubLength + SFX_HEADER_SIZE));
    EXPECT_EQ(read_archive_header(&run.x), 0);
    EXPECT_EQ(load_le32(run.x.archive_header + 8), 0u);  // start-up then says the archive is empty
}

TEST_F(SfxHeaderTest, ShortOrWrongMagicIsNoHeader)
{
    Bytes almost = {'S', 'X', 0, 0, 5, 0};  // 6 of the 10 bytes
    read(almost);
    EXPECT_STREQ(run.title, "Dravex Self-Extractor");
    EXPECT_EQ(run.x.archive_start, (int32_t)kStubLength);

    Header h;
    h.title = "x";
    Bytes header = sfx_header(h);
    header[1] = 'Y';
    read(cat(header, archive_header_bytes(1)));
    EXPECT_STREQ(run.title, "Dravex Self-Extractor");
    EXPECT_EQ(run.x.archive_start, (int32_t)kStubLength);
}

TEST_F(SfxHeaderTest, ArchiveHeaderIsReadWhateverItsMagic)
{
    Bytes a = archive_header_bytes(7);
    a[0] = 'Z';
    read(a);
    EXPECT_EQ(read_archive_header(&run.x), 0);
    EXPECT_EQ(load_le32(run.x.archive_header + 8), 7u);
    a.pop_back();  // 41 bytes
    read(a);
    EXPECT_EQ(read_archive_header(&run.x), ERR_READ);
}

// ---------------------------------------------------------------------------
// The self-check
// ---------------------------------------------------------------------------

struct VerifyStubTest : StartupTest {
    Bytes image;    // the built stub image
    size_t record;  // offset of StubInfo in it
    std::string path;
    int fd = -1;    // the same file, for changing it under the reader

    void SetUp() override
    {
        StartupTest::SetUp();
        Bytes stub = stubfixture::stub_image();
        record = stubfixture::find_record(stub);
        ASSERT_NE(record, std::string::npos);
        Bytes sfx;
        std::string error;
        std::vector<std::string> warnings;
        packer::SfxStrings strings;
        strings.title = "Payload title";
        ASSERT_TRUE(packer::build_sfx(stub, archive_header_bytes(1), strings, sfx, error, warnings)) << error;
        image.assign(sfx.begin(), sfx.begin() + stub.size());
        path = dir.file("setup.exe");
        testutil::write_file(path, sfx);
        ASSERT_TRUE(testutil::open_as_own_file(&run.x, path));
        fd = open(path.c_str(), O_RDWR);
        ASSERT_GE(fd, 0);
    }
    void TearDown() override
    {
        if (fd >= 0)
            close(fd);
        StartupTest::TearDown();
    }

    // What the running stub would see: StubInfo's first fields as its image
    // holds them on disk.
    ResultCode verify()
    {
        uint8_t fields[12] = {};
        EXPECT_EQ(pread(fd, fields, sizeof fields, (off_t)record), 12);
        run.x.archive_start = 0;
        run.messages.clear();
        return verify_stub(&run.x, load_le32(fields), load_le32(fields + 4), load_le32(fields + 8));
    }

    void poke(size_t offset, uint8_t value) { ASSERT_EQ(pwrite(fd, &value, 1, (off_t)offset), 1); }
    void poke32(size_t offset, uint32_t value)
    {
        uint8_t bytes[4];
        store_le32(bytes, value);
        ASSERT_EQ(pwrite(fd, bytes, 4, (off_t)offset), 4);
    }
    // The offsets of the fields signing rewrites: CheckSum, then the
    // certificate table's directory entry.
    std::vector<size_t> signing_fields() const
    {
        size_t optional = load_le32(&image[PE_HEADER_OFFSET_FIELD]) + PE_OPTIONAL_HEADER;
        size_t security = optional + (load_le16(&image[optional]) == PE32_PLUS_MAGIC ? PE32_PLUS_SECURITY_ENTRY
                                                                                     : PE32_SECURITY_ENTRY);
        return {optional + PE_CHECKSUM, security, security + 4};
    }
    bool in_signing_field(size_t offset) const
    {
        for (size_t field : signing_fields())
            if (offset >= field && offset < field + 4)
                return true;
        return false;
    }
};

TEST_F(VerifyStubTest, UntouchedStubPasses)
{
    EXPECT_EQ(verify(), 0);
    EXPECT_EQ(run.x.archive_start, (int32_t)image.size());
    EXPECT_TRUE(run.messages.empty());
}

TEST_F(VerifyStubTest, EveryChangedImageByteIsDetected)
{
    for (size_t i = 0; i < image.size(); i++) {
        poke(i, (uint8_t)(image[i] ^ 0x01));
        ResultCode result = verify();
        if (in_signing_field(i)) {
            ASSERT_EQ(result, 0) << "a change to signing's field at " << i << " is taken as damage";
        } else if (i >= record && i < record + 4 && result == ERR_READ) {
            // A longer stub_length reaches past the end of the file.
        } else {
            ASSERT_EQ(result, ERR_STUB_MODIFIED) << "changed byte " << i << " not detected";
            ASSERT_EQ(run.messages.size(), 1u);
        }
        poke(i, image[i]);
    }
    EXPECT_EQ(verify(), 0);
}

// What signing does: a CheckSum, the certificate table's entry, and the
// table appended after the payload.
TEST_F(VerifyStubTest, SignedStubPasses)
{
    std::vector<size_t> fields = signing_fields();
    EXPECT_EQ(load_le32(&image[fields[0]]), 0u) << "the builder leaves the linker's CheckSum";
    Bytes file = testutil::read_file(path);
    poke32(fields[0], 0x0001D2C3u);
    poke32(fields[1], (uint32_t)file.size());
    poke32(fields[2], 0x5A8);
    for (size_t i = 0; i < 0x5A8; i++)
        poke(file.size() + i, (uint8_t)(i * 13));
    EXPECT_EQ(verify(), 0);
    EXPECT_EQ(run.x.archive_start, (int32_t)image.size());
    // Signed and then changed elsewhere: still refused.
    poke(record - 1, (uint8_t)~image[record - 1]);
    EXPECT_EQ(verify(), ERR_STUB_MODIFIED);
}

// Another writer may compute the value over the CheckSum as the linker left
// it; the value over the fields as stored is accepted too.
TEST_F(VerifyStubTest, ValueOverStoredCheckSumPasses)
{
    size_t checksum = signing_fields()[0];
    Bytes built = image;
    store_le32(&built[checksum], 0x00013D33u);
    size_t slot = record + STUB_INFO_CRC_OFFSET;
    store_le32(&built[slot], 0);
    uint32_t crc = crc32_update(built.data(), (uint32_t)built.size(), 0xFFFFFFFFu);
    poke32(checksum, 0x00013D33u);
    poke32(slot, crc);
    EXPECT_EQ(verify(), 0);
    poke32(checksum, 0x00013D34u);
    EXPECT_EQ(verify(), ERR_STUB_MODIFIED);
}

TEST_F(VerifyStubTest, ModifiedWarningText)
{
    poke(10, (uint8_t)(image[10] + 1));
    EXPECT_EQ(verify(), ERR_STUB_MODIFIED);
    ASSERT_EQ(run.messages.size(), 1u);
    const host::MessageRecord& m = run.messages[0];
    // Nobody's address: the stub's front end adds the publisher's contact.
    EXPECT_EQ(m.text,
              "This self-extractor has been modified: damaged in a download, or infected by a virus. "
              "Get the file again from where it came.");
    EXPECT_EQ(m.caption, "Dravex Self-Extractor");
    EXPECT_EQ(m.style, (unsigned)BOX_EXCLAMATION);
    EXPECT_EQ(run.x.archive_start, 0);
}

TEST_F(VerifyStubTest, ChangedPayloadIsNotDetected)
{
    Bytes file = testutil::read_file(path);
    for (size_t i = image.size(); i < file.size(); i += 7) {
        poke(i, (uint8_t)~file[i]);
        EXPECT_EQ(verify(), 0) << "payload byte " << i;
    }
}

TEST_F(VerifyStubTest, DamagedRecordNeverReachesOutsideTheImage)
{
    const uint32_t n = (uint32_t)image.size();
    const struct {
        const char* what;
        uint32_t length, slot;
        ResultCode expected;
    } cases[] = {
        {"an unbuilt stub: length and slot 0", 0, 0, ERR_STUB_MODIFIED},
        {"a slot overlapping the image's end", n, n - 3, ERR_STUB_MODIFIED},
        {"a slot far past the image", n, 0xFFFFFFFEu, ERR_STUB_MODIFIED},
        {"a length beyond the end of the file", 0x01000000u, 8, ERR_READ},
    };
    for (const auto& c : cases)
        EXPECT_EQ(verify_stub(&run.x, c.length, c.slot, 0), c.expected) << c.what;
}

}  // namespace

// The check values our archiver keeps in the ArchiveHeader's reserved fields:
// every byte of the SfxHeader, of directory_offset and entry_count and of the
// directory stream is covered, the data streams are left to the members'
// CRC-32, and an archive without the tag is read as before.
struct ArchiveCheckTest : StartupTest {
    Bytes file;
    uint32_t sfx_start = 0, archive_start = 0, directory_offset = 0;

    void SetUp() override
    {
        StartupTest::SetUp();
        std::filesystem::create_directories(dir.file("in/sub"));
        testutil::write_text(dir.file("in/a.txt"), "alpha");
        testutil::write_text(dir.file("in/sub/nums.txt"), "12345");
        std::vector<packer::WriterEntry> entries;
        std::string error;
        std::vector<std::string> warnings;
        ASSERT_TRUE(packer::collect_entries({dir.file("in")}, entries, error, warnings)) << error;
        Bytes archive;
        ASSERT_TRUE(packer::write_archive(entries, packer::ArchiveOptions(), archive, error)) << error;
        packer::SfxStrings strings;
        strings.title = "Title";
        strings.command = "setup.bat";
        // Any image does: the check runs from sfx_start on.
        sfx_start = 1000;
        Bytes prefix(sfx_start, 0x5A);
        Bytes sfx_header = {'S', 'X', 0, SFX_CHECKED, 5, 0, 0, 0, 9, 0};
        for (const std::string* s : {&strings.title, &strings.command})
            sfx_header.insert(sfx_header.end(), s->begin(), s->end());
        packer::seal_sfx_header(archive.data(), sfx_header.data(), sfx_header.size());
        file = cat(cat(prefix, sfx_header), archive);
        archive_start = (uint32_t)(prefix.size() + sfx_header.size());
        directory_offset = load_le32(&archive[4]);
    }
    static Bytes cat(Bytes a, const Bytes& b)
    {
        a.insert(a.end(), b.begin(), b.end());
        return a;
    }
    ResultCode check(const Bytes& bytes)
    {
        testutil::close_own_file(&run.x);
        testutil::write_file(dir.file("sfx.exe"), bytes);
        EXPECT_TRUE(testutil::open_as_own_file(&run.x, dir.file("sfx.exe")));
        run.x.archive_start = (i32)sfx_start;
        read_sfx_header(&run.x);
        ResultCode r = read_archive_header(&run.x);  // the stub stops here when the file is too short
        return r < 0 ? r : check_archive_values(&run.x, sfx_start);
    }
};

TEST_F(ArchiveCheckTest, EveryCoveredByteIsChecked)
{
    EXPECT_EQ(load_le16(&file[archive_start + 40]), 0x5844) << "the tag reads \"DX\"";
    EXPECT_EQ(check(file), 0);
    // A flipped SfxHeader magic reads as no SfxHeader: no strings, no
    // command, and the archive is looked for at the header's place, where the
    // directory checks find the damage. Every other byte is covered.
    std::vector<size_t> covered;
    for (size_t at = sfx_start + 2; at < archive_start; at++)
        covered.push_back(at);
    for (size_t at = 4; at < 12; at++)
        covered.push_back(archive_start + at);
    for (size_t at = archive_start + directory_offset; at < file.size(); at++)
        covered.push_back(at);
    for (size_t at : covered) {
        Bytes changed = file;
        changed[at] ^= 0x01;
        EXPECT_NE(check(changed), 0) << "byte " << at;
    }
    // The data stream is the members' CRC-32's business.
    Bytes data_changed = file;
    data_changed[archive_start + 50] ^= 0x01;
    EXPECT_EQ(check(data_changed), 0);
    // Cut short inside the directory.
    EXPECT_EQ(check(Bytes(file.begin(), file.end() - 1)), ERR_DAMAGED);
}

TEST_F(ArchiveCheckTest, WithoutTheTagNothingIsChecked)
{
    // Other writers may use the reserved fields for their own ends.
    Bytes foreign = file;
    store_le16(&foreign[archive_start + 40], 0);
    foreign[file.size() - 1] ^= 0x01;
    foreign[sfx_start + 10] ^= 0x01;
    foreign[sfx_start + 3] = 0;
    EXPECT_EQ(check(foreign), 0);
}
