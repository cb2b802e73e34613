// Test-only helpers for the BWT decoder, the solid stream and member output:
// a plain BWT block writer (suffix-array transform, explicit symbols and
// selectors, so that damaged blocks can be written on purpose), a builder
// for data streams of member records cut into blocks of chosen methods and
// lengths, run through the engine fixture (tests/engine.h).
#ifndef DRAVEX_TESTS_DECODER_STREAM_UTIL_H
#define DRAVEX_TESTS_DECODER_STREAM_UTIL_H

#include <divsufsort.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "archive/records.h"
#include "codec/crc32.h"
#include "packer/bit_writer.h"
#include "packer/block_writer.h"
#include "packer/huffman_encoder.h"
#include "platform/platform.h"
#include "tests/engine.h"
#include "tests/test_util.h"

namespace dstest {

using testutil::Bytes;
using testutil::Engine;
using Symbols = std::vector<uint16_t>;

inline uint32_t crc32_of(const uint8_t* p, size_t n)
{
    return ~crc32_update(p, (u32)n, 0xFFFFFFFFu);
}
inline uint32_t crc32_of(const Bytes& b) { return crc32_of(b.data(), b.size()); }

// ---------------------------------------------------------------------------
// BWT side
// ---------------------------------------------------------------------------

// The last column of the sorted rotations of (s - h) followed by a marker
// that sorts first; the marker's entry is -1. Since the marker is unique, the
// rotation order is the suffix order of the text, which libdivsufsort gives.
inline std::vector<int> bwt_last_column(const Bytes& s, uint8_t h, uint32_t* origin_ret = nullptr)
{
    const size_t n = s.size();
    Bytes t(n);
    for (size_t i = 0; i < n; i++)
        t[i] = (uint8_t)(s[i] - h);
    std::vector<saidx_t> sa(n);
    if (n > 0)
        divsufsort(t.data(), sa.data(), (saidx_t)n);
    std::vector<int> last(n + 1);
    last[0] = n > 0 ? t[n - 1] : -1;  // row 0 is the marker's own rotation
    uint32_t origin = 0;
    for (size_t row = 1; row <= n; row++) {
        saidx_t start = sa[row - 1];
        if (start == 0) {
            last[row] = -1;
            origin = (uint32_t)row;
        } else {
            last[row] = t[start - 1];
        }
    }
    if (origin_ret)
        *origin_ret = origin;
    return last;
}

inline void push_run(Symbols& out, uint32_t run)
{
    while (run > 0) {
        if (run & 1) {
            out.push_back(0);  // RUN1
            run = (run - 1) >> 1;
        } else {
            out.push_back(1);  // RUN2
            run = (run - 2) >> 1;
        }
    }
}

// Move-to-front symbols of a last column.
inline Symbols bwt_symbols(const std::vector<int>& last)
{
    uint8_t list[256];
    for (int i = 0; i < 256; i++)
        list[i] = (uint8_t)i;
    Symbols out;
    uint32_t run = 0;
    for (int c : last) {
        if (c < 0) {
            push_run(out, run);
            run = 0;
            out.push_back(257);
            continue;
        }
        int j = 0;
        while (list[j] != c)
            j++;
        if (j == 0) {
            run++;
            continue;
        }
        push_run(out, run);
        run = 0;
        out.push_back((uint16_t)(j + 1));
        uint8_t b = list[j];
        std::copy_backward(list, list + j, list + j + 1);
        list[0] = b;
    }
    push_run(out, run);
    return out;
}

inline Symbols bwt_symbols(const Bytes& s, uint8_t h = 0) { return bwt_symbols(bwt_last_column(s, h)); }

// Lengths for the symbols used (all of 258 when none is given).
inline std::vector<uint8_t> lengths_for(const Symbols& symbols)
{
    std::vector<uint32_t> freq(258, 0);
    for (uint16_t s : symbols)
        freq[s]++;
    if (symbols.empty())
        std::fill(freq.begin(), freq.end(), 1u);
    return packer::huffman_lengths(freq, 16);
}

// Selector list positions that pick the wanted tables in turn through the
// table move-to-front list.
inline std::vector<unsigned> selectors_for(const std::vector<unsigned>& tables)
{
    std::vector<unsigned> list = {0, 1, 2, 3, 4, 5}, out;
    for (unsigned t : tables) {
        unsigned k = (unsigned)(std::find(list.begin(), list.end(), t) - list.begin());
        out.push_back(k);
        list.erase(list.begin() + k);
        list.insert(list.begin(), t);
    }
    return out;
}

struct BwtBlockSpec {
    uint32_t n = 0;                            // the header's output length
    bool last = true;
    uint8_t offset = 0;
    unsigned table_count_field = 1;            // written as is, so 0 and 7 can be tried
    std::vector<std::vector<uint8_t>> tables;  // 258 lengths each
    std::vector<unsigned> selectors;           // raw list positions, one per group; missing ones are 0
    Symbols symbols;
    uint32_t pad_before = 0, pad_after = 0;    // values of the skipped alignment bits
};

inline void write_bwt_block(packer::BitWriter& bw, const BwtBlockSpec& spec)
{
    size_t start = packer::begin_block(bw, METHOD_BWT, spec.last, spec.n);
    bw.put(spec.offset, 8);
    bw.put(spec.table_count_field, 3);
    std::vector<std::vector<uint32_t>> codes;
    for (const auto& t : spec.tables) {
        packer::write_code_lengths(bw, t, 258, 1);
        codes.push_back(packer::canonical_codes(t));
    }
    unsigned used = (unsigned)(bw.bit_count() % 8);
    if (used)
        bw.put(spec.pad_before, 8 - used);
    std::vector<unsigned> list = {0, 1, 2, 3, 4, 5};
    unsigned table = 0;
    for (size_t i = 0; i < spec.symbols.size(); i++) {
        if (i % 50 == 0) {
            size_t g = i / 50;
            unsigned k = g < spec.selectors.size() ? spec.selectors[g] : 0;
            bw.put((1u << k) - 1, k + 1);
            if (k < list.size()) {
                table = list[k];
                list.erase(list.begin() + k);
                list.insert(list.begin(), table);
            }
        }
        uint16_t s = spec.symbols[i];
        const auto& lengths = spec.tables[std::min<size_t>(table, spec.tables.size() - 1)];
        bw.put_code(codes[std::min<size_t>(table, codes.size() - 1)][s], lengths[s]);
    }
    used = (unsigned)(bw.bit_count() % 8);
    if (used)
        bw.put(spec.pad_after, 8 - used);
    packer::finish_block(bw, start);
}

// A block of the given bytes with one table fitted to its symbols.
inline void write_bwt_bytes(packer::BitWriter& bw, const Bytes& data, bool last, uint8_t offset = 0)
{
    BwtBlockSpec spec;
    spec.n = (uint32_t)data.size();
    spec.last = last;
    spec.offset = offset;
    spec.symbols = bwt_symbols(data, offset);
    spec.tables.push_back(lengths_for(spec.symbols));
    write_bwt_block(bw, spec);
}

// ---------------------------------------------------------------------------
// Streams of members
// ---------------------------------------------------------------------------

// Forward call filter under the whole-member rule: the exact inverse of the
// extractor's conversion, written from its table.
inline Bytes encode_calls_reference(const Bytes& in, int width)
{
    Bytes out = in;
    const uint32_t size = (uint32_t)in.size();
    uint32_t i = 0;
    while (i < size) {
        if (in[i] != 0xE8 || (uint64_t)i + width > (uint64_t)size - 1) {
            i++;
            continue;
        }
        uint32_t q = i + 1;
        if (width == 2) {
            uint32_t rel = load_le16(&in[q]);
            store_le16(&out[q], (uint16_t)(rel + q));
        } else {
            int64_t r = (int32_t)load_le32(&in[q]);
            int64_t v;
            if (r >= -(int64_t)q && r <= (int64_t)size - 1 - q)
                v = r + q;
            else if (r >= (int64_t)size - q && r <= (int64_t)size - 1)
                v = (int64_t)size - 1 - q - r;
            else
                v = r;
            store_le32(&out[q], (uint32_t)v);
        }
        i = q + width;
    }
    return out;
}

struct TestMember {
    std::string name;
    Bytes data;          // original bytes
    uint8_t flags = 0;   // 0, ENTRY_FILTER16, ENTRY_FILTER32 (or both)
    uint32_t offset = 0; // filled by build_records
};

// The decoded stream: each member's 11-byte local header, name, stored
// bytes and CRC-32, back to back.
inline Bytes build_records(std::vector<TestMember>& members)
{
    Bytes out;
    for (auto& m : members) {
        m.offset = (uint32_t)out.size();
        uint8_t header[LOCAL_HEADER_SIZE] = {};
        store_le32(header, (uint32_t)m.data.size());
        store_le16(header + 4, (uint16_t)m.name.size());
        out.insert(out.end(), header, header + LOCAL_HEADER_SIZE);
        out.insert(out.end(), m.name.begin(), m.name.end());
        int width = (m.flags & ENTRY_FILTER16) ? 2 : (m.flags & ENTRY_FILTER32) ? 4 : 0;
        Bytes stored = width ? encode_calls_reference(m.data, width) : m.data;
        out.insert(out.end(), stored.begin(), stored.end());
        uint8_t crc[4];
        store_le32(crc, crc32_of(m.data));
        out.insert(out.end(), crc, crc + 4);
    }
    return out;
}

struct Cut {
    unsigned method;   // METHOD_STORED or METHOD_BWT
    uint32_t length;
};

// A data stream (signature and blocks) whose blocks hold the decoded bytes
// in the given cuts; the rest, if any, goes into one more stored block.
inline Bytes build_stream(const Bytes& decoded, std::vector<Cut> cuts)
{
    uint32_t total = 0;
    for (auto& c : cuts)
        total += c.length;
    if (total < decoded.size())
        cuts.push_back({METHOD_STORED, (uint32_t)(decoded.size() - total)});
    Bytes out = {'Q', 'V', 'X', 'L', 'H', 0};
    packer::BitWriter bw(out);
    uint32_t at = 0;
    for (size_t i = 0; i < cuts.size(); i++) {
        bool last = i + 1 == cuts.size();
        Bytes part(decoded.begin() + at, decoded.begin() + at + cuts[i].length);
        if (cuts[i].method == METHOD_BWT)
            write_bwt_bytes(bw, part, last, (uint8_t)(i * 37));
        else
            packer::encode_stored_block(bw, part.data(), (uint32_t)part.size(), last);
        at += cuts[i].length;
    }
    return out;
}

// One member request through the engine, the stream at stream_offset.
inline ResultCode extract(Engine& engine, const TestMember& m, Bytes& out,
                          uint32_t stream_offset = Engine::kStreamOffset)
{
    return engine.member(stream_offset, m.offset, (uint32_t)m.data.size(), m.flags, out);
}

}  // namespace dstest

#endif
