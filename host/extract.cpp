// Reading archives on the host with the stub's own code.
//
// Extraction is extract_all itself, run with an empty destination folder
// relative to the destination: the driver makes every name UTF-8 (the
// entry's exact name, or the stored code page 1252 name converted) and the
// POSIX backend only turns its backslashes into slashes. Opening the
// destination and resolving every path from its descriptor (the thread's
// base directory) keeps the destination apart from the names without
// changing the process's working directory, and the driver's checks on names
// (nothing absolute, no "..") then keep every write below it.
//
// Listing and testing walk the directory the way the driver does: the same
// piece loading, the same entry parsing, the same member output, only with
// the bytes going to /dev/null.
#include "host/extract.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#if defined(_WIN32)
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#endif

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <memory>
#include <set>

#include "archive/driver.h"
#include "archive/names.h"
#include "archive/paths.h"
#include "archive/startup.h"
#include "archive/stub_image.h"
#include "archive/stub_info.h"
#include "codec/decoder.h"
#include "platform/host.h"
#include "platform/text.h"

namespace host {

// How much of a file is read to find the end of a PE image: the section
// table follows the headers within the first pages.
static const size_t PE_PROBE_SIZE = 1 << 20;
// The longest file or folder name Windows' file systems take, in
// characters (UTF-16 units); the host's in bytes (Linux's NAME_MAX).
static const u32 NAME_PART_MAX = 255;
#if defined(_WIN32)
static const size_t NAME_PART_BYTES_MAX = 3 * NAME_PART_MAX;
#else
static const size_t NAME_PART_BYTES_MAX = 255;
#endif
// What the driver does with an entry's name under an empty destination
// folder: refuses it as too long for a path or as unsafe (stored or as
// used), or uses it.
enum NameVerdict { NAME_TOO_LONG, NAME_REFUSED, NAME_USED };

static NameVerdict name_verdict(const ListedEntry& e)
{
    if (!e.fits)
        return NAME_TOO_LONG;
    if (!entry_name_is_safe(e.stored.data(), (u32)e.stored.size()) ||
        !entry_name_is_safe(e.name.data(), (u32)e.name.size()))
        return NAME_REFUSED;
    return NAME_USED;
}

// A name cut, between characters, to the 259 characters (UTF-16 units) of
// a path, as the driver shows one too long.
static std::string cut_to_room(const std::string& name)
{
    size_t end = 0;
    u32 units = 0;
    while (end < name.size()) {
        size_t next = end + 1;
        while (next < name.size() && ((u8)name[next] & 0xC0) == 0x80)
            next++;
        units += (u8)name[end] >= 0xF0 ? 2 : 1;
        if (units > PATH_SIZE - 1)
            break;
        end = next;
    }
    return name.substr(0, end);
}

static std::string errno_text() { return strerror(errno); }

std::string message_line(const char* text)
{
    std::string s = text;
    std::string out;
    for (size_t i = 0; i < s.size(); i++) {
        if (s[i] == '\n') {
            // A cause ("\nDisk full") starts with a capital; a lower-case
            // word continues a sentence wrapped for the message box.
            bool wrapped = i + 1 < s.size() && s[i + 1] >= 'a' && s[i + 1] <= 'z';
            out += wrapped ? " " : ": ";
        } else {
            out += s[i];
        }
    }
    return out;
}

std::string format_attributes(uint16_t attributes, bool folder)
{
    std::string s = ".....";
    if (attributes & ATTR_READONLY)
        s[0] = 'R';
    if (attributes & ATTR_HIDDEN)
        s[1] = 'H';
    if (attributes & ATTR_SYSTEM)
        s[2] = 'S';
    if (folder || (attributes & ATTR_DIRECTORY))
        s[3] = 'D';
    if (attributes & ATTR_ARCHIVE)
        s[4] = 'A';
    return s;
}

// --- opening -------------------------------------------------------------------

void close_archive(Run& run)
{
    FileHandle& file = run.x.file;
    if (file != INVALID_FILE && file != nullptr)
        file_close(file);
    file = INVALID_FILE;
}

static std::string display_name_for(const std::string& path)
{
    return std::filesystem::path(path).filename().string();
}

ResultCode open_archive(Run& run, const std::string& path, ArchiveInfo& info, std::string& error)
{
    close_archive(run);
    info = ArchiveInfo();
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        error = "cannot open " + path + ": " + errno_text();
        return ERR_OPEN;
    }
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        error = "cannot open " + path + ": not a regular file";
        close(fd);
        return ERR_OPEN;
    }
    info.file_size = (uint64_t)st.st_size;
    // The extractor addresses its file with signed 32-bit offsets.
    if (info.file_size > 0x7FFFFFFFu) {
        error = path + " is larger than any QVX archive can be (2 GiB)";
        close(fd);
        return ERR_DAMAGED;
    }

    std::vector<uint8_t> head(std::min<uint64_t>(info.file_size, PE_PROBE_SIZE));
    ssize_t got = pread(fd, head.data(), head.size(), 0);
    if (got < 0 || (size_t)got != head.size()) {
        error = "cannot read " + path + ": " + (got < 0 ? errno_text() : "short read");
        close(fd);
        return ERR_READ;
    }
    uint32_t start = 0;
    if (head.size() >= 2 && head[0] == 'M' && head[1] == 'Z') {
        uint32_t end = pe_image_end(head.data(), head.size());
        if (end == 0 && head.size() < info.file_size) {
            head.resize(info.file_size);
            got = pread(fd, head.data(), head.size(), 0);
            if (got < 0 || (size_t)got != head.size()) {
                error = "cannot read " + path;
                close(fd);
                return ERR_READ;
            }
            end = pe_image_end(head.data(), head.size());
        }
        if (end == 0 || end > info.file_size) {
            error = path + " is an executable, but not a self-extractor: its image cannot be measured";
            close(fd);
            return ERR_DAMAGED;
        }
        if (end == info.file_size) {
            error = path + " is an executable with no archive appended";
            close(fd);
            return ERR_DAMAGED;
        }
        info.sfx = true;
        info.stub_length = end;
        start = end;
    }

    Extraction& x = run.x;
    x.file = host::handle_from_fd(fd);
    text_copy(x.display_name, sizeof x.display_name, display_name_for(path).c_str());
    text_copy(run.title, sizeof run.title, initial_title);
    x.dest_path[0] = 0;
    x.command[0] = 0;
    run.flags = RunFlags{};

    x.archive_start = (i32)start;
    if (info.sfx) {
        read_sfx_header(&x);
        info.has_sfx_header = (uint32_t)x.archive_start != start;
        if (info.has_sfx_header) {
            info.title = (x.sfx_flags & SFX_FLAG_UTF8) ? std::string(run.title) : cp1252_to_utf8(run.title);
            info.folder = x.dest_path;
            info.command = x.command;
            info.overwrite = run.flags.overwrite_all != 0;
        }
    }
    info.archive_start = (uint32_t)x.archive_start;
    ResultCode r = read_archive_header(&x);
    if (r < 0) {
        // Too short for a header, and without the magic: no archive at all.
        // (The wrappers keep the system's error; a read that only came short
        // leaves none.)
        bool magic = info.file_size - info.archive_start >= 4 &&
                     pread(fd, x.archive_header, 4, (off_t)info.archive_start) == 4 &&
                     memcmp(x.archive_header, archive_magic, 4) == 0;
        if (LastError != 0)
            error = message_line(("cannot read the archive header of " + path + os_error_suffix()).c_str());
        else if (!info.sfx && !magic)
            error = path + " is not a QVX archive or self-extractor";
        else
            error = "cannot read the archive header of " + path + ": the file ends too early";
        close_archive(run);
        return info.sfx || magic ? r : ERR_DAMAGED;
    }
    parse_archive_header(x.archive_header, &info.header);
    // The stub finds its archive by position and never checks the magic; an
    // archive whose magic alone is damaged still extracts there, so it does
    // here too. Neither the magic nor a directory piece where the header
    // puts one: this is no archive at all.
    info.unexpected_magic = memcmp(x.archive_header, archive_magic, 4) != 0;
    uint8_t signature[STREAM_SIGNATURE_SIZE];
    if (info.unexpected_magic &&
        (pread(fd, signature, sizeof signature, (off_t)info.archive_start + info.header.directory_offset) !=
             (ssize_t)sizeof signature ||
         memcmp(signature, directory_piece_signature, sizeof signature) != 0)) {
        error = path + (info.sfx ? " is an executable, but no QVX archive follows its image"
                                 : " is not a QVX archive or self-extractor");
        close_archive(run);
        return ERR_DAMAGED;
    }
    info.checked = load_le16(x.archive_header + ARCHIVE_TAG_OFFSET) == ARCHIVE_CHECK_TAG;
    if (check_archive_values(&x, start) < 0) {
        error = path + " is damaged: its headers or directory do not match the check values stored with them";
        close_archive(run);
        return ERR_DAMAGED;
    }
    // Start-up has filled these from the SfxHeader; the host tool takes its
    // destination and overwrite choice from the command line instead.
    x.dest_path[0] = 0;
    run.flags.overwrite_all = 0;
    return 0;
}

// --- the directory walk ----------------------------------------------------------

// A decoder of its own for one walk or run, reading codec's format tables
// and stopped by the run's cancel flag.
struct DecoderDeleter {
    void operator()(Decoder* d) const { decoder_destroy(d); }
};
using DecoderPtr = std::unique_ptr<Decoder, DecoderDeleter>;

// Owns a decoder and its input buffer (and so the history) for the length of
// a walk over the directory, so member output may run between two entries.
class DirectoryWalk {
public:
    explicit DirectoryWalk(Extraction& x) : x_(x) {}

    ResultCode begin()
    {
        decoder_.reset(decoder_create(&x_.flags->cancel_flag));
        if (decoder_ == nullptr)
            return ERR_NO_MEMORY;
        u8* buffer = (u8*)mem_alloc(INPUT_BUFFER_SIZE);
        if (buffer == nullptr)
            return ERR_NO_MEMORY;
        decoder_begin(decoder_.get(), x_.file, x_.archive_start, buffer);
        directory_begin(&x_, decoder_.get());
        return 0;
    }

    ~DirectoryWalk()
    {
        if (decoder_ != nullptr && decoder_->input.buffer != nullptr) {
            history_release(decoder_.get());
            mem_free(decoder_->input.buffer);
        }
    }

    Decoder* decoder() const { return decoder_.get(); }

    // 1 with the next entry, 0 after the last, or a negative code.
    ResultCode next(ListedEntry& out)
    {
        if (x_.entries_left == 0)
            return x_.directory_cut ? ERR_DAMAGED : 0;  // the last piece was cut
        const char* name;
        ResultCode r = directory_next(&x_, &out.entry, &name);
        if (r < 0)
            return r;
        out.stored.assign(name, out.entry.name_length);
        // Shown whole up to twice what a path holds; the driver's room is
        // one path.
        char text[3 * 2 * PATH_SIZE + 1];
        entry_target_name(&out.entry, name, text, 2 * PATH_SIZE);
        out.name = text;
        out.fits = utf16_length(text) <= PATH_SIZE - 1 && out.entry.name_length <= 2 * PATH_SIZE;
        x_.entries_left--;
        return 1;
    }

private:
    Extraction& x_;
    DecoderPtr decoder_;
};

ResultCode read_directory(Run& run, const std::function<bool(const ListedEntry&)>& visit)
{
    DirectoryWalk walk(run.x);
    ResultCode r = walk.begin();
    if (r < 0)
        return r;
    ListedEntry e;
    while ((r = walk.next(e)) > 0)
        if (!visit(e))
            return 0;
    return r;
}

void DirectoryCheck::add(const ListedEntry& e)
{
    std::string folded = fold_name(e.name);
    Seen& seen = names_[folded];
    if (seen.count++ == 0) {
        seen.name = path_to_host(e.name.c_str());
        order_.push_back(folded);
    }
    if ((e.entry.entry_flags & ENTRY_FOLDER) == 0 && e.entry.member_size > 0) {
        expanded_ += e.entry.member_size;
        ranges_.push_back({e.entry.stream_offset, e.entry.member_offset, e.entry.member_size});
    }
}

std::string trailing_bytes_warning(const std::string& path, const ArchiveInfo& info)
{
    // The end is trusted where our check value covered it: another writer
    // may leave the field wrong, and nothing reads it.
    uint64_t end = (uint64_t)info.archive_start + info.header.archive_length;
    if (info.sfx || !info.checked || end >= info.file_size)
        return "";
    uint64_t left = info.file_size - end;
    return "warning: " + path + ": " + std::to_string(left) + (left == 1 ? " byte follows" : " bytes follow") +
           " the archive's end; nothing reads " + (left == 1 ? "it" : "them");
}

std::string human_size(uint64_t bytes)
{
    static const char* const units[] = {"bytes", "KB", "MB", "GB", "TB"};
    double value = (double)bytes;
    int unit = 0;
    while (value >= 1000 && unit < 4) {
        value /= 1000;
        unit++;
    }
    char text[32];
    if (unit == 0)
        snprintf(text, sizeof text, "%llu bytes", (unsigned long long)bytes);
    else
        snprintf(text, sizeof text, "%.1f %s", value, units[unit]);
    return text;
}

std::vector<std::string> DirectoryCheck::warnings(const std::string& archive) const
{
    std::vector<std::string> lines;
    for (const std::string& folded : order_) {
        const Seen& seen = names_.at(folded);
        if (seen.count > 1)
            lines.push_back("warning: " + archive + ": " + seen.name + " is a duplicate: " +
                            std::to_string(seen.count) +
                            " entries have that name (as Windows compares names); extracting, each later one "
                            "replaces the one before (or meets the overwrite question)");
    }
    // Entries whose data overlaps the data of an entry before them, in the
    // order of the streams.
    std::vector<std::array<uint64_t, 3>> ranges = ranges_;
    std::sort(ranges.begin(), ranges.end());
    unsigned shared = 0;
    uint64_t shared_bytes = 0, stream = UINT64_MAX, reached = 0;
    for (const auto& r : ranges) {
        if (r[0] != stream) {
            stream = r[0];
            reached = 0;
        }
        if (r[1] < reached) {
            shared++;
            shared_bytes += r[2];
        }
        reached = std::max(reached, r[1] + r[2]);
    }
    if (shared > 0)
        lines.push_back("warning: " + archive + ": " + std::to_string(shared) +
                        (shared == 1 ? " entry shares its data" : " entries share their data") +
                        " with others (" + human_size(shared_bytes) + " of the " + human_size(expanded_) +
                        " the archive expands to)");
    return lines;
}

ExitCode exit_code_of(ResultCode code, bool can_continue)
{
    if (can_continue)
        return EXIT_MEMBERS_FAILED;
    switch (code) {
    case ERR_DAMAGED:
    case ERR_END_OF_DATA:
    case ERR_READ:
    case ERR_SEEK:
    case ERR_NO_MEMORY:
        return EXIT_FAILED;
    default:
        return EXIT_MEMBERS_FAILED;
    }
}

// --- extraction and test -----------------------------------------------------------

namespace {

// The first part of name (a path below the destination, the base
// directory while the driver runs) that exists as a symbolic link, or "".
std::string link_in_the_way(const std::string& name)
{
    for (size_t end = 0; end != std::string::npos; end++) {
        end = name.find('/', end);
        std::string part = name.substr(0, end);
#if defined(_WIN32)
        // Any reparse point counts: a junction leads elsewhere as a link does.
        DWORD attributes = GetFileAttributesW(host::full_path(part).c_str());
        if (attributes == INVALID_FILE_ATTRIBUTES)
            return "";
        if (attributes & FILE_ATTRIBUTE_REPARSE_POINT)
            return part;
#else
        struct stat st;
        if (fstatat(host::base_directory(), part.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
            return "";  // not there: nothing further in is either
        if (S_ISLNK(st.st_mode))
            return part;
#endif
        if (end == std::string::npos)
            break;
    }
    return "";
}

// The messages of a run, counted by what their codes mean for the exit code.
struct RunState {
    RunState(const ExtractOptions& o, ExtractResult& r, Run& n) : options(o), result(r), run(n) {}
    const ExtractOptions& options;
    ExtractResult& result;
    Run& run;
    std::vector<ListedEntry> files;  // file entries in order, for progress
    size_t progress_index = 0;
    uint64_t progress_done = 0;
    // The entry under way, so that a failure reported for it takes it out of
    // what was written.
    bool file_pending = false, folder_pending = false;
    uint64_t pending_size = 0;
    // A failure that ended the extraction, and the first file it left out.
    bool extracting = false, stopped = false;
    size_t first_not_extracted = 0;

    // What extraction left on disk, by folded name: a duplicate that
    // replaced an earlier entry counts once, with its own size.
    std::map<std::string, uint64_t> written_files;
    std::set<std::string> written_folders;
    // Every folder that holds what it wrote, entries or not, folded.
    std::set<std::string> made_folders;
    std::string pending_name, pending_host_name;
    // The files this run made, by folded name, as spelled on disk; and a
    // file of an earlier entry that a later one, equal but for case, has
    // renamed to its own spelling (new name, old name) until it is done.
    std::map<std::string, std::string> spelled;
    std::pair<std::string, std::string> respelled;

    // Windows takes names equal but for case for one file: the later entry
    // finds the earlier one's file under its own name, so it meets the
    // overwrite question (or replaces it) there, as in the stub.
    void respell_earlier(const std::string& folded, const std::string& host_name)
    {
        auto it = spelled.find(folded);
        if (it == spelled.end() || it->second == host_name)
            return;
#if defined(_WIN32)
        // The same file there: only the spelling changes.
        if (MoveFileExW(host::full_path(it->second).c_str(), host::full_path(host_name).c_str(), 0))
            respelled = {host_name, it->second};
#else
        if (renameat2(host::base_directory(), it->second.c_str(), host::base_directory(), host_name.c_str(),
                      RENAME_NOREPLACE) == 0)
            respelled = {host_name, it->second};
#endif
    }

    // The later entry kept the earlier one's file: it takes its name back.
    void restore_spelling()
    {
        if (!respelled.first.empty()) {
#if defined(_WIN32)
            MoveFileExW(host::full_path(respelled.first).c_str(), host::full_path(respelled.second).c_str(), 0);
#else
            renameat(host::base_directory(), respelled.first.c_str(), host::base_directory(),
                     respelled.second.c_str());
#endif
        }
        respelled = {};
    }

    // The entry under way is finished and was not taken back.
    void commit_pending()
    {
        if (file_pending) {
            written_files[pending_name] = pending_size;
            spelled[pending_name] = pending_host_name;
        } else if (folder_pending) {
            written_folders.insert(pending_name);
        }
        // The folders it made or found on the way.
        if (file_pending || folder_pending)
            for (size_t end = 0; (end = pending_host_name.find('/', end + 1)) != std::string::npos;)
                made_folders.insert(fold_name(pending_host_name.substr(0, end)));
        if (folder_pending)
            made_folders.insert(pending_name);
        respelled = {};
        file_pending = folder_pending = false;
        result.files_written = (unsigned)written_files.size();
        result.folders_written = (unsigned)written_folders.size();
        result.bytes_written = 0;
        for (const auto& f : written_files)
            result.bytes_written += f.second;
    }

    // Why the archive's own entries leave name (as the driver gives it,
    // backslashes) no room whatever the destination holds, or "" when they
    // do not: a part that is empty or "." (Windows would fold it away, the
    // host takes it literally), a part longer than a file system's name, a
    // file of an earlier entry where a folder must be, a folder of one where
    // the file must be. A message goes to the report. x and t both ask it
    // before the driver's own checks, so t says what x does.
    bool refuse_by_earlier_entries(const std::string& name, const std::string& host_name, bool folder)
    {
        // A name too long for the path comes cut: its last part is the
        // driver's to refuse, with the reason it gives.
        bool cut = utf16_length(name.c_str()) >= PATH_SIZE - 1;
        for (size_t start = 0; start <= host_name.size();) {
            size_t end = std::min(host_name.find('/', start), host_name.size());
            bool last = end == host_name.size();
            if (last && cut)
                break;
            std::string part = host_name.substr(start, end - start);
            unsigned error = part.empty() || part == "." ? OS_BAD_PATHNAME
                             : utf16_length(part.c_str()) > NAME_PART_MAX || part.size() > NAME_PART_BYTES_MAX
                                 ? OS_PATH_TOO_LONG
                                 : 0;
            if (error != 0) {
                LastError = error;
                report_error(&run.x, ERR_CREATE, name.c_str(), REPORT_CAN_CONTINUE);
                return true;
            }
            std::string in_the_way = host_name.substr(0, end);
            std::string folded = fold_name(in_the_way);
            const char* what = nullptr;
            if (!last && written_files.count(folded))
                what = " is a file of this archive, not a folder";
            else if (last && folder && written_files.count(folded))
                what = " is a file of this archive";
            else if (last && !folder && made_folders.count(folded))
                what = " is a folder of this archive";
            if (what != nullptr) {
                report("Cannot create " + host_name + ": " + in_the_way + what);
                result.failed_members++;
                return true;
            }
            start = end + 1;
        }
        return false;
    }

    // The driver asks before each entry (t as the driver would): the one
    // before it is finished.
    bool wants(const std::string& name, bool folder)
    {
        commit_pending();
        std::string host_name = host::path_to_host(name.c_str());
        if (options.select && !options.select(host_name, folder))
            return false;
        // An unsafe name is the driver's to refuse.
        bool safe = entry_name_is_safe(name.data(), (u32)name.size()) != 0;
        if (safe && refuse_by_earlier_entries(name, host_name, folder))
            return false;
        // Nothing is written through a symbolic link that is already in the
        // destination (the platform layer follows none either; this says
        // why).
        if (safe && extracting) {
            std::string link = link_in_the_way(host_name);
            if (!link.empty()) {
                report("Cannot create " + host_name + ": " + link +
                       " is a symbolic link in the destination, and qvx x writes through none");
                result.failed_members++;
                return false;
            }
        }
        pending_name = fold_name(name);
        pending_host_name = host_name;
        if (folder)
            folder_pending = true;
        else if (extracting)
            respell_earlier(pending_name, host_name);
        return true;
    }

    void report(const std::string& line)
    {
        result.messages.push_back(line);
        if (options.report)
            options.report(line);
    }

    // The entry under way was not written after all.
    void undo_pending()
    {
        file_pending = folder_pending = false;
        restore_spelling();
    }

    int on_message(ResultCode code, const char* text, unsigned style)
    {
        report(message_line(text));
        if (extracting && !stopped && (style & BOX_OKCANCEL) == 0) {
            stopped = true;
            first_not_extracted = file_pending && progress_index > 0 ? progress_index - 1 : progress_index;
        }
        undo_pending();
        if (exit_code_of(code, (style & BOX_OKCANCEL) != 0) == EXIT_FAILED)
            result.damaged = true;
        else
            result.failed_members++;
        return BOX_ANSWER_OK;  // a member's failure: the run goes on
    }

    // After a failure that ended the extraction: which files it left out
    // (of those asked for), by name.
    void report_not_extracted()
    {
        if (!stopped)
            return;
        std::vector<std::string> names;
        for (size_t i = first_not_extracted; i < files.size(); i++) {
            std::string name = host::path_to_host(files[i].name.c_str());
            if (!options.select || options.select(name, false))
                names.push_back(name);
        }
        if (names.empty())
            return;
        const size_t shown = 10;
        std::string line = "the extraction stopped; " + std::to_string(names.size()) +
                           (names.size() == 1 ? " file was" : " files were") + " not extracted: ";
        for (size_t i = 0; i < names.size() && i < shown; i++)
            line += (i > 0 ? ", " : "") + names[i];
        if (names.size() > shown)
            line += " and " + std::to_string(names.size() - shown) + " more";
        report(line);
    }

    // The driver names the member it starts; progress counts the bytes of the
    // members before it.
    void on_progress(const char* name_text)
    {
        std::string name = name_text;
        size_t i = progress_index;
        uint64_t done = progress_done;
        while (i < files.size() && files[i].name != name)
            done += files[i++].entry.member_size;
        pending_size = 0;
        if (i < files.size()) {
            progress_index = i + 1;
            progress_done = done + files[i].entry.member_size;
            pending_size = files[i].entry.member_size;
        } else {
            done = progress_done;  // a converted name: keep the count
        }
        file_pending = true;
        if (options.progress)
            options.progress(host::path_to_host(name.c_str()), done, result.bytes);
    }
};

void finish(ExtractResult& result)
{
    if (result.no_space)
        result.exit_code = EXIT_NO_SPACE;
    else if (result.damaged)
        result.exit_code = EXIT_FAILED;
    else if (result.failed_members > 0)
        result.exit_code = EXIT_MEMBERS_FAILED;
    else
        result.exit_code = EXIT_OK;
}

// Restores the thread's base directory and closes what the run opened on
// every way out.
#if defined(_WIN32)
// Windows: the base folder is a path, not a descriptor.
struct RunScope {
    Run& run;
    bool based = false;
    std::string saved_base{};
    ~RunScope()
    {
        if (based)
            host::set_base_path(saved_base);
        close_archive(run);
    }
};
#else
struct RunScope {
    Run& run;
    int dest_fd = -1;
    int saved_base = AT_FDCWD;
    ~RunScope()
    {
        if (dest_fd >= 0) {
            host::set_base_directory(saved_base);
            close(dest_fd);
        }
        close_archive(run);
    }
};
#endif

// The driver gives folders no times (the stub leaves them to Windows), and
// writing a file into a folder changes its time: qvx sets each extracted
// folder's write time once everything is in place. Each component is opened
// below the destination without following links, so no time is set outside
// it.
void restore_folder_times(Run& run, int dest_fd, const ExtractOptions& options)
{
    std::vector<ListedEntry> folders;
    read_directory(run, [&](const ListedEntry& e) {
        if ((e.entry.entry_flags & ENTRY_FOLDER) && e.entry.write_date != 0 && name_verdict(e) == NAME_USED)
            folders.push_back(e);
        return true;
    });
    for (const ListedEntry& e : folders) {
        std::string path = host::path_to_host(e.name.c_str());
        if (options.select && !options.select(path, true))
            continue;
#if defined(_WIN32)
        (void)dest_fd;
        host::set_folder_write_time(path, e.entry.write_date, e.entry.write_time);
#else
        int fd = dup(dest_fd);
        size_t start = 0;
        while (fd >= 0 && start < path.size()) {
            size_t end = path.find('/', start);
            if (end == std::string::npos)
                end = path.size();
            std::string component = path.substr(start, end - start);
            int next = openat(fd, component.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            close(fd);
            fd = next;
            start = end + 1;
        }
        if (fd < 0)
            continue;  // not made (passed over, or the run ended first)
        struct timespec times[2];
        times[0].tv_sec = 0;
        times[0].tv_nsec = UTIME_OMIT;
        times[1].tv_sec = host::dos_to_time(e.entry.write_date, e.entry.write_time);
        times[1].tv_nsec = 0;
        futimens(fd, times);
        close(fd);
#endif
    }
}

// Whether a file name is one the extractor gives its temporary files:
// "~dx0000?.tmp", or a shorter cut of it where a folder left less room.
bool temporary_file_name(const std::string& name)
{
    static const std::string full = "~dx00000.tmp";
    if (name.size() < 4 || name.size() > full.size() || name.compare(0, 3, "~dx") != 0)
        return false;
    for (size_t i = 3; i < name.size(); i++)
        if (name[i] != full[i] && !(i == 7 && isalnum((unsigned char)name[i])))
            return false;
    return true;
}

// Temporary files an earlier extraction left behind when it was killed (no
// handler runs on SIGKILL or a power cut) in the folders this run wrote
// into: said, never removed, since a file of that name may be the user's.
void report_leftover_temporaries(RunState& state, const std::string& dest_dir)
{
    std::set<std::string> folders = {""};
    for (const ListedEntry& e : state.files) {
        std::string name = host::path_to_host(e.name.c_str());
        size_t slash = name.rfind('/');
        if (slash != std::string::npos && name_verdict(e) == NAME_USED)
            folders.insert(name.substr(0, slash));
    }
    for (const std::string& folder : folders) {
        std::error_code ec;
        std::filesystem::path path = std::filesystem::path(dest_dir) / folder;
        if (std::filesystem::is_symlink(path, ec))
            continue;
        for (const auto& item : std::filesystem::directory_iterator(path, ec)) {
            std::string name = item.path().filename().string();
            if (temporary_file_name(name) && item.is_regular_file(ec))
                state.report("warning: " + (path / name).lexically_normal().string() +
                             " is a temporary file left by an extraction that was stopped; it is not removed");
        }
    }
}

// `qvx t`: every member decoded into /dev/null and checked against its CRC.
void test_members(RunState& state, const std::string& path)
{
    ExtractResult& result = state.result;
    Extraction* x = &state.run.x;
    FileHandle sink = file_open("/dev/null", ACCESS_WRITE);
    if (sink == INVALID_FILE) {
        state.report("cannot open /dev/null");
        result.failed_members++;
        return;
    }
    DirectoryWalk walk(*x);
    ResultCode r = walk.begin();
    ListedEntry e;
    while (r >= 0 && (r = walk.next(e)) > 0) {
        // The checks of x in its order: the front end's first, with the
        // name as the driver gives it.
        if (!state.wants(cut_to_room(e.name), (e.entry.entry_flags & ENTRY_FOLDER) != 0))
            continue;
        NameVerdict verdict = name_verdict(e);
        if (verdict == NAME_TOO_LONG) {
            // As the driver reports it: shown cut to the room there is.
            LastError = OS_PATH_TOO_LONG;
            report_error(x, ERR_CREATE, cut_to_room(e.name).c_str(), REPORT_CAN_CONTINUE);
            continue;
        }
        if (verdict == NAME_REFUSED) {
            LastError = OS_BAD_PATHNAME;
            report_error(x, ERR_CREATE, e.name.c_str(), REPORT_CAN_CONTINUE);
            continue;
        }
        if (e.entry.entry_flags & ENTRY_FOLDER)
            continue;
        state.on_progress(e.name.c_str());
        ResultCode out = output_member(walk.decoder(), sink, e.entry.stream_offset, e.entry.member_offset,
                                       e.entry.member_size, e.entry.entry_flags);
        if (out < 0) {
            // As in the driver, a member whose data cannot be produced ends
            // the run.
            report_error(x, out, e.name.c_str(), REPORT_FINAL);
            if (out != ERR_CANCELLED)
                result.damaged = true;
            break;
        }
        if (walk.decoder()->running_crc != e.entry.member_crc)
            report_error(x, ERR_CRC, e.name.c_str(), REPORT_CAN_CONTINUE);
    }
    state.commit_pending();
    if (r < 0) {
        report_error(x, r, nullptr, REPORT_FINAL);
        result.damaged = true;
    } else if (!result.damaged && x->flags->cancel_flag == 0) {
        // The format allows bytes after the last entry: in its piece, and in
        // further pieces (up to the end of the archive; what follows a
        // self-extractor's archive, such as a certificate table, is no
        // piece). Nothing reads them, but the user may want to know.
        u32 left = (u32)(x->directory_end - x->directory_cursor);
        while (load_directory_piece(x, x->directory_buffer) == 0)
            left += (u32)(x->directory_end - x->directory_cursor);
        u32 entries = load_le32(x->archive_header + 8);
        if (left > 0)
            state.report("warning: " + path + ": " + std::to_string(left) +
                         (left == 1 ? " byte is" : " bytes are") + " left over in the directory after its " +
                         std::to_string(entries) + (entries == 1 ? " entry" : " entries"));
    }
    file_close(sink);
}

// Runs the stub's own self-check over the image when the file's stub is one
// of ours (a foreign stub has no StubInfo to check against: 0). A check
// record that cannot be the builder's (changed fixed bytes, a length other
// than the image's, one the file cannot hold) fails the check: the stub
// would refuse to run.
ResultCode check_stub_image(Run& run, const std::string& path, uint32_t archive_start, uint32_t image_end)
{
    std::vector<uint8_t> image(archive_start);
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return 0;
    ssize_t got = pread(fd, image.data(), image.size(), 0);
    close(fd);
    if (got < 0 || (size_t)got != image.size())
        return 0;
    uint32_t stub_length, crc_slot, stub_crc;
    int found = read_stub_fields(image.data(), image.size(), &stub_length, &crc_slot, &stub_crc);
    if (found == 0)
        return 0;
    ResultCode r = found < 0 || stub_length != image_end
                       ? verify_stub(&run.x, 0, 0, 0)  // no slot in no image: the record is damaged
                       : verify_stub(&run.x, stub_length, crc_slot, stub_crc);
    if (r < 0 && r != ERR_STUB_MODIFIED) {
        report_error(&run.x, r, nullptr, REPORT_FINAL);
        r = ERR_STUB_MODIFIED;
    }
    run.x.archive_start = (i32)archive_start;
    return r;
}

}  // namespace

ResultCode check_stub(Run& run, const std::string& path, const ArchiveInfo& info)
{
    return info.sfx ? check_stub_image(run, path, info.archive_start, info.stub_length) : 0;
}

ExtractResult extract_archive(const std::string& path, const ExtractOptions& options)
{
    ExtractResult result;
    auto run = std::make_unique<Run>();
    RunState state(options, result, *run);
    RunScope scope{*run};

    ArchiveInfo info;
    std::string error;
    if (open_archive(*run, path, info, error) < 0) {
        state.report(error);
        result.damaged = true;
        finish(result);
        return result;
    }
    if (info.unexpected_magic)
        state.report("warning: " + path + " does not begin with the QVX signature; reading it as an archive");
    std::string trailing = trailing_bytes_warning(path, info);
    if (!trailing.empty())
        state.report(trailing);
    if (info.header.entry_count == 0) {
        state.report("Archive contains no files");
        result.empty = true;
        finish(result);
        return result;
    }

    // A first pass over the directory gives the totals for the progress
    // bar; a damaged directory shows up again, and is reported, in the run.
    DirectoryCheck check;
    read_directory(*run, [&](const ListedEntry& e) {
        check.add(e);
        if (e.entry.entry_flags & ENTRY_FOLDER) {
            result.folders++;
        } else {
            result.files++;
            result.bytes += e.entry.member_size;
            state.files.push_back(e);
        }
        return true;
    });
    for (const std::string& line : check.warnings(path))
        state.report(line);
    result.packed_bytes = info.file_size - info.archive_start;
    result.command = run->x.command;

    Hooks& hooks = run->hooks;
    hooks.message_box = [&state](ResultCode code, const char* text, unsigned style) {
        return state.on_message(code, text, style);
    };
    hooks.progress = [&state](const char* name) { state.on_progress(name); };
    hooks.wants = [&state](const std::string& name, bool folder) { return state.wants(name, folder); };
    hooks.run_command = [&result](const char* command_line) { result.command = command_line; };
    hooks.ask_overwrite = [&options, &run, &state](const std::string& file) {
        int answer = options.ask_overwrite ? options.ask_overwrite(file) : (int)ANSWER_NO;
        if (answer == ANSWER_NO_AND_STOP) {
            run->flags.cancel_flag = 1;
            answer = ANSWER_NO;
        }
        // A file that appeared while the member was written: kept, the
        // member is not extracted after all.
        if (answer == ANSWER_NO)
            state.undo_pending();
        return answer;
    };
    run->flags.overwrite_all = options.overwrite_all ? 1 : 0;
    run->flags.cancel_flag = 0;

    // A self-extractor with our stub is checked the way the stub checks
    // itself at start-up; the "modified" warning counts as damage, unless an
    // extraction is forced.
    if (info.sfx) {
        bool forced = options.force && !options.test_only;
        if (forced)
            hooks.message_box = [&state](ResultCode, const char* text, unsigned) {
                state.report("warning: " + message_line(text) + " Extracting it anyway (--force).");
                return (int)BOX_ANSWER_OK;
            };
        if (check_stub(*run, path, info) < 0 && !forced) {
            result.damaged = true;
            finish(result);
            return result;
        }
        hooks.message_box = [&state](ResultCode code, const char* text, unsigned style) {
            return state.on_message(code, text, style);
        };
    }

    if (options.test_only) {
        test_members(state, path);
        // Where x extracts by default.
        report_leftover_temporaries(state, ".");
        finish(result);
        return result;
    }

    std::error_code ec;
    std::filesystem::create_directories(options.dest_dir, ec);
    if (ec || !std::filesystem::is_directory(options.dest_dir)) {
        state.report("Cannot create folder " + options.dest_dir + (ec ? ": " + ec.message() : ""));
        result.failed_members++;
        finish(result);
        return result;
    }
#if defined(_WIN32)
    scope.saved_base = host::base_path();
    host::set_base_path(options.dest_dir);
    scope.based = true;
    const int dest_fd = -1;
#else
    scope.dest_fd = open(options.dest_dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (scope.dest_fd < 0) {
        state.report("cannot enter " + options.dest_dir + ": " + errno_text());
        result.failed_members++;
        finish(result);
        return result;
    }
    scope.saved_base = host::base_directory();
    host::set_base_directory(scope.dest_fd);
    const int dest_fd = scope.dest_fd;
#endif
    run->x.dest_path[0] = 0;
    // The command is reported only when the driver reaches it.
    result.command.clear();
    // The driver compares every file's size with the free space; with
    // MEMBERs chosen only theirs count, which this does.
    run->x.no_space_check = options.no_space_check || options.select;
    uint64_t needed = 0;
    if (options.select && !options.no_space_check)
        for (const ListedEntry& e : state.files)
            if (options.select(host::path_to_host(e.name.c_str()), false))
                needed += e.entry.member_size;
    run->x.space_needed = needed;
    run->x.space_free = needed > 0 ? volume_free_bytes("") : 0;
    DecoderPtr decoder(decoder_create(&run->flags.cancel_flag));
    state.extracting = true;
    ResultCode r = decoder == nullptr ? ERR_NO_MEMORY
                   : needed > run->x.space_free ? ERR_NO_SPACE
                                                : extract_all(&run->x, decoder.get());
    state.extracting = false;
    state.commit_pending();
    if (r == ERR_NO_SPACE) {
        state.report("not enough free space in " + options.dest_dir + ": the files take " +
                     std::to_string(run->x.space_needed) + " bytes, " + std::to_string(run->x.space_free) +
                     " are free; nothing was extracted (--no-space-check extracts anyway)");
        result.no_space = true;
    } else if (r < 0) {
        report_error(&run->x, r, nullptr, REPORT_FINAL);
        result.damaged = true;
    }
    state.report_not_extracted();
    report_leftover_temporaries(state, options.dest_dir);
    restore_folder_times(*run, dest_fd, options);
    finish(result);
    return result;
}

}  // namespace host
