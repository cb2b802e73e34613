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
#include <cstring>
#include <dirent.h>
#include <set>

#include "archive/records.h"
#include "codec/input_stream.h"
#include "packer/bit_writer.h"
#include "packer/block_writer.h"
#include "packer/call_filter.h"
#include "packer/stream_writer.h"
#include "platform/host.h"

namespace packer {

// The stub addresses its own file with signed 32-bit offsets, so stub,
// SfxHeader and archive together must stay below 2 GiB; a megabyte is kept
// back for the stub and the header.
static const uint64_t MAX_ARCHIVE_SIZE = 0x7FF00000u;
// A stored piece carries the 6-byte block header in front of its bytes.
static const uint32_t STORED_PIECE_MAX = DIRECTORY_PIECE_MAX - 6;

// --- names -----------------------------------------------------------------

static bool is_reserved_device(const std::string& component)
{
    // Windows reserves these names with any extension: "nul.txt" is NUL.
    std::string base = component.substr(0, component.find('.'));
    while (!base.empty() && base.back() == ' ')
        base.pop_back();
    for (char& c : base)
        if (c >= 'a' && c <= 'z')
            c = (char)(c - 'a' + 'A');
    static const char* const devices[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
    for (const char* d : devices)
        if (base == d)
            return true;
    if (base.size() == 4 && (base.compare(0, 3, "COM") == 0 || base.compare(0, 3, "LPT") == 0) &&
        base[3] >= '0' && base[3] <= '9')
        return true;
    return false;
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
        if (is_reserved_device(component))
            return "reserved device name \"" + component + "\"";
        start = end + 1;
    }
    return "";
}

void dos_date_time(time_t t, uint16_t& date, uint16_t& time_word)
{
    date = 0;
    time_word = 0;
    struct tm tm;
    if (localtime_r(&t, &tm) == nullptr)
        return;
    int year = tm.tm_year + 1900;
    if (year < 1980 || year > 2107)
        return;
    date = (uint16_t)(((year - 1980) << 9) | ((tm.tm_mon + 1) << 5) | tm.tm_mday);
    // DOS keeps seconds in 2-second steps; a leap second reads as 58.
    int seconds = tm.tm_sec > 59 ? 59 : tm.tm_sec;
    time_word = (uint16_t)((tm.tm_hour << 11) | (tm.tm_min << 5) | (seconds / 2));
}

// --- collecting the inputs ---------------------------------------------------

struct Collector {
    const CollectOptions& options;
    std::vector<WriterEntry>& entries;
    std::vector<std::string>& warnings;
    std::string error;                 // a read error: ends the collection
    std::vector<std::string> refused;  // names that cannot be stored: all are reported
    std::set<std::string> seen_lower;  // names already stored, ASCII case folded
    std::string tree_root;             // real path of the current input folder; "" for a file
    std::vector<std::pair<dev_t, ino_t>> open_folders;  // the folders being walked, for link loops
};

static std::string fold_case(const std::string& s)
{
    std::string out = s;
    for (char& c : out)
        if (c >= 'A' && c <= 'Z')
            c = (char)(c - 'A' + 'a');
    return out;
}

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
    dos_date_time(st.st_mtime, e.write_date, e.write_time);
    if (e.write_date == 0)
        c.warnings.push_back(name + ": modification time " + format_time(st.st_mtime) +
                             " is outside the DOS range 1980-2107; stored without a date (extracted files get the "
                             "time they are written)");
#ifdef STATX_BTIME
    struct statx sx;
    if (statx(AT_FDCWD, path.c_str(), follow ? 0 : AT_SYMLINK_NOFOLLOW, STATX_BTIME, &sx) == 0 &&
        (sx.stx_mask & STATX_BTIME))
        dos_date_time((time_t)sx.stx_btime.tv_sec, e.create_date, e.create_time);
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
    if (!host::utf8_to_cp1252(utf8_name, e.name))
        why = "name has characters outside Windows code page 1252";
    else if (utf8_name.find('\\') != std::string::npos)
        why = "backslash in name";  // a folder separator in the archive
    if (why.empty()) {
        for (char& ch : e.name)
            if (ch == '/')
                ch = '\\';
        why = check_entry_name(e.name);
    }
    if (why.empty() && !c.seen_lower.insert(fold_case(e.name)).second)
        why = "the archive already holds this name (Windows ignores case)";
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
    }
    if (!why.empty()) {
        c.refused.push_back("cannot store \"" + utf8_name + "\": " + why);
        return false;
    }
    if (link_target) {
        e.link = true;
        e.link_target = *link_target;
    }
    fill_times(c, host_path, utf8_name, st, e, link_target == nullptr);
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

bool collect_entries(const std::vector<std::string>& inputs, const CollectOptions& options,
                     std::vector<WriterEntry>& entries, std::string& error, std::vector<std::string>& warnings)
{
    Collector c{options, entries, warnings, "", {}, {}, "", {}};
    for (const std::string& input : inputs) {
        std::string path = input;
        while (path.size() > 1 && path.back() == '/')
            path.pop_back();
        size_t slash = path.rfind('/');
        std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
        // "." and ".." (and "/") name no folder of their own: their
        // contents go in at the top.
        if (base == "." || base == ".." || base.empty() || path == "/")
            base.clear();
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
                error = "cannot store " + input + ": no name";
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
        encode_stored_block(w, decoded.data(), (uint32_t)decoded.size(), true);
    }
    std::vector<uint8_t> lz;
    if (level >= 1 || best.empty()) {
        std::vector<uint8_t> window(decoded);
        BitWriter w(lz);
        LzOptions options;
        options.level = level;
        options.allow_delta = false;
        encode_lz_block(w, window.data(), 0, (uint32_t)window.size(), true, 0, options);
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

static bool read_whole_file(const std::string& path, std::vector<uint8_t>& data, std::string& error)
{
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        error = "cannot open " + path + ": " + strerror(errno);
        return false;
    }
    data.clear();
    struct stat st;
    if (fstat(fd, &st) == 0 && st.st_size > 0)
        data.reserve((size_t)st.st_size);
    uint8_t buffer[1 << 16];
    while (true) {
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            error = "cannot read " + path + ": " + strerror(errno);
            close(fd);
            return false;
        }
        if (n == 0)
            break;
        data.insert(data.end(), buffer, buffer + n);
        if (data.size() > 0xFFFFFFFFu) {
            error = "cannot store " + path + ": members are limited to 4 GiB - 1 bytes";
            close(fd);
            return false;
        }
    }
    close(fd);
    return true;
}

static std::vector<uint8_t> entry_record(const WriterEntry& e, uint32_t stream_offset, uint32_t member_offset,
                                         uint32_t size, uint32_t crc, uint8_t flags)
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
    std::vector<uint8_t> record(DIRECTORY_ENTRY_SIZE);
    write_directory_entry(record.data(), &d);
    record.insert(record.end(), e.name.begin(), e.name.end());
    return record;
}

bool write_archive(const std::vector<WriterEntry>& entries, const ArchiveOptions& options, std::vector<uint8_t>& out,
                   std::string& error)
{
    out.assign(ARCHIVE_HEADER_BYTES, 0);
    std::vector<std::vector<uint8_t>> records(entries.size());

    uint64_t total = 0;
    for (const WriterEntry& e : entries)
        if (!e.folder)
            total += e.size;
    uint64_t done_before = 0;

    // Members go into streams in directory order; a stream is cut before a
    // member that would take it past stream_size (never before its first).
    size_t i = 0;
    while (i < entries.size()) {
        if (entries[i].folder) {
            records[i] = entry_record(entries[i], 0, 0, 0, 0, 0);
            i++;
            continue;
        }
        std::vector<size_t> indices;
        std::vector<std::vector<uint8_t>> data;
        uint64_t stream_bytes = 0;
        // Files in a group; folders met in between get their records too.
        size_t j = i;
        for (; j < entries.size(); j++) {
            const WriterEntry& e = entries[j];
            if (e.folder) {
                records[j] = entry_record(e, 0, 0, 0, 0, 0);
                continue;
            }
            if (!indices.empty() && options.stream_size != 0 && stream_bytes + e.size > options.stream_size)
                break;
            std::vector<uint8_t> bytes;
            if (e.link)
                bytes.assign(e.link_target.begin(), e.link_target.end());
            else if (!read_whole_file(e.host_path, bytes, error))
                return false;
            stream_bytes += bytes.size();
            // A stream's decoded offsets are 32-bit, and no archive this
            // large could be addressed by the stub anyway.
            if (stream_bytes > MAX_ARCHIVE_SIZE) {
                error = "the input is too large: a QVX archive must stay below 2 GiB";
                return false;
            }
            indices.push_back(j);
            data.push_back(std::move(bytes));
        }
        std::vector<StreamMember> members;
        for (size_t k = 0; k < indices.size(); k++) {
            StreamMember m;
            m.name = entries[indices[k]].name;
            m.data = data[k].data();
            m.size = (uint32_t)data[k].size();
            // Level 0 stores the bytes as they are, unfiltered.
            m.filter = options.level == 0 ? 0 : detect_call_filter(data[k].data(), m.size);
            members.push_back(m);
        }
        StreamOptions so;
        so.level = options.level;
        so.threads = options.threads;
        if (options.progress) {
            uint64_t base = done_before;
            so.progress = [&options, base, total](uint64_t done, uint64_t) { options.progress(base + done, total); };
        }
        std::vector<StreamPlacement> placements;
        std::vector<uint8_t> stream = write_data_stream(members, so, placements);
        if (placements.size() != members.size()) {
            error = "internal error: the stream writer placed " + std::to_string(placements.size()) + " of " +
                    std::to_string(members.size()) + " members";
            return false;
        }
        uint64_t stream_offset = out.size();
        if (stream_offset + stream.size() > MAX_ARCHIVE_SIZE) {
            error = "the archive would be larger than 2 GiB, more than a self-extractor can address";
            return false;
        }
        for (size_t k = 0; k < indices.size(); k++)
            records[indices[k]] = entry_record(entries[indices[k]], (uint32_t)stream_offset,
                                               placements[k].member_offset, members[k].size, placements[k].crc,
                                               placements[k].filter);
        out.insert(out.end(), stream.begin(), stream.end());
        done_before += stream_bytes;
        if (options.progress)
            options.progress(done_before, total);
        i = j;
    }

    uint32_t directory_offset = (uint32_t)out.size();
    std::vector<uint8_t> directory = write_directory(records, options.level);
    if (out.size() + directory.size() > MAX_ARCHIVE_SIZE) {
        error = "the archive would be larger than 2 GiB, more than a self-extractor can address";
        return false;
    }
    out.insert(out.end(), directory.begin(), directory.end());

    ArchiveHeader h;
    memset(&h, 0, sizeof h);
    memcpy(h.magic, archive_magic, 4);
    h.directory_offset = directory_offset;
    h.entry_count = (uint32_t)entries.size();
    h.archive_length = (uint32_t)out.size();
    h.data_length = directory_offset - ARCHIVE_HEADER_BYTES;
    write_archive_header(out.data(), &h);
    return true;
}

}  // namespace packer
