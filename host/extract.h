// Reading archives on the host: the code behind `qvx x`, `qvx t` and
// `qvx l`, shared with the conformance tests so that both run exactly the
// extraction path the stub runs (extract_all with the POSIX backend). Every
// archive is read through its own Run: two can be read at the same time on
// two threads.
//
// A file is either a bare archive (ArchiveHeader at offset 0) or a
// self-extractor: a PE image whose last section ends where the optional
// SfxHeader and then the archive begin.
#ifndef DRAVEX_HOST_EXTRACT_H
#define DRAVEX_HOST_EXTRACT_H

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "archive/records.h"
#include "host/exit_codes.h"
#include "host/run.h"
#include "platform/base.h"

namespace host {

struct ArchiveInfo {
    bool sfx = false;             // a stub image precedes the archive
    uint32_t stub_length = 0;     // end of the stub's last section
    bool has_sfx_header = false;
    std::string title, folder, command;  // UTF-8 (converted from code page 1252 unless stored so)
    bool overwrite = false;
    uint32_t archive_start = 0;
    uint64_t file_size = 0;
    ArchiveHeader header{};
    // The archive's first 4 bytes are not "QVX\n". The extractor never reads
    // them, so such an archive is still read; the tools say so.
    bool unexpected_magic = false;
    bool checked = false;  // the archive carries our check values (and they match)
};

struct ListedEntry {
    DirectoryEntry entry{};
    std::string stored;  // the name as stored (code page 1252), backslashes
    // The name it is extracted under (entry_target_name): UTF-8, backslashes;
    // cut past twice the 259 characters of a path. fits: not more than one.
    std::string name;
    bool fits = false;
};

// Opens path as the run's own file and finds the archive: fills the run's
// display name, archive start and header with the shared start-up code
// (read_sfx_header, read_archive_header). Returns 0 or a negative code with a
// message in error. close_archive() undoes it.
ResultCode open_archive(Run& run, const std::string& path, ArchiveInfo& info, std::string& error);
void close_archive(Run& run);

// Walks the directory of the run's open archive with the decoder's own
// directory loading, calling visit for each entry in order (visit returns
// false to stop). Returns 0 or the code that ended the walk (ERR_DAMAGED,
// ERR_READ...).
ResultCode read_directory(Run& run, const std::function<bool(const ListedEntry&)>& visit);

// What the directory as a whole says beyond its entries, gathered entry by
// entry: names that Windows takes for one (the later entry meets the
// overwrite question, or replaces the earlier one), entries whose data
// overlaps another's (a small archive may claim far more than it holds), and
// the bytes it expands to.
class DirectoryCheck {
public:
    void add(const ListedEntry& e);
    // The warnings, one line each, naming the archive as given; empty when
    // there is nothing to say.
    std::vector<std::string> warnings(const std::string& archive) const;
    uint64_t expanded_bytes() const { return expanded_; }

private:
    struct Seen {
        std::string name;  // as first met, with '/'
        unsigned count = 0;
    };
    std::vector<std::string> order_;  // folded names in the order met
    std::map<std::string, Seen> names_;
    // Files' data: stream, offset in it, size.
    std::vector<std::array<uint64_t, 3>> ranges_;
    uint64_t expanded_ = 0;
};

// A warning when a bare archive's file holds bytes after the end its header
// gives (nothing reads them); "" otherwise. A self-extractor's may hold a
// certificate table there.
std::string trailing_bytes_warning(const std::string& path, const ArchiveInfo& info);

// A self-extractor's stub checked as it checks itself, its warning shown
// through the run's message_box hook: 0 when it passes or is not ours,
// ERR_STUB_MODIFIED when it fails.
ResultCode check_stub(Run& run, const std::string& path, const ArchiveInfo& info);

// "18.7 KB", "10.5 GB": a size for people.
std::string human_size(uint64_t bytes);

// What a failure means for the exit code: EXIT_FAILED for the codes that end
// a run because the archive cannot be read on (damage, a read that fails, no
// memory), EXIT_MEMBERS_FAILED for the others (a member that cannot be
// created, written or checked). A failure the user may pass over is always
// a member's.
ExitCode exit_code_of(ResultCode code, bool can_continue);

enum { ANSWER_NO_AND_STOP = 1 };

struct ExtractOptions {
    std::string dest_dir = ".";  // UTF-8; created when missing
    bool test_only = false;      // decode and check everything, write nothing
    bool overwrite_all = false;
    // A self-extractor whose stub fails the stub's own self-check is
    // refused as damaged (the stub refuses to run), unless this is set for
    // an extraction: the warning is then reported and the run goes on.
    bool force = false;
    // Extract even when the destination's volume has fewer free bytes than
    // the files will take (without it such a run writes nothing: exit 4).
    bool no_space_check = false;
    // Asked for an existing file (UTF-8 path relative to dest_dir): returns
    // ANSWER_YES, ANSWER_NO, ANSWER_YES_TO_ALL or ANSWER_NO_AND_STOP (the
    // file is kept and the run ends before the next member, as the stub's
    // Cancel). Null: existing files are left alone.
    std::function<int(const std::string&)> ask_overwrite;
    // One line per problem (UTF-8, the message box text on one line).
    std::function<void(const std::string&)> report;
    // Before each file: its UTF-8 name, bytes done, bytes in all.
    std::function<void(const std::string&, uint64_t, uint64_t)> progress;
    // Which members to extract (UTF-8 names with '/'); null: every one. A
    // file in a folder passed over still gets its folders made.
    std::function<bool(const std::string& name, bool folder)> select;
};

struct ExtractResult {
    ExitCode exit_code = EXIT_OK;
    unsigned failed_members = 0;   // CRC mismatch, cannot create, unsafe name
    bool damaged = false;          // the walk ended early: damaged or unreadable
    bool empty = false;            // "Archive contains no files"
    bool no_space = false;         // refused before writing: the files would not fit
    unsigned files = 0, folders = 0;
    uint64_t bytes = 0;            // of the files in the directory
    uint64_t packed_bytes = 0;     // the archive's bytes in the file
    // What extraction wrote: files complete and checked, their bytes, and
    // the folders of the archive it made or found.
    unsigned files_written = 0, folders_written = 0;
    uint64_t bytes_written = 0;
    std::string command;           // the archive's command (UTF-8), never run
    std::vector<std::string> messages;  // every line reported
};

// Extracts (or tests) the archive at path. Never throws; every problem is in
// the result.
ExtractResult extract_archive(const std::string& path, const ExtractOptions& options);

// Folds a message box text onto one line ("\n" becomes ": ") as UTF-8.
std::string message_line(const char* text);

// "RHSDA" letters of the attribute bits, '.' for the ones not set.
std::string format_attributes(uint16_t attributes, bool folder);

}  // namespace host

#endif
