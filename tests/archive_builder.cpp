#include "tests/archive_builder.h"

#include <algorithm>
#include <stdexcept>

#include "archive/extraction.h"
#include "codec/crc32.h"
#include "codec/input_stream.h"
#include "packer/bit_writer.h"
#include "packer/block_writer.h"
#include "tests/test_util.h"

namespace testarchive {

namespace {

// Row 2, column 7: the decoder keeps 524,288 bytes in front of an LZ block.
const unsigned WIDEST_SELECTOR = 2 | (7 << 2);
const uint32_t WIDEST_WINDOW = 524288;
// A stored block is 6 header bytes and its output, at most 8184 in a piece.
const size_t STORED_PIECE_OUTPUT_MAX = DIRECTORY_PIECE_MAX - 6;

void append(Bytes& out, const Bytes& more) { out.insert(out.end(), more.begin(), more.end()); }

void encode_block(packer::BitWriter& out, Bytes& stream, uint32_t start, uint32_t length, bool last, Coding coding)
{
    if (coding == Coding::stored) {
        packer::encode_stored_block(out, stream.data() + start, length, last);
        return;
    }
    uint32_t history = std::min(start, WIDEST_WINDOW);
    packer::LzOptions options;
    options.allow_delta = false;
    packer::encode_lz_block(out, stream.data() + start - history, history, length, last, WIDEST_SELECTOR, options);
}

}  // namespace

Member file(const std::string& name, const Bytes& data)
{
    Member m;
    m.name = name;
    m.data = data;
    return m;
}

Member file(const std::string& name, const std::string& text) { return file(name, Bytes(text.begin(), text.end())); }

Member folder(const std::string& name)
{
    Member m;
    m.name = name;
    m.folder = true;
    m.attributes = 0x10;
    return m;
}

uint32_t crc32_of(const Bytes& data)
{
    return ~crc32_update(data.data(), (uint32_t)data.size(), 0xFFFFFFFFu);
}

Bytes directory_record(const DirectoryEntry& entry, const std::string& name, const Bytes& extra1, const Bytes& extra2)
{
    DirectoryEntry e = entry;
    e.name_length = (uint16_t)name.size();
    e.extra_length_1 = (uint8_t)extra1.size();
    e.extra_length_2 = (uint16_t)extra2.size();
    Bytes out(DIRECTORY_ENTRY_SIZE);
    write_directory_entry(out.data(), &e);
    out.insert(out.end(), name.begin(), name.end());
    append(out, extra1);
    append(out, extra2);
    return out;
}

Bytes directory_piece(const Bytes& records, Coding coding)
{
    Bytes piece(directory_piece_signature, directory_piece_signature + STREAM_SIGNATURE_SIZE);
    Bytes block;
    packer::BitWriter out(block);
    if (coding == Coding::stored) {
        packer::encode_stored_block(out, records.data(), (uint32_t)records.size(), true);
    } else {
        Bytes window = records;
        packer::LzOptions options;
        options.allow_delta = false;
        packer::encode_lz_block(out, window.data(), 0, (uint32_t)window.size(), true, 0, options);
    }
    if (block.size() > DIRECTORY_PIECE_MAX)
        throw std::runtime_error("directory piece too large");
    append(piece, block);
    return piece;
}

Archive build(const std::vector<Member>& members, const Options& options)
{
    Archive a;
    a.archive_start = (uint32_t)options.prefix.size();
    a.stream_offset = ARCHIVE_HEADER_BYTES;

    // The decoded data stream: for every file, its LocalHeader, name, bytes
    // and CRC-32, in directory order.
    Bytes decoded;
    for (const Member& m : members) {
        DirectoryEntry e = {};
        e.stream_offset = a.stream_offset;
        e.attributes = m.attributes;
        e.entry_flags = (uint8_t)((m.folder ? ENTRY_FOLDER : 0) | m.flags);
        e.create_date = m.create_date;
        e.create_time = m.create_time;
        e.write_date = m.write_date;
        e.write_time = m.write_time;
        if (!m.folder) {
            uint32_t crc = crc32_of(m.data);
            e.member_offset = (uint32_t)decoded.size();
            e.member_size = (uint32_t)m.data.size();
            e.member_crc = m.crc ? *m.crc : crc;
            LocalHeader h = {};
            h.member_length = e.member_size;
            h.name_length = (uint16_t)m.name.size();
            uint8_t header[LOCAL_HEADER_SIZE];
            write_local_header(header, &h);
            decoded.insert(decoded.end(), header, header + LOCAL_HEADER_SIZE);
            decoded.insert(decoded.end(), m.name.begin(), m.name.end());
            append(decoded, m.data);
            for (int k = 0; k < 4; k++)
                decoded.push_back((uint8_t)(crc >> (8 * k)));
        }
        a.entries.push_back(e);
    }

    Bytes stream(stream_signature, stream_signature + STREAM_SIGNATURE_SIZE);
    {
        Bytes blocks;
        packer::BitWriter out(blocks);
        uint32_t total = (uint32_t)decoded.size();
        uint32_t step = options.block_size == 0 ? std::max<uint32_t>(total, 1) : options.block_size;
        // Stored blocks shorter than 2 bytes would be shorter than the 8
        // bytes a block start reads; keep every block at 2 bytes or more.
        for (uint32_t start = 0; start < total || start == 0;) {
            uint32_t length = std::min(step, total - start);
            if (total - start - length < 2)
                length = total - start;
            bool last = start + length == total;
            encode_block(out, decoded, start, length, last, options.data);
            start += length;
            if (last)
                break;
        }
        append(stream, blocks);
    }

    Bytes directory;
    a.directory_offset = ARCHIVE_HEADER_BYTES + (uint32_t)stream.size();
    {
        size_t limit = options.directory == Coding::stored ? (size_t)STORED_PIECE_OUTPUT_MAX : (size_t)DIRECTORY_BUFFER_SIZE;
        Bytes records;
        size_t in_piece = 0;
        auto flush = [&]() {
            if (in_piece == 0)
                return;
            a.piece_offsets.push_back(a.directory_offset + (uint32_t)directory.size());
            append(directory, directory_piece(records, options.directory));
            records.clear();
            in_piece = 0;
        };
        for (size_t i = 0; i < members.size(); i++) {
            Bytes record = directory_record(a.entries[i], members[i].name, members[i].extra1, members[i].extra2);
            bool piece_full = options.entries_per_piece != 0 && in_piece == options.entries_per_piece;
            if (piece_full || records.size() + record.size() > limit)
                flush();
            append(records, record);
            in_piece++;
        }
        flush();
    }

    ArchiveHeader h = {};
    std::copy(archive_magic, archive_magic + 4, h.magic);
    h.directory_offset = a.directory_offset;
    h.entry_count = (uint32_t)members.size();
    h.data_length = (uint32_t)stream.size();
    h.archive_length = ARCHIVE_HEADER_BYTES + (uint32_t)(stream.size() + directory.size());
    Bytes header(ARCHIVE_HEADER_BYTES);
    write_archive_header(header.data(), &h);

    a.bytes = options.prefix;
    append(a.bytes, header);
    append(a.bytes, stream);
    append(a.bytes, directory);
    return a;
}

bool install(const Archive& archive, const std::string& path, Extraction* x)
{
    testutil::write_file(path, archive.bytes);
    if (!testutil::open_as_own_file(x, path))
        return false;
    x->archive_start = (int32_t)archive.archive_start;
    for (int i = 0; i < ARCHIVE_HEADER_SIZE; i++) {
        size_t at = archive.archive_start + (size_t)i;
        x->archive_header[i] = at < archive.bytes.size() ? archive.bytes[at] : 0;
    }
    return true;
}

}  // namespace testarchive
