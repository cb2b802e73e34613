// Test-only helpers for the LZ decoder: writing LZ blocks bit by bit with
// chosen code lengths, and decoding one with the engine fixture.
//
// The writer is deliberately independent of the archiver's encoders: it sends
// every code length as a plain difference symbol under a flat pre-code, and
// the symbols exactly as the test spells them, so a test controls every bit.
#ifndef DRAVEX_TESTS_LZ_TEST_UTIL_H
#define DRAVEX_TESTS_LZ_TEST_UTIL_H

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "codec/huffman.h"
#include "codec/input_stream.h"
#include "codec/lz_decoder.h"
#include "codec/solid_stream.h"
#include "packer/block_writer.h"
#include "platform/platform.h"
#include "packer/bit_writer.h"
#include "tests/engine.h"
#include "tests/test_util.h"

namespace lztest {

using testutil::Bytes;

// Canonical codes of a length list, via the decoder's own assign_codes
// (checked on its own against known codes in huffman_test).
inline std::vector<uint32_t> codes_for(const uint8_t* lengths, size_t n)
{
    std::vector<uint32_t> codes(n, 0);
    assign_codes(codes.data(), lengths, (u32)n);
    return codes;
}

// Writes code-length rows the simplest valid way: pre-code symbols 0..16
// with 5-bit codes (fields of value 6), symbols 17..20 without a code, and
// every length a difference symbol.
inline void write_plain_lengths(packer::BitWriter& w, const std::vector<uint8_t>& rows, unsigned W, unsigned R)
{
    for (int i = 0; i < 17; i++)
        w.put(6, 5);
    w.put(1, 5);  // skips 2 symbols: 17 and 18
    w.put(1, 5);  // skips 4 more: past 20
    uint8_t pre_len[21] = {};
    for (int i = 0; i < 17; i++)
        pre_len[i] = 5;
    std::vector<uint32_t> pre_codes = codes_for(pre_len, 21);
    unsigned running = 0;
    for (size_t p = 0; p < (size_t)W * R; p++) {
        if (p >= W && rows[p - W] != 0)
            running = rows[p - W];
        unsigned diff = (rows[p] + 17 - running) % 17;
        w.put_code(pre_codes[diff], 5);
        running = rows[p];
    }
}

// One table set of an LZ block and the codes that go with it.
struct TableSet {
    std::vector<uint8_t> lengths;  // W entries
    std::vector<uint32_t> litlen_codes, dist_codes[3];

    void finish()
    {
        litlen_codes = codes_for(lengths.data(), 288);
        dist_codes[0] = codes_for(lengths.data() + 288, 42);
        dist_codes[1] = codes_for(lengths.data() + 330, 14);
        if (lengths.size() >= 372)
            dist_codes[2] = codes_for(lengths.data() + 344, 28);
    }
};

// Complete codes for every symbol of every alphabet: the literal/length
// alphabet gets 32 codes of 8 bits and 256 of 9, the distance alphabets
// near-flat codes. `skew` moves which symbols get the short codes.
inline TableSet full_table_set(unsigned D, unsigned skew = 0)
{
    TableSet t;
    t.lengths.assign(D == 3 ? 372 : 344, 0);
    for (unsigned s = 0; s < 288; s++)
        t.lengths[s] = ((s + skew) % 288) < 32 ? 8 : 9;
    // 42 symbols: 22 of 6 bits and 20 of 5 bits make 22/64 + 20/32 = 1.
    for (unsigned s = 0; s < 42; s++)
        t.lengths[288 + s] = ((s + skew) % 42) < 22 ? 6 : 5;
    // 14 symbols: 2 of 3 bits and 12 of 4 bits.
    for (unsigned s = 0; s < 14; s++)
        t.lengths[330 + s] = ((s + skew) % 14) < 2 ? 3 : 4;
    if (D == 3) {
        // 28 symbols: 4 of 4 bits and 24 of 5 bits.
        for (unsigned s = 0; s < 28; s++)
            t.lengths[344 + s] = ((s + skew) % 28) < 4 ? 4 : 5;
    }
    t.finish();
    return t;
}

inline TableSet fixed_table_set(uint32_t extent)
{
    TableSet t;
    t.lengths.assign(344, 0);
    fill_default_lengths(t.lengths.data(), extent);
    t.finish();
    return t;
}

// Writes the symbols of one LZ block with a given table set.
class LzWriter {
public:
    explicit LzWriter(packer::BitWriter& w, unsigned D = 2) : w_(w), D_(D) {}
    void use(const TableSet* set) { set_ = set; }
    void literal(uint8_t b) { code(b); }
    void end_of_set() { code(SYM_END_OF_SET); }
    void delta_mark(unsigned stride)
    {
        code(SYM_DELTA_MARK);
        w_.put(stride, 3);
    }
    void code(unsigned litlen_symbol) { w_.put_code(set_->litlen_codes[litlen_symbol], set_->lengths[litlen_symbol]); }

    // The length part of a match: its symbol and extra bits.
    void length(uint32_t len)
    {
        static const uint16_t base[] = {11, 13, 15, 17, 19, 23, 27, 31, 35, 43, 51,
                                        59, 67, 83, 99, 115, 131, 163, 195, 227, 259};
        if (len <= 10) {
            code(len + 255);
        } else if (len >= 259) {
            code(SYM_LONG_LENGTH);
            w_.put(len - 259, 15);
        } else {
            unsigned i = 19;
            while (base[i] > len)
                i--;
            code(266 + i);
            w_.put(len - base[i], 1 + i / 4);
        }
    }
    unsigned alphabet_for(uint32_t len) const { return len == 2 ? 1 : (len == 3 && D_ == 3) ? 2 : 0; }

    // A match of `len` whose distance goes as symbol `dsym` (with `extra`).
    void match_symbol(uint32_t len, unsigned dsym, uint32_t extra = 0)
    {
        length(len);
        unsigned a = alphabet_for(len);
        unsigned offset = a == 0 ? 288 : a == 1 ? 330 : 344;
        w_.put_code(set_->dist_codes[a][dsym], set_->lengths[offset + dsym]);
        if (dsym >= 6)
            w_.put(extra, 1 + (dsym - 6) / 2);
    }
    // A match with an explicit distance (distance symbols 2 to 41).
    void match(uint32_t len, uint32_t distance)
    {
        uint32_t extra = 0;
        unsigned dsym = distance_symbol(distance, &extra);
        match_symbol(len, dsym, extra);
    }
    static unsigned distance_symbol(uint32_t distance, uint32_t* extra)
    {
        if (distance <= 4) {
            *extra = 0;
            return distance + 1;
        }
        uint32_t base = 5;
        for (unsigned s = 6; s < 42; s++) {
            uint32_t span = 1u << (1 + (s - 6) / 2);
            if (distance < base + span) {
                *extra = distance - base;
                return s;
            }
            base += span;
        }
        *extra = 0;
        return 41;
    }

private:
    packer::BitWriter& w_;
    unsigned D_;
    const TableSet* set_ = nullptr;
};

// The start of an LZ block in the stream: header (method 1), selector (row
// 1, column 0) and sub-header. Returns the block start; end_lz_block ends
// the block.
inline size_t start_lz_block(packer::BitWriter& w, uint32_t output_length, unsigned D, unsigned S, bool last = true)
{
    size_t start = packer::begin_block(w, METHOD_LZ, last, output_length);
    w.put(1, 2);
    w.put(0, 3);
    w.put(D | (S << 2), 8);
    return start;
}

inline void end_lz_block(packer::BitWriter& w, size_t start)
{
    packer::finish_block(w, start);
}

// Decodes the LZ block that starts at byte 0 of `image` with `engine`, with
// `history` in front of its output. Returns the decoder's result; `out` gets
// the whole buffer (history and N output bytes).
inline i32 decode_image(testutil::Engine& engine, const Bytes& image, const Bytes& history, uint32_t N, Bytes& out,
                        int apply_regions = 1)
{
    if (!engine.load(image))
        return -1000;
    ResultCode r = engine.begin_block(true);
    if (r < 0)
        return r;
    // Exactly H + N bytes, so that AddressSanitizer sees any write past them.
    u32 size = (u32)history.size() + N;
    u8* buffer = (u8*)mem_alloc(size > 0 ? size : 1);
    std::copy(history.begin(), history.end(), buffer);
    std::fill(buffer + history.size(), buffer + history.size() + N, 0xEE);
    i32 n = decode_lz_block(engine.d, buffer, (u32)history.size(), N, apply_regions);
    out.assign(buffer, buffer + history.size() + N);
    mem_free(buffer);
    return n;
}

inline i32 decode_image(const Bytes& image, const Bytes& history, uint32_t N, Bytes& out, int apply_regions = 1)
{
    testutil::Engine engine;
    return decode_image(engine, image, history, N, out, apply_regions);
}

// Applies delta regions the plain way: region i runs from its start to the
// next entry's start, bytes before the buffer count as 0.
inline void apply_regions_model(Bytes& buf, size_t end, const std::vector<std::pair<uint32_t, unsigned>>& regions)
{
    for (size_t i = 0; i < regions.size(); i++) {
        size_t stop = i + 1 < regions.size() ? regions[i + 1].first : end;
        unsigned s = regions[i].second;
        for (size_t q = regions[i].first; s != 0 && q < stop && q < end; q++)
            buf[q] = (uint8_t)(buf[q] + (q >= s ? buf[q - s] : 0));
    }
}

// A valid LZ block made of random literals, matches (explicit, short and
// recent distances, long lengths), table-set switches and delta markers,
// together with what it decodes to.
struct RandomBlock {
    Bytes image;     // the block, header at byte 0
    Bytes history;   // H bytes in front of the output
    uint32_t N = 0;
    Bytes expected;  // history + N decoded bytes
    std::vector<std::pair<uint32_t, unsigned>> regions;
    // After each symbol: the bits written so far and the output position.
    std::vector<std::pair<uint64_t, uint32_t>> progress;
};

struct RandomBlockOptions {
    uint32_t history = 0;
    uint32_t length = 1000;
    unsigned D = 2;          // 2 or 3
    unsigned sets = 1;       // 0 = the fixed set (then D must be 2)
    unsigned match_percent = 40;
    bool delta = false;
    bool long_matches = false;
};

inline RandomBlock make_random_block(uint32_t seed, const RandomBlockOptions& o)
{
    RandomBlock b;
    uint32_t state = seed * 2654435761u + 12345;
    auto rnd = [&state]() {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        return state;
    };
    b.history = testutil::text_bytes(o.history, seed + 1);
    b.N = o.length;
    uint32_t H = o.history, end = H + o.length;

    std::vector<TableSet> sets;
    unsigned nsets = o.sets == 0 ? 1 : o.sets;
    for (unsigned i = 0; i < nsets; i++)
        sets.push_back(o.sets == 0 ? fixed_table_set(end) : full_table_set(o.D, rnd() % 300));
    packer::BitWriter w(b.image);
    size_t start = start_lz_block(w, o.length, o.D, o.sets);
    if (o.sets > 0) {
        std::vector<uint8_t> rows;
        for (auto& t : sets)
            rows.insert(rows.end(), t.lengths.begin(), t.lengths.end());
        write_plain_lengths(w, rows, (unsigned)sets[0].lengths.size(), o.sets);
    }
    LzWriter lz(w, o.D);
    unsigned current = 0;
    lz.use(&sets[0]);
    // The fixed set's short distance set reaches 8192 only.
    uint32_t max_distance = o.sets == 0 && end <= 8192 ? 8192 : 1048576;

    Bytes out = b.history;
    out.resize(end);
    uint32_t p = H, R0 = 0, R1 = 0;
    while (p < end) {
        b.progress.push_back({w.bit_count(), p});
        uint32_t r = rnd() % 100;
        if (current + 1 < nsets && r == 0) {
            lz.end_of_set();
            lz.use(&sets[++current]);
            continue;
        }
        if (o.delta && r == 1 && b.regions.size() < 1000) {
            unsigned stride = rnd() % 8;
            lz.delta_mark(stride);
            b.regions.push_back({p, stride});
            continue;
        }
        if (r < 2 + o.match_percent && p > 0) {
            uint32_t len;
            uint32_t kind = rnd() % 10;
            if (o.long_matches && kind == 0)
                len = 259 + rnd() % 2000;
            else if (kind < 3)
                len = 2 + rnd() % 3;
            else
                len = 2 + rnd() % 257;
            uint32_t limit = p < max_distance ? p : max_distance;
            if (len == 2 && limit > 64)
                limit = 64;  // distance alphabet 1
            if (len == 3 && o.D == 3 && limit > 8192)
                limit = 8192;  // distance alphabet 2
            uint32_t choice = rnd() % 8;
            uint32_t dist;
            if (choice == 0 && R0 != 0 && R0 <= p) {
                lz.match_symbol(len, 0);
                dist = R0;
            } else if (choice == 1 && R1 != 0 && R1 <= p) {
                lz.match_symbol(len, 1);
                std::swap(R0, R1);
                dist = R0;
            } else {
                dist = 1 + (choice < 4 ? rnd() % (limit < 16 ? limit : 16) : rnd() % limit);
                uint32_t extra;
                unsigned dsym = LzWriter::distance_symbol(dist, &extra);
                if (len == 2 && dsym >= 14)
                    continue;
                if (len == 3 && o.D == 3 && dsym >= 28)
                    continue;
                lz.match_symbol(len, dsym, extra);
                if (dsym >= 6) {
                    R1 = R0;
                    R0 = dist;
                }
            }
            uint32_t n = len < end - p ? len : end - p;
            for (uint32_t i = 0; i < n; i++, p++)
                out[p] = out[p - dist];
            continue;
        }
        uint8_t lit = (uint8_t)(rnd() % 7 == 0 ? rnd() : 'a' + rnd() % 8);
        lz.literal(lit);
        out[p++] = lit;
    }
    b.progress.push_back({w.bit_count(), p});
    end_lz_block(w, start);
    apply_regions_model(out, end, b.regions);
    b.expected = out;
    return b;
}

}  // namespace lztest

#endif
