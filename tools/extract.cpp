// qvx x, and the extraction run that qvx t shares: the host extraction with
// the overwrite question on the terminal and the progress bar.
#include <unistd.h>

#include <cstdio>
#include <iostream>

#include "packer/host_extract.h"
#include "platform/platform.h"
#include "tools/commands.h"
#include "tools/progress_bar.h"
#include "tools/tool_util.h"

namespace qvx {

static int ask_on_terminal(const std::string& file, ProgressBar& bar)
{
    bar.clear();
    std::string shown = printable(file);
    if (isatty(STDIN_FILENO) == 0) {
        error_line(shown + " exists; not overwritten (use -y to overwrite)");
        return ANSWER_NO;
    }
    while (true) {
        fprintf(stderr, "Overwrite %s? [y]es/[n]o/[A]ll ", shown.c_str());
        fflush(stderr);
        std::string answer;
        if (!std::getline(std::cin, answer))
            return ANSWER_NO;
        if (answer == "y" || answer == "Y" || answer == "yes")
            return ANSWER_YES;
        if (answer == "A" || answer == "a" || answer == "all")
            return ANSWER_YES_TO_ALL;
        if (answer == "n" || answer == "N" || answer == "no" || answer.empty())
            return ANSWER_NO;
    }
}

int run_extract_or_test(const std::string& archive, const ExtractCommand* c)
{
    ProgressBar bar(c ? "Extracting" : "Testing");
    packer::ExtractOptions options;
    options.test_only = c == nullptr;
    if (c != nullptr) {
        options.dest_dir = c->dest;
        options.overwrite_all = c->yes;
        options.ask_overwrite = [&bar](const std::string& file) { return ask_on_terminal(file, bar); };
    }
    options.report = [&bar](const std::string& line) {
        bar.clear();
        error_line(printable(line));
    };
    options.progress = [&bar](const std::string& name, uint64_t done, uint64_t total) {
        bar.update(printable(name), done, total);
    };
    packer::ExtractResult r = packer::extract_archive(archive, options);
    bar.clear();
    if (!r.command.empty())
        printf("The archive's command (not run): %s\n", printable(r.command).c_str());
    if (c == nullptr && r.exit_code == 0 && !r.empty)
        printf("%s: OK, %s, %s, %llu bytes\n", archive.c_str(), counted(r.files, "file").c_str(),
               counted(r.folders, "folder").c_str(), (unsigned long long)r.bytes);
    return r.exit_code;
}

int run_extract(const ExtractCommand& c) { return run_extract_or_test(c.archive, &c); }

}  // namespace qvx
