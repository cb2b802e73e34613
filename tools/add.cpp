// qvx a: collects the inputs, packs them, and writes a bare archive or a
// self-extractor.
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <iterator>
#include <thread>

#include "archive/stub_info.h"
#include "packer/archive_writer.h"
#include "platform/host.h"
#include "platform/text.h"
#include "tools/commands.h"
#include "tools/output_file.h"
#include "tools/path_filter.h"
#include "tools/progress_bar.h"
#include "tools/sfx.h"
#include "tools/tool_util.h"

namespace qvx {

// Names that the stub will pass over under the default folder: folder,
// backslash and name must fit in 259 characters (UTF-16 units, as Windows
// counts them).
static void warn_long_names(const std::vector<packer::WriterEntry>& entries, const std::string& folder)
{
    if (folder.empty())
        return;
    // The driver's own rule: one trailing backslash goes, and a separator
    // is added unless the folder ends in ':' or '\\'.
    size_t length = folder.size();
    if (length >= 2 && folder[length - 1] == '\\')
        length--;
    size_t prefix = utf16_length(folder.substr(0, length).c_str());
    if (folder[length - 1] != ':' && folder[length - 1] != '\\')
        prefix++;
    size_t room = prefix >= PATH_SIZE - 1 ? 0 : PATH_SIZE - 1 - prefix;
    unsigned count = 0;
    for (const packer::WriterEntry& e : entries)
        if (utf16_length(e.exact.c_str()) > room && count++ < 3)
            error_line("warning: " + host_name(e.exact) + " does not fit under the default folder (" +
                       std::to_string(room) + " characters left) and would be passed over there");
    if (count > 3)
        error_line("warning: " + std::to_string(count - 3) + " more names do not fit under the default folder");
}

// The command runs as a program path inside the destination folder (the
// driver quotes the part before the first blank, or the quoted part). Warns
// when no file is stored at that path, and names the member it probably
// meant.
static void check_command(const std::string& command, const std::vector<packer::WriterEntry>& entries)
{
    std::string program, arguments;
    if (!command.empty() && command[0] == '"') {
        size_t end = command.find('"', 1);
        program = command.substr(1, end == std::string::npos ? std::string::npos : end - 1);
        arguments = end == std::string::npos ? "" : command.substr(end + 1);
    } else {
        size_t end = command.find_first_of(" \t");
        program = command.substr(0, end);
        arguments = end == std::string::npos ? "" : command.substr(end);
    }
    if (program.empty())
        return;
    std::string wanted = program;
    for (char& c : wanted)
        if (c == '/')
            c = '\\';
    while (wanted.size() > 2 && wanted.compare(0, 2, ".\\") == 0)
        wanted.erase(0, 2);
    // Compared as Windows compares names: folded, four bytes a character.
    size_t cut = wanted.rfind('\\');
    std::string base = host::fold_name(cut == std::string::npos ? wanted : wanted.substr(cut + 1));
    wanted = host::fold_name(wanted);
    const std::string separator = host::fold_name("\\"), exe = host::fold_name(".exe");
    const packer::WriterEntry* best = nullptr;
    for (const packer::WriterEntry& e : entries) {
        if (e.folder)
            continue;
        std::string name = host::fold_name(e.exact);
        // Windows adds .exe to a program named without an extension.
        if (name == wanted || name == wanted + exe)
            return;
        size_t slash = e.exact.rfind('\\');
        std::string name_base = slash == std::string::npos ? name : host::fold_name(e.exact.substr(slash + 1));
        bool tail = name.size() > wanted.size() && name.compare(name.size() - wanted.size(), wanted.size(), wanted) == 0 &&
                    name.compare(name.size() - wanted.size() - separator.size(), separator.size(), separator) == 0;
        if ((tail || name_base == base || name_base == base + exe) &&
            (best == nullptr || e.exact.size() < best->exact.size()))
            best = &e;
    }
    std::string line = "warning: --command \"" + command + "\": the archive holds no file " + program +
                       " in the destination folder, where the command is run";
    if (best != nullptr) {
        std::string suggestion = best->exact;
        if (suggestion.find(' ') != std::string::npos)
            suggestion = "\"" + suggestion + "\"";
        line += "; did you mean --command '" + suggestion + arguments + "'?";
    }
    error_line(line);
}

// Reads a list of inputs: one a line (or NUL-separated), from stdin for "-".
static bool read_list(const std::string& source, bool null_separated, std::vector<std::string>& out)
{
    std::string text;
    if (source == "-") {
        text.assign(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
    } else {
        std::vector<uint8_t> data;
        std::string error;
        if (!read_file(source, data, error)) {
            error_line("list @" + source + ": " + error);
            return false;
        }
        text.assign(data.begin(), data.end());
    }
    char separator = null_separated ? '\0' : '\n';
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find(separator, start);
        if (end == std::string::npos)
            end = text.size();
        std::string item = text.substr(start, end - start);
        if (!null_separated && !item.empty() && item.back() == '\r')
            item.pop_back();
        if (!item.empty())
            out.push_back(item);
        start = end + 1;
    }
    return true;
}

// The name a list's line is stored under: its path as given, as tar and
// zip store it, without "." parts and a leading "/" (said once). A path
// with ".." is refused: no name may lead out of the destination.
static bool name_from_list(const std::string& line, std::string& name, bool& said_root)
{
    std::vector<std::string> parts;
    for (size_t start = 0; start <= line.size();) {
        size_t end = std::min(line.find('/', start), line.size());
        std::string part = line.substr(start, end - start);
        if (part == "..") {
            error_line("cannot store \"" + line + "\" from a list: a path with \"..\" would lead out of the "
                       "folder it is extracted to; nothing written");
            return false;
        }
        if (!part.empty() && part != ".")
            parts.push_back(part);
        start = end + 1;
    }
    if (!line.empty() && line[0] == '/' && !said_root) {
        error_line("warning: names from a list are stored without their leading \"/\" (" + line + ")");
        said_root = true;
    }
    name.clear();
    for (const std::string& part : parts)
        name += (name.empty() ? "" : "/") + part;
    return true;
}

// The inputs as paths and the names they are stored under: lists expanded
// (their lines keep their paths), -C applied.
static bool expand_inputs(const AddCommand& c, std::vector<packer::NamedInput>& out)
{
    if (!c.base_dir.empty()) {
        struct stat st;
        if (stat(c.base_dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
            error_line("-C " + c.base_dir + ": no such folder");
            return false;
        }
    }
#if defined(_WIN32)
    // Windows names folders with either slash; a backslash can be nothing
    // else there, and the archive's names are made with '/'.
    auto host_path = [](std::string path) {
        std::replace(path.begin(), path.end(), '\\', '/');
        return path;
    };
    auto absolute = [](const std::string& path) { return path[0] == '/' || (path.size() > 1 && path[1] == ':'); };
#else
    auto host_path = [](const std::string& path) { return path; };
    auto absolute = [](const std::string& path) { return path[0] == '/'; };
#endif
    const std::string base = host_path(c.base_dir);
    auto below_base = [&base, &absolute](const std::string& path) {
        return base.empty() || path.empty() || absolute(path) ? path : base + "/" + path;
    };
    bool stdin_used = false, said_root = false;
    for (const std::string& given : c.inputs) {
        const std::string input = host_path(given);
        if (input == "-" || (input.size() > 1 && input[0] == '@')) {
            if (input == "-" && stdin_used) {
                error_line("- (the list on standard input) is given twice");
                return false;
            }
            stdin_used |= input == "-";
            std::vector<std::string> lines;
            if (!read_list(input == "-" ? input : given.substr(1), c.null_separated, lines))
                return false;
            for (const std::string& given_line : lines) {
                const std::string line = host_path(given_line);
                packer::NamedInput in{below_base(line), ""};
                if (!name_from_list(line, in.name, said_root))
                    return false;
                out.push_back(in);
            }
        } else {
            out.push_back(packer::input_by_last_part(below_base(input)));
        }
    }
    if (out.empty()) {
        error_line("the input lists name no files; nothing written");
        return false;
    }
    return true;
}

static packer::Links link_mode(const std::string& name)
{
    if (name == "follow")
        return packer::Links::FOLLOW;
    if (name == "skip")
        return packer::Links::SKIP;
    if (name == "store-target")
        return packer::Links::STORE_TARGET;
    return packer::Links::INSIDE;
}

// With -i, a folder stays when it is included itself or holds something kept.
static void drop_folders_not_included(std::vector<packer::WriterEntry>& entries, const PathFilter& include)
{
    std::vector<bool> keep(entries.size(), false);
    std::vector<std::string> names(entries.size());
    for (size_t i = 0; i < entries.size(); i++) {
        names[i] = entries[i].exact;
        for (char& ch : names[i])
            if (ch == '\\')
                ch = '/';
        keep[i] = !entries[i].folder || include.matches(names[i]);
    }
    // Folders come before their contents: walk backwards, marking parents.
    for (size_t i = entries.size(); i-- > 0;) {
        if (!keep[i])
            continue;
        for (size_t j = i; j-- > 0;)
            if (entries[j].folder && names[i].size() > names[j].size() &&
                names[i].compare(0, names[j].size(), names[j]) == 0 && names[i][names[j].size()] == '/')
                keep[j] = true;
    }
    std::vector<packer::WriterEntry> kept;
    for (size_t i = 0; i < entries.size(); i++)
        if (keep[i])
            kept.push_back(entries[i]);
    entries.swap(kept);
}

int run_add(const AddCommand& c)
{
    const bool quiet = c.verbosity == Verbosity::QUIET;
    bool sfx = c.sfx || ends_with_nocase(c.output, ".exe");
    const SfxSettings& s = c.settings;
    if (!sfx && (s.title_set || s.folder_set || s.command_set || s.overwrite || !s.command_dir.empty() ||
                 !s.stub.empty() || s.no_switches ||
                 s.has_identity())) {
        error_line("--title, --folder, --command, --overwrite, --command-dir, --no-switches, --stub and the "
                   "publisher's --product, --product-version, --company, --copyright, --description, --icon, "
                   "--elevate and texts need a "
                   "self-extractor (OUT ending in .exe, or --sfx)");
        return EXIT_USAGE;
    }
    if (c.output == "-") {
        error_line("OUT is \"-\": qvx writes archives to files, not to standard output (./- names a file \"-\")");
        return EXIT_USAGE;
    }
    if (sfx && s.folder_set && !check_folder(s.folder))
        return EXIT_USAGE;
    if (!check_output(c.output, c.force))
        return EXIT_FAILED;

    packer::SfxStrings strings;
    std::vector<uint8_t> stub;
    if (sfx && (!sfx_strings(s, strings) || !load_stub(s, stub)))
        return EXIT_FAILED;
    // Without --folder the self-extractor offers the folder it was started
    // from: "." there, where an empty folder would leave the box empty.
    if (!s.folder_set)
        strings.folder = ".";

    std::vector<packer::NamedInput> inputs;
    if (!expand_inputs(c, inputs))
        return EXIT_FAILED;

    PathFilter exclude(c.excludes), include(c.includes);
    packer::CollectOptions collect;
    collect.links = link_mode(c.symlinks);
    if (!exclude.empty() || !include.empty())
        collect.keep = [&](const std::string& name, bool folder) {
            if (exclude.matches(name))
                return false;
            return folder || include.empty() || include.matches(name);
        };
    std::vector<packer::WriterEntry> entries;
    std::string error;
    std::vector<std::string> warnings;
    bool collected = packer::collect_entries(inputs, collect, entries, error, warnings);
    if (!quiet)
        for (const std::string& w : warnings)
            error_line("warning: " + w);
    if (!collected) {
        std::vector<std::string> lines;
        for (size_t start = 0; start <= error.size();) {
            size_t end = std::min(error.find('\n', start), error.size());
            lines.push_back(error.substr(start, end - start));
            start = end + 1;
        }
        if (lines.size() == 1) {
            error_line(lines[0] + "; nothing written");
        } else {
            for (const std::string& line : lines)
                error_line(line);
            error_line(std::to_string(lines.size()) + " names cannot be stored; nothing written");
        }
        return EXIT_FAILED;
    }
    if (!include.empty())
        drop_folders_not_included(entries, include);
    if (!quiet) {
        for (const std::string& p : exclude.unused())
            error_line("warning: -x " + p + " matches nothing");
        for (const std::string& p : include.unused())
            error_line("warning: -i " + p + " matches nothing");
    }
    // An existing OUT replaced with -f must not pack itself.
    std::error_code ec;
    bool packs_itself = false;
    if (std::filesystem::exists(c.output, ec)) {
        auto out_path = std::filesystem::canonical(c.output, ec);
        std::vector<packer::WriterEntry> kept;
        std::string inside;  // OUT's name in the archive, when an input holds it
        for (const packer::WriterEntry& e : entries) {
            std::error_code ec2;
            if (!e.folder && !e.link && std::filesystem::canonical(e.host_path, ec2) == out_path && !ec2) {
                packs_itself = true;
                inside = e.exact;
                continue;
            }
            kept.push_back(e);
        }
        entries.swap(kept);
        // Replacing a file of the tree being packed loses its content: the
        // archive cannot hold what it overwrites.
        if (packs_itself && !entries.empty())
            error_line("warning: " + c.output + " is inside an input (as " + host_name(inside) +
                       "): it is replaced by the archive, and its old content is not in the archive");
    }
    if (entries.empty()) {
        if (packs_itself)
            error_line("nothing to archive: the only input, " + c.output + ", is the archive being written; nothing written");
        else
            error_line("nothing to archive (every input was passed over); nothing written");
        return EXIT_FAILED;
    }
    if (sfx && s.folder_set)
        warn_long_names(entries, strings.folder);
    if (sfx && s.command_set && !quiet)
        check_command(s.command, entries);

    // The stub and the SfxHeader go first; the archive follows as it is
    // packed, and its header is written last, with the check values.
    std::vector<uint8_t> prefix;
    if (sfx) {
        std::vector<std::string> sfx_warnings;
        bool built = packer::build_sfx_prefix(stub, strings, prefix, error, sfx_warnings);
        for (const std::string& w : sfx_warnings)
            error_line("warning: " + w);
        if (!built) {
            error_line(error);
            return EXIT_FAILED;
        }
    }
    OutputFile out;
    if (!out.open(c.output) || !out.write(prefix.data(), prefix.size())) {
        error_line(out.error());
        return EXIT_FAILED;
    }
    packer::ArchiveSink sink;
    sink.write = [&out](const uint8_t* p, size_t n) { return out.write(p, n); };
    sink.write_header = [&](const uint8_t* sealed) {
        uint8_t header[42];
        memcpy(header, sealed, sizeof header);
        size_t sfx_header = sfx ? packer::sfx_header_size(strings) : 0;
        packer::seal_sfx_header(header, prefix.data() + prefix.size() - sfx_header, sfx_header);
        return out.write_at(prefix.size(), header, sizeof header);
    };
    sink.error = [&out] { return out.error(); };

    packer::ArchiveOptions options;
    options.level = c.level;
    options.stream_size = c.stream_size;
    options.threads = c.threads != 0 ? c.threads : std::max(1u, std::thread::hardware_concurrency());
    ProgressBar bar("Packing");
    options.progress = [&bar](uint64_t done, uint64_t total) { bar.update("", done, total); };
    unsigned changed = 0;
    options.warn = [&bar, &changed](const std::string& line) {
        bar.clear();
        error_line("warning: " + line);
        changed++;
    };
    bool ok = packer::write_archive(entries, options, sink, error);
    bar.clear();
    if (!ok) {
        error_line(error + "; nothing written");
        return EXIT_FAILED;
    }
    if (!out.commit()) {
        error_line(out.error());
        return EXIT_FAILED;
    }

    uint64_t in_bytes = 0;
    unsigned files = 0, folders = 0;
    for (const packer::WriterEntry& e : entries) {
        if (c.verbosity == Verbosity::VERBOSE)
            print_out("%s%s\n", host_name(e.exact).c_str(), e.folder ? "/" : "");
        if (e.folder) {
            folders++;
        } else {
            files++;
            in_bytes += e.size;
        }
    }
    // The archive is whole and consistent, but a file that changed while it
    // was read may not be in it as it is now.
    int code = changed > 0 ? 1 : 0;
    if (quiet)
        return code;
    struct stat st;
    uint64_t out_bytes = stat(c.output.c_str(), &st) == 0 ? (uint64_t)st.st_size : 0;
    print_out("%s: %s, %s, %llu bytes -> %llu bytes", printable(c.output).c_str(), counted(files, "file").c_str(),
           counted(folders, "folder").c_str(), (unsigned long long)in_bytes, (unsigned long long)out_bytes);
    if (in_bytes > 0)
        print_out(" (%.1f%%)", 100.0 * (double)out_bytes / (double)in_bytes);
    print_out("\n");
    return code;
}

}  // namespace qvx
