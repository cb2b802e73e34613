// The qvx commands over the archive writer, the stub builder and the host
// extraction (packer/). Output conventions: results on stdout, problems on
// stderr one line each, a progress bar on stderr only when it is a terminal.
#include "tools/commands.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iostream>

#include "archive/stub_info.h"
#include "packer/archive_writer.h"
#include "packer/host_extract.h"
#include "packer/sfx_builder.h"
#include "platform/host.h"
#include "platform/platform.h"

namespace qvx {

static const int EXIT_FAILED = 2;  // nothing written, or archive damaged

// --- small helpers ---------------------------------------------------------------

bool parse_size(const std::string& text, uint64_t& out)
{
    if (text.empty() || text[0] < '0' || text[0] > '9')
        return false;
    size_t used = 0;
    unsigned long long value;
    try {
        value = std::stoull(text, &used, 10);
    } catch (...) {
        return false;
    }
    std::string unit = text.substr(used);
    uint64_t scale = 1;
    if (unit == "" || unit == "B" || unit == "b")
        scale = 1;
    else if (unit == "K" || unit == "k" || unit == "KiB" || unit == "KB")
        scale = 1024;
    else if (unit == "M" || unit == "m" || unit == "MiB" || unit == "MB")
        scale = 1024 * 1024;
    else if (unit == "G" || unit == "g" || unit == "GiB" || unit == "GB")
        scale = 1024ull * 1024 * 1024;
    else
        return false;
    if (value > UINT64_MAX / scale)
        return false;
    out = value * scale;
    return true;
}

// "1 file", "2 files".
static std::string counted(unsigned n, const char* noun)
{
    return std::to_string(n) + " " + noun + (n == 1 ? "" : "s");
}

static void error_line(const std::string& text) { fprintf(stderr, "qvx: %s\n", text.c_str()); }

static bool read_file(const std::string& path, std::vector<uint8_t>& data, std::string& error)
{
    FILE* f = fopen(path.c_str(), "rb");
    if (f == nullptr) {
        error = "cannot open " + path + ": " + strerror(errno);
        return false;
    }
    data.clear();
    uint8_t buffer[1 << 16];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, f)) > 0)
        data.insert(data.end(), buffer, buffer + n);
    bool ok = !ferror(f);
    fclose(f);
    if (!ok)
        error = "cannot read " + path;
    return ok;
}

static bool ends_with_nocase(const std::string& s, const std::string& suffix)
{
    if (s.size() < suffix.size())
        return false;
    for (size_t i = 0; i < suffix.size(); i++)
        if (tolower((unsigned char)s[s.size() - suffix.size() + i]) != tolower((unsigned char)suffix[i]))
            return false;
    return true;
}

// Bytes outside the printable range are shown as '?', so a hostile archive
// name cannot drive the terminal.
static std::string printable(const std::string& utf8)
{
    std::string out = utf8;
    for (char& c : out)
        if ((unsigned char)c < 0x20 || c == 0x7F)
            c = '?';
    return out;
}

static std::string host_name(const std::string& cp1252_name)
{
    std::string s = host::cp1252_to_utf8(cp1252_name);
    for (char& c : s)
        if (c == '\\')
            c = '/';
    return printable(s);
}

// --- progress bar ------------------------------------------------------------------

class ProgressBar {
public:
    explicit ProgressBar(const char* verb) : enabled_(isatty(STDERR_FILENO) != 0), verb_(verb) {}
    ~ProgressBar() { clear(); }

    void update(const std::string& label, uint64_t done, uint64_t total)
    {
        if (!enabled_)
            return;
        auto now = std::chrono::steady_clock::now();
        if (shown_ && now - last_ < std::chrono::milliseconds(100) && done < total)
            return;
        last_ = now;
        int percent = total == 0 ? 100 : (int)(done * 100 / total);
        if (percent > 100)
            percent = 100;
        const int width = 24;
        std::string bar(width * percent / 100, '#');
        bar.resize(width, '.');
        std::string line = std::string(verb_) + " [" + bar + "] " + std::to_string(percent) + "% " + label;
        if (line.size() > 78)
            line = line.substr(0, 75) + "...";
        fprintf(stderr, "\r%s\033[K", line.c_str());
        fflush(stderr);
        shown_ = true;
    }

    void clear()
    {
        if (shown_) {
            fprintf(stderr, "\r\033[K");
            fflush(stderr);
            shown_ = false;
        }
    }

private:
    bool enabled_;
    const char* verb_;
    bool shown_ = false;
    std::chrono::steady_clock::time_point last_;
};

// --- writing the output --------------------------------------------------------------

// The temporary file being written, removed when the process is interrupted
// so that no partial archive stays behind.
static char g_temp_path[4096];

static void remove_temp_and_die(int sig)
{
    if (g_temp_path[0] != 0)
        unlink(g_temp_path);
    signal(sig, SIG_DFL);
    raise(sig);
}

// Writes data to a temporary file beside path and renames it over path, so a
// failure never leaves a partial archive.
static bool write_atomically(const std::string& path, const std::vector<uint8_t>& data, std::string& error)
{
    std::string temp = path + ".tmpXXXXXX";
    if (temp.size() >= sizeof g_temp_path) {
        error = "output path too long: " + path;
        return false;
    }
    std::vector<char> name(temp.begin(), temp.end());
    name.push_back(0);
    int fd = mkstemp(name.data());
    if (fd < 0) {
        error = "cannot create " + temp + ": " + strerror(errno);
        return false;
    }
    memcpy(g_temp_path, name.data(), name.size());
    signal(SIGINT, remove_temp_and_die);
    signal(SIGTERM, remove_temp_and_die);
    signal(SIGHUP, remove_temp_and_die);

    bool ok = true;
    size_t done = 0;
    while (ok && done < data.size()) {
        ssize_t n = write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            error = "cannot write " + path + ": " + strerror(n < 0 ? errno : ENOSPC);
            ok = false;
            break;
        }
        done += (size_t)n;
    }
    mode_t mask = umask(0);
    umask(mask);
    if (ok)
        fchmod(fd, 0666 & ~mask);
    if (close(fd) != 0 && ok) {
        error = "cannot write " + path + ": " + strerror(errno);
        ok = false;
    }
    if (ok && rename(name.data(), path.c_str()) != 0) {
        error = "cannot rename " + std::string(name.data()) + " to " + path + ": " + strerror(errno);
        ok = false;
    }
    if (!ok)
        unlink(name.data());
    signal(SIGINT, SIG_DFL);
    signal(SIGTERM, SIG_DFL);
    signal(SIGHUP, SIG_DFL);
    g_temp_path[0] = 0;
    return ok;
}

static bool check_output(const std::string& path, bool force)
{
    struct stat st;
    if (lstat(path.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode)) {
            error_line(path + " is a folder");
            return false;
        }
        if (!force) {
            error_line(path + " already exists (use -f to replace it)");
            return false;
        }
    }
    return true;
}

// --- self-extractor settings -----------------------------------------------------------

static bool to_cp1252(const std::string& what, const std::string& utf8, std::string& out)
{
    if (!host::utf8_to_cp1252(utf8, out)) {
        error_line(what + " \"" + utf8 + "\" has characters outside Windows code page 1252");
        return false;
    }
    return true;
}

static bool sfx_strings(const SfxSettings& s, packer::SfxStrings& out)
{
    if (!to_cp1252("--title", s.title, out.title) || !to_cp1252("--folder", s.folder, out.folder) ||
        !to_cp1252("--command", s.command, out.command))
        return false;
    out.overwrite = s.overwrite;
    // Without any setting the stub's defaults apply: no SfxHeader at all.
    out.with_header = s.title_set || s.folder_set || s.command_set || s.overwrite;
    return true;
}

static bool load_stub(const SfxSettings& s, std::vector<uint8_t>& stub)
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

static bool build_and_write_sfx(const std::vector<uint8_t>& stub, const std::vector<uint8_t>& archive,
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

// Names that the stub will pass over under the default folder: folder,
// backslash and name must fit in 259 characters.
static void warn_long_names(const std::vector<packer::WriterEntry>& entries, const std::string& folder)
{
    if (folder.empty())
        return;
    // The driver's own rule: one trailing backslash goes, and a separator
    // is added unless the folder ends in ':' or '\\'.
    size_t length = folder.size();
    if (length >= 2 && folder[length - 1] == '\\')
        length--;
    size_t prefix = length;
    if (folder[length - 1] != ':' && folder[length - 1] != '\\')
        prefix++;
    size_t room = prefix >= PATH_SIZE - 1 ? 0 : PATH_SIZE - 1 - prefix;
    unsigned count = 0;
    for (const packer::WriterEntry& e : entries)
        if (e.name.size() > room && count++ < 3)
            error_line("warning: " + host_name(e.name) + " does not fit under the default folder (" +
                       std::to_string(room) + " characters left) and would be passed over there");
    if (count > 3)
        error_line("warning: " + std::to_string(count - 3) + " more names do not fit under the default folder");
}

// --- qvx a -------------------------------------------------------------------------

int run_add(const AddCommand& c)
{
    bool sfx = c.sfx || ends_with_nocase(c.output, ".exe");
    const SfxSettings& s = c.settings;
    if (!sfx && (s.title_set || s.folder_set || s.command_set || s.overwrite || !s.stub.empty())) {
        error_line("--title, --folder, --command, --overwrite and --stub need a self-extractor "
                   "(OUT ending in .exe, or --sfx)");
        return 7;
    }
    if (!check_output(c.output, c.force))
        return EXIT_FAILED;

    packer::SfxStrings strings;
    std::vector<uint8_t> stub;
    if (sfx && (!sfx_strings(s, strings) || !load_stub(s, stub)))
        return EXIT_FAILED;

    std::vector<packer::WriterEntry> entries;
    std::string error;
    std::vector<std::string> warnings;
    if (!packer::collect_entries(c.inputs, entries, error, warnings)) {
        error_line(error + "; nothing written");
        return EXIT_FAILED;
    }
    for (const std::string& w : warnings)
        error_line("warning: " + w);
    // An existing OUT replaced with -f must not pack itself.
    std::error_code ec;
    if (std::filesystem::exists(c.output, ec)) {
        auto out_path = std::filesystem::canonical(c.output, ec);
        std::vector<packer::WriterEntry> kept;
        for (const packer::WriterEntry& e : entries) {
            std::error_code ec2;
            if (!e.folder && std::filesystem::canonical(e.host_path, ec2) == out_path && !ec2)
                continue;
            kept.push_back(e);
        }
        entries.swap(kept);
    }
    if (entries.empty()) {
        error_line("nothing to archive; nothing written");
        return EXIT_FAILED;
    }
    if (sfx && s.folder_set)
        warn_long_names(entries, strings.folder);

    packer::ArchiveOptions options;
    options.level = c.level;
    options.stream_size = c.stream_size;
    ProgressBar bar("Packing");
    options.progress = [&bar](uint64_t done, uint64_t total) { bar.update("", done, total); };
    std::vector<uint8_t> archive;
    bool ok = packer::write_archive(entries, options, archive, error);
    bar.clear();
    if (!ok) {
        error_line(error + "; nothing written");
        return EXIT_FAILED;
    }

    if (sfx) {
        if (!build_and_write_sfx(stub, archive, strings, c.output))
            return EXIT_FAILED;
    } else if (!write_atomically(c.output, archive, error)) {
        error_line(error);
        return EXIT_FAILED;
    }

    uint64_t in_bytes = 0;
    unsigned files = 0, folders = 0;
    for (const packer::WriterEntry& e : entries) {
        if (e.folder) {
            folders++;
        } else {
            files++;
            in_bytes += e.size;
        }
    }
    struct stat st;
    uint64_t out_bytes = stat(c.output.c_str(), &st) == 0 ? (uint64_t)st.st_size : archive.size();
    printf("%s: %s, %s, %llu bytes -> %llu bytes", c.output.c_str(), counted(files, "file").c_str(),
           counted(folders, "folder").c_str(), (unsigned long long)in_bytes, (unsigned long long)out_bytes);
    if (in_bytes > 0)
        printf(" (%.1f%%)", 100.0 * (double)out_bytes / (double)in_bytes);
    printf("\n");
    return 0;
}

// --- qvx sfx -----------------------------------------------------------------------

int run_sfx(const SfxCommand& c)
{
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
    if (archive.size() < 42 || memcmp(archive.data(), "QVX\n", 4) != 0) {
        error_line(c.archive + " is not a bare QVX archive");
        return EXIT_FAILED;
    }
    return build_and_write_sfx(stub, archive, strings, c.output) ? 0 : EXIT_FAILED;
}

// --- qvx x and qvx t -------------------------------------------------------------------

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

static int run_extract_or_test(const std::string& archive, const ExtractCommand* c)
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

int run_test(const std::string& archive) { return run_extract_or_test(archive, nullptr); }

// --- qvx l -------------------------------------------------------------------------

int run_list(const std::string& path)
{
    packer::ArchiveInfo info;
    std::string error;
    if (packer::open_archive(path, info, error) < 0) {
        error_line(error);
        return EXIT_FAILED;
    }
    if (info.unexpected_magic)
        error_line("warning: " + path + " does not begin with the QVX signature; reading it as an archive");
    printf("Archive: %s\n", path.c_str());
    if (info.sfx) {
        printf("Self-extractor: stub %u bytes, archive at offset %u\n", info.stub_length, info.archive_start);
        if (info.has_sfx_header) {
            printf("Title: %s\n", printable(host::cp1252_to_utf8(info.title)).c_str());
            printf("Folder: %s\n", printable(host::cp1252_to_utf8(info.folder)).c_str());
            printf("Command: %s\n", printable(host::cp1252_to_utf8(info.command)).c_str());
            printf("Overwrite without asking: %s\n", info.overwrite ? "yes" : "no");
        }
    }
    printf("\n%12s  %-19s  %-5s  %s\n", "Size", "Modified", "Attr", "Name");
    printf("------------  -------------------  -----  ----\n");
    uint64_t bytes = 0;
    unsigned files = 0, folders = 0;
    ResultCode r = 0;
    if (info.header.entry_count > 0) {
        r = packer::read_directory([&](const packer::ListedEntry& e) {
            bool folder = (e.entry.entry_flags & ENTRY_FOLDER) != 0;
            std::string name = host_name(e.name);
            if (folder) {
                folders++;
                printf("%12s  %s  %s  %s/\n", "", packer::format_dos_time(e.entry.write_date, e.entry.write_time).c_str(),
                       packer::format_attributes(e.entry.attributes, true).c_str(), name.c_str());
            } else {
                files++;
                bytes += e.entry.member_size;
                printf("%12u  %s  %s  %s\n", e.entry.member_size,
                       packer::format_dos_time(e.entry.write_date, e.entry.write_time).c_str(),
                       packer::format_attributes(e.entry.attributes, false).c_str(), name.c_str());
            }
            return true;
        });
    }
    printf("------------  -------------------  -----  ----\n");
    printf("%12llu  %s, %s; %llu bytes packed\n", (unsigned long long)bytes, counted(files, "file").c_str(),
           counted(folders, "folder").c_str(), (unsigned long long)(info.file_size - info.archive_start));
    int code = 0;
    if (r < 0) {
        fflush(stdout);
        host::hooks().message_box = [](const char* text, const char*, unsigned) {
            error_line(packer::message_line(text));
            return BOX_ANSWER_OK;
        };
        report_error(nullptr, r, nullptr, 0);
        host::reset_hooks();
        code = EXIT_FAILED;
    }
    packer::close_archive();
    return code;
}

}  // namespace qvx
