// Solid data stream writer.
//
// The decoded stream is the members' records back to back: LocalHeader, name,
// the stored bytes (after the call filter when the member has one) and the
// CRC-32 of the original bytes. It is produced piece by piece from the
// members, never held whole, and cut into blocks of at most
// MAX_BLOCK_OUTPUT bytes. Each block is coded by every method the level
// allows and the smallest result is kept.
//
// LZ blocks refer to earlier output, so the writer keeps its own copy of the
// bytes the extractor will hold in front of each block. The count comes from
// HistoryModel, which replays the extractor's keep rules; the bytes are kept
// in the form the extractor keeps them, which for the delta regions of LZ
// blocks is the difference form the LZ encoder leaves in its window (the
// extractor turns those regions back into that form before it keeps them).
#include "packer/stream_writer.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "archive/records.h"
#include "codec/crc32.h"
#include "codec/input_stream.h"
#include "codec/solid_stream.h"
#include "packer/block_writer.h"
#include "packer/call_filter.h"
#include "packer/history_model.h"

namespace packer {

namespace {

enum : uint32_t {
    MEMBER_CRC_SIZE = 4,
    MAX_NAME_LENGTH = 0xFFFF,
    // A block's stored length is a 20-bit field, header included, so a
    // stored block holds at most this many bytes.
    MAX_STORED_OUTPUT = MAX_BLOCK_OUTPUT - 6,
    // A block shorter than this is still read as 8 bytes by the extractor,
    // which would take the next block's first bytes with it.
    MIN_INNER_BLOCK_BYTES = 8,
};

uint8_t applied_filter(const StreamMember& m)
{
    if (m.filter & ENTRY_FILTER16)
        return ENTRY_FILTER16;
    if ((m.filter & ENTRY_FILTER32) && call_filter_reversible(m.size, 4))
        return ENTRY_FILTER32;
    return 0;
}

// Produces the decoded stream in order, one member record after another.
class RecordSource {
public:
    explicit RecordSource(const std::vector<StreamMember>& members) : members_(members) {}

    // Copies the next count bytes (or fewer at the end) to dst.
    size_t read(uint8_t* dst, size_t count)
    {
        size_t done = 0;
        while (done < count && index_ < members_.size()) {
            if (part_pos_ == part_.size() && !next_part())
                continue;
            size_t n = std::min(count - done, part_.size() - part_pos_);
            if (n == 0)
                continue;  // an empty part: next_part moves on
            std::memcpy(dst + done, part_.data() + part_pos_, n);
            part_pos_ += n;
            done += n;
        }
        return done;
    }

private:
    // Steps to the next non-empty piece; false when it moved to the next
    // member, so the caller checks for the end again.
    bool next_part()
    {
        const StreamMember& m = members_[index_];
        part_pos_ = 0;
        if (stage_ == 0) {
            part_.assign(LOCAL_HEADER_SIZE + m.name.size(), 0);
            LocalHeader header{};
            header.member_length = m.size;
            header.name_length = (u16)m.name.size();
            write_local_header(part_.data(), &header);
            std::memcpy(part_.data() + LOCAL_HEADER_SIZE, m.name.data(), m.name.size());
            stage_ = 1;
            return true;
        }
        if (stage_ == 1) {
            uint8_t filter = applied_filter(m);
            if (filter)
                part_ = encode_calls(m.data, m.size, filter == ENTRY_FILTER16 ? 2 : 4);
            else
                part_.assign(m.data, m.data + m.size);
            stage_ = 2;
            return true;
        }
        if (stage_ == 2) {
            part_.assign(MEMBER_CRC_SIZE, 0);
            u32 crc = m.size ? crc32_update(m.data, m.size, 0xFFFFFFFFu) ^ 0xFFFFFFFFu : 0;
            store_le32(part_.data(), crc);
            stage_ = 3;
            return true;
        }
        part_.clear();
        stage_ = 0;
        index_++;
        return false;
    }

    const std::vector<StreamMember>& members_;
    size_t index_ = 0;
    int stage_ = 0;  // 0 header and name, 1 data, 2 CRC, 3 done
    std::vector<uint8_t> part_;
    size_t part_pos_ = 0;
};

struct Candidate {
    unsigned method = METHOD_STORED;
    std::vector<uint8_t> bytes;
    unsigned selector = 0;
    std::vector<uint8_t> coded;  // LZ: the block's bytes as the window holds them
};

std::vector<uint8_t> encode_stored(const uint8_t* data, uint32_t length, bool last)
{
    std::vector<uint8_t> bytes;
    BitWriter w(bytes);
    encode_stored_block(w, data, length, last);
    return bytes;
}

bool usable(const std::vector<uint8_t>& block, bool last)
{
    return block.size() <= MAX_BLOCK_OUTPUT && (last || block.size() >= MIN_INNER_BLOCK_BYTES);
}

}  // namespace

std::vector<uint8_t> write_data_stream(const std::vector<StreamMember>& members, const StreamOptions& options,
                                       std::vector<StreamPlacement>& placements)
{
    crc32_build_table();
    placements.clear();
    uint64_t total = 0;
    for (const StreamMember& m : members) {
        if (m.name.size() > MAX_NAME_LENGTH)
            throw std::length_error("member name longer than 65,535 bytes: " + m.name.substr(0, 80));
        StreamPlacement p{};
        p.member_offset = (uint32_t)total;
        p.crc = m.size ? crc32_update(m.data, m.size, 0xFFFFFFFFu) ^ 0xFFFFFFFFu : 0;
        p.filter = applied_filter(m);
        placements.push_back(p);
        total += LOCAL_HEADER_SIZE + m.name.size() + (uint64_t)m.size + MEMBER_CRC_SIZE;
        // Stream positions are 32-bit everywhere in the format.
        if (total > 0xFFFFFFFFull)
            throw std::length_error("data stream longer than 4 GiB");
    }

    std::vector<uint8_t> stream(stream_signature, stream_signature + STREAM_SIGNATURE_SIZE);
    if (total == 0) {
        // A stream holds at least its last block.
        std::vector<uint8_t> empty = encode_stored(nullptr, 0, true);
        stream.insert(stream.end(), empty.begin(), empty.end());
        return stream;
    }

    RecordSource source(members);
    HistoryModel model;
    std::vector<uint8_t> history;  // the last kept bytes, at most MAX_KEPT_HISTORY
    std::vector<uint8_t> block(MAX_BLOCK_OUTPUT);
    size_t carried = 0;  // bytes at block's start read but not yet coded
    std::vector<uint8_t> window;
    uint64_t done = 0;
    const int level = options.level;
    if (options.progress)
        options.progress(0, total);

    while (done < total) {
        uint32_t length = (uint32_t)std::min<uint64_t>(total - done, MAX_BLOCK_OUTPUT);
        carried += source.read(block.data() + carried, length - carried);
        if (carried != length)
            throw std::logic_error("member records shorter than counted");
        bool last = done + length == total;

        Candidate best;
        best.method = METHOD_STORED;
        if (level >= 1) {
            unsigned selector = lz_selector_for(std::min<uint64_t>(model.valid, MAX_KEPT_HISTORY));
            uint32_t kept = model.kept_before(METHOD_LZ, last, length, selector);
            window.assign(history.end() - kept, history.end());
            window.insert(window.end(), block.begin(), block.begin() + length);
            Candidate lz;
            lz.method = METHOD_LZ;
            lz.selector = selector;
            BitWriter w(lz.bytes);
            LzOptions lz_options;
            lz_options.level = level;
            // A block that codes longer than its 20-bit frame is refused by
            // the block writer; stored then takes the bytes.
            bool framed = true;
            try {
                encode_lz_block(w, window.data(), kept, length, last, selector, lz_options);
            } catch (const std::length_error&) {
                framed = false;
            }
            lz.coded.assign(window.begin() + kept, window.end());
            if (framed && usable(lz.bytes, last))
                best = std::move(lz);
        }
        if (level >= 5) {
            Candidate bwt;
            bwt.method = METHOD_BWT;
            BitWriter w(bwt.bytes);
            BwtOptions bwt_options;
            bwt_options.level = level;
            bool framed = true;
            try {
                encode_bwt_block(w, block.data(), length, last, bwt_options);
            } catch (const std::length_error&) {
                framed = false;
            }
            // BWT decodes several times slower than LZ (its inverse walks a
            // 4 MB link vector at random), so it has to earn its place: a
            // block goes BWT only when that saves more than 2% over LZ.
            if (framed && usable(bwt.bytes, last) &&
                (best.method == METHOD_STORED || bwt.bytes.size() * 50 < best.bytes.size() * 49))
                best = std::move(bwt);
        }
        // Stored when nothing compresses; a stored block of a full block's
        // length would not fit its 20-bit stored length, so it is cut.
        if (best.method == METHOD_STORED || best.bytes.size() >= (uint64_t)length + 6) {
            if (length > MAX_STORED_OUTPUT) {
                length = MAX_STORED_OUTPUT;
                last = false;
            }
            best = Candidate();
            best.method = METHOD_STORED;
            best.bytes = encode_stored(block.data(), length, last);
        }

        uint32_t kept = model.advance(best.method, last, length, best.selector);
        const uint8_t* coded = best.method == METHOD_STORED || best.method == METHOD_BWT ? block.data()
                                                                                         : best.coded.data();
        history.erase(history.begin(), history.end() - kept);
        history.insert(history.end(), coded, coded + length);
        if (history.size() > MAX_KEPT_HISTORY)
            history.erase(history.begin(), history.end() - MAX_KEPT_HISTORY);

        stream.insert(stream.end(), best.bytes.begin(), best.bytes.end());
        // Bytes cut off a stored block start the next one.
        carried -= length;
        std::memmove(block.data(), block.data() + length, carried);
        done += length;
        if (options.progress)
            options.progress(done, total);
    }
    return stream;
}

}  // namespace packer
