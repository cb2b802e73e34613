// A test helper that writes small QVX archives with full control over their
// layout: stored or LZ blocks, the block size of the data stream, how many
// entries each directory piece holds, and fields a real archiver would never
// write (wrong CRCs, extra fields, hostile names). Tests then damage the
// bytes on purpose at the offsets it reports.
#ifndef DRAVEX_TESTS_ARCHIVE_BUILDER_H
#define DRAVEX_TESTS_ARCHIVE_BUILDER_H

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "archive/records.h"

struct Extraction;

namespace testarchive {

using Bytes = std::vector<uint8_t>;

struct Member {
    std::string name;  // as stored: code page 1252, backslashes
    Bytes data;
    bool folder = false;
    uint16_t attributes = 0x20;
    uint8_t flags = 0;  // further entry flag bits (call filters)
    uint16_t create_date = 0, create_time = 0;
    uint16_t write_date = 0, write_time = 0;
    std::optional<uint32_t> crc;  // replaces the directory's CRC-32
    Bytes extra1, extra2;
};

enum class Coding { stored, lz };

struct Options {
    Coding data = Coding::stored;
    uint32_t block_size = 0;  // bytes of decoded stream per block; 0: one block
    Coding directory = Coding::stored;
    size_t entries_per_piece = 0;  // 0: as many as a piece takes
    Bytes prefix;                  // stands in for the stub and SfxHeader
};

struct Archive {
    Bytes bytes;                 // prefix, then the archive
    uint32_t archive_start = 0;  // = prefix size
    uint32_t stream_offset = 0;  // from the archive start
    uint32_t directory_offset = 0;
    std::vector<uint32_t> piece_offsets;  // from the archive start
    std::vector<DirectoryEntry> entries;
};

Member file(const std::string& name, const Bytes& data);
Member file(const std::string& name, const std::string& text);
Member folder(const std::string& name);

uint32_t crc32_of(const Bytes& data);

// One 38-byte record with its name and extra fields.
Bytes directory_record(const DirectoryEntry& entry, const std::string& name, const Bytes& extra1, const Bytes& extra2);
// "QVXDE\0" and one block, marked last, holding the records.
Bytes directory_piece(const Bytes& records, Coding coding);

Archive build(const std::vector<Member>& members, const Options& options = Options());

// Writes the archive to path and makes it x's own file, with archive_start
// and the archive header as start-up would set them.
bool install(const Archive& archive, const std::string& path, Extraction* x);

}  // namespace testarchive

#endif
