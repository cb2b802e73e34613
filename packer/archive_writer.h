// The archive writer: turns files and folders of the host into a QVX
// archive (ArchiveHeader, data streams, directory pieces).
//
// Names are checked before anything is written: every stored name must be
// something the stub can create under any ordinary destination folder, so a
// name that would be refused or passed over on Windows is refused here with a
// message that says why.
//
// Any name Windows takes can be stored. The directory holds it in code page
// 1252, with '_' for the characters that code page cannot hold, which every
// reader can use; a name that is not plain ASCII also keeps its exact form,
// in UTF-8, in a "U8" record of the entry's second extra field (see
// archive/names.h), which our extractors use.
#ifndef DRAVEX_PACKER_ARCHIVE_WRITER_H
#define DRAVEX_PACKER_ARCHIVE_WRITER_H

#include <cstdint>
#include <ctime>
#include <functional>
#include <string>
#include <vector>

namespace packer {

// The longest name, in characters as Windows counts them (UTF-16 units; the
// stored form has at most as many bytes). The stub passes over a name longer
// than 259 minus the length of "folder\": 255 characters still extract into
// a drive root ("C:\" is used as "C:") and into any folder of up to three
// characters; longer destination folders lose the longest names, as with any
// Windows program limited to 260-character paths.
enum { MAX_ENTRY_NAME = 255 };

struct WriterEntry {
    std::string host_path;  // UTF-8 path of the source (files only)
    std::string name;       // as stored: code page 1252 ('_' for what it cannot hold), backslashes
    std::string exact;      // the exact name: UTF-8, backslashes
    bool folder = false;
    uint64_t size = 0;      // at collection time: the member's size whatever is read later
    struct timespec modified {};  // at collection time, to see a file that changes
    uint16_t attributes = 0;
    uint16_t create_date = 0, create_time = 0;
    uint16_t write_date = 0, write_time = 0;
    // A symbolic link stored as a file holding its target path: the bytes
    // stored instead of reading host_path.
    bool link = false;
    std::string link_target;
};

// What collecting does with a symbolic link met below an input (a link named
// as an input itself is always followed).
enum class Links {
    INSIDE,        // follow a link to a file inside the input's tree; skip, with a warning, one leading out of it
    FOLLOW,        // follow every link, to files and folders alike (a loop is skipped with a warning)
    SKIP,          // pass every link over
    STORE_TARGET,  // store the link as a small file holding its target path
};

struct CollectOptions {
    Links links = Links::INSIDE;
    // Asked for every file and folder with its stored path (UTF-8, '/'
    // separators): false passes it over, a folder with all it holds. Null:
    // everything is kept.
    std::function<bool(const std::string& name, bool folder)> keep;
};

struct ArchiveOptions {
    int level = 6;              // 1..9; 0 stores everything uncompressed and unfiltered
    uint64_t stream_size = 0;   // cut members into streams of about this many bytes; 0: one stream
    unsigned threads = 1;       // threads coding blocks; the archive is the same whatever the count
    // Bytes of member data packed so far and in all.
    std::function<void(uint64_t, uint64_t)> progress;
    // Things the archive holds other than asked (a file that changed while
    // it was read), one line each.
    std::function<void(const std::string&)> warn;
};

// Where the archive goes, in order: write takes the bytes as they are made
// (the header's 42 bytes first, as zeros); write_header then rewrites those
// 42 bytes. Both return false on failure, with the reason from error().
struct ArchiveSink {
    std::function<bool(const uint8_t*, size_t)> write;
    std::function<bool(const uint8_t*)> write_header;
    std::function<std::string()> error;
};

// "" when name (code page 1252, backslashes) is safe to store; otherwise the
// reason it is refused.
std::string check_entry_name(const std::string& name);

// Collects the inputs (files or folders, recursively, folders before their
// contents, names sorted) into entries. An input's own name is its last path
// component; "." or a path ending in "/." adds a folder's contents only.
// Returns false with a message in error when an input cannot be read or
// names cannot be stored (one line per name that cannot, "\n" between);
// warnings name things passed over (special files, links) and dates that
// have no DOS form.
bool collect_entries(const std::vector<std::string>& inputs, const CollectOptions& options,
                     std::vector<WriterEntry>& entries, std::string& error, std::vector<std::string>& warnings);
// An input read from path and stored under name, with what a folder holds
// under it ("": a folder's contents at the top). name uses '/'.
struct NamedInput {
    std::string path, name;
};
// An input stored under its last path component, as collect_entries takes
// one.
NamedInput input_by_last_part(const std::string& path);
// The same with names given: a line of a list keeps its path, as tar and zip
// store it.
bool collect_entries(const std::vector<NamedInput>& inputs, const CollectOptions& options,
                     std::vector<WriterEntry>& entries, std::string& error, std::vector<std::string>& warnings);
bool collect_entries(const std::vector<std::string>& inputs, std::vector<WriterEntry>& entries, std::string& error,
                     std::vector<std::string>& warnings);

// The directory stream: pieces of whole DirectoryEntry records (38 bytes,
// name, the exact name's record when there is one), each decoding to at most
// 8192 bytes, each one block of method 0 or 1 (whichever is smaller) of at
// most 8184 bytes.
std::vector<uint8_t> write_directory(const std::vector<std::vector<uint8_t>>& records, int level);

// The order the entries' members go into the data streams at levels 1 to 9
// (indices into entries): folders first, as collected, then the files by
// content class, extension and path, each file identical to an earlier one
// right behind it. incompressible (when given) is set, per entry, for the
// files already compressed (by their header and their bytes), which are
// stored without trying to code them.
std::vector<size_t> packing_order(const std::vector<WriterEntry>& entries, std::vector<bool>* incompressible);

// Reads the entries' files and writes the archive through sink, in
// packing_order at levels 1 to 9 (the directory lists them so), never
// holding a member or the data stream whole. Returns false with a message
// in error (unreadable file, archive too large, the sink failed).
bool write_archive(const std::vector<WriterEntry>& entries, const ArchiveOptions& options, const ArchiveSink& sink,
                   std::string& error);
// The same into memory.
bool write_archive(const std::vector<WriterEntry>& entries, const ArchiveOptions& options, std::vector<uint8_t>& out,
                   std::string& error);

// Puts the check values into a finished ArchiveHeader (the SfxHeader's CRC
// as 0, for none): directory is the whole directory stream.
void seal_archive_header(uint8_t* header, const uint8_t* directory, size_t directory_size);

}  // namespace packer

#endif
