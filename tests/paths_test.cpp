// Target paths: the 8.3 conversion (in place, component by component), the
// creation of folder chains on the host backend, and the check that keeps
// archive names inside the destination folder.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "archive/paths.h"
#include "archive/stub_info.h"
#include "platform/host.h"
#include "platform/platform.h"
#include "tests/test_util.h"

namespace {

std::string shorten(const std::string& component)
{
    std::string buffer = component;
    char* end = shorten_component(&buffer[0], buffer.data(), buffer.data() + buffer.size());
    return std::string(buffer.data(), end);
}

std::string short_path(const std::string& path, int short_names = 1)
{
    char buffer[PATH_SIZE];
    snprintf(buffer, sizeof buffer, "%s", path.c_str());
    make_short_path(buffer, short_names);
    return buffer;
}

// A host directory written the way the core sees paths: backslashes.
std::string windows_form(const std::string& host_path)
{
    std::string s = host_path;
    for (char& c : s)
        if (c == '/')
            c = '\\';
    return s;
}

bool is_directory(const std::string& host_path)
{
    return path_get_attributes(windows_form(host_path).c_str()) == ATTR_DIRECTORY;
}

TEST(ShortenComponent, Examples)
{
    EXPECT_EQ(shorten("readme.html"), "readme.htm");
    EXPECT_EQ(shorten("Program Files"), "ProgramF");
    EXPECT_EQ(shorten("My Data.file.txt"), "MyDatafi.txt");
    EXPECT_EQ(shorten("a..b"), "a.b");
    EXPECT_EQ(shorten("z.tar.gz"), "ztar.gz");
    EXPECT_EQ(shorten("abcdefghijkl"), "abcdefgh");
    EXPECT_EQ(shorten(".profile"), ".pro");
    EXPECT_EQ(shorten("name."), "name.");
    EXPECT_EQ(shorten(""), "");
    EXPECT_EQ(shorten("SETUP.EXE"), "SETUP.EXE");
    // UTF-8: characters count, their bytes stay together.
    EXPECT_EQ(shorten("\xd0\x97\xd0\xb0\xd0\xb3\xd1\x80\xd1\x83\xd0\xb7\xd0\xba\xd0\xb8-x.\xf0\x9f\x99\x82\xd0\xb0\xd0\xb1\xd0\xb2"),
              "\xd0\x97\xd0\xb0\xd0\xb3\xd1\x80\xd1\x83\xd0\xb7\xd0\xba\xd0\xb8.\xf0\x9f\x99\x82\xd0\xb0\xd0\xb1");
}

TEST(ShortenComponent, DroppedCharactersDoNotCount)
{
    // Nine dropped characters in the base, then eight kept ones.
    EXPECT_EQ(shorten(" :*?\"<>|/abcdefghij.t x*t"), "abcdefgh.txt");
    // The extension keeps its dot and at most three characters.
    EXPECT_EQ(shorten("a.<b>c|d e"), "a.bcd");
    EXPECT_EQ(shorten("a b c"), "abc");
}

TEST(ShortenComponent, WorksInPlaceInsideALongerBuffer)
{
    char buffer[] = "xx My Data.file.txt|tail";
    char* begin = buffer + 3;
    char* end = begin + 16;
    char* result = shorten_component(begin, begin, end);
    EXPECT_EQ(std::string(begin, result), "MyDatafi.txt");
    EXPECT_EQ(std::string(end), "|tail") << "nothing written past the component";
    EXPECT_EQ(std::string(buffer, 3), "xx ");
}

TEST(MakeShortPath, NothingChangesWithoutShortNames)
{
    std::string long_path = "C:\\Program Files\\A Very Long Folder Name\\read me first.html";
    EXPECT_EQ(short_path(long_path, 0), long_path);
}

TEST(MakeShortPath, EveryComponentAfterTheDrive)
{
    EXPECT_EQ(short_path("C:\\Program Files\\My App\\read me.html"), "C:\\ProgramF\\MyApp\\readme.htm");
    EXPECT_EQ(short_path("C:\\x\\\\y\\z.tar.gz"), "C:\\x\\\\y\\ztar.gz");
    EXPECT_EQ(short_path("\\\\server\\share\\long folder\\file"), "\\\\server\\share\\longfold\\file");
    EXPECT_EQ(short_path("C:Program Files"), "C:ProgramF");
    EXPECT_EQ(short_path("relative dir\\setup.html"), "relative\\setup.htm");
    EXPECT_EQ(short_path("C:\\Data\\"), "C:\\Data\\");
    EXPECT_EQ(short_path(""), "");
    EXPECT_EQ(short_path("C:"), "C:");
}

TEST(MakeShortPath, FolderConvertsAloneAsInsideAFullPath)
{
    // The driver relies on this to find the name in a converted path.
    std::string folder = "D:\\Some Folder\\sub dir.x.y\\";
    std::string full = short_path(folder + "Long Name.html");
    std::string prefix = short_path(folder);
    ASSERT_EQ(full.compare(0, prefix.size(), prefix), 0);
    EXPECT_EQ(full.substr(prefix.size()), "LongName.htm");
}

TEST(MakeShortPath, UnterminatedBufferIsNotOverrun)
{
    char buffer[PATH_BUFFER_SIZE + 8];
    memset(buffer, 'a', sizeof buffer);
    buffer[PATH_BUFFER_SIZE + 7] = 0;
    make_short_path(buffer, 1);
    EXPECT_EQ(std::string(buffer), "aaaaaaaa");
    for (size_t i = PATH_BUFFER_SIZE; i < PATH_BUFFER_SIZE + 7; i++)
        EXPECT_EQ(buffer[i], 'a');
}

struct CreateFolderPathTest : ::testing::Test {
    testutil::TempDir temp;
    std::string saved_cwd;
    void SetUp() override
    {
        char cwd[4096];
        saved_cwd = getcwd(cwd, sizeof cwd) ? cwd : "/";
        ASSERT_EQ(chdir(temp.path().c_str()), 0);
        LastError = 0;
    }
    void TearDown() override { ASSERT_EQ(chdir(saved_cwd.c_str()), 0); }
    std::string root() { return windows_form(temp.path()); }
};

TEST_F(CreateFolderPathTest, CreatesTheMissingChainBelowAnExistingFolder)
{
    ASSERT_EQ(mkdir(temp.file("a").c_str(), 0777), 0);
    std::string path = root() + "\\a\\b\\c";
    EXPECT_EQ(create_folder_path(path.c_str()), 1);
    EXPECT_TRUE(is_directory(temp.file("a/b")));
    EXPECT_TRUE(is_directory(temp.file("a/b/c")));
    EXPECT_EQ(path, root() + "\\a\\b\\c") << "the caller's path is not changed";
}

TEST_F(CreateFolderPathTest, ExistingPathsSucceedWhateverTheyAre)
{
    testutil::write_text(temp.file("file"), "x");
    EXPECT_EQ(create_folder_path((root() + "\\file").c_str()), 1);
    EXPECT_EQ(create_folder_path(root().c_str()), 1);
    EXPECT_EQ(create_folder_path((root() + "\\").c_str()), 1) << "a trailing backslash is ignored";
}

TEST_F(CreateFolderPathTest, EmptyAndLoneBackslashAreEmpty)
{
    EXPECT_EQ(create_folder_path(""), 1);
    EXPECT_EQ(create_folder_path("\\"), 1);
}

TEST_F(CreateFolderPathTest, RelativeChainsStartWithTheirFirstComponent)
{
    EXPECT_EQ(create_folder_path("r1\\r2\\r3"), 1);
    EXPECT_TRUE(is_directory(temp.file("r1/r2/r3")));
}

TEST_F(CreateFolderPathTest, FileInTheWayFailsWithItsError)
{
    testutil::write_text(temp.file("plain"), "x");
    std::string path = root() + "\\plain\\sub\\deeper";
    EXPECT_EQ(create_folder_path(path.c_str()), 0);
    EXPECT_EQ(LastError, (u32)OS_PATH_NOT_FOUND);
}

TEST_F(CreateFolderPathTest, NeverTriesTheDriveRoot)
{
    // "Q:" is an ordinary (missing) directory name on the host; the walk must
    // stop below it instead of creating it.
    EXPECT_EQ(create_folder_path("Q:\\x\\y"), 0);
    EXPECT_FALSE(testutil::file_exists(temp.file("Q:")));
    EXPECT_EQ(create_folder_path("Q:\\x"), 0);
    EXPECT_FALSE(testutil::file_exists(temp.file("Q:")));
}

TEST_F(CreateFolderPathTest, LongestPathFitsTheLocalCopy)
{
    std::string path = "p";
    while (path.size() + 4 <= PATH_SIZE - 1)
        path += "\\abc";
    ASSERT_LE(path.size(), (size_t)PATH_SIZE - 1);
    EXPECT_EQ(create_folder_path(path.c_str()), 1);
    EXPECT_TRUE(is_directory(temp.file(host::path_to_host(path.c_str()))));
}

// Names an archive may hold that must never be created. Each is tried with
// backslashes and with slashes, alone and below folders.
const char* const unsafe_names[] = {
    "\\evil.txt", "\\", "\\\\server\\share\\x", "C:evil.txt", "C:\\evil.txt", "c:", "a:b", "dir\\file:stream",
    "..", "..\\evil.txt", "dir\\..\\..\\evil.txt", "dir\\..", "...", ".. ", ". .\\..\\x", "a\x01z", "tab\there",
    "nl\nx", "CON", "con", "Con.txt", "NUL.tar.gz", "dir\\prn\\x.txt", "AUX", "aux .txt", "COM1", "com9.log",
    "LPT1", "lpt9.txt", "COM\xB9", "lpt\xC2\xB2.txt", "CONIN$", "conout$.x", "",
};

std::string with_slashes(std::string s)
{
    for (char& c : s)
        if (c == '\\')
            c = '/';
    return s;
}

bool safe(const std::string& name)
{
    return entry_name_is_safe(name.data(), (u32)name.size()) != 0;
}

TEST(EntryNameIsSafe, RefusesEveryEscapeAndDeviceForm)
{
    for (const char* raw : unsafe_names) {
        std::string name = raw;
        for (const std::string& form : {name, with_slashes(name)}) {
            EXPECT_FALSE(safe(form)) << form;
            if (!form.empty() && form[0] != '\\' && form[0] != '/' && form[1] != ':') {
                EXPECT_FALSE(safe("sub\\" + form)) << form;
                EXPECT_FALSE(safe("sub/deeper/" + form)) << form;
            }
        }
    }
}

TEST(EntryNameIsSafe, EmbeddedZeroIsRefused)
{
    std::string name("ok\0..\\x", 7);
    EXPECT_FALSE(safe(name));
}

TEST(EntryNameIsSafe, OrdinaryNamesPass)
{
    const char* ok[] = {"a", "readme.txt", "dir\\sub\\file.bin", "dir/sub/file.bin", ".profile", "a..b", "..a",
                        "a..", "x\\\\y", "dir\\", "a\\.\\b", "CONSOLE.txt", "COM10", "COM0", "LPT", "nul_file",
                        "con-fig.h", "auxiliary", "PRN2", "caf\xE9.txt", "caf\xC3\xA9.txt", "COM\xC2\xBC",
                        "Program Files\\App\\setup.exe"};
    for (const char* name : ok)
        EXPECT_TRUE(safe(name)) << name;
}

}  // namespace
