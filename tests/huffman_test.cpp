// Canonical codes, the two-level decoding table and the code-length
// transmission: known codes, the node layout, bounded behaviour on over-full
// and hostile codes, and the transmission's differences and runs written bit
// by bit.

#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "codec/huffman.h"
#include "codec/huffman_decode.h"
#include "codec/input_stream.h"
#include "packer/block_writer.h"
#include "tests/lz_test_util.h"

using testutil::Bytes;

namespace {

uint32_t reverse_bits(uint32_t c, unsigned L)
{
    uint32_t r = 0;
    for (unsigned i = 0; i < L; i++)
        r = (r << 1) | ((c >> i) & 1);
    return r;
}

// A table under test with guard words on both sides of the lookup and the
// store, so a write outside either shows up.
struct GuardedTable {
    static constexpr int32_t kGuard = 0x5A5A5A5A;
    std::vector<int32_t> lookup_mem, store_mem;
    int32_t* lookup;
    int32_t* store;
    uint32_t k, n;

    GuardedTable(uint32_t k_, uint32_t n_) : k(k_), n(n_)
    {
        lookup_mem.assign((1u << k) + 64, kGuard);
        store_mem.assign(2 * n + 64, kGuard);
        lookup = lookup_mem.data() + 32;
        store = store_mem.data() + 32;
    }
    bool guards_intact() const
    {
        for (int i = 0; i < 32; i++) {
            if (lookup_mem[i] != kGuard || lookup_mem[lookup_mem.size() - 1 - i] != kGuard)
                return false;
            if (store_mem[i] != kGuard || store_mem[store_mem.size() - 1 - i] != kGuard)
                return false;
        }
        return true;
    }
    ResultCode build(const std::vector<uint8_t>& lengths)
    {
        std::vector<uint32_t> codes(n, 0);
        assign_codes(codes.data(), lengths.data(), n);
        return build_decode_table(lookup, store, codes.data(), lengths.data(), k, n);
    }
    int32_t decode(uint32_t bits) const { return decode_symbol(lookup, store, k, bits); }
};

// Writes pre-code lengths as 5-bit fields, zero stretches as bijective
// base-2 runs of fields 0 and 1.
void write_precode(packer::BitWriter& w, const uint8_t (&lens)[21])
{
    int i = 0;
    while (i < 21) {
        if (lens[i] != 0) {
            w.put(lens[i] + 1u, 5);
            i++;
            continue;
        }
        int m = 0;
        while (i + m < 21 && lens[i + m] == 0)
            m++;
        i += m;
        while (m > 0) {
            int d = m % 2 == 0 ? 2 : 1;
            w.put(d - 1, 5);
            m = (m - d) / 2;
        }
    }
}

// A code-length transmission test: a block header, then bits; the input
// stream is left standing on the bits.
struct Transmission {
    Bytes image;
    packer::BitWriter w{image};
    size_t start;
    std::vector<uint32_t> codes;
    uint8_t lens[21] = {};

    explicit Transmission(size_t padding = 0)
    {
        start = packer::begin_block(w, METHOD_LZ, true, 0);
        w.align();
        image.resize(image.size() + padding, 0xA5);
    }
    void precode(std::initializer_list<std::pair<int, int>> symbol_lengths)
    {
        for (auto& sl : symbol_lengths)
            lens[sl.first] = (uint8_t)sl.second;
        write_precode(w, lens);
        codes = lztest::codes_for(lens, 21);
    }
    void sym(int s) { w.put_code(codes[s], lens[s]); }
    // Runs read_code_lengths over the stream and returns its result.
    ResultCode run(std::vector<uint8_t>& rows, uint32_t W, uint32_t R, size_t padding = 0, size_t cut = 0)
    {
        w.put(0, 32);  // slack so that reads of the last bits stay in the block
        packer::finish_block(w, start);
        if (cut != 0)
            image.resize(cut);
        testutil::Engine f(image);
        if (!f.ok())
            return -1000;
        ResultCode r = stream_begin_block(f.d);
        if (r < 0)
            return r;
        f.d->input.cursor += 6 + padding;
        rows.assign((size_t)W * R, 0xCC);
        return read_code_lengths(f.d, rows.data(), W, R, 100000);
    }
};

}  // namespace

// The example of RFC 1951 section 3.2.2: lengths (3,3,3,3,3,2,4,4) give
// 010, 011, 100, 101, 110, 00, 1110, 1111.
TEST(Huffman, CanonicalCodesOfTheRfcExample)
{
    const uint8_t lengths[8] = {3, 3, 3, 3, 3, 2, 4, 4};
    const uint32_t expect[8] = {2, 3, 4, 5, 6, 0, 14, 15};
    uint32_t codes[8];
    EXPECT_EQ(assign_codes(codes, lengths, 8), 0u);
    for (int s = 0; s < 8; s++)
        EXPECT_EQ(codes[s], reverse_bits(expect[s], lengths[s])) << s;
}

TEST(Huffman, LengthAboveSixteenWritesNothing)
{
    const uint8_t lengths[3] = {1, 17, 1};
    uint32_t codes[3] = {77, 77, 77};
    EXPECT_EQ(assign_codes(codes, lengths, 3), 17u);
    EXPECT_EQ(codes[0], 77u);
    EXPECT_EQ(codes[2], 77u);
}

TEST(Huffman, TwoOneBitCodesFillTheLookup)
{
    GuardedTable t(9, 2);
    EXPECT_EQ(t.build({1, 1}), 0);
    for (uint32_t i = 0; i < 512; i++)
        EXPECT_EQ(t.lookup[i], (int32_t)(i & 1));
    EXPECT_EQ(t.store[0], EMPTY_SLOT);
    EXPECT_EQ(t.store[3], EMPTY_SLOT);
}

// Two 10-bit codes under k = 9 share their first 9 bits: one node (number 1,
// the first one made), whose two slots hold the symbols as -s.
TEST(Huffman, LongCodesShareANode)
{
    GuardedTable t(9, 3);
    EXPECT_EQ(t.build({1, 10, 10}), 0);
    // Symbol 1 is the canonical 1000000000: first bits 1,0,...,0, then 0.
    EXPECT_EQ(t.lookup[1], -1);
    EXPECT_EQ(t.store[2], -1);
    EXPECT_EQ(t.store[3], -2);
    EXPECT_EQ(t.decode(1), 1);
    EXPECT_EQ(t.decode(1 | 1u << 9), 2);
    EXPECT_EQ(t.decode(0), 0);
    // 1 followed by a 1 among the next eight bits has no code.
    EXPECT_EQ(t.decode(1 | 1u << 4), -1);
    EXPECT_TRUE(t.guards_intact());
}

TEST(Huffman, AllLengthsZeroDecodeNothing)
{
    GuardedTable t(7, 42);
    EXPECT_EQ(t.build(std::vector<uint8_t>(42, 0)), 0);
    for (uint32_t bits = 0; bits < (1u << 16); bits += 97)
        EXPECT_EQ(t.decode(bits), -1);
}

// A complete code decodes every bit pattern to the symbol whose code is a
// prefix of it, with nodes taken for the codes longer than k.
TEST(Huffman, CompleteCodeDecodesEveryPattern)
{
    // 288 symbols: 2 of 2 bits ... a skewed complete code up to 16 bits.
    std::vector<uint8_t> lengths(288, 0);
    // Kraft: 1/2 + 1/4 + ... + 1/2^15 + 2/2^16 for 16 symbols, the rest 0.
    for (int s = 0; s < 15; s++)
        lengths[s * 19] = (uint8_t)(s + 1);
    lengths[283] = 16;
    lengths[287] = 16;
    GuardedTable t(9, 288);
    EXPECT_EQ(t.build(lengths), 0);
    std::vector<uint32_t> codes(288);
    assign_codes(codes.data(), lengths.data(), 288);
    for (uint32_t bits = 0; bits < (1u << 16); bits++) {
        int32_t s = t.decode(bits);
        ASSERT_GE(s, 0);
        ASSERT_EQ(bits & ((1u << lengths[s]) - 1), codes[s]);
    }
    EXPECT_TRUE(t.guards_intact());
}

TEST(Huffman, NodeStoreExhaustionIsReported)
{
    GuardedTable t(6, 3);
    EXPECT_EQ(t.build({16, 16, 16}), ERR_DAMAGED);
    EXPECT_TRUE(t.guards_intact());
    for (uint32_t bits = 0; bits < (1u << 16); bits += 13) {
        int32_t s = t.decode(bits);
        EXPECT_TRUE(s == -1 || (s >= 0 && s < 3));
    }
}

// Hostile length lists (over-full, mixed short and long codes in any order)
// never write outside the lookup or the store, and every walk ends inside
// them with a symbol of the alphabet or "unassigned".
TEST(Huffman, HostileLengthsStayInBounds)
{
    std::mt19937 rng(1234);
    const uint32_t shapes[][2] = {{6, 21}, {9, 288}, {7, 42}, {7, 14}, {7, 28}, {9, 258}};
    for (int round = 0; round < 400; round++) {
        uint32_t k = shapes[round % 6][0], n = shapes[round % 6][1];
        std::vector<uint8_t> lengths(n);
        int style = round % 4;
        for (auto& L : lengths) {
            uint32_t r = rng();
            L = style == 0 ? r % 17 : style == 1 ? (r % 3 == 0 ? 0 : 10 + r % 7) : style == 2 ? 1 + r % 16 : (r % 2 ? 16 : 0);
        }
        GuardedTable t(k, n);
        t.build(lengths);
        ASSERT_TRUE(t.guards_intact()) << round;
        for (int j = 0; j < 2000; j++) {
            int32_t s = t.decode(rng());
            ASSERT_TRUE(s == -1 || (s >= 0 && (uint32_t)s < n)) << round;
        }
    }
}

// The fixed set: short distance set up to an extent of 8192, long above;
// every one of its three codes is complete.
TEST(Huffman, FixedSetByExtent)
{
    for (uint32_t extent : {8192u, 8193u}) {
        std::vector<uint8_t> rows(344, 0xFF);
        fill_default_lengths(rows.data(), extent);
        EXPECT_EQ(rows[243], 8);
        EXPECT_EQ(rows[244], 9);
        EXPECT_EQ(rows[256], 0);
        EXPECT_EQ(rows[260], 9);
        EXPECT_EQ(rows[261], 10);
        EXPECT_EQ(rows[287], 11);
        EXPECT_EQ(rows[330], 3);
        EXPECT_EQ(rows[343], 4);
        if (extent == 8192) {
            EXPECT_EQ(rows[288], 4);
            EXPECT_EQ(rows[315], 5);
            EXPECT_EQ(rows[316], 0);
        } else {
            EXPECT_EQ(rows[309], 5);
            EXPECT_EQ(rows[310], 6);
            EXPECT_EQ(rows[329], 6);
        }
        const int ranges[3][2] = {{0, 288}, {288, 330}, {330, 344}};
        for (auto& r : ranges) {
            uint64_t kraft = 0;
            for (int p = r[0]; p < r[1]; p++)
                if (rows[p] != 0)
                    kraft += 1ull << (16 - rows[p]);
            EXPECT_EQ(kraft, 1ull << 16) << extent << " " << r[0];
        }
    }
    // read_code_lengths with R = 0 reads nothing and writes the same.
    std::vector<uint8_t> a(344), b(344);
    fill_default_lengths(a.data(), 8193);
    EXPECT_EQ(read_code_lengths(nullptr, b.data(), 344, 0, 8193), 0);
    EXPECT_EQ(a, b);
}

// Pre-code fields 0,0 pass over 3 symbols (1 + 2), fields 1,0 over 4 (2 + 2):
// the first coded symbol then carries the value 3 or 4.
TEST(Huffman, PrecodeZeroFieldsAreBijectiveBaseTwo)
{
    {
        Transmission t;
        t.w.put(0, 5);
        t.w.put(0, 5);
        t.w.put(2, 5);  // symbol 3: length 1
        t.w.put(2, 5);  // symbol 4: length 1
        for (int i = 0; i < 4; i++)
            t.w.put(1, 5);  // passes the rest
        t.w.put(0, 1);      // symbol 3 (code 0)
        t.w.put(1, 1);      // symbol 4 (code 1)
        t.w.put(0, 1);
        std::vector<uint8_t> rows;
        ASSERT_EQ(t.run(rows, 3, 1), 0);
        EXPECT_EQ(rows, (std::vector<uint8_t>{3, 7, 10}));
    }
    {
        Transmission t;
        t.w.put(1, 5);
        t.w.put(0, 5);
        t.w.put(2, 5);  // symbol 4
        t.w.put(2, 5);  // symbol 5
        for (int i = 0; i < 4; i++)
            t.w.put(1, 5);
        t.w.put(0, 1);
        t.w.put(1, 1);
        std::vector<uint8_t> rows;
        ASSERT_EQ(t.run(rows, 2, 1), 0);
        EXPECT_EQ(rows, (std::vector<uint8_t>{4, 9}));
    }
}

TEST(Huffman, DifferencesModuloSeventeen)
{
    Transmission t;
    t.precode({{0, 2}, {8, 2}, {16, 2}, {17, 2}});
    t.sym(8);
    t.sym(0);
    t.sym(16);
    // Second row: above 8 -> 0 gives 8; above 8 -> 16 gives 7; above 7 -> 0 gives 7.
    t.sym(0);
    t.sym(16);
    t.sym(0);
    std::vector<uint8_t> rows;
    ASSERT_EQ(t.run(rows, 3, 2), 0);
    EXPECT_EQ(rows, (std::vector<uint8_t>{8, 8, 7, 8, 7, 7}));
}

TEST(Huffman, RowAboveOrRunningLength)
{
    Transmission t;
    t.precode({{0, 2}, {3, 2}, {5, 2}, {17, 2}});
    // Row 0: 5, 0 (zero run), 3 -> lengths 5, 0, 8.
    t.sym(5);
    t.sym(17);
    t.sym(3);
    // Row 1: above 5 -> 0 gives 5; above 0 -> 0 gives the running 5;
    // above 8 -> 3 gives 11.
    t.sym(0);
    t.sym(0);
    t.sym(3);
    std::vector<uint8_t> rows;
    ASSERT_EQ(t.run(rows, 3, 2), 0);
    EXPECT_EQ(rows, (std::vector<uint8_t>{5, 0, 8, 5, 5, 11}));
}

TEST(Huffman, ZeroRunsDoubleTheirWeight)
{
    Transmission t;
    t.precode({{2, 2}, {17, 2}, {18, 2}, {19, 2}});
    t.sym(2);
    t.sym(17);
    t.sym(17);
    t.sym(18);  // 1 + 2 + 8 = 11 zeros
    t.sym(2);
    t.sym(17);  // weight back to 1: one zero
    t.sym(2);
    t.sym(18);  // 2 zeros, cut at the end of the rows
    std::vector<uint8_t> rows;
    ASSERT_EQ(t.run(rows, 16, 1), 0);
    std::vector<uint8_t> expect = {2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 4, 0, 6, 0};
    EXPECT_EQ(rows, expect);
}

TEST(Huffman, RepeatRunsFollowTheRowAbove)
{
    Transmission t;
    t.precode({{2, 2}, {4, 2}, {17, 3}, {19, 3}, {20, 2}});
    // Row 0: 4, 0, 6.
    t.sym(4);
    t.sym(17);
    t.sym(2);
    // Row 1: a repeat run of 2, then one of 2 more (weight 2) cut after one.
    t.sym(20);
    t.sym(19);
    std::vector<uint8_t> rows;
    ASSERT_EQ(t.run(rows, 3, 2), 0);
    EXPECT_EQ(rows, (std::vector<uint8_t>{4, 0, 6, 4, 4, 6}));
}

TEST(Huffman, TransmissionFailures)
{
    {
        // Pre-code field 18: a length of 17.
        Transmission t;
        t.w.put(18, 5);
        for (int i = 0; i < 5; i++)
            t.w.put(1, 5);
        std::vector<uint8_t> rows;
        EXPECT_EQ(t.run(rows, 3, 1), ERR_DAMAGED);
    }
    {
        // Symbol 5 has no code: the reader stops at the start of it.
        Transmission t;
        t.precode({{0, 2}, {1, 2}, {2, 2}});
        t.sym(1);
        t.w.put(3, 2);  // the unused fourth 2-bit code
        std::vector<uint8_t> rows;
        EXPECT_EQ(t.run(rows, 4, 1), ERR_DAMAGED);
    }
    {
        // The input ends before the rows are complete.
        Transmission t;
        t.precode({{0, 1}, {1, 1}});
        std::vector<uint8_t> rows;
        size_t cut = t.image.size() + 2;
        for (int i = 0; i < 100; i++)
            t.sym(1);
        EXPECT_EQ(t.run(rows, 300, 2, 0, cut), ERR_END_OF_DATA);
    }
}

// Many rows written plainly, starting close to the end of the first fill so
// that the reader refills in mid-transmission.
TEST(Huffman, LongTransmissionAcrossARefill)
{
    const size_t padding = 61000;
    Transmission t(padding);
    std::mt19937 rng(5);
    std::vector<uint8_t> rows(63 * 372);
    for (auto& L : rows)
        L = (uint8_t)(rng() % 17);
    lztest::write_plain_lengths(t.w, rows, 372, 63);
    std::vector<uint8_t> got;
    ASSERT_EQ(t.run(got, 372, 63, padding), 0);
    EXPECT_EQ(got, rows);
}
