// Conformance: archives written by an independent implementation, each with
// a manifest of what a correct extractor leaves on disk. Every sample is
// extracted through host::extract_archive, the code path of `qvx x` (and
// so extract_all, as in the stub), into a fresh folder; the tree there must
// be exactly the manifest's files and folders, with their sizes, SHA-256,
// read-only bits and last-write times, and the run must end the way the
// manifest's outcome says. Nothing may appear beside the output folder.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <nlohmann/json.hpp>
#include <sys/stat.h>

#include <algorithm>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "host/extract.h"
#include "platform/host.h"
#include "tests/test_util.h"

namespace fs = std::filesystem;
using Json = nlohmann::json;

namespace {

std::vector<std::string> find_manifests()
{
    std::vector<std::string> out;
    std::string shared = testutil::shared_dir();
    if (shared.empty())
        return out;
    for (const char* sub : {"conformance", "conformance/sfx"}) {
        fs::path dir = fs::path(shared) / sub;
        std::error_code ec;
        if (!fs::is_directory(dir, ec))
            continue;
        for (const auto& e : fs::directory_iterator(dir, ec))
            if (e.path().extension() == ".json")
                out.push_back(e.path().string());
    }
    std::sort(out.begin(), out.end());
    return out;
}

std::vector<std::string> manifests_or_placeholder()
{
    std::vector<std::string> m = find_manifests();
    if (m.empty())
        m.push_back("");  // one test that reports the missing samples
    return m;
}

std::string test_name(const testing::TestParamInfo<std::string>& info)
{
    if (info.param.empty())
        return "samples_absent";
    fs::path p(info.param);
    std::string name = p.stem().string();
    if (p.parent_path().filename() == "sfx")
        name = "sfx_" + name;
    for (char& c : name)
        if (!isalnum((unsigned char)c))
            c = '_';
    return name;
}

std::string read_text(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

std::string file_sha256(const std::string& path)
{
    testutil::Bytes data = testutil::read_file(path);
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_Digest(data.data(), data.size(), digest, &length, EVP_sha256(), nullptr) != 1)
        return "";
    static const char hex[] = "0123456789abcdef";
    std::string out;
    for (unsigned int i = 0; i < length; i++) {
        out += hex[digest[i] >> 4];
        out += hex[digest[i] & 15];
    }
    return out;
}

time_t dos_time(uint16_t date, uint16_t time_word) { return host::dos_to_time(date, time_word); }

void add_with_parents(std::set<std::string>& folders, const std::string& path)
{
    for (size_t slash = path.find('/'); slash != std::string::npos; slash = path.find('/', slash + 1))
        folders.insert(path.substr(0, slash));
}

class Conformance : public testing::TestWithParam<std::string> {};

TEST_P(Conformance, ExtractsAsTheManifestSays)
{
    if (GetParam().empty())
        GTEST_SKIP() << "no conformance samples: <shared>/conformance not found (set DRAVEX_SHARED)";
    Json manifest = Json::parse(read_text(GetParam()));
    fs::path archive = fs::path(GetParam()).parent_path() / manifest["archive"].get<std::string>();
    ASSERT_TRUE(fs::exists(archive)) << archive;
    const std::string kind = manifest["outcome"]["kind"].get<std::string>();
    SCOPED_TRACE(manifest["name"].get<std::string>() + " (" + kind + "): " + manifest["description"].get<std::string>());

    testutil::TempDir tmp;
    std::string dest = tmp.file("out");
    host::ExtractOptions options;
    options.dest_dir = dest;
    options.overwrite_all = true;
    host::ExtractResult r = host::extract_archive(archive.string(), options);
    std::string messages;
    for (const std::string& m : r.messages)
        messages += "  " + m + "\n";
    SCOPED_TRACE("messages:\n" + messages);

    // The outcome.
    if (kind == "ok") {
        EXPECT_EQ(r.exit_code, host::EXIT_OK);
        EXPECT_TRUE(r.messages.empty());
    } else if (kind == "crc") {
        EXPECT_EQ(r.exit_code, host::EXIT_MEMBERS_FAILED);
        EXPECT_EQ(r.failed_members, manifest["outcome"]["bad_members"].size());
        for (const Json& bad : manifest["outcome"]["bad_members"]) {
            bool named = false;
            for (const std::string& m : r.messages)
                named |= m.find(bad.get<std::string>()) != std::string::npos && m.find("fails error check") != std::string::npos;
            EXPECT_TRUE(named) << bad.get<std::string>() << " not reported as failing its check";
        }
    } else if (kind == "damaged") {
        EXPECT_EQ(r.exit_code, host::EXIT_FAILED);
        EXPECT_TRUE(r.damaged);
        bool said = false;
        for (const std::string& m : r.messages)
            said |= m.find("Archive data is damaged") != std::string::npos;
        EXPECT_TRUE(said) << "no damage message";
    } else if (kind == "read_error") {
        EXPECT_EQ(r.exit_code, host::EXIT_FAILED);
    } else if (kind == "unsafe") {
        // Refused names count as failed members; names too long for the
        // destination are passed over silently. Either way the tree below
        // must be exactly the listed one.
        EXPECT_NE(r.exit_code, host::EXIT_FAILED);
    } else if (kind == "empty") {
        EXPECT_EQ(r.exit_code, host::EXIT_OK);
        EXPECT_TRUE(r.empty);
        ASSERT_EQ(r.messages.size(), 1u);
        EXPECT_EQ(r.messages[0], "Archive contains no files");
    } else {
        ADD_FAILURE() << "unknown outcome kind " << kind;
    }

    // Nothing beside the output folder.
    for (const auto& e : fs::directory_iterator(tmp.path()))
        EXPECT_EQ(e.path().filename().string(), "out") << "written outside the destination: " << e.path();

    // The tree, exactly.
    std::map<std::string, const Json*> expected_files;
    std::set<std::string> expected_folders;
    for (const Json& f : manifest["files"]) {
        expected_files[f["path"].get<std::string>()] = &f;
        add_with_parents(expected_folders, f["path"].get<std::string>());
    }
    for (const Json& d : manifest["folders"]) {
        expected_folders.insert(d["path"].get<std::string>());
        add_with_parents(expected_folders, d["path"].get<std::string>());
    }
    std::set<std::string> found_files, found_folders;
    if (fs::exists(dest)) {
        for (auto it = fs::recursive_directory_iterator(dest); it != fs::recursive_directory_iterator(); ++it) {
            std::string rel = fs::relative(it->path(), dest).generic_string();
            if (it->is_directory())
                found_folders.insert(rel);
            else
                found_files.insert(rel);
        }
    }
    std::set<std::string> expected_file_set;
    for (const auto& kv : expected_files)
        expected_file_set.insert(kv.first);
    EXPECT_EQ(found_files, expected_file_set);
    EXPECT_EQ(found_folders, expected_folders);

    for (const auto& kv : expected_files) {
        const Json& f = *kv.second;
        std::string path = dest + "/" + kv.first;
        struct stat st;
        if (stat(path.c_str(), &st) != 0)
            continue;  // already reported above
        SCOPED_TRACE(kv.first);
        EXPECT_EQ((int64_t)st.st_size, f["size"].get<int64_t>());
        EXPECT_EQ(file_sha256(path), f["sha256"].get<std::string>());
        bool read_only = (st.st_mode & 0222) == 0;
        EXPECT_EQ(read_only, (f["attributes"].get<int64_t>() & 1) != 0);
        uint16_t write_date = (uint16_t)f["write_date"].get<int64_t>();
        if (write_date != 0) {
            EXPECT_EQ(st.st_mtime, dos_time(write_date, (uint16_t)f["write_time"].get<int64_t>()));
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Samples, Conformance, testing::ValuesIn(manifests_or_placeholder()), test_name);

// The same samples through the test mode (`qvx t`): it must judge each
// archive as extraction does, and write nothing.
TEST_P(Conformance, TestModeAgreesAndWritesNothing)
{
    if (GetParam().empty())
        GTEST_SKIP() << "no conformance samples";
    Json manifest = Json::parse(read_text(GetParam()));
    fs::path archive = fs::path(GetParam()).parent_path() / manifest["archive"].get<std::string>();
    const std::string kind = manifest["outcome"]["kind"].get<std::string>();
    testutil::TempDir tmp;
    host::ExtractOptions options;
    options.test_only = true;
    options.dest_dir = tmp.file("out");
    host::ExtractResult r = host::extract_archive(archive.string(), options);
    EXPECT_FALSE(fs::exists(tmp.file("out")));
    if (kind == "unsafe") {
        EXPECT_NE(r.exit_code, host::EXIT_FAILED);
    } else {
        int expected = kind == "crc" ? host::EXIT_MEMBERS_FAILED
                       : kind == "damaged" || kind == "read_error" ? host::EXIT_FAILED
                                                                   : host::EXIT_OK;
        EXPECT_EQ(r.exit_code, expected) << manifest["name"].get<std::string>();
    }
    if (kind == "crc") {
        EXPECT_EQ(r.failed_members, manifest["outcome"]["bad_members"].size());
    }
}

}  // namespace
