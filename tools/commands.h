// The qvx commands. main.cpp parses the command line into these records;
// each command returns the process exit code (0 all well, 1 some members
// failed, 2 archive damaged or unreadable, or a usage error). One file per
// command: add.cpp, extract.cpp, list.cpp (l and t), sfx.cpp. Output
// conventions: results on stdout, problems on stderr one line each, a
// progress bar on stderr only when it is a terminal.
#ifndef DRAVEX_TOOLS_COMMANDS_H
#define DRAVEX_TOOLS_COMMANDS_H

#include <cstdint>
#include <string>
#include <vector>

namespace qvx {

struct SfxSettings {
    std::string stub;     // stub file; empty: the built-in PE32 stub
    std::string title, folder, command;  // UTF-8 as typed
    bool title_set = false, folder_set = false, command_set = false;
    bool overwrite = false;
    // The publisher's identity (UTF-8): version strings and an .ico file.
    std::string product, product_version, company, copyright, description, icon;
    std::string elevate;  // "admin", "highest" or empty (no elevation asked)
    // The publisher's texts (literal UTF-8), and --texts files, one a language.
    std::string banner, intro, help_text, support;
    std::vector<std::string> text_files;
    bool has_identity() const
    {
        return !product.empty() || !product_version.empty() || !company.empty() || !copyright.empty() ||
               !description.empty() || !icon.empty() || !elevate.empty() || !banner.empty() || !intro.empty() ||
               !help_text.empty() || !support.empty() || !text_files.empty();
    }
    std::string command_dir;  // "dest": the command starts in the destination folder
    bool no_switches = false;  // the stub ignores its command line (SfxHeader flag bit 4 clear)
};

// How much a command says: -q errors only, -v one line per member.
enum class Verbosity { QUIET, NORMAL, VERBOSE };

struct AddCommand {
    std::string output;
    std::vector<std::string> inputs;  // "-" and "@FILE" name lists of inputs
    bool null_separated = false;      // --null: the lists are NUL-separated
    std::string base_dir;             // -C: inputs are relative to it
    std::vector<std::string> excludes, includes;
    std::string symlinks = "inside";  // inside (the default), follow, skip, store-target
    int level = 6;                    // 0 stores
    uint64_t stream_size = 0;
    unsigned threads = 0;  // 0: one per core
    bool sfx = false;
    bool force = false;
    Verbosity verbosity = Verbosity::NORMAL;
    SfxSettings settings;
};

struct SfxCommand {
    std::string stub, archive, output;
    bool force = false;
    bool wrap_damaged = false;  // wrap an archive that fails its test
    SfxSettings settings;
};

struct ExtractCommand {
    std::string archive;
    std::vector<std::string> members;  // paths or globs; empty: all
    std::string dest = ".";
    bool yes = false;
    bool force = false;  // extract a self-extractor whose stub was changed
    bool no_space_check = false;  // extract even when the files seem not to fit
    Verbosity verbosity = Verbosity::NORMAL;
};

struct ListCommand {
    std::vector<std::string> archives;
    bool json = false;
};

int run_add(const AddCommand& c);
int run_sfx(const SfxCommand& c);
int run_extract(const ExtractCommand& c);
// t and l take several archives; the exit code is the worst of their codes.
int run_test(const std::vector<std::string>& archives, Verbosity verbosity);
int run_list(const ListCommand& c);

// Extraction, or a test when c is null: the run that x and t share.
class PathFilter;
// members: extract only those (null: all).
int run_extract_or_test(const std::string& archive, const ExtractCommand* c, Verbosity verbosity,
                        const PathFilter* members = nullptr);

// "4M", "512k", "1G", "1000": bytes; false when it is not a size.
bool parse_size(const std::string& text, uint64_t& out);

}  // namespace qvx

#endif
