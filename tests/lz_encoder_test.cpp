// LZ blocks written by the archiver decode through the real decoder to the
// original bytes, for every feature the encoder uses: all levels, recent and
// short distances, long lengths, history from earlier blocks, several table
// sets, both distance-alphabet counts, the fixed set at both extents, and
// delta regions whose difference form is what the decoder keeps as history.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <random>

#include "codec/input_stream.h"
#include "codec/lz_decoder.h"
#include "codec/solid_stream.h"
#include "packer/block_writer.h"
#include "packer/lz_delta.h"
#include "packer/lz_symbols.h"
#include "tests/engine.h"
#include "test_util.h"

namespace {

using packer::BitWriter;
using testutil::Bytes;

// Synthetic machine code: a few instruction shapes with varying operands and
// call targets, repeated with small changes, as in real executables.
Bytes code_like(size_t n, uint32_t seed)
{
    std::mt19937 rng(seed);
    Bytes out;
    std::vector<Bytes> snippets;
    for (int i = 0; i < 40; i++) {
        Bytes s;
        int len = 4 + rng() % 24;
        for (int j = 0; j < len; j++)
            s.push_back((uint8_t)(rng() % 3 == 0 ? rng() : "\x8b\x45\x89\xe8\x83\xc4\x50\x55\x5d\xc3"[rng() % 10]));
        snippets.push_back(s);
    }
    while (out.size() < n) {
        const Bytes& s = snippets[rng() % snippets.size()];
        out.insert(out.end(), s.begin(), s.end());
        if (rng() % 4 == 0) {
            uint32_t target = (uint32_t)(0x401000 + rng() % 65536);
            out.push_back(0xE8);
            for (int k = 0; k < 4; k++)
                out.push_back((uint8_t)(target >> (8 * k)));
        }
    }
    out.resize(n);
    return out;
}

// 16-bit little-endian samples of a noisy tone, `channels` interleaved.
Bytes audio_like(size_t samples, unsigned channels, uint32_t seed)
{
    std::mt19937 rng(seed);
    Bytes out;
    for (size_t i = 0; i < samples; i++)
        for (unsigned c = 0; c < channels; c++) {
            double v = 9000 * std::sin(i * 0.01 * (c + 1)) + 3000 * std::sin(i * 0.0007) + (int)(rng() % 64) - 32;
            int16_t s = (int16_t)v;
            out.push_back((uint8_t)s);
            out.push_back((uint8_t)(s >> 8));
        }
    return out;
}

// Decodes blocks through the engine: the file holds one block, the buffer
// holds the history in front of it.
class LzRoundTrip : public ::testing::Test {
protected:

    // Encodes window[history, history + n) (rewriting delta regions in
    // place) and returns the block.
    Bytes encode(Bytes& window, uint32_t history, uint32_t n, int level, bool allow_delta = true)
    {
        Bytes block;
        BitWriter out(block);
        packer::LzOptions options;
        options.level = level;
        options.allow_delta = allow_delta;
        options.force = force;
        options.stats = &stats;
        options.optimal_passes = optimal_passes;
        options.parse = parse;
        packer::encode_lz_block(out, window.data(), history, n, true, 2, options);
        return block;
    }

    // Decodes block with the given history; returns the decoded bytes of the
    // block (regions undone) or sets *result to the decoder's result.
    Bytes decode(const Bytes& block, const Bytes& history, uint32_t n, i32* result = nullptr,
                 Bytes* buffer_ret = nullptr)
    {
        EXPECT_TRUE(engine.load(block));
        BlockHeader header;
        parse_block_header(block.data(), &header);
        EXPECT_EQ(header.method, (u32)METHOD_LZ);
        EXPECT_EQ(header.output_length, n);
        EXPECT_EQ(header.stored_length, block.size());
        EXPECT_EQ(engine.begin_block(true), 0);
        Bytes buffer(history);
        buffer.resize(history.size() + n + 8);
        i32 got = decode_lz_block(engine.d, buffer.data(), (u32)history.size(), n, 1);
        if (result)
            *result = got;
        EXPECT_EQ(got, (i32)n);
        if (buffer_ret)
            *buffer_ret = buffer;
        return Bytes(buffer.begin() + history.size(), buffer.begin() + history.size() + n);
    }

    // One block without history; returns the compressed size.
    size_t round_trip(const Bytes& data, int level, bool allow_delta = true)
    {
        Bytes window = data;
        Bytes block = encode(window, 0, (uint32_t)data.size(), level, allow_delta);
        EXPECT_EQ(decode(block, {}, (uint32_t)data.size()), data) << "level " << level;
        return block.size();
    }

    testutil::Engine engine;
    packer::LzForce force;       // passed to every encode
    packer::LzBlockStats stats;  // of the last block encoded
    unsigned optimal_passes = 1; // passed to every encode
    std::vector<packer::lz::Item>* parse = nullptr;  // passed to every encode
};

TEST_F(LzRoundTrip, EveryLevelOnTextCodeAndNoise)
{
    Bytes text = testutil::text_bytes(120000, 1);
    Bytes code = code_like(100000, 2);
    Bytes noise = testutil::random_bytes(50000, 3);
    for (int level = 1; level <= 9; level++) {
        size_t t = round_trip(text, level);
        EXPECT_LT(t, text.size() / 2) << level;
        EXPECT_LT(round_trip(code, level), code.size() * 3 / 4) << level;
        EXPECT_LT(round_trip(noise, level), noise.size() + noise.size() / 50) << level;
    }
    // A second shortest-path parse, priced by the first; going on from the
    // first one's kept parse gives the same block.
    for (const Bytes& data : {text, code}) {
        optimal_passes = 2;
        parse = nullptr;
        round_trip(data, 9);
        Bytes window = data;
        Bytes two_passes = encode(window, 0, (uint32_t)data.size(), 9);
        optimal_passes = 1;
        std::vector<packer::lz::Item> kept;
        parse = &kept;
        window = data;
        encode(window, 0, (uint32_t)data.size(), 9);
        EXPECT_FALSE(kept.empty());
        window = data;
        EXPECT_EQ(encode(window, 0, (uint32_t)data.size(), 9), two_passes);
    }
}

TEST_F(LzRoundTrip, TinyBlocks)
{
    for (uint32_t n : {0u, 1u, 2u, 3u, 5u, 17u}) {
        Bytes data = testutil::text_bytes(n, 9);
        for (int level : {1, 9})
            round_trip(data, level);
    }
    Bytes same(40, 'a');
    round_trip(same, 6);
}

TEST_F(LzRoundTrip, LongRunsUseLongLengths)
{
    Bytes data(100000, 0);
    for (size_t i = 50000; i < 50100; i++)
        data[i] = (uint8_t)i;
    Bytes tail(40000, 0x5A);
    data.insert(data.end(), tail.begin(), tail.end());
    for (int level : {1, 6, 9}) {
        EXPECT_LT(round_trip(data, level), 400u);
        EXPECT_GE(stats.long_matches, 3u);
    }
    // Exactly the longest match, and one byte more.
    for (uint32_t n : {1u + LZ_MAX_MATCH, 2u + LZ_MAX_MATCH, 3u + 2 * LZ_MAX_MATCH})
        round_trip(Bytes(n, 7), 6);
}

TEST_F(LzRoundTrip, RecentDistancesAreReused)
{
    // Records of 37 bytes whose fields change: the same distance recurs
    // between short literal runs.
    std::mt19937 rng(4);
    Bytes data;
    Bytes record(37);
    for (auto& b : record)
        b = (uint8_t)rng();
    for (int i = 0; i < 3000; i++) {
        record[rng() % 37] = (uint8_t)rng();
        data.insert(data.end(), record.begin(), record.end());
    }
    for (int level : {1, 6, 9}) {
        round_trip(data, level);
        EXPECT_GT(stats.recent_distances, 1000u) << level;
    }
}

TEST_F(LzRoundTrip, MatchesReachIntoHistory)
{
    // Block 2 repeats block 1 and text from far back in a big history.
    Bytes first = testutil::text_bytes(600000, 5);
    Bytes second(first.begin() + 1000, first.begin() + 60000);
    Bytes extra = testutil::random_bytes(20000, 6);
    second.insert(second.end(), extra.begin(), extra.end());
    second.insert(second.end(), extra.begin(), extra.end());
    Bytes window = first;
    window.insert(window.end(), second.begin(), second.end());
    for (int level : {1, 6, 9}) {
        Bytes w = window;
        Bytes block = encode(w, (uint32_t)first.size(), (uint32_t)second.size(), level);
        EXPECT_LT(block.size(), 20000u + 3000);
        Bytes history(w.begin(), w.begin() + first.size());
        EXPECT_EQ(decode(block, history, (uint32_t)second.size()), second);
    }
}

TEST_F(LzRoundTrip, SeveralTableSets)
{
    // Text, code and noise in turns: each calls for its own tables.
    Bytes data;
    for (int i = 0; i < 6; i++) {
        Bytes t = testutil::text_bytes(30000, 10 + i);
        Bytes c = code_like(30000, 20 + i);
        Bytes r = testutil::random_bytes(8000, 30 + i);
        data.insert(data.end(), t.begin(), t.end());
        data.insert(data.end(), c.begin(), c.end());
        data.insert(data.end(), r.begin(), r.end());
    }
    round_trip(data, 6);
    EXPECT_GT(stats.table_sets, 4u);
    // The most sets a block can carry, and sets switched every few symbols.
    for (int sets : {63, 40}) {
        force = {0, sets};
        Bytes small(data.begin(), data.begin() + (sets == 63 ? data.size() : 3000));
        round_trip(small, 6);
        EXPECT_EQ(stats.table_sets, (unsigned)sets);
    }
}

TEST_F(LzRoundTrip, BothDistanceAlphabetCounts)
{
    Bytes data = code_like(120000, 7);
    Bytes text = testutil::text_bytes(120000, 8);
    data.insert(data.end(), text.begin(), text.end());
    for (unsigned D : {2u, 3u}) {
        force = {D, -1};
        for (int level : {1, 6, 9}) {
            round_trip(data, level);
            EXPECT_EQ(stats.distance_alphabets, D);
        }
    }
}

TEST_F(LzRoundTrip, ShortMatchesKeepToTheirAlphabets)
{
    // Noise with 3-byte pieces copied from 20,000 bytes back: worth a match
    // at level 9, but with D = 3 a length-3 match reaches only 8192 back, so
    // those must go as literals. Pairs copied from 40 bytes back go through
    // alphabet 1.
    Bytes data = testutil::random_bytes(80000, 21);
    for (size_t i = 20000; i + 3 < data.size(); i += 9)
        memcpy(&data[i], &data[i - 20000], 3);
    for (size_t i = 100; i + 2 < data.size(); i += 9)
        if (i % 4 == 0)
            memcpy(&data[i + 4], &data[i + 4 - 40], 2);
    force = {3, -1};
    round_trip(data, 9);
    EXPECT_GT(stats.unsendable_matches, 100u);
    EXPECT_GT(stats.length2_matches, 100u);
    force = {2, -1};
    round_trip(data, 9);
    EXPECT_EQ(stats.unsendable_matches, 0u);
}

TEST_F(LzRoundTrip, FixedSetAtBothExtents)
{
    force = {0, 0};
    // Extents 8192 and below use the short distance set.
    for (uint32_t n : {100u, 8192u, 8193u, 30000u}) {
        Bytes data = testutil::text_bytes(n, n);
        round_trip(data, 6);
        EXPECT_EQ(stats.table_sets, 0u);
    }
    // History pushes the extent over 8192 while the block is small, and the
    // matches reach far back.
    Bytes window = testutil::text_bytes(20000, 40);
    Bytes block_bytes(window.begin() + 100, window.begin() + 2100);
    window.insert(window.end(), block_bytes.begin(), block_bytes.end());
    Bytes w = window;
    Bytes block = encode(w, 20000, 2000, 6);
    EXPECT_EQ(stats.table_sets, 0u);
    EXPECT_EQ(decode(block, Bytes(w.begin(), w.begin() + 20000), 2000), block_bytes);
    // Delta markers have codes in the fixed set too.
    Bytes audio = audio_like(3000, 1, 8);
    round_trip(audio, 6);
    EXPECT_GT(stats.markers, 0u);
    EXPECT_EQ(stats.table_sets, 0u);
    // Chosen by cost for a tiny block.
    force = packer::LzForce();
    round_trip(testutil::text_bytes(60, 3), 6);
    EXPECT_EQ(stats.table_sets, 0u);
}

TEST_F(LzRoundTrip, DeltaRegionsForStridedData)
{
    for (unsigned channels : {1u, 2u}) {
        Bytes audio = audio_like(40000, channels, channels);
        // Text in the middle must not be differenced.
        Bytes text = testutil::text_bytes(40000, 11);
        Bytes data(audio.begin(), audio.begin() + audio.size() / 2);
        data.insert(data.end(), text.begin(), text.end());
        data.insert(data.end(), audio.begin() + audio.size() / 2, audio.end());
        size_t with = round_trip(data, 6);
        EXPECT_GE(stats.markers, 3u);
        size_t without = round_trip(data, 6, false);
        EXPECT_EQ(stats.markers, 0u);
        EXPECT_LT(with, without * 9 / 10) << channels;
    }
    // Pixel rows of 3 bytes.
    Bytes pixels;
    for (int y = 0; y < 200; y++)
        for (int x = 0; x < 300; x++) {
            pixels.push_back((uint8_t)(x + y));
            pixels.push_back((uint8_t)(2 * x + (x * y) / 97));
            pixels.push_back((uint8_t)(100 + y / 2 + (x % 7)));
        }
    round_trip(pixels, 9);
    // Plain text gets no regions at all.
    round_trip(testutil::text_bytes(100000, 12), 6);
    EXPECT_EQ(stats.markers, 0u);
}

TEST_F(LzRoundTrip, DeltaHistoryIsWhatTheDecoderKeeps)
{
    // Three blocks of samples: each block's history is the encoder's
    // rewritten window, and the decoder's own re-encoding of its output
    // (delta_encode_tail) must produce the same bytes.
    Bytes audio = audio_like(150000, 2, 9);
    Bytes window = audio;
    const uint32_t n = 200000;
    for (uint32_t start = 0; start < window.size(); start += n) {
        uint32_t len = std::min<uint32_t>(n, (uint32_t)window.size() - start);
        Bytes block = encode(window, start, len, 6);
        EXPECT_GT(stats.markers, 0u);
        Bytes history(window.begin(), window.begin() + start);
        Bytes buffer;
        EXPECT_EQ(decode(block, history, len, nullptr, &buffer),
                  Bytes(audio.begin() + start, audio.begin() + start + len));
        Decoder* d = engine.d;
        d->stream.history = buffer.data();
        d->stream.kept = start + len;
        delta_encode_tail(d, start + len);
        d->stream.history = nullptr;  // not the engine's to free
        d->stream.kept = 0;
        EXPECT_TRUE(std::memcmp(buffer.data(), window.data(), start + len) == 0) << start;
    }
}

TEST_F(LzRoundTrip, MixedContentWithHistoryAtRandom)
{
    // Windows made of pieces of text, code, noise, runs and samples, cut at
    // random into history and block, at random levels and forced choices.
    std::mt19937 rng(77);
    for (int round = 0; round < 40; round++) {
        Bytes window;
        size_t target = 2000 + rng() % 150000;
        while (window.size() < target) {
            size_t n = 1 + rng() % 20000;
            Bytes piece;
            switch (rng() % 5) {
            case 0: piece = testutil::text_bytes(n, rng()); break;
            case 1: piece = code_like(n, rng()); break;
            case 2: piece = testutil::random_bytes(n % 3000, rng()); break;
            case 3: piece.assign(n, (uint8_t)rng()); break;
            default: piece = audio_like(n / 2, 1 + rng() % 2, rng()); break;
            }
            window.insert(window.end(), piece.begin(), piece.end());
        }
        uint32_t history = rng() % 2 ? 0 : (uint32_t)(rng() % window.size());
        uint32_t n = (uint32_t)window.size() - history;
        int level = 1 + rng() % 9;
        force = {rng() % 3 == 0 ? (unsigned)(2 + rng() % 2) : 0u, rng() % 4 == 0 ? (int)(rng() % 5) : -1};
        Bytes original(window.begin() + history, window.end());
        Bytes w = window;
        Bytes block = encode(w, history, n, level);
        EXPECT_EQ(decode(block, Bytes(w.begin(), w.begin() + history), n), original)
            << "round " << round << " level " << level << " history " << history;
    }
}

TEST(DeltaTransform, RegionsStartWhereTheirStrideHasBytesInFront)
{
    Bytes audio = audio_like(20000, 1, 5);
    Bytes w = audio;
    std::vector<packer::Marker> markers = packer::delta_transform(w.data(), 0, (uint32_t)w.size());
    ASSERT_FALSE(markers.empty());
    EXPECT_GE(markers[0].pos, markers[0].stride);
    for (size_t i = 1; i < markers.size(); i++)
        EXPECT_GE(markers[i].pos, markers[i - 1].pos);
    // Undo it as the decoder does.
    std::vector<u32> regions;
    for (const auto& m : markers)
        regions.push_back((m.stride << 24) | m.pos);
    delta_decode_regions(w.data(), (u32)w.size(), regions.data(), (u32)regions.size());
    EXPECT_EQ(w, audio);
}

}  // namespace
