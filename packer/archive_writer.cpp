// The archive writer. Layout of what it produces:
//
//   ArchiveHeader (42 bytes)
//   data stream 1 .. n   "QVXLH\0" + blocks; one member record per file
//   directory pieces     "QVXDE\0" + one block each, whole entries only
//
// Everything is decided before the first byte goes out: the entries are
// collected and their names checked first, so a refused name never leaves a
// half-written archive behind.
#include "packer/archive_writer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cerrno>
#include <cmath>
#include <map>
#include <cstring>
#include <dirent.h>
#include <set>
#include <memory>

#include "archive/names.h"
#include "archive/paths.h"
#include "archive/records.h"
#include "codec/crc32.h"
#include "codec/input_stream.h"
#include "packer/bit_writer.h"
#include "packer/block_writer.h"
#include "packer/call_filter.h"
#include "packer/stream_writer.h"
#include "platform/host.h"
#include "platform/text.h"

namespace packer {

// The stub addresses its own file with signed 32-bit offsets, so stub,
// SfxHeader and archive together must stay below 2 GiB; a megabyte is kept
// back for the stub and the header.
static const uint64_t MAX_ARCHIVE_SIZE = 0x7FF00000u;
// A stored piece carries the 6-byte block header in front of its bytes.
static const uint32_t STORED_PIECE_MAX = DIRECTORY_PIECE_MAX - 6;

// --- names -----------------------------------------------------------------

// COM0 and LPT0 are listed as reserved too, though Windows opens them as
// files; the archiver does not store them, so that they never meet a system
// that disagrees.
static bool is_zero_device(const std::string& component)
{
    std::string base = component.substr(0, component.find('.'));
    while (!base.empty() && base.back() == ' ')
        base.pop_back();
    if (base.size() != 4 || base[3] != '0')
        return false;
    std::string prefix = base.substr(0, 3);
    for (char& c : prefix)
        c = (char)fold_name_byte((u8)c);
    return prefix == "com" || prefix == "lpt";
}

std::string check_entry_name(const std::string& name)
{
    if (name.empty())
        return "empty name";
    if (name.size() > MAX_ENTRY_NAME)
        return "name longer than " + std::to_string((int)MAX_ENTRY_NAME) + " bytes";
    if (name[0] == '\\')
        return "absolute path";
    size_t start = 0;
    while (start <= name.size()) {
        size_t end = name.find('\\', start);
        if (end == std::string::npos)
            end = name.size();
        std::string component = name.substr(start, end - start);
        if (component.empty())
            return "empty path component";
        if (component == "." || component == "..")
            return "\"" + component + "\" path component";
        for (unsigned char c : component) {
            if (c < 0x20)
                return "control character in name";
            if (c == ':')
                return "colon in name (drive letter or stream)";
            if (strchr("<>\"/|?*", c) != nullptr)
                return std::string("character '") + (char)c + "' is not allowed in Windows names";
        }
        if (component.back() == '.' || component.back() == ' ')
            return "Windows drops a trailing dot or space";
        if (is_device_name(component.data(), component.data() + component.size()) || is_zero_device(component))
            return "reserved device name \"" + component + "\"";
        start = end + 1;
    }
    // The extractor's own check, so that nothing stored here is refused there.
    if (!entry_name_is_safe(name.data(), (u32)name.size()))
        return "the extractor refuses this name";
    return "";
}

// --- collecting the inputs ---------------------------------------------------

struct Collector {
    const CollectOptions& options;
    std::vector<WriterEntry>& entries;
    std::vector<std::string>& warnings;
    std::string error;                 // a read error: ends the collection
    std::vector<std::string> refused;  // names that cannot be stored: all are reported
    // Names already stored, case folded as Windows does: the name and the
    // path it came from.
    std::map<std::string, std::pair<std::string, std::string>> seen_folded;
    std::string tree_root;             // real path of the current input folder; "" for a file
    std::vector<std::pair<dev_t, ino_t>> open_folders;  // the folders being walked, for link loops
};

static std::string format_time(time_t t)
{
    struct tm tm;
    char text[40];
    if (localtime_r(&t, &tm) == nullptr || strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &tm) == 0)
        return std::to_string((long long)t) + " (seconds since 1970)";
    return text;
}

// DOS dates run from 1980 to 2107; a modification time outside that is
// stored as no date, which the extractor leaves alone (the file keeps the
// time it is written), and said. A creation time out of range (file systems
// without one report 0) goes the same way without a word.
static void fill_times(Collector& c, const std::string& path, const std::string& name, const struct stat& st,
                       WriterEntry& e, bool follow)
{
    host::time_to_dos(st.st_mtime, e.write_date, e.write_time);
    if (e.write_date == 0)
        c.warnings.push_back(name + ": modification time " + format_time(st.st_mtime) +
                             " is outside the DOS range 1980-2107; stored without a date (extracted files get the "
                             "time they are written)");
#ifdef STATX_BTIME
    struct statx sx;
    if (statx(AT_FDCWD, path.c_str(), follow ? 0 : AT_SYMLINK_NOFOLLOW, STATX_BTIME, &sx) == 0 &&
        (sx.stx_mask & STATX_BTIME))
        host::time_to_dos((time_t)sx.stx_btime.tv_sec, e.create_date, e.create_time);
#elif defined(_WIN32)
    (void)path;
    (void)follow;
    host::time_to_dos(st.st_btim.tv_sec, e.create_date, e.create_time);
#else
    (void)path;
    (void)follow;
#endif
}

// Adds one file or folder; false only when the name cannot be stored (noted
// in c.refused).
static bool add_entry(Collector& c, const std::string& host_path, const std::string& utf8_name, const struct stat& st,
                      const std::string* link_target = nullptr)
{
    WriterEntry e;
    std::string why;
    if (!host::is_utf8(utf8_name))
        why = "name is not UTF-8";
    else if (utf8_name.find('\\') != std::string::npos)
        why = "backslash in name";  // a folder separator in the archive
    if (why.empty()) {
        e.exact = utf8_name;
        std::replace(e.exact.begin(), e.exact.end(), '/', '\\');
        host::utf8_to_cp1252(e.exact, e.name, true);
        if (utf16_length(e.exact.c_str()) > MAX_ENTRY_NAME)
            why = "name longer than " + std::to_string((int)MAX_ENTRY_NAME) + " characters";
        else
            why = check_entry_name(e.name);
    }
    if (why.empty()) {
        auto seen = c.seen_folded.insert({host::fold_name(e.exact), {utf8_name, host_path}});
        if (!seen.second) {
            const auto& first = seen.first->second;
            why = "the archive already holds " +
                  (first.first == utf8_name ? "this name" : "\"" + first.first + "\"") + ", from " + first.second +
                  (first.first == utf8_name ? "" : " (Windows ignores case)");
        }
    }
    e.host_path = host_path;
    e.folder = S_ISDIR(st.st_mode);
    if (e.folder) {
        e.attributes = 0x10;
    } else {
        e.size = link_target ? link_target->size() : (uint64_t)st.st_size;
        if (why.empty() && e.size > 0xFFFFFFFFu)
            why = "members are limited to 4 GiB - 1 bytes";
        e.attributes = 0x20;
        if ((st.st_mode & 0222) == 0 && !link_target)
            e.attributes |= 0x01;
#if defined(_WIN32)
        // Hidden and system, which POSIX has no bits for.
        e.attributes |= st.st_attributes & 0x06;
#endif
    }
    if (!why.empty()) {
        c.refused.push_back("cannot store \"" + utf8_name + "\"" + (host_path == utf8_name ? "" : " (" + host_path + ")") +
                            ": " + why);
        return false;
    }
    if (link_target) {
        e.link = true;
        e.link_target = *link_target;
    }
    fill_times(c, host_path, utf8_name, st, e, link_target == nullptr);
    e.modified = st.st_mtim;
    c.entries.push_back(e);
    return true;
}

static bool collect_path(Collector& c, const std::string& host_path, const std::string& name, bool top_level);

static bool collect_children(Collector& c, const std::string& dir, const std::string& prefix, const struct stat& st)
{
    for (const auto& open : c.open_folders)
        if (open.first == st.st_dev && open.second == st.st_ino) {
            c.warnings.push_back("skipped " + dir + ": a link loop leads back to a folder that holds it");
            return true;
        }
    DIR* d = opendir(dir.c_str());
    if (d == nullptr) {
        c.error = "cannot read folder " + dir + ": " + strerror(errno);
        return false;
    }
    std::vector<std::string> names;
    while (struct dirent* de = readdir(d)) {
        if (strcmp(de->d_name, ".") != 0 && strcmp(de->d_name, "..") != 0)
            names.push_back(de->d_name);
    }
    closedir(d);
    std::sort(names.begin(), names.end());
    c.open_folders.push_back({st.st_dev, st.st_ino});
    bool ok = true;
    for (const std::string& n : names)
        if (!collect_path(c, dir + "/" + n, prefix.empty() ? n : prefix + "/" + n, false)) {
            ok = false;
            break;
        }
    c.open_folders.pop_back();
    return ok;
}

// Whether the real path of a link's target lies inside the current input.
static bool inside_tree(const Collector& c, const std::string& host_path)
{
    if (c.tree_root.empty())
        return false;
    char* real = realpath(host_path.c_str(), nullptr);
    if (real == nullptr)
        return false;
    std::string target = real;
    free(real);
    return target == c.tree_root ||
           (target.compare(0, c.tree_root.size(), c.tree_root) == 0 &&
            (c.tree_root == "/" || target[c.tree_root.size()] == '/'));
}

static bool collect_path(Collector& c, const std::string& host_path, const std::string& name, bool top_level)
{
    struct stat st;
    if (lstat(host_path.c_str(), &st) != 0) {
        c.error = "cannot read " + host_path + ": " + strerror(errno);
        return false;
    }
    if (S_ISLNK(st.st_mode) && !top_level) {
        if (c.options.links == Links::SKIP)
            return true;
        if (c.options.links == Links::STORE_TARGET) {
            std::vector<char> target((size_t)(st.st_size > 0 ? st.st_size : 256) + 1);
            ssize_t n = readlink(host_path.c_str(), target.data(), target.size());
            if (n < 0 || (size_t)n >= target.size()) {
                c.error = "cannot read link " + host_path + ": " + strerror(n < 0 ? errno : ENAMETOOLONG);
                return false;
            }
            std::string text(target.data(), (size_t)n);
            if (c.options.keep && !c.options.keep(name, false))
                return true;
            add_entry(c, host_path, name, st, &text);
            return true;
        }
        if (stat(host_path.c_str(), &st) != 0) {
            if (errno == ELOOP)
                c.warnings.push_back("skipped link " + host_path + ": it leads round in a loop");
            else
                c.warnings.push_back("skipped dangling link " + host_path + ": " + strerror(errno));
            return true;
        }
        if (c.options.links == Links::INSIDE) {
            if (!inside_tree(c, host_path)) {
                c.warnings.push_back("skipped link " + host_path +
                                     ": it leads out of the folder being packed (--symlinks follow stores it)");
                return true;
            }
            // A link to a folder inside the tree would store that folder twice.
            if (S_ISDIR(st.st_mode)) {
                c.warnings.push_back("skipped link to folder " + host_path);
                return true;
            }
        }
    } else if (S_ISLNK(st.st_mode) && stat(host_path.c_str(), &st) != 0) {
        c.error = "cannot read " + host_path + ": " + strerror(errno);
        return false;
    }
    if (!S_ISDIR(st.st_mode) && !S_ISREG(st.st_mode)) {
        c.warnings.push_back("skipped special file " + host_path);
        return true;
    }
    if (!name.empty() && c.options.keep && !c.options.keep(name, S_ISDIR(st.st_mode)))
        return true;
    if (S_ISDIR(st.st_mode)) {
        if (!name.empty())
            add_entry(c, host_path, name, st);
        return collect_children(c, host_path, name, st);
    }
    add_entry(c, host_path, name, st);
    return true;
}

NamedInput input_by_last_part(const std::string& input)
{
    std::string path = input;
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    size_t slash = path.rfind('/');
    std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
    // "." and ".." (and "/") name no folder of their own: their contents go
    // in at the top.
    if (base == "." || base == ".." || base.empty() || path == "/")
        base.clear();
    return {path, base};
}

bool collect_entries(const std::vector<std::string>& inputs, const CollectOptions& options,
                     std::vector<WriterEntry>& entries, std::string& error, std::vector<std::string>& warnings)
{
    std::vector<NamedInput> named;
    for (const std::string& input : inputs)
        named.push_back(input_by_last_part(input));
    return collect_entries(named, options, entries, error, warnings);
}

bool collect_entries(const std::vector<NamedInput>& inputs, const CollectOptions& options,
                     std::vector<WriterEntry>& entries, std::string& error, std::vector<std::string>& warnings)
{
    Collector c{options, entries, warnings, "", {}, {}, "", {}};
    for (const NamedInput& in : inputs) {
        const std::string& path = in.path;
        const std::string& base = in.name;
        c.tree_root.clear();
        if (char* real = realpath(path.c_str(), nullptr)) {
            struct stat st;
            if (stat(real, &st) == 0 && S_ISDIR(st.st_mode))
                c.tree_root = real;
            free(real);
        }
        if (!collect_path(c, path, base, true)) {
            error = c.error;
            return false;
        }
        if (base.empty()) {
            struct stat st;
            if (stat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode)) {
                error = "cannot store " + path + ": no name";
                return false;
            }
        }
    }
    if (!c.refused.empty()) {
        error.clear();
        for (const std::string& line : c.refused)
            error += (error.empty() ? "" : "\n") + line;
        return false;
    }
    return true;
}

bool collect_entries(const std::vector<std::string>& inputs, std::vector<WriterEntry>& entries, std::string& error,
                     std::vector<std::string>& warnings)
{
    return collect_entries(inputs, CollectOptions(), entries, error, warnings);
}

// --- the directory -----------------------------------------------------------

// Encodes one piece: signature and the smaller of a stored and an LZ block.
// Returns false when neither fits in DIRECTORY_PIECE_MAX.
static bool encode_piece(const std::vector<uint8_t>& decoded, int level, std::vector<uint8_t>& out)
{
    std::vector<uint8_t> best;
    if (decoded.size() <= STORED_PIECE_MAX) {
        BitWriter w(best);
        if (!encode_stored_block(w, decoded.data(), (uint32_t)decoded.size(), true))
            best.clear();
    }
    std::vector<uint8_t> lz;
    if (level >= 1 || best.empty()) {
        std::vector<uint8_t> window(decoded);
        BitWriter w(lz);
        LzOptions options;
        options.level = level;
        options.allow_delta = false;
        if (!encode_lz_block(w, window.data(), 0, (uint32_t)window.size(), true, 0, options))
            lz.clear();
    }
    if (!lz.empty() && lz.size() <= DIRECTORY_PIECE_MAX && (best.empty() || lz.size() < best.size()))
        best.swap(lz);
    if (best.empty() || best.size() > DIRECTORY_PIECE_MAX)
        return false;
    out.insert(out.end(), directory_piece_signature, directory_piece_signature + STREAM_SIGNATURE_SIZE);
    out.insert(out.end(), best.begin(), best.end());
    return true;
}

std::vector<uint8_t> write_directory(const std::vector<std::vector<uint8_t>>& records, int level)
{
    std::vector<uint8_t> out;
    size_t next = 0;
    while (next < records.size()) {
        // Fill the piece up to the directory buffer, then give back entries
        // while neither block form fits (names that do not compress).
        size_t end = next;
        size_t bytes = 0;
        while (end < records.size() && bytes + records[end].size() <= DIRECTORY_BUFFER_SIZE)
            bytes += records[end++].size();
        while (true) {
            std::vector<uint8_t> decoded;
            for (size_t i = next; i < end; i++)
                decoded.insert(decoded.end(), records[i].begin(), records[i].end());
            if (encode_piece(decoded, level, out))
                break;
            end--;  // a single record (at most 38 + 255 bytes) always fits stored
        }
        next = end;
    }
    return out;
}

// --- the archive ---------------------------------------------------------------

namespace {

// How much of a file the call-filter detection looks at: all of a file up to
// this size, the head of a larger one.
const size_t DETECT_SIZE = 16u << 20;

std::string errno_text() { return strerror(errno); }

// One member's file, opened when its bytes are first wanted and closed after
// its last. A file that is shorter than it was when the inputs were collected
// is padded with zeros in the stream (the sizes are laid out before the
// bytes are read) but its entry holds only what was read, a longer one is
// cut, and either is reported as changed, as is one whose modification time
// moved while it was read: the archive then holds a consistent copy, but not
// necessarily the file as it is now.
class MemberFile {
public:
    explicit MemberFile(const WriterEntry& e) : e_(e), size_(e.size) {}
    // The bytes its member takes in the stream, when fewer than collected.
    void lay_out(uint64_t size) { size_ = size; }
    ~MemberFile()
    {
        if (fd_ >= 0)
            close(fd_);
    }
    MemberFile(const MemberFile&) = delete;
    MemberFile& operator=(const MemberFile&) = delete;

    // False when the file cannot be opened or read; error says why.
    bool read(uint8_t* dst, size_t count, std::string& error)
    {
        if (fd_ < 0) {
            fd_ = open(e_.host_path.c_str(), O_RDONLY | O_CLOEXEC);
            if (fd_ < 0 || fstat(fd_, &before_) != 0) {
                error = "cannot open " + e_.host_path + ": " + errno_text();
                return false;
            }
            if ((uint64_t)before_.st_size != e_.size || before_.st_mtim.tv_sec != e_.modified.tv_sec ||
                before_.st_mtim.tv_nsec != e_.modified.tv_nsec)
                changed_ = true;
        }
        while (count > 0) {
            ssize_t n = ::read(fd_, dst, count);
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0) {
                error = "cannot read " + e_.host_path + ": " + errno_text();
                return false;
            }
            if (n == 0) {
                memset(dst, 0, count);
                done_ += count;
                padded_ += count;
                changed_ = true;
                break;
            }
            if (padded_ == 0)
                crc_ = crc32_update(dst, (u32)n, crc_);
            dst += n;
            count -= (size_t)n;
            done_ += (uint64_t)n;
        }
        if (done_ == size_)
            finish();
        return true;
    }

    // For an empty member, which is never read.
    void check_unread()
    {
        struct stat st;
        if (stat(e_.host_path.c_str(), &st) != 0 || st.st_size != 0 || st.st_mtim.tv_sec != e_.modified.tv_sec ||
            st.st_mtim.tv_nsec != e_.modified.tv_nsec)
            changed_ = true;
    }

    bool changed() const { return changed_; }
    // The zeros that stand for bytes the file no longer had, and the CRC-32
    // of the bytes before them.
    uint64_t padded() const { return padded_; }
    uint32_t read_crc() const { return crc_ ^ 0xFFFFFFFFu; }
    const WriterEntry& entry() const { return e_; }

private:
    void finish()
    {
        uint8_t extra;
        ssize_t n;
        do
            n = ::read(fd_, &extra, 1);
        while (n < 0 && errno == EINTR);
        struct stat after;
        if (n != 0 || fstat(fd_, &after) != 0 || after.st_size != before_.st_size ||
            after.st_mtim.tv_sec != before_.st_mtim.tv_sec || after.st_mtim.tv_nsec != before_.st_mtim.tv_nsec)
            changed_ = true;
        close(fd_);
        fd_ = -1;
    }

    const WriterEntry& e_;
    uint64_t size_;
    int fd_ = -1;
    struct stat before_ {};
    uint64_t done_ = 0, padded_ = 0;
    uint32_t crc_ = 0xFFFFFFFFu;
    bool changed_ = false;
};

// The call filter a member gets, from its first DETECT_SIZE bytes. A file
// shorter now than when it was collected lowers *size to what it holds:
// the member is laid out at that size, since a filtered member cannot be
// cut afterwards. False when the file cannot be opened; error says why.
bool detect_filter(const WriterEntry& e, std::vector<uint8_t>& buffer, uint32_t* size, uint8_t* filter,
                   std::string& error)
{
    *filter = 0;
    if (e.size == 0)
        return true;
    int fd = open(e.host_path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        error = "cannot open " + e.host_path + ": " + errno_text();
        return false;
    }
    struct stat st;
    if (fstat(fd, &st) == 0 && (uint64_t)st.st_size < *size)
        *size = (uint32_t)st.st_size;
    size_t want = (size_t)std::min<uint64_t>(e.size, DETECT_SIZE);
    buffer.resize(want);
    size_t got = 0;
    while (got < want) {
        ssize_t n = pread(fd, buffer.data() + got, want - got, (off_t)got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        got += (size_t)n;
    }
    close(fd);
    *filter = detect_call_filter(buffer.data(), (uint32_t)got);
    return true;
}

std::vector<uint8_t> entry_record(const WriterEntry& e, uint32_t stream_offset, uint32_t member_offset, uint32_t size,
                                  uint32_t crc, uint8_t flags)
{
    DirectoryEntry d;
    memset(&d, 0, sizeof d);
    d.stream_offset = stream_offset;
    d.attributes = e.attributes;
    d.entry_flags = e.folder ? (uint8_t)ENTRY_FOLDER : flags;
    d.member_offset = member_offset;
    d.member_size = size;
    d.member_crc = crc;
    d.name_length = (uint16_t)e.name.size();
    d.create_date = e.create_date;
    d.create_time = e.create_time;
    d.write_date = e.write_date;
    d.write_time = e.write_time;
    // The exact name of one that is not plain ASCII, as its "U8" record.
    std::vector<uint8_t> extra;
    if (std::any_of(e.exact.begin(), e.exact.end(), [](char ch) { return (unsigned char)ch >= 0x80; })) {
        extra.resize(NAME_RECORD_HEADER);
        store_le16(&extra[0], NAME_RECORD_TAG);
        store_le16(&extra[2], (uint16_t)e.exact.size());
        extra.insert(extra.end(), e.exact.begin(), e.exact.end());
    }
    d.extra_length_2 = (uint16_t)extra.size();
    std::vector<uint8_t> record(DIRECTORY_ENTRY_SIZE);
    write_directory_entry(record.data(), &d);
    record.insert(record.end(), e.name.begin(), e.name.end());
    record.insert(record.end(), extra.begin(), extra.end());
    return record;
}

// --- the order members go into the stream ----------------------------------
//
// LZ blocks see the last 512 KB at most, so what sits next to what decides
// how much of the history is of use. Members are placed by kind: content
// class first (text, other data, ELF, PE, already compressed), then the
// extension, then the stored path; a member identical to an earlier one
// follows it at once, so that it codes as a few matches. Folders all come
// first, so every folder stands before what it holds, and the directory lists
// the members in stream order, so extraction reads each stream once, front to
// back. The order depends on the files alone, never on the thread count.

enum ContentClass : uint8_t { CLASS_TEXT, CLASS_DATA, CLASS_ELF, CLASS_PE, CLASS_COMPRESSED };

const size_t CLASS_SAMPLE = 16 * 1024;
// The largest twin whose earlier copy still lies within the 512 KB history.
const uint64_t TWIN_IN_HISTORY = 480 * 1024;

// Order-0 entropy in bits per byte.
double entropy(const uint8_t* p, size_t n)
{
    if (n == 0)
        return 0;
    size_t counts[256] = {0};
    for (size_t i = 0; i < n; i++)
        counts[p[i]]++;
    double bits = 0;
    for (size_t c : counts)
        if (c != 0)
            bits -= (double)c * std::log2((double)c / (double)n);
    return bits / (double)n;
}

bool compressed_magic(const uint8_t* p, size_t n)
{
    static const struct {
        const char* bytes;
        size_t size;
    } magics[] = {
        {"PK\x03\x04", 4},              // zip, jar, docx, apk
        {"\x1f\x8b", 2},                // gzip
        {"\xfd" "7zXZ\x00", 6},         // xz
        {"7z\xbc\xaf\x27\x1c", 6},       // 7z
        {"BZh", 3},                     // bzip2
        {"\x28\xb5\x2f\xfd", 4},         // zstd
        {"\x04\x22\x4d\x18", 4},         // lz4
        {"MSCF", 4},                    // cab
        {"\x89PNG", 4},                 // png
        {"\xff\xd8\xff", 3},             // jpeg
        {"GIF8", 4},                    // gif
        {"Rar!", 4},                    // rar
        {"OggS", 4},                    // ogg
        {"fLaC", 4},                    // flac
        {"ID3", 3},                     // mp3
    };
    for (const auto& m : magics)
        if (n >= m.size && memcmp(p, m.bytes, m.size) == 0)
            return true;
    // webp, mp4 and friends carry their kind after a length.
    return (n >= 12 && memcmp(p, "RIFF", 4) == 0 && memcmp(p + 8, "WEBP", 4) == 0) ||
           (n >= 8 && memcmp(p + 4, "ftyp", 4) == 0);
}

// The class from up to three samples of the file (head, middle, tail):
// a few reads whatever its size.
ContentClass classify(const WriterEntry& e)
{
    if (e.link || e.size == 0)
        return CLASS_TEXT;
    int fd = open(e.host_path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return CLASS_DATA;  // reported when it is packed
    std::vector<uint8_t> sample;
    auto take = [&](uint64_t at) {
        size_t want = (size_t)std::min<uint64_t>(CLASS_SAMPLE, e.size - at);
        size_t have = sample.size();
        sample.resize(have + want);
        ssize_t n;
        do
            n = pread(fd, sample.data() + have, want, (off_t)at);
        while (n < 0 && errno == EINTR);
        sample.resize(have + (n > 0 ? (size_t)n : 0));
    };
    take(0);
    size_t head = sample.size();
    if (e.size >= 3 * CLASS_SAMPLE) {
        take(e.size / 2 - CLASS_SAMPLE / 2);
        take(e.size - CLASS_SAMPLE);
    }
    close(fd);
    const uint8_t* p = sample.data();
    if (head >= 2 && p[0] == 'M' && p[1] == 'Z')
        return CLASS_PE;
    if (head >= 4 && memcmp(p, "\x7f" "ELF", 4) == 0)
        return CLASS_ELF;
    // What is already compressed gains nothing from another coder; the
    // bytes after its header show whether it is (a zip may hold stored
    // members). Random data has no header to tell it by.
    double bits = entropy(p + std::min<size_t>(head, 512), sample.size() - std::min<size_t>(head, 512));
    if (compressed_magic(p, head) && (sample.size() < 4096 || bits >= 7.5))
        return CLASS_COMPRESSED;
    if (sample.size() >= 3 * CLASS_SAMPLE && bits >= 7.99)
        return CLASS_COMPRESSED;
    size_t odd = 0;
    for (size_t i = 0; i < head; i++)
        if (p[i] == 0 || (p[i] < 0x20 && p[i] != '\t' && p[i] != '\n' && p[i] != '\r' && p[i] != '\f'))
            odd++;
    return odd * 100 <= head ? CLASS_TEXT : CLASS_DATA;
}

std::string extension_of(const std::string& name)
{
    size_t slash = name.rfind('\\');
    size_t dot = name.rfind('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash) || dot + 1 == name.size() ||
        dot == (slash == std::string::npos ? 0 : slash + 1))
        return "";
    std::string ext = name.substr(dot + 1);
    for (char& c : ext)
        c = (char)fold_name_byte((u8)c);
    return ext;
}

// CRC-32 of a whole file, to find twins among files of one size; false when
// it cannot be read (it is then nobody's twin; packing reports it).
bool file_crc(const WriterEntry& e, std::vector<uint8_t>& buffer, uint32_t& crc)
{
    if (e.link) {
        crc = crc32_update((const u8*)e.link_target.data(), (u32)e.link_target.size(), 0xFFFFFFFFu);
        return true;
    }
    int fd = open(e.host_path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    buffer.resize(1 << 20);
    crc = 0xFFFFFFFFu;
    uint64_t done = 0;
    while (true) {
        ssize_t n = ::read(fd, buffer.data(), buffer.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        crc = crc32_update(buffer.data(), (u32)n, crc);
        done += (uint64_t)n;
    }
    close(fd);
    return done == e.size;
}

}  // namespace

std::vector<size_t> packing_order(const std::vector<WriterEntry>& entries, std::vector<bool>* incompressible)
{
    std::vector<size_t> order, files;
    std::vector<ContentClass> classes(entries.size(), CLASS_TEXT);
    for (size_t i = 0; i < entries.size(); i++) {
        if (entries[i].folder) {
            order.push_back(i);
        } else {
            files.push_back(i);
            classes[i] = classify(entries[i]);
        }
    }
    std::vector<std::string> extensions(entries.size());
    for (size_t i : files)
        extensions[i] = extension_of(entries[i].name);
    std::sort(files.begin(), files.end(), [&](size_t a, size_t b) {
        if (classes[a] != classes[b])
            return classes[a] < classes[b];
        if (extensions[a] != extensions[b])
            return extensions[a] < extensions[b];
        return entries[a].exact < entries[b].exact;
    });

    // Twins: files of one size with one CRC-32 (a rare false pair only
    // places two files side by side; each keeps its own bytes).
    std::vector<size_t> by_size(files);
    std::stable_sort(by_size.begin(), by_size.end(),
                     [&](size_t a, size_t b) { return entries[a].size < entries[b].size; });
    std::vector<std::pair<uint64_t, uint32_t>> keys(entries.size());
    std::vector<bool> keyed(entries.size(), false);
    std::vector<uint8_t> buffer;
    for (size_t k = 0; k < by_size.size();) {
        size_t end = k + 1;
        while (end < by_size.size() && entries[by_size[end]].size == entries[by_size[k]].size)
            end++;
        if (end - k > 1 && entries[by_size[k]].size > 0)
            for (size_t j = k; j < end; j++) {
                uint32_t crc;
                if (file_crc(entries[by_size[j]], buffer, crc)) {
                    keys[by_size[j]] = {entries[by_size[j]].size, crc};
                    keyed[by_size[j]] = true;
                }
            }
        k = end;
    }
    std::map<std::pair<uint64_t, uint32_t>, std::vector<size_t>> twins;
    for (size_t i : files)
        if (keyed[i])
            twins[keys[i]].push_back(i);
    for (size_t i : files) {
        if (!keyed[i]) {
            order.push_back(i);
            continue;
        }
        std::vector<size_t>& group = twins[keys[i]];
        if (group.empty() || group.front() != i)
            continue;  // placed behind the first of its kind
        order.insert(order.end(), group.begin(), group.end());
    }
    if (incompressible != nullptr) {
        // A twin the history can hold is coded, not stored: its twin in the
        // history makes it a few matches.
        incompressible->assign(entries.size(), false);
        for (size_t i : files)
            (*incompressible)[i] = classes[i] == CLASS_COMPRESSED &&
                                   (!keyed[i] || twins[keys[i]].front() == i || entries[i].size > TWIN_IN_HISTORY);
    }
    return order;
}

namespace {

const char too_large[] = "the archive would be larger than 2 GiB, more than a self-extractor can address";

}  // namespace

void seal_archive_header(uint8_t* header, const uint8_t* directory, size_t directory_size)
{
    crc32_build_table();
    store_le32(header + ARCHIVE_SFX_CRC_OFFSET, 0);
    u32 crc = crc32_update(header + 4, 8, 0xFFFFFFFFu);
    crc = crc32_update(directory, (u32)directory_size, crc);
    store_le32(header + ARCHIVE_DIRECTORY_CRC_OFFSET, crc ^ 0xFFFFFFFFu);
    store_le16(header + ARCHIVE_TAG_OFFSET, ARCHIVE_CHECK_TAG);
}

bool write_archive(const std::vector<WriterEntry>& given, const ArchiveOptions& options, const ArchiveSink& sink,
                   std::string& error)
{
    // Level 0 stores the members as collected; the others place them by
    // kind (packing_order), and the directory lists them as placed.
    std::vector<WriterEntry> placed;
    std::vector<bool> incompressible;
    if (options.level >= 1) {
        std::vector<bool> by_entry;
        for (size_t i : packing_order(given, &by_entry)) {
            placed.push_back(given[i]);
            incompressible.push_back(by_entry[i]);
        }
    } else {
        incompressible.assign(given.size(), false);
    }
    const std::vector<WriterEntry>& entries = options.level >= 1 ? placed : given;

    // Members go into streams in directory order; a stream is cut before a
    // member that would take it past stream_size (never before its first).
    // The groups come from the sizes the inputs had when collected, so an
    // input too large for any archive is refused before a byte is read.
    struct Group {
        size_t first, end;
    };
    std::vector<Group> groups;
    uint64_t total = 0;
    {
        size_t i = 0;
        while (i < entries.size()) {
            size_t j = i;
            uint64_t stream_bytes = 0, decoded = 0;
            bool any = false;
            for (; j < entries.size(); j++) {
                const WriterEntry& e = entries[j];
                if (e.folder)
                    continue;
                if (any && options.stream_size != 0 && stream_bytes + e.size > options.stream_size)
                    break;
                any = true;
                stream_bytes += e.size;
                decoded += LOCAL_HEADER_SIZE + e.name.size() + e.size + 4;
            }
            // A stream's decoded offsets are 32-bit, and no archive this
            // large could be addressed by the stub anyway.
            if (decoded > MAX_ARCHIVE_SIZE) {
                error = "the input is too large: a QVX archive must stay below 2 GiB";
                return false;
            }
            total += stream_bytes;
            groups.push_back({i, j});
            i = j;
        }
        // What is stored as it is (everything at level 0, already compressed
        // members at the others) makes the archive at least that large:
        // refused now rather than after packing the rest.
        uint64_t stored = ARCHIVE_HEADER_BYTES;
        for (size_t k = 0; k < entries.size(); k++)
            if (!entries[k].folder && (options.level == 0 || incompressible[k]))
                stored += entries[k].size;
        if (stored > MAX_ARCHIVE_SIZE) {
            error = too_large;
            return false;
        }
    }

    uint8_t header[ARCHIVE_HEADER_BYTES] = {0};
    if (!sink.write(header, sizeof header))
        return false;
    uint64_t written = ARCHIVE_HEADER_BYTES;
    auto emit = [&](const uint8_t* p, size_t n) {
        if (written + n > MAX_ARCHIVE_SIZE) {
            error = too_large;
            return false;
        }
        if (!sink.write(p, n)) {
            error = sink.error();
            return false;
        }
        written += n;
        return true;
    };

    std::vector<std::vector<uint8_t>> records(entries.size());
    uint64_t done_before = 0;
    std::vector<uint8_t> detect_buffer;
    for (const Group& g : groups) {
        std::vector<std::unique_ptr<MemberFile>> files;
        std::vector<size_t> indices;
        std::vector<StreamMember> members;
        uint64_t stream_bytes = 0;
        for (size_t j = g.first; j < g.end; j++) {
            const WriterEntry& e = entries[j];
            if (e.folder) {
                records[j] = entry_record(e, 0, 0, 0, 0, 0);
                continue;
            }
            files.push_back(std::make_unique<MemberFile>(e));
            MemberFile* file = files.back().get();
            StreamMember m;
            m.name = e.name;
            if (e.link) {
                // A link stored as a file: its target path is the bytes.
                m.data = (const uint8_t*)e.link_target.data();
                m.size = (uint32_t)e.link_target.size();
                m.filter = 0;
            } else {
                m.data = nullptr;
                m.size = (uint32_t)e.size;
                // Level 0 stores the bytes as they are, unfiltered.
                m.store = incompressible[j];
                m.filter = 0;
                if (options.level != 0 && !m.store && !detect_filter(e, detect_buffer, &m.size, &m.filter, error))
                    return false;
                file->lay_out(m.size);
                m.read = [file, &error](uint8_t* dst, size_t n) { return file->read(dst, n, error); };
            }
            members.push_back(std::move(m));
            indices.push_back(j);
            stream_bytes += e.size;
        }
        detect_buffer = std::vector<uint8_t>();
        if (members.empty())
            continue;
        StreamOptions so;
        so.level = options.level;
        so.threads = options.threads;
        if (options.progress) {
            // The stream counts its records' headers, names and CRCs
            // too: scaled to the members' bytes, the count never runs
            // ahead of the next stream's start.
            uint64_t base = done_before;
            so.progress = [&options, base, total, stream_bytes](uint64_t done, uint64_t all) {
                options.progress(base + (all == 0 ? 0 : done * stream_bytes / all), total);
            };
        }
        uint64_t stream_offset = written;
        std::vector<StreamPlacement> placements;
        if (!write_data_stream(members, so, placements, emit, error))
            return false;
        for (size_t k = 0; k < indices.size(); k++) {
            if (members[k].size == 0 && !entries[indices[k]].link)
                files[k]->check_unread();
            // A file that shrank is stored as read: the padding stays in
            // the stream, outside its entry. Under a call filter every
            // operand was coded for the size laid out (the 32-bit form
            // depends on it), so there the padded size is kept, and said.
            uint32_t size = members[k].size, crc = placements[k].crc;
            bool padded = files[k]->padded() > 0 && placements[k].filter != 0;
            if (files[k]->padded() > 0 && !padded) {
                size -= (uint32_t)files[k]->padded();
                crc = files[k]->read_crc();
            }
            if (files[k]->changed() && options.warn)
                options.warn(files[k]->entry().host_path + " changed while it was read; the archive holds it as it was read" +
                             (padded ? " and " + std::to_string(files[k]->padded()) +
                                           " zero bytes after it, where the file had ended (its call filter was "
                                           "laid out for the size first seen)"
                                     : ""));
            records[indices[k]] = entry_record(entries[indices[k]], (uint32_t)stream_offset,
                                               placements[k].member_offset, size, crc, placements[k].filter);
        }
        done_before += stream_bytes;
        if (options.progress)
            options.progress(done_before, total);
    }
    // Folders after the last file.
    for (size_t j = 0; j < entries.size(); j++)
        if (entries[j].folder && records[j].empty())
            records[j] = entry_record(entries[j], 0, 0, 0, 0, 0);

    uint32_t directory_offset = (uint32_t)written;
    std::vector<uint8_t> directory = write_directory(records, options.level);
    if (written + directory.size() > MAX_ARCHIVE_SIZE) {
        error = too_large;
        return false;
    }
    if (!sink.write(directory.data(), directory.size())) {
        error = sink.error();
        return false;
    }
    written += directory.size();

    ArchiveHeader h;
    memset(&h, 0, sizeof h);
    memcpy(h.magic, archive_magic, 4);
    h.directory_offset = directory_offset;
    h.entry_count = (uint32_t)entries.size();
    h.archive_length = (uint32_t)written;
    h.data_length = directory_offset - ARCHIVE_HEADER_BYTES;
    write_archive_header(header, &h);
    seal_archive_header(header, directory.data(), directory.size());
    if (!sink.write_header(header)) {
        error = sink.error();
        return false;
    }
    return true;
}

bool write_archive(const std::vector<WriterEntry>& entries, const ArchiveOptions& options, std::vector<uint8_t>& out,
                   std::string& error)
{
    out.clear();
    ArchiveSink sink;
    sink.write = [&out](const uint8_t* p, size_t n) {
        out.insert(out.end(), p, p + n);
        return true;
    };
    sink.write_header = [&out](const uint8_t* header) {
        memcpy(out.data(), header, ARCHIVE_HEADER_BYTES);
        return true;
    };
    sink.error = [] { return std::string("out of memory"); };
    return write_archive(entries, options, sink, error);
}

}  // namespace packer
