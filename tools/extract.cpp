// qvx x, and the extraction run that qvx t shares: the host extraction with
// the overwrite question on the terminal and the progress bar.
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <iostream>

#include "host/extract.h"
#include "platform/host.h"
#include "platform/platform.h"
#include "tools/commands.h"
#include "tools/path_filter.h"
#include "tools/progress_bar.h"
#include "tools/tool_util.h"

namespace qvx {

namespace {

// The overwrite question on the terminal, and what the answers so far mean
// for the files still to come.
struct OverwritePrompt {
    ProgressBar& bar;
    bool never = false;          // "never": keep every existing file from now on
    unsigned kept = 0;           // files kept because no one could be asked
    unsigned declined = 0;       // files the user chose to keep
    bool quit = false;           // "quit": the run stops before the next member

    int ask(const std::string& file)
    {
        bar.clear();
        std::string shown = printable(file);
        if (never) {
            declined++;
            return ANSWER_NO;
        }
        if (isatty(STDIN_FILENO) == 0) {
            error_line(shown + " exists; not overwritten (use -y to overwrite)");
            kept++;
            return ANSWER_NO;
        }
        while (true) {
            print_err("Overwrite %s? [y]es/[n]o/[A]ll/[N]ever/[q]uit (Enter: no) ", shown.c_str());
            fflush(stderr);
            std::string answer;
            if (!std::getline(std::cin, answer)) {
                kept++;
                return ANSWER_NO;
            }
            if (answer == "y" || answer == "Y" || answer == "yes")
                return ANSWER_YES;
            if (answer == "A" || answer == "a" || answer == "all")
                return ANSWER_YES_TO_ALL;
            if (answer == "n" || answer == "no" || answer.empty()) {
                declined++;
                return ANSWER_NO;
            }
            if (answer == "N" || answer == "never") {
                never = true;
                declined++;
                return ANSWER_NO;
            }
            if (answer == "q" || answer == "Q" || answer == "quit") {
                quit = true;
                // The Cancel of the stub's dialog: the run ends before the
                // next member, leaving this file as it is.
                declined++;
                return host::ANSWER_NO_AND_STOP;
            }
        }
    }
};

// Member names in the extractor's messages are Windows paths; on the host
// they are shown with '/'.
std::string host_message(const std::string& line)
{
    std::string out = printable(line);
    for (char& c : out)
        if (c == '\\')
            c = '/';
    // The stub's words, made precise for the terminal.
    size_t at = out.find("fails error check");
    if (at != std::string::npos)
        out.replace(at, 17, "fails its CRC-32 check");
    return out;
}

// What `t` says of a name `x` could not create: it creates nothing itself.
std::string test_message(const std::string& line)
{
    static const std::string prefix = "Cannot create ";
    if (line.compare(0, prefix.size(), prefix) != 0)
        return line;
    size_t end = line.find(": ", prefix.size());
    if (end == std::string::npos)
        end = line.size();
    return line.substr(prefix.size(), end - prefix.size()) + " cannot be created" + line.substr(end);
}

}  // namespace

int run_extract_or_test(const std::string& archive, const ExtractCommand* c, Verbosity verbosity,
                        const PathFilter* members)
{
    ProgressBar bar(c ? "Extracting" : "Testing");
    OverwritePrompt prompt{bar};
    host::ExtractOptions options;
    options.test_only = c == nullptr;
    if (c != nullptr) {
        options.dest_dir = c->dest;
        options.overwrite_all = c->yes;
        options.force = c->force;
        options.no_space_check = c->no_space_check;
        options.ask_overwrite = [&prompt](const std::string& file) { return prompt.ask(file); };
        // A folder named (or matched) brings everything in it.
        if (members != nullptr)
            options.select = [members](const std::string& name, bool) { return members->matches(name); };
    }
    // Testing several archives, each line names the archive it is about.
    bool testing = c == nullptr;
    options.report = [&bar, &archive, testing](const std::string& line) {
        bar.clear();
        if (testing && line.find(archive) == std::string::npos)
            error_line(archive + ": " + test_message(host_message(line)));
        else
            error_line(host_message(line));
    };
    options.progress = [&bar, verbosity](const std::string& name, uint64_t done, uint64_t total) {
        if (verbosity == Verbosity::VERBOSE) {
            bar.clear();
            print_out("%s\n", printable(name).c_str());
            fflush(stdout);
        }
        bar.update(printable(name), done, total);
    };
    host::ExtractResult r = host::extract_archive(archive, options);
    bar.clear();
    int code = r.exit_code;
    // A file kept only because no one could be asked is not what the user
    // wanted: the run did not do all it was asked to.
    if (code == 0 && prompt.kept > 0)
        code = 1;
    if (verbosity == Verbosity::QUIET)
        return code;
    if (!r.command.empty())
        print_out("The archive's command (not run): %s\n", printable(r.command).c_str());
    if (c == nullptr && r.exit_code != 0) {
        if (r.damaged)
            print_out("%s: FAILED, damaged or unreadable\n", printable(archive).c_str());
        else
            print_out("%s: FAILED, %u of %u entries failed\n", printable(archive).c_str(), r.failed_members,
                   r.files + r.folders);
    }
    if (c == nullptr && r.exit_code == 0 && !r.empty)
        print_out("%s: OK, %s, %s, %llu bytes; expands to %s from %s\n", printable(archive).c_str(),
               counted(r.files, "file").c_str(), counted(r.folders, "folder").c_str(), (unsigned long long)r.bytes,
               host::human_size(r.bytes).c_str(), host::human_size(r.packed_bytes).c_str());
    if (c != nullptr && !r.damaged && !r.empty && !r.no_space) {
        print_out("extracted %s, %s, %llu bytes", counted(r.files_written, "file").c_str(),
               counted(r.folders_written, "folder").c_str(), (unsigned long long)r.bytes_written);
        if (prompt.kept + prompt.declined > 0)
            print_out("; %u existing kept", prompt.kept + prompt.declined);
        if (r.failed_members > 0)
            print_out("; %u failed", r.failed_members);
        if (prompt.quit)
            print_out("; stopped at the prompt");
        print_out("\n");
    }
    return code;
}

int run_extract(const ExtractCommand& c)
{
    // "-o=out" reaches here as "=out": no one means a folder named so.
    if (!c.dest.empty() && c.dest[0] == '=') {
        error_line("-o " + c.dest + ": write -o " + c.dest.substr(1) + " or --output=" + c.dest.substr(1));
        return EXIT_USAGE;
    }
    if (c.dest.empty()) {
        error_line("-o \"\": the destination folder is empty (leave -o out for the current folder)");
        return EXIT_USAGE;
    }
    // Ctrl-C, a closed terminal or a kill while a member is written leave
    // no temporary file behind; the file it was to replace is untouched.
    host::remove_temporary_file_on_signals();
    PathFilter members(c.members);
    int code = run_extract_or_test(c.archive, &c, c.verbosity, members.empty() ? nullptr : &members);
    // A member asked for by name that the archive does not hold is a member
    // that failed.
    if (code != EXIT_FAILED) {
        for (const std::string& p : members.unused()) {
            error_line(c.archive + " holds no member " + p);
            code = std::max(code, 1);
        }
    }
    return code;
}

}  // namespace qvx
