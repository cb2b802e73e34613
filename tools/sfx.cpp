// qvx sfx, and the self-extractor settings that qvx a shares.
#include "tools/sfx.h"

#include <sys/stat.h>

#include <cstring>

#include "archive/stub_info.h"
#include "host/extract.h"
#include "platform/host.h"
#include "tools/output_file.h"
#include "tools/tool_util.h"

namespace qvx {

// The strings are stored as given, in UTF-8 (the builder marks the header
// when one is not plain ASCII).
static bool check_utf8(const std::string& what, const std::string& text, std::string& out)
{
    if (!host::is_utf8(text)) {
        error_line(what + " \"" + printable(text) + "\" is not UTF-8");
        return false;
    }
    out = text;
    return true;
}

bool sfx_strings(const SfxSettings& s, packer::SfxStrings& out)
{
    if (!check_utf8("--title", s.title, out.title) || !check_utf8("--folder", s.folder, out.folder) ||
        !check_utf8("--command", s.command, out.command))
        return false;
    out.overwrite = s.overwrite;
    out.command_in_destination = s.command_dir == "dest";
    out.switches = !s.no_switches;
    // Without any setting the stub's defaults apply: no SfxHeader at all.
    // The switches need one: it then holds the defaults the stub shows
    // without it (its own title, the folder it is started from).
    out.with_header = s.title_set || s.folder_set || s.command_set || s.overwrite || out.command_in_destination;
    if (!out.with_header && out.switches) {
        out.with_header = true;
        out.title = initial_title;
        out.folder = ".";
    }
    packer::PublisherIdentity& id = out.identity;
    id.product = s.product;
    id.product_version = s.product_version;
    id.company = s.company;
    id.copyright = s.copyright;
    id.description = s.description;
    if (!s.elevate.empty())
        id.execution_level = s.elevate == "admin" ? "requireAdministrator" : "highestAvailable";
    if (!s.icon.empty()) {
        std::string error;
        if (!read_file(s.icon, id.icon, error)) {
            error_line(error);
            return false;
        }
    }
    return true;
}

bool check_folder(const std::string& folder)
{
    for (size_t i = 0; i < folder.size(); i++) {
        unsigned char c = (unsigned char)folder[i];
        std::string why;
        if (c < 0x20)
            why = "a control character";
        else if (strchr("<>\"|?*", c) != nullptr)
            why = std::string("'") + (char)c + "'";
        // A colon only after a drive letter.
        else if (c == ':' && !(i == 1 && isalpha((unsigned char)folder[0])))
            why = "':' (other than after a drive letter)";
        if (!why.empty()) {
            error_line("--folder \"" + printable(folder) + "\": " + why +
                       " is not allowed in a Windows folder name");
            return false;
        }
    }
    return true;
}

bool load_stub(const SfxSettings& s, std::vector<uint8_t>& stub)
{
    if (!s.stub.empty()) {
        std::string error;
        if (!read_file(s.stub, stub, error)) {
            error_line(error);
            return false;
        }
        return true;
    }
    stub = packer::embedded_stub();
    if (stub.empty()) {
        error_line("this qvx was built without a stub; give one with --stub FILE");
        return false;
    }
    return true;
}

bool build_and_write_sfx(const std::vector<uint8_t>& stub, const std::vector<uint8_t>& archive,
                         const packer::SfxStrings& strings, const std::string& output)
{
    std::vector<uint8_t> out;
    std::string error;
    std::vector<std::string> warnings;
    bool ok = packer::build_sfx(stub, archive, strings, out, error, warnings);
    for (const std::string& w : warnings)
        error_line("warning: " + w);
    if (!ok) {
        error_line(error);
        return false;
    }
    if (!write_atomically(output, out, error)) {
        error_line(error);
        return false;
    }
    return true;
}

int run_sfx(const SfxCommand& c)
{
    if (c.settings.folder_set && !check_folder(c.settings.folder))
        return EXIT_USAGE;
    if (!check_output(c.output, c.force))
        return EXIT_FAILED;
    packer::SfxStrings strings;
    if (!sfx_strings(c.settings, strings))
        return EXIT_FAILED;
    std::vector<uint8_t> stub, archive;
    std::string error;
    if (!read_file(c.stub, stub, error) || !read_file(c.archive, archive, error)) {
        error_line(error);
        return EXIT_FAILED;
    }
    if (archive.size() >= 2 && archive[0] == 'M' && archive[1] == 'Z') {
        error_line(c.archive + " is not a bare QVX archive (it is an executable)");
        return EXIT_FAILED;
    }
    // The archive is tested as `qvx t` tests it, so that no self-extractor
    // is made from a cut or damaged one unless that is what is wanted.
    host::ExtractOptions test;
    test.test_only = true;
    test.report = [](const std::string& line) { error_line(line); };
    host::ExtractResult tested = host::extract_archive(c.archive, test);
    if (tested.exit_code != 0) {
        if (!c.wrap_damaged || tested.messages.empty() ||
            tested.messages[0].find("is not a QVX archive") != std::string::npos) {
            error_line(c.archive + " fails its test; nothing written (--wrap-damaged wraps it anyway)");
            return EXIT_FAILED;
        }
        error_line("warning: " + c.archive + " fails its test; wrapped as it is (--wrap-damaged)");
    }
    if (!build_and_write_sfx(stub, archive, strings, c.output))
        return EXIT_FAILED;
    uint64_t size = 0;
    struct stat st;
    if (stat(c.output.c_str(), &st) == 0)
        size = (uint64_t)st.st_size;
    printf("%s: %s, %s, %llu bytes -> %llu bytes\n", printable(c.output).c_str(), counted(tested.files, "file").c_str(),
           counted(tested.folders, "folder").c_str(), (unsigned long long)tested.bytes, (unsigned long long)size);
    return 0;
}

}  // namespace qvx
