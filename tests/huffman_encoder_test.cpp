// The archiver's Huffman side against the decoder: code lengths are complete
// and within their limit, codes are the decoder's canonical codes, and every
// code-length transmission reads back through read_code_lengths unchanged.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <queue>
#include <random>

#include "codec/huffman.h"
#include "codec/input_stream.h"
#include "packer/block_writer.h"
#include "packer/huffman_encoder.h"
#include "platform/platform.h"
#include "tests/engine.h"
#include "test_util.h"

namespace {

using packer::BitWriter;

// Kraft sum scaled by 2^16; 65536 means a complete code.
uint64_t kraft(const std::vector<uint8_t>& lengths)
{
    uint64_t sum = 0;
    for (uint8_t len : lengths)
        if (len != 0)
            sum += (uint64_t)1 << (16 - len);
    return sum;
}

uint64_t cost(const std::vector<uint32_t>& freqs, const std::vector<uint8_t>& lengths)
{
    uint64_t bits = 0;
    for (size_t i = 0; i < freqs.size(); i++)
        bits += (uint64_t)freqs[i] * lengths[i];
    return bits;
}

// Cost of an unrestricted Huffman code, the lower bound for any limit.
uint64_t huffman_cost(const std::vector<uint32_t>& freqs)
{
    std::priority_queue<uint64_t, std::vector<uint64_t>, std::greater<uint64_t>> heap;
    for (uint32_t f : freqs)
        if (f != 0)
            heap.push(f);
    uint64_t total = 0;
    while (heap.size() > 1) {
        uint64_t a = heap.top();
        heap.pop();
        uint64_t b = heap.top();
        heap.pop();
        total += a + b;
        heap.push(a + b);
    }
    return total;
}

TEST(HuffmanLengths, CompleteAndOptimalWhenTheLimitDoesNotBind)
{
    std::mt19937 rng(7);
    for (int round = 0; round < 50; round++) {
        size_t n = 2 + rng() % 287;
        std::vector<uint32_t> freqs(n);
        for (auto& f : freqs)
            f = (rng() % 4 == 0) ? 0 : 1 + rng() % 1000;
        freqs[rng() % n] = 5;
        freqs[rng() % n] = 9;
        std::vector<uint8_t> lengths = packer::huffman_lengths(freqs, 16);
        for (size_t i = 0; i < n; i++)
            EXPECT_EQ(freqs[i] == 0, lengths[i] == 0) << i;
        EXPECT_EQ(kraft(lengths), 65536u);
        EXPECT_EQ(cost(freqs, lengths), huffman_cost(freqs));
    }
}

TEST(HuffmanLengths, SkewedFrequenciesStayWithinTheLimit)
{
    // Fibonacci weights drive an unrestricted code to n - 1 bits.
    std::vector<uint32_t> freqs(40);
    uint32_t a = 1, b = 1;
    for (auto& f : freqs) {
        f = a;
        uint32_t c = a + b;
        a = b;
        b = c > 100000000 ? 100000000 : c;
    }
    for (unsigned limit : {16u, 12u, 9u, 7u, 6u}) {
        std::vector<uint8_t> lengths = packer::huffman_lengths(freqs, limit);
        EXPECT_LE(*std::max_element(lengths.begin(), lengths.end()), limit);
        EXPECT_EQ(kraft(lengths), 65536u) << limit;
        for (uint8_t len : lengths)
            EXPECT_GE(len, 1);
    }
    // A limit that cannot hold the alphabet is widened, never over-full.
    std::vector<uint32_t> many(21, 1);
    std::vector<uint8_t> lengths = packer::huffman_lengths(many, 4);
    EXPECT_LE(kraft(lengths), 65536u);
    EXPECT_EQ(*std::max_element(lengths.begin(), lengths.end()), 5);
}

TEST(HuffmanLengths, DegenerateAlphabets)
{
    EXPECT_EQ(packer::huffman_lengths({0, 0, 0}), (std::vector<uint8_t>{0, 0, 0}));
    EXPECT_EQ(packer::huffman_lengths({0, 7, 0}), (std::vector<uint8_t>{0, 1, 0}));
    EXPECT_EQ(packer::huffman_lengths({3, 0, 1000000}), (std::vector<uint8_t>{1, 0, 1}));
}

TEST(CanonicalCodes, MatchTheDecodersCodeBuilder)
{
    // The example of RFC 1951: lengths 3,3,3,3,3,2,4,4 give F=00 ... H=1111.
    std::vector<uint8_t> lengths = {3, 3, 3, 3, 3, 2, 4, 4};
    std::vector<uint32_t> codes = packer::canonical_codes(lengths);
    EXPECT_EQ(codes[5], 0u);        // 00
    EXPECT_EQ(codes[0], 0b010u);    // 010 reversed is 010
    EXPECT_EQ(codes[1], 0b110u);    // 011 reversed
    EXPECT_EQ(codes[6], 0b0111u);   // 1110 reversed
    EXPECT_EQ(codes[7], 0b1111u);

    std::mt19937 rng(11);
    for (int round = 0; round < 20; round++) {
        std::vector<uint32_t> freqs(288);
        for (auto& f : freqs)
            f = rng() % 3 == 0 ? 0 : rng() % 5000;
        std::vector<uint8_t> l = packer::huffman_lengths(freqs, 15);
        std::vector<uint32_t> mine = packer::canonical_codes(l);
        std::vector<u32> theirs(l.size(), 0xFFFFFFFFu);
        ASSERT_EQ(assign_codes(theirs.data(), l.data(), (u32)l.size()), 0u);
        for (size_t s = 0; s < l.size(); s++)
            if (l[s] != 0) {
                EXPECT_EQ(mine[s], theirs[s]) << s;
            }
    }
}

// Writes a block header followed by a code-length transmission to a file and
// reads the lengths back through the decoder.
class CodeLengthsRoundTrip : public ::testing::Test {
protected:
    // Returns the decoder's rows, or an empty vector when it failed.
    std::vector<uint8_t> round_trip(const std::vector<uint8_t>& rows, unsigned W, unsigned R,
                                     uint64_t* bits_ret = nullptr)
    {
        std::vector<uint8_t> bytes;
        BitWriter out(bytes);
        size_t start = packer::begin_block(out, METHOD_LZ, true, 0);
        uint64_t before = out.bit_count();
        packer::write_code_lengths(out, rows, W, R);
        uint64_t written = out.bit_count() - before;
        EXPECT_EQ(written, packer::code_lengths_cost(rows, W, R));
        if (bits_ret)
            *bits_ret = written;
        packer::finish_block(out, start);
        if (!engine.load(bytes) || engine.begin_block(false) < 0)
            return {};
        std::vector<uint8_t> back((size_t)W * R, 0xEE);
        if (read_code_lengths(engine.d, back.data(), W, R, 0) != 0)
            return {};
        return back;
    }

    testutil::Engine engine;
};

std::vector<uint8_t> lengths_for(std::mt19937& rng, size_t n, unsigned limit, int zero_share)
{
    std::vector<uint32_t> freqs(n);
    for (auto& f : freqs)
        f = (int)(rng() % 100) < zero_share ? 0 : 1 + (rng() % 64) * (rng() % 64);
    return packer::huffman_lengths(freqs, limit);
}

TEST_F(CodeLengthsRoundTrip, SingleRows)
{
    std::mt19937 rng(3);
    for (int zero_share : {0, 10, 50, 90, 100}) {
        std::vector<uint8_t> rows = lengths_for(rng, 344, 16, zero_share);
        EXPECT_EQ(round_trip(rows, 344, 1), rows) << zero_share;
    }
    // Every length 0..16 and every difference between neighbours.
    std::vector<uint8_t> all;
    for (int a = 0; a <= 16; a++)
        for (int b = 0; b <= 16; b++) {
            all.push_back((uint8_t)a);
            all.push_back((uint8_t)b);
        }
    EXPECT_EQ(round_trip(all, (unsigned)all.size(), 1), all);
    std::vector<uint8_t> bwt = lengths_for(rng, 258, 16, 30);
    EXPECT_EQ(round_trip(bwt, 258, 1), bwt);
}

TEST_F(CodeLengthsRoundTrip, ManyRowsCodedAgainstTheRowAbove)
{
    std::mt19937 rng(5);
    // Rows that drift slowly, rows that are unrelated, and rows with holes:
    // differences against the row above, against the running length where
    // the row above has no code, and repeats of both.
    for (unsigned R : {2u, 7u, 63u}) {
        std::vector<uint8_t> rows;
        std::vector<uint8_t> row = lengths_for(rng, 372, 16, 20);
        for (unsigned r = 0; r < R; r++) {
            for (auto& len : row) {
                unsigned pick = rng() % 10;
                if (pick == 0)
                    len = 0;
                else if (pick == 1)
                    len = 1 + rng() % 16;
            }
            if (r % 5 == 4)
                row = lengths_for(rng, 372, 16, 40);
            rows.insert(rows.end(), row.begin(), row.end());
        }
        EXPECT_EQ(round_trip(rows, 372, R), rows) << R;
    }
}

TEST_F(CodeLengthsRoundTrip, RunsAreCheap)
{
    // Long runs of zeros and of unchanged lengths, including runs that end
    // exactly at the end of the transmission.
    std::vector<uint8_t> rows(344 * 3, 0);
    for (size_t i = 0; i < 256; i++)
        rows[i] = 8;
    for (size_t i = 288; i < 300; i++)
        rows[i] = 5;
    for (size_t i = 344; i < 344 + 300; i++)
        rows[i] = rows[i - 344];
    // A row that differs from the one above only where that had no code.
    for (size_t i = 688; i < 1032; i++)
        rows[i] = rows[i - 344] != 0 ? rows[i - 344] : 9;
    uint64_t bits = 0;
    EXPECT_EQ(round_trip(rows, 344, 3, &bits), rows);
    EXPECT_LT(bits, 250u);

    std::vector<uint8_t> zeros(372 * 4, 0);
    EXPECT_EQ(round_trip(zeros, 372, 4, &bits), zeros);
    EXPECT_LT(bits, 5u * 21 + 20);
    std::vector<uint8_t> same(258, 16);
    EXPECT_EQ(round_trip(same, 258, 1), same);
}

}  // namespace
