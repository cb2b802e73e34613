// BWT blocks from the archiver decoded by the extractor's own block fetch:
// the transform with its end marker, the move-to-front runs, SYM_ORIGIN and
// the fitted tables with their selectors must all read back to the block's
// bytes, for the smallest blocks, degenerate ones and the largest allowed.
#include <gtest/gtest.h>

#include "codec/input_stream.h"
#include "packer/block_writer.h"
#include "tests/engine.h"
#include "test_util.h"

namespace {

using testutil::Bytes;

const uint8_t signature[6] = {'Q', 'V', 'X', 'L', 'H', 0};

Bytes bwt_stream(const std::vector<Bytes>& blocks, int level)
{
    Bytes stream(signature, signature + 6);
    packer::BitWriter w(stream);
    packer::BwtOptions options;
    options.level = level;
    for (size_t i = 0; i < blocks.size(); i++)
        packer::encode_bwt_block(w, blocks[i].data(), (uint32_t)blocks[i].size(), i + 1 == blocks.size(), options);
    return stream;
}

// Encodes each block, decodes them in order with next_block and compares.
void expect_round_trip(const std::vector<Bytes>& blocks, int level = 6)
{
    Bytes stream = bwt_stream(blocks, level);
    testutil::Engine session(stream);
    ASSERT_TRUE(session.ok());
    for (size_t i = 0; i < blocks.size(); i++) {
        Bytes out;
        ASSERT_EQ(session.block(out), 0) << "block " << i;
        ASSERT_EQ(out.size(), blocks[i].size()) << "block " << i;
        ASSERT_TRUE(out == blocks[i]) << "block " << i << " of " << blocks[i].size() << " bytes differs";
    }
    EXPECT_EQ(session.d->stream.last_block, 1);
}

// The header's fields of the block that starts at byte `at`.
BlockHeader header_at(const Bytes& stream, size_t at)
{
    uint8_t bytes[8] = {0};
    for (size_t i = 0; i < 8 && at + i < stream.size(); i++)
        bytes[i] = stream[at + i];
    BlockHeader h;
    parse_block_header(bytes, &h);
    return h;
}

TEST(BwtEncoder, TinyBlocks)
{
    // 0 bytes codes only SYM_ORIGIN; 1 and 2 bytes put the origin at the
    // end or in the middle of the last column.
    expect_round_trip({Bytes{}});
    expect_round_trip({Bytes{0x00}});
    expect_round_trip({Bytes{0xFF}});
    expect_round_trip({Bytes{0x62, 0x61}});
    expect_round_trip({Bytes{0x61, 0x62}});
    expect_round_trip({Bytes{0x00, 0x00}});
    expect_round_trip({Bytes{0xFF, 0x00}});
    for (int n = 3; n < 40; n++)
        expect_round_trip({testutil::random_bytes(n, n)});
}

TEST(BwtEncoder, EqualBytesAndRuns)
{
    // Long runs of the front byte are bijective base-2 digit strings; the
    // byte 0 starts at the front of the list, 0x41 does not.
    for (uint8_t b : {0x00, 0x41, 0xFF})
        for (size_t n : {1u, 2u, 3u, 5u, 6u, 49u, 50u, 51u, 100000u})
            expect_round_trip({Bytes(n, b)});
    Bytes runs;
    for (int i = 0; i < 3000; i++)
        runs.insert(runs.end(), 1 + (i * 37) % 300, (uint8_t)(i % 5 == 0 ? 0 : i * 11));
    expect_round_trip({runs});
}

TEST(BwtEncoder, TextRandomAndMixedData)
{
    for (int level : {1, 6, 9}) {
        expect_round_trip({testutil::text_bytes(300000, 1)}, level);
        expect_round_trip({testutil::random_bytes(200000, 2)}, level);
    }
    // Changing statistics make several tables pay off, so selectors other
    // than 0 and the table list's reordering are exercised.
    Bytes mixed;
    for (int part = 0; part < 8; part++) {
        Bytes p = part % 2 ? testutil::random_bytes(20000, part) : testutil::text_bytes(20000, part);
        if (part % 4 == 2)
            p.assign(20000, (uint8_t)part);
        mixed.insert(mixed.end(), p.begin(), p.end());
    }
    expect_round_trip({mixed}, 9);
    Bytes stream = bwt_stream({mixed}, 9);
    // Table count: bits 11 to 13 after the 45-bit header, i.e. bits 53 to 55.
    unsigned tables = (stream[6 + 6] >> 5) & 7;
    EXPECT_GE(tables, 2u);
}

TEST(BwtEncoder, CompressesAndFramesTheBlock)
{
    Bytes text = testutil::text_bytes(500000, 4);
    Bytes stream = bwt_stream({text}, 6);
    EXPECT_LT(stream.size(), text.size() / 2);
    BlockHeader h = header_at(stream, 6);
    EXPECT_EQ(h.method, (u32)METHOD_BWT);
    EXPECT_EQ(h.last, 1u);
    EXPECT_EQ(h.output_length, text.size());
    EXPECT_EQ(h.stored_length, stream.size() - 6);
}

TEST(BwtEncoder, SeveralBlocksInOneStream)
{
    expect_round_trip({testutil::text_bytes(70000, 5), Bytes{}, Bytes{7}, testutil::random_bytes(1000, 6),
                       testutil::text_bytes(100, 7)});
}

TEST(BwtEncoder, LargestBlock)
{
    Bytes text = testutil::text_bytes(MAX_BLOCK_OUTPUT, 8);
    for (size_t i = 0; i < text.size(); i += 4099)
        text[i] = (uint8_t)i;
    expect_round_trip({text});
    expect_round_trip({Bytes(MAX_BLOCK_OUTPUT, 0xAA)});
}

}  // namespace
