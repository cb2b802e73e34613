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
};

struct AddCommand {
    std::string output;
    std::vector<std::string> inputs;
    int level = 6;
    uint64_t stream_size = 0;
    bool sfx = false;
    bool force = false;
    SfxSettings settings;
};

struct SfxCommand {
    std::string stub, archive, output;
    bool force = false;
    SfxSettings settings;
};

struct ExtractCommand {
    std::string archive;
    std::string dest = ".";
    bool yes = false;
};

int run_add(const AddCommand& c);
int run_sfx(const SfxCommand& c);
int run_extract(const ExtractCommand& c);
int run_test(const std::string& archive);
int run_list(const std::string& archive);

// Extraction, or a test when c is null: the run that x and t share.
int run_extract_or_test(const std::string& archive, const ExtractCommand* c);

// "4M", "512k", "1G", "1000": bytes; false when it is not a size.
bool parse_size(const std::string& text, uint64_t& out);

}  // namespace qvx

#endif
