// The LZ block decoder: blocks written bit by bit with chosen symbols, random
// valid blocks checked against a plain model of the format, the delta
// regions and their re-encoding, and damaged input (truncations, bit flips)
// that must end in a result code or a short result, never outside a buffer.

#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "codec/input_stream.h"
#include "codec/lz_decoder.h"
#include "codec/solid_stream.h"
#include "packer/block_writer.h"
#include "tests/lz_test_util.h"

using namespace lztest;
using testutil::Bytes;

namespace {

// A block with one table set written by hand: start(), symbols through
// lz, then decode().
struct HandBlock {
    Bytes image;
    packer::BitWriter w{image};
    TableSet set;
    LzWriter lz{w};
    size_t start = 0;
    uint32_t N;
    unsigned D;

    HandBlock(uint32_t n, unsigned d = 2, unsigned skew = 0) : set(full_table_set(d, skew)), lz(w, d), N(n), D(d)
    {
        start = start_lz_block(w, N, D, 1);
        write_plain_lengths(w, set.lengths, (unsigned)set.lengths.size(), 1);
        lz.use(&set);
    }
    i32 decode(Bytes& out, const Bytes& history = Bytes(), int apply = 1)
    {
        end_lz_block(w, start);
        return decode_image(engine, image, history, N, out, apply);
    }
    testutil::Engine engine;
};

Bytes output_of(const Bytes& buf, size_t H) { return Bytes(buf.begin() + H, buf.end()); }

}  // namespace

TEST(LzDecoder, LiteralsAndShortDistanceMatches)
{
    HandBlock b(14);
    b.lz.literal(41);
    b.lz.match(10, 1);  // ten more 41s
    b.lz.literal('x');
    b.lz.match(2, 2);   // "1x"... copies 41, 'x'
    Bytes out;
    ASSERT_EQ(b.decode(out), 14);
    Bytes expect(11, 41);
    expect.push_back('x');
    expect.push_back(41);
    expect.push_back('x');
    EXPECT_EQ(out, expect);
}

// Distance symbol 1 twice uses R1, then the earlier R0, and leaves both as
// they were; symbols 2..5 leave them alone.
TEST(LzDecoder, RecentDistances)
{
    Bytes history = testutil::random_bytes(100, 3);
    HandBlock b(12);
    b.lz.match(2, 40);      // R0 = 40
    b.lz.match(2, 30);      // R0 = 30, R1 = 40
    b.lz.match_symbol(2, 1);  // swap: 40
    b.lz.match_symbol(2, 1);  // swap back: 30
    b.lz.match(2, 3);         // short distance, no change
    b.lz.match_symbol(2, 0);  // R0 = 30 still
    Bytes out;
    ASSERT_EQ(b.decode(out, history), 12);
    Bytes model = history;
    for (uint32_t d : {40u, 30u, 40u, 30u, 3u, 30u}) {
        size_t p = model.size();
        model.push_back(model[p - d]);
        model.push_back(model[p + 1 - d]);
    }
    EXPECT_EQ(out, model);
}

// A recent distance of 0 (before any explicit distance) copies nothing and
// does not stall the decoder; neither does a distance beyond the position.
TEST(LzDecoder, DroppedMatches)
{
    HandBlock b(4);
    b.lz.literal(7);
    b.lz.match_symbol(5, 0);  // R0 = 0: dropped
    b.lz.match_symbol(5, 1);  // R1 = 0: dropped
    b.lz.match(3, 2);         // distance p + 1: dropped
    b.lz.match(3, 1);         // distance p: copies from position 0
    Bytes out;
    ASSERT_EQ(b.decode(out), 4);
    EXPECT_EQ(out, Bytes(4, 7));
}

TEST(LzDecoder, LongLengthAndMatchCutAtTheEnd)
{
    {
        HandBlock b(33027);
        b.lz.literal(9);
        b.lz.match(33026, 1);
        Bytes out;
        ASSERT_EQ(b.decode(out), 33027);
        EXPECT_EQ(out, Bytes(33027, 9));
    }
    {
        // The last match runs 100 bytes past H + N: cut there, result N.
        Bytes history = testutil::text_bytes(500, 2);
        HandBlock b(50);
        b.lz.match(150, 500);
        Bytes out;
        ASSERT_EQ(b.decode(out, history), 50);
        EXPECT_TRUE(std::equal(out.begin() + 500, out.end(), history.begin()));
    }
}

// Matches copy from the history in front of the block; the block's bytes
// start at H.
TEST(LzDecoder, MatchesReachIntoTheHistory)
{
    Bytes history = testutil::random_bytes(70000, 8);
    HandBlock b(300);
    b.lz.match(258, 70000);
    b.lz.match(42, 65536);
    Bytes out;
    ASSERT_EQ(b.decode(out, history), 300);
    EXPECT_TRUE(std::equal(out.begin() + 70000, out.begin() + 70258, history.begin()));
    EXPECT_TRUE(std::equal(out.begin() + 70258, out.end(), history.begin() + 70258 - 65536));
}

// Length 2 takes distance alphabet 1, length 3 alphabet 2 when D = 3 and
// alphabet 0 when D = 2. Each alphabet here has its own code shape, so a
// decoder that picks the wrong one decodes other distances.
TEST(LzDecoder, DistanceAlphabetByLength)
{
    for (unsigned D : {2u, 3u}) {
        Bytes history = testutil::random_bytes(10000, D);
        HandBlock b(2 + 3 + 3 + 4, D, 5);
        b.lz.match(2, 60);
        b.lz.match(3, 5000);
        b.lz.match(3, 7);
        b.lz.match(4, 9999);
        Bytes out;
        ASSERT_EQ(b.decode(out, history), 12) << D;
        Bytes model = history;
        for (auto m : {std::pair<int, int>{2, 60}, {3, 5000}, {3, 7}, {4, 9999}}) {
            size_t p = model.size();
            for (int i = 0; i < m.first; i++)
                model.push_back(model[p + i - m.second]);
        }
        EXPECT_EQ(out, model) << D;
    }
}

TEST(LzDecoder, SubHeaderChecks)
{
    for (unsigned sub : {0u, 1u, 5u, 3u, 4u | 0u}) {
        Bytes image;
        packer::BitWriter w(image);
        size_t start = packer::begin_block(w, METHOD_LZ, true, 10);
        w.put(0, 5);
        w.put(sub, 8);
        w.put(0, 32);
        packer::finish_block(w, start);
        Bytes out;
        // D = 0 and D = 1 (with any S), and D = 3 with the fixed set, are
        // refused.
        i32 r = decode_image(image, Bytes(), 10, out);
        unsigned D = sub & 3, S = sub >> 2;
        if (D < 2 || (D == 3 && S == 0)) {
            EXPECT_EQ(r, ERR_DAMAGED) << sub;
        }
    }
}

// Sub-header 2: the fixed set, no lengths read, with the short distance set
// up to an extent of 8192 and the long one above; the block ends by filling
// its N bytes.
TEST(LzDecoder, FixedSetByExtent)
{
    for (uint32_t N : {8192u, 8193u}) {
        TableSet set = fixed_table_set(N);
        Bytes image;
        packer::BitWriter w(image);
        size_t start = start_lz_block(w, N, 2, 0);
        LzWriter lz(w);
        lz.use(&set);
        for (int i = 0; i < 5000; i++)
            lz.literal((uint8_t)(i * 7));
        lz.match(N - 5000, 5000);
        end_lz_block(w, start);
        Bytes out;
        ASSERT_EQ(decode_image(image, Bytes(), N, out), (i32)N);
        for (uint32_t i = 5000; i < N; i++)
            ASSERT_EQ(out[i], out[i - 5000]);
    }
}

// Sub-header 59 (D = 3, S = 14): fourteen rows, thirteen switches, and a
// fourteenth SYM_END_OF_SET ends the block early. Each set has its own codes,
// so a switch that is missed garbles what follows.
TEST(LzDecoder, TableSetSwitches)
{
    std::vector<TableSet> sets;
    std::vector<uint8_t> rows;
    for (unsigned i = 0; i < 14; i++) {
        sets.push_back(full_table_set(3, i * 37));
        rows.insert(rows.end(), sets[i].lengths.begin(), sets[i].lengths.end());
    }
    Bytes image;
    packer::BitWriter w(image);
    size_t start = start_lz_block(w, 1000, 3, 14);
    write_plain_lengths(w, rows, 372, 14);
    LzWriter lz(w, 3);
    Bytes expect;
    for (unsigned i = 0; i < 14; i++) {
        lz.use(&sets[i]);
        lz.literal((uint8_t)i);
        lz.literal((uint8_t)(100 + i));
        expect.push_back((uint8_t)i);
        expect.push_back((uint8_t)(100 + i));
        lz.end_of_set();
    }
    lz.literal(0xFF);
    end_lz_block(w, start);
    EXPECT_EQ((image[6] >> 2 | image[7] << 6) & 0xFF, 59);  // the sub-header
    Bytes out;
    ASSERT_EQ(decode_image(image, Bytes(), 1000, out), 28);
    EXPECT_TRUE(std::equal(expect.begin(), expect.end(), out.begin()));
}

// The decoder leaves the cursor on the byte after the block's last bit.
TEST(LzDecoder, CursorEndsOnTheNextByte)
{
    HandBlock b(3);
    b.lz.literal(1);
    b.lz.literal(2);
    b.lz.literal(3);
    b.lz.literal(4);  // not read: the block is full
    end_lz_block(b.w, b.start);
    // Work out where the third literal ends with a second image.
    Bytes image2;
    packer::BitWriter w2(image2);
    start_lz_block(w2, 3, 2, 1);
    write_plain_lengths(w2, b.set.lengths, 344, 1);
    LzWriter lz2(w2);
    lz2.use(&b.set);
    lz2.literal(1);
    lz2.literal(2);
    lz2.literal(3);
    size_t expect_byte = (size_t)((w2.bit_count() + 7) / 8);

    testutil::Engine f(b.image);
    ASSERT_TRUE(f.ok());
    ASSERT_EQ(f.begin_block(true), 0);
    Bytes buf(3);
    ASSERT_EQ(decode_lz_block(f.d, buf.data(), 0, 3, 0), 3);
    EXPECT_EQ(f.d->input.bit_position, 0u);
    EXPECT_EQ((size_t)(f.d->input.cursor - f.d->input.buffer), expect_byte);
}

// A marker with stride 2 at position 100 and one with stride 0 at 110: bytes
// 100..109 become running sums at distance 2, the rest stay as decoded.
TEST(LzDecoder, DeltaRegionsAreUndoneAtTheEnd)
{
    Bytes history(90, 0);
    for (int i = 0; i < 90; i++)
        history[i] = (uint8_t)i;
    HandBlock b(40);
    for (int i = 0; i < 10; i++)
        b.lz.literal((uint8_t)(i + 1));
    b.lz.delta_mark(2);
    for (int i = 0; i < 10; i++)
        b.lz.literal(1);
    b.lz.delta_mark(0);
    b.lz.delta_mark(3);
    b.lz.delta_mark(0);  // empty stride-3 region (two markers at one place)
    for (int i = 0; i < 20; i++)
        b.lz.literal(5);
    Bytes out;
    ASSERT_EQ(b.decode(out, history), 40);
    ASSERT_EQ(b.engine.d->region_count, 4u);
    EXPECT_EQ(b.engine.d->region_table[0], (2u << 24) | 100);
    EXPECT_EQ(b.engine.d->region_table[1], 110u);
    for (int q = 100; q < 110; q++)
        EXPECT_EQ(out[q], (uint8_t)(out[q - 2] + 1)) << q;
    EXPECT_EQ(out[99], 10);
    for (int q = 110; q < 130; q++)
        EXPECT_EQ(out[q], 5);

    // Without apply_regions (the directory) nothing is recorded or applied.
    HandBlock c(3);
    c.engine.d->region_count = 77;
    c.lz.literal(1);
    c.lz.delta_mark(1);
    c.lz.literal(1);
    c.lz.literal(1);
    ASSERT_EQ(c.decode(out, Bytes(), 0), 3);
    EXPECT_EQ(out, Bytes(3, 1));
    EXPECT_EQ(c.engine.d->region_count, 77u);
}

// A block that ends early (here: SYM_END_OF_SET after its only set) applies
// its regions to what it wrote and leaves the bytes behind untouched.
TEST(LzDecoder, ShortBlockAppliesRegionsToItsBytesOnly)
{
    HandBlock b(100);
    b.lz.delta_mark(1);
    for (int i = 0; i < 10; i++)
        b.lz.literal(2);
    b.lz.end_of_set();
    b.lz.literal(9);
    Bytes out;
    ASSERT_EQ(b.decode(out), 10);
    for (int q = 0; q < 10; q++)
        EXPECT_EQ(out[q], q < 1 ? 2 : 2 * (q + 1)) << q;
    for (int q = 10; q < 100; q++)
        ASSERT_EQ(out[q], 0xEE) << q;
}

TEST(LzDecoder, TooManyDeltaMarkersAreRefused)
{
    HandBlock b(10);
    for (int i = 0; i < REGION_TABLE_SIZE + 1; i++)
        b.lz.delta_mark(1);
    b.lz.literal(1);
    Bytes out;
    EXPECT_EQ(b.decode(out), ERR_DAMAGED);
    EXPECT_EQ(b.engine.d->region_count, 0u);  // a failed block leaves no regions
}

// A region starting fewer than stride bytes into the buffer takes the
// missing bytes as 0; re-encoding mirrors it.
TEST(LzDecoder, RegionAtTheBufferStart)
{
    Bytes buf = {1, 2, 3, 4, 5, 6};
    const u32 regions[] = {(7u << 24) | 0};
    delta_decode_regions(buf.data(), 6, regions, 1);
    EXPECT_EQ(buf, (Bytes{1, 2, 3, 4, 5, 6}));
    const u32 regions2[] = {(2u << 24) | 1};
    delta_decode_regions(buf.data(), 6, regions2, 1);
    EXPECT_EQ(buf, (Bytes{1, 2, 4, 6, 9, 12}));
}

// delta_encode_tail with keep = fill restores the difference form of every
// region; with a smaller keep only the regions' parts in the last keep
// bytes, leaving the earlier bytes decoded.
TEST(LzDecoder, DeltaEncodeTailUndoesTheDecode)
{
    std::mt19937 rng(77);
    testutil::Engine engine;
    Decoder* d = engine.d;
    for (int round = 0; round < 200; round++) {
        uint32_t fill = 1 + rng() % 3000;
        Bytes coded = testutil::random_bytes(fill, round);
        std::vector<u32> regions;
        uint32_t pos = rng() % 10;
        while (pos < fill && regions.size() < 20) {
            regions.push_back(((rng() % 8) << 24) | pos);
            pos += rng() % 400;
        }
        Bytes decoded = coded;
        delta_decode_regions(decoded.data(), fill, regions.data(), (u32)regions.size());

        uint32_t keep = rng() % 2 ? fill + rng() % 10 : rng() % (fill + 1);
        Bytes buf = decoded;
        std::copy(regions.begin(), regions.end(), d->region_table);
        d->region_count = (u32)regions.size();
        d->stream.history = buf.data();
        d->stream.kept = fill;
        delta_encode_tail(d, keep);
        uint32_t b = keep < fill ? fill - keep : 0;
        for (uint32_t q = 0; q < fill; q++) {
            // Bytes in front of b keep their decoded form, all others are
            // back in the coded form.
            ASSERT_EQ(buf[q], q < b ? decoded[q] : coded[q]) << round << " " << q;
        }
    }
    d->stream.history = nullptr;  // not the engine's to free
}

// Random valid blocks against the model: fixed and transmitted sets, D = 2
// and 3, table-set switches, history, recent distances, long lengths and
// delta regions; some long enough to refill several times.
TEST(LzDecoder, RandomBlocksMatchTheModel)
{
    struct Case {
        RandomBlockOptions o;
        int count;
    };
    std::vector<Case> cases;
    auto add = [&](uint32_t history, uint32_t length, unsigned D, unsigned sets, bool delta, bool long_matches, int n) {
        RandomBlockOptions o;
        o.history = history;
        o.length = length;
        o.D = D;
        o.sets = sets;
        o.delta = delta;
        o.long_matches = long_matches;
        cases.push_back({o, n});
    };
    add(0, 3000, 2, 0, false, false, 10);
    add(5000, 3000, 2, 0, false, false, 10);
    add(20000, 5000, 2, 0, true, false, 10);
    add(0, 4000, 2, 1, false, false, 10);
    add(1000, 4000, 3, 3, true, false, 10);
    add(70000, 20000, 3, 5, true, true, 5);
    add(300000, 400000, 2, 7, true, true, 2);
    int seed = 1;
    testutil::Engine engine;
    for (auto& c : cases) {
        for (int i = 0; i < c.count; i++, seed++) {
            RandomBlock b = make_random_block(seed, c.o);
            Bytes out;
            ASSERT_EQ(decode_image(engine, b.image, b.history, b.N, out), (i32)b.N) << seed;
            ASSERT_EQ(out, b.expected) << seed;
            ASSERT_EQ(engine.d->region_count, b.regions.size());
        }
    }
}

TEST(LzDecoder, CancelAtATableSetSwitch)
{
    RandomBlockOptions o;
    o.sets = 2;
    RandomBlock b = make_random_block(3, o);
    testutil::Engine engine;
    engine.cancel = 1;
    Bytes out;
    EXPECT_EQ(decode_image(engine, b.image, b.history, b.N, out), ERR_CANCELLED);
}

// Damage: every truncation of a block, and random bit flips, give a result
// code or a short result. Under AddressSanitizer this also shows that no
// read leaves the input buffer and no write leaves the H + N bytes.
TEST(LzDecoder, TruncatedBlocksEndCleanly)
{
    for (unsigned sets : {0u, 2u}) {
        RandomBlockOptions o;
        o.history = 2000;
        o.length = 1500;
        o.sets = sets;
        o.D = sets == 0 ? 2 : 3;
        o.delta = sets == 2;
        RandomBlock b = make_random_block(sets + 10, o);
        for (size_t cut = 0; cut < b.image.size(); cut++) {
            Bytes image(b.image.begin(), b.image.begin() + cut);
            Bytes out;
            i32 r = decode_image(image, b.history, b.N, out);
            if (cut < 6) {
                EXPECT_EQ(r, ERR_DAMAGED);
                continue;
            }
            // A cut inside the last byte may still leave N bytes (the
            // missing bits read as zeros).
            ASSERT_TRUE(r == ERR_END_OF_DATA || r == ERR_DAMAGED || (r >= 0 && (uint32_t)r <= b.N))
                << cut << " " << r;
            // Every symbol that lies wholly before the cut is decoded right
            // (a symbol that straddles it reads zeros for its missing bits).
            uint32_t good = (uint32_t)b.history.size();
            for (auto& mark : b.progress)
                if (mark.first <= cut * 8)
                    good = mark.second;
            if (r >= 0 && b.regions.empty()) {
                ASSERT_GE(b.history.size() + r, good) << cut;
                ASSERT_TRUE(std::equal(out.begin(), out.begin() + good, b.expected.begin())) << cut;
            }
        }
    }
}

TEST(LzDecoder, BitFlipsEndCleanly)
{
    std::mt19937 rng(99);
    for (int round = 0; round < 300; round++) {
        RandomBlockOptions o;
        o.history = rng() % 2 ? 0 : 3000;
        o.length = 500 + rng() % 3000;
        o.sets = rng() % 4;
        o.D = o.sets == 0 ? 2 : 2 + rng() % 2;
        o.delta = true;
        o.long_matches = true;
        RandomBlock b = make_random_block(round + 500, o);
        Bytes image = b.image;
        int flips = 1 + rng() % 8;
        for (int i = 0; i < flips; i++) {
            size_t bit = 50 + rng() % (image.size() * 8 - 50);  // keep the header
            image[bit / 8] ^= (uint8_t)(1u << (bit % 8));
        }
        Bytes out;
        i32 r = decode_image(image, b.history, b.N, out);
        ASSERT_TRUE(r == ERR_DAMAGED || r == ERR_END_OF_DATA || (r >= 0 && (uint32_t)r <= b.N)) << round << " " << r;
    }
}

// Blocks of the archiver's LZ encoder decode to the original bytes.
TEST(LzDecoder, EncoderBlocksDecode)
{
    Bytes history = testutil::text_bytes(40000, 5);
    Bytes data = testutil::text_bytes(60000, 6);
    Bytes bin = testutil::random_bytes(3000, 6);
    data.insert(data.begin() + 30000, bin.begin(), bin.end());
    Bytes window = history;
    window.insert(window.end(), data.begin(), data.end());
    Bytes image;
    packer::BitWriter w(image);
    packer::encode_lz_block(w, window.data(), (uint32_t)history.size(), (uint32_t)data.size(), true, 2,
                            packer::LzOptions());
    Bytes out;
    ASSERT_EQ(decode_image(image, history, (uint32_t)data.size(), out), (i32)data.size());
    EXPECT_EQ(output_of(out, history.size()), data);
}
