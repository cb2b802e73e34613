// qvx sfx, and the self-extractor settings that qvx a shares.
#include "tools/sfx.h"

#include <sys/stat.h>

#include <cstring>
#include <strings.h>

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
    id.texts.banner = s.banner;
    id.texts.intro = s.intro;
    id.texts.help = s.help_text;
    id.texts.support = s.support;
    for (const std::string& file : s.text_files) {
        packer::PublisherTexts texts;
        if (!read_texts_file(file, texts))
            return false;
        id.translations.push_back(texts);
    }
    return true;
}

// Windows language ids of the common language tags; --texts also takes the
// number itself (0x0407 or 1031).
static const std::pair<const char*, uint16_t> language_tags[] = {
    {"en-US", 0x0409}, {"en-GB", 0x0809}, {"de-DE", 0x0407}, {"de-AT", 0x0C07}, {"de-CH", 0x0807},
    {"fr-FR", 0x040C}, {"fr-CA", 0x0C0C}, {"es-ES", 0x0C0A}, {"es-MX", 0x080A}, {"it-IT", 0x0410},
    {"nl-NL", 0x0413}, {"pt-BR", 0x0416}, {"pt-PT", 0x0816}, {"ru-RU", 0x0419}, {"uk-UA", 0x0422},
    {"pl-PL", 0x0415}, {"cs-CZ", 0x0405}, {"sk-SK", 0x041B}, {"hu-HU", 0x040E}, {"ro-RO", 0x0418},
    {"sv-SE", 0x041D}, {"da-DK", 0x0406}, {"fi-FI", 0x040B}, {"nb-NO", 0x0414}, {"tr-TR", 0x041F},
    {"el-GR", 0x0408}, {"ja-JP", 0x0411}, {"ko-KR", 0x0412}, {"zh-CN", 0x0804}, {"zh-TW", 0x0404},
};

static bool parse_language(const std::string& value, uint16_t& out)
{
    for (const auto& [tag, id] : language_tags)
        if (strcasecmp(tag, value.c_str()) == 0) {
            out = id;
            return true;
        }
    char* end = nullptr;
    unsigned long n = strtoul(value.c_str(), &end, 0);
    if (value.empty() || *end != 0 || n == 0 || n > 0xFFFF)
        return false;
    out = (uint16_t)n;
    return true;
}

// A --texts file: UTF-8 lines "key = value" (blank lines and lines starting
// with # ignored); keys language (required), banner, intro, help, support.
// In a value \n is a line break and \\ a backslash; anything else is taken
// as it is.
bool read_texts_file(const std::string& path, packer::PublisherTexts& out)
{
    std::vector<uint8_t> bytes;
    std::string error;
    if (!read_file(path, bytes, error)) {
        error_line(error);
        return false;
    }
    std::string text(bytes.begin(), bytes.end());
    if (text.compare(0, 3, "\xEF\xBB\xBF") == 0)
        text.erase(0, 3);  // a byte-order mark
    if (!host::is_utf8(text)) {
        error_line(path + ": not UTF-8 text");
        return false;
    }
    out = packer::PublisherTexts();
    bool language = false;
    size_t line_number = 0;
    for (size_t at = 0; at < text.size();) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos)
            end = text.size();
        std::string line = text.substr(at, end - at);
        at = end + 1;
        line_number++;
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        auto trim = [](std::string s) {
            size_t a = s.find_first_not_of(" \t"), b = s.find_last_not_of(" \t");
            return a == std::string::npos ? std::string() : s.substr(a, b - a + 1);
        };
        std::string trimmed = trim(line);
        if (trimmed.empty() || trimmed[0] == '#')
            continue;
        size_t equals = trimmed.find('=');
        std::string where = path + " line " + std::to_string(line_number);
        if (equals == std::string::npos) {
            error_line(where + ": not \"key = value\"");
            return false;
        }
        std::string key = trim(trimmed.substr(0, equals));
        std::string raw = trim(trimmed.substr(equals + 1)), value;
        for (size_t i = 0; i < raw.size(); i++) {
            if (raw[i] == '\\' && i + 1 < raw.size() && (raw[i + 1] == 'n' || raw[i + 1] == '\\')) {
                value += raw[i + 1] == 'n' ? '\n' : '\\';
                i++;
            } else {
                value += raw[i];
            }
        }
        std::string* field = key == "banner" ? &out.banner
                             : key == "intro" ? &out.intro
                             : key == "help"  ? &out.help
                             : key == "support" ? &out.support
                                                : nullptr;
        if (key == "language") {
            if (!parse_language(value, out.language)) {
                error_line(where + ": unknown language \"" + printable(value) +
                           "\" (a tag such as de-DE, or a Windows language id such as 0x0407)");
                return false;
            }
            language = true;
        } else if (field == nullptr) {
            error_line(where + ": unknown key \"" + printable(key) + "\" (language, banner, intro, help, support)");
            return false;
        } else {
            *field = value;
        }
    }
    if (!language) {
        error_line(path + ": no \"language = ...\" line");
        return false;
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
    print_out("%s: %s, %s, %llu bytes -> %llu bytes\n", printable(c.output).c_str(), counted(tested.files, "file").c_str(),
           counted(tested.folders, "folder").c_str(), (unsigned long long)tested.bytes, (unsigned long long)size);
    return 0;
}

}  // namespace qvx
