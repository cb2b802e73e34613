// Failure messages and the wrappers' LastError rules.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include "archive/extraction.h"
#include "host/run.h"
#include "platform/host.h"
#include "platform/platform.h"
#include "platform/text.h"
#include "tests/test_util.h"
#include "tests/utf8_cases.h"

namespace {

struct MessagesTest : ::testing::Test {
    host::Run run;
    void SetUp() override
    {
        LastError = 0;
        text_copy(run.x.display_name, sizeof run.x.display_name, "setup.exe");
        text_copy(run.title, sizeof run.title, "Dravex Self-Extractor");
    }

    std::string last_text() { return run.messages.back().text; }
};

TEST_F(MessagesTest, EveryCodeHasItsTextAndSuffix)
{
    struct Case {
        ResultCode code;
        const char* text;
    } cases[] = {
        {ERR_NO_MEMORY, "Not enough memory"},
        {ERR_CREATE, "Cannot create a.txt\nAccess denied"},
        {ERR_OPEN, "Cannot open a.txt\nAccess denied"},
        {ERR_READ, "Cannot read a.txt\nAccess denied"},
        {ERR_SEEK, "Cannot read a.txt\nAccess denied"},
        {ERR_WRITE, "Cannot write a.txt\nAccess denied"},
        {ERR_CREATE_FOLDER, "Cannot create folder a.txt\nAccess denied"},
        {ERR_DAMAGED, "Archive data is damaged, probably caused by\na corrupt disk or download error"},
        {ERR_END_OF_DATA, "Archive data is damaged, probably caused by\na corrupt disk or download error"},
        {ERR_CRC, "File \"a.txt\" fails error check"},
    };
    for (const Case& c : cases) {
        LastError = 5;
        EXPECT_EQ(report_error(&run.x, c.code, "a.txt", 0), 1);
        EXPECT_EQ(last_text(), c.text) << c.code;
        EXPECT_EQ(run.messages.back().caption, "Dravex Self-Extractor");
        EXPECT_EQ(run.messages.back().style, 0x30u);
        EXPECT_EQ(LastError, 0u);
    }
}

TEST_F(MessagesTest, CodesWithoutMessageShowNothing)
{
    for (ResultCode code : std::initializer_list<ResultCode>{ERR_STUB_MODIFIED, ERR_CANCELLED, -4, -7, -13, -14, -15, -16, -18, 0, 5}) {
        LastError = 5;
        EXPECT_EQ(report_error(&run.x, code, "x", 1), 0);
        EXPECT_TRUE(run.messages.empty());
        EXPECT_EQ(LastError, 5u) << "no message, so the error stays";
    }
}

TEST_F(MessagesTest, NullNameUsesDisplayNameAndEmptySuffix)
{
    report_error(&run.x, ERR_READ, nullptr, 0);
    EXPECT_EQ(last_text(), "Cannot read setup.exe");
}

TEST_F(MessagesTest, OkCancelAnswers)
{
    run.hooks.message_box = [](ResultCode, const char*, unsigned) { return (int)BOX_ANSWER_OK; };
    EXPECT_EQ(report_error(&run.x, ERR_CRC, "f", 1), 0);
    EXPECT_EQ(run.messages.back().style, 0x31u);
    run.hooks.message_box = [](ResultCode, const char*, unsigned) { return (int)BOX_ANSWER_CANCEL; };
    EXPECT_EQ(report_error(&run.x, ERR_CRC, "f", 1), 1);
}

TEST_F(MessagesTest, SuffixTable)
{
    struct Case {
        u32 error;
        const char* suffix;
    } cases[] = {{0, ""}, {2, "\nFile not found"}, {3, "\nPath not found"}, {5, "\nAccess denied"},
                 {15, "\nInvalid drive"}, {19, "\nDisk is write protected"}, {21, "\nDevice not ready"},
                 {25, "\nTrack not found"}, {26, "\nNot a DOS disk"}, {27, "\nSector not found"},
                 {29, "\nWrite fault"}, {30, "\nRead fault"}, {31, "\nGeneral failure"},
                 {112, "\nDisk full"}, {80, "\nFile exists"}, {161, "\nInvalid path"}, {50, "\nNetwork error"},
                 {71, "\nNetwork error"}, {72, ""}, {49, ""}, {183, ""}};
    for (const Case& c : cases) {
        LastError = c.error;
        EXPECT_STREQ(os_error_suffix(), c.suffix) << c.error;
    }
}

TEST_F(MessagesTest, LongestMessageIsCutNotOverrun)
{
    std::string name(259, 'n');
    LastError = 19;
    report_error(&run.x, ERR_CREATE_FOLDER, name.c_str(), 0);
    std::string text = last_text();
    EXPECT_EQ(text, "Cannot create folder " + name + "\nDisk is write protected");
}

TEST(TextFormat, CutsAtBufferSize)
{
    char buf[8];
    EXPECT_EQ(text_format(buf, sizeof buf, "ab%scd%s", "XYZ", "123"), 7u);
    EXPECT_STREQ(buf, "abXYZcd");
    EXPECT_EQ(text_format(buf, sizeof buf, "%s", nullptr, nullptr), 0u);
    EXPECT_EQ(text_compare_nocase("NTFS", "ntfs"), 0);
    EXPECT_NE(text_compare_nocase("NTFS", "FAT"), 0);
}

TEST(HostWrappers, LastErrorRules)
{
    testutil::TempDir dir;
    std::string path = dir.file("f.bin");
    FileHandle h = file_create(path.c_str(), ATTR_NORMAL);
    ASSERT_NE(h, INVALID_FILE);
    EXPECT_EQ(LastError, 0u);
    EXPECT_EQ(file_write(h, "abc", 3), 3);
    EXPECT_EQ(file_seek(h, 0, SEEK_FROM_END), 3);
    EXPECT_EQ(file_set_times(h, 0, 0, 0, 0), 1) << "both dates 0: nothing set, still success";
    // file_close keeps an earlier error.
    LastError = 5;
    EXPECT_EQ(file_close(h), 1);
    EXPECT_EQ(LastError, 5u);
    int fd = open("/dev/null", O_RDONLY);
    close(fd);
    LastError = 30;
    EXPECT_EQ(file_close(host::handle_from_fd(fd)), 0);
    EXPECT_EQ(LastError, 30u) << "close keeps the earlier error";
    LastError = 0;
    EXPECT_EQ(file_close(host::handle_from_fd(fd)), 0);
    EXPECT_NE(LastError, 0u);

    // Succeeding path calls leave a stale error alone.
    LastError = 77;
    EXPECT_NE(path_get_attributes(path.c_str()), -1);
    EXPECT_EQ(dir_create(dir.file("d").c_str()), 1);
    EXPECT_EQ(path_delete(path.c_str()), 1);
    EXPECT_EQ(LastError, 77u);
    EXPECT_EQ(path_get_attributes(path.c_str()), -1);
    EXPECT_EQ(LastError, 2u);
    EXPECT_EQ(file_open(dir.file("none").c_str(), ACCESS_READ), INVALID_FILE);
    EXPECT_EQ(LastError, 2u);
    EXPECT_EQ(file_create(dir.file("no/such/f").c_str(), ATTR_NORMAL), INVALID_FILE);
    EXPECT_EQ(LastError, 3u);
}

TEST(HostWrappers, ShortWriteIsDiskFull)
{
    if (access("/dev/full", W_OK) != 0)
        GTEST_SKIP() << "no /dev/full";
    FileHandle h = file_open("/dev/full", ACCESS_WRITE);
    ASSERT_NE(h, INVALID_FILE);
    EXPECT_EQ(file_write(h, "abc", 3), -1);
    EXPECT_EQ(LastError, 112u);
    file_close(h);
}

TEST(HostWrappers, ReadOnlyMapsToWriteBits)
{
    testutil::TempDir dir;
    std::string path = dir.file("r.txt");
    testutil::write_text(path, "x");
    EXPECT_EQ(path_set_attributes(path.c_str(), ATTR_READONLY), 1);
    EXPECT_EQ(path_get_attributes(path.c_str()) & ATTR_READONLY, ATTR_READONLY);
    EXPECT_EQ(path_set_attributes(path.c_str(), 0), 1);
    EXPECT_EQ(path_get_attributes(path.c_str()) & ATTR_READONLY, 0);
}

TEST(HostText, CodePage1252RoundTrip)
{
    std::string cp = "caf\xe9 \x80 \x9f";
    std::string utf8 = host::cp1252_to_utf8(cp);
    EXPECT_EQ(utf8, "caf\xc3\xa9 \xe2\x82\xac \xc5\xb8");
    std::string back;
    ASSERT_TRUE(host::utf8_to_cp1252(utf8, back));
    EXPECT_EQ(back, cp);
    EXPECT_FALSE(host::utf8_to_cp1252("\xe6\x97\xa5", back)) << "a CJK letter has no code page 1252 form";
    ASSERT_TRUE(host::utf8_to_cp1252("\xe6\x97\xa5-\xf0\x9f\x99\x82\xc3\xa9", back, true));
    EXPECT_EQ(back, "_-_\xe9") << "'_' for each character the code page cannot hold";
    EXPECT_EQ(host::path_to_host("a\\b\\c"), "a/b/c");
}

// The host reads UTF-8 as strictly as the stub's Windows conversion does
// (the cases of tests/utf8_cases.h, as the Win32 backend), and its "system
// code page" is 1252.
TEST(HostText, Utf16UnitsAsWindowsMakesThem)
{
    u16 units[8];
    for (const Utf8Case& c : utf8_cases)
        EXPECT_EQ(text_to_units(units, 8, c.text, (u32)strlen(c.text), 1), c.units) << c.text;
    ASSERT_EQ(text_to_units(units, 8, "caf\xe9\x80", 5, 0), 5u);
    EXPECT_EQ(units[3], 0xE9);
    EXPECT_EQ(units[4], 0x20AC);
    char out[16];
    EXPECT_EQ(text_from_units(out, sizeof out, units, 5), 8u);
    EXPECT_STREQ(out, "caf\xc3\xa9\xe2\x82\xac");
    EXPECT_EQ(text_from_units(out, 8, units, 5), 0u);
    EXPECT_STREQ(out, "");
    ASSERT_EQ(text_to_units(units, 8, "\xf0\x9f\x99\x82", 4, 1), 2u);
    EXPECT_EQ(text_from_units(out, sizeof out, units, 2), 4u);
    EXPECT_STREQ(out, "\xf0\x9f\x99\x82");
    EXPECT_EQ(utf16_length("a\xc3\xa9\xe6\x97\xa5\xf0\x9f\x99\x82"), 5u);
}

}  // namespace
