// The compressed input stream: block header fields, the fill and carry
// sequence over a long block, stored copies, the way short and damaged
// blocks end, and the one-piece load of directory pieces.

#include <gtest/gtest.h>

#include <cstring>

#include "codec/huffman_decode.h"
#include "codec/input_stream.h"
#include "codec/solid_stream.h"
#include "packer/block_writer.h"
#include "tests/lz_test_util.h"


using testutil::Bytes;

namespace {

const uint8_t kExampleHeader[8] = {0x51, 0x7B, 0x8D, 0x78, 0x59, 0x24, 0xEC, 0x80};

// A block image: the example's 8 header bytes (stored length 142,524) and
// then deterministic filler up to the stored length, plus `tail` bytes.
Bytes example_block(size_t tail = 0)
{
    Bytes b = testutil::random_bytes(142524 + tail, 7);
    std::memcpy(b.data(), kExampleHeader, 8);
    return b;
}

Bytes stored_stream(const std::vector<Bytes>& blocks)
{
    Bytes out;
    packer::BitWriter w(out);
    for (size_t i = 0; i < blocks.size(); i++)
        packer::encode_stored_block(w, blocks[i].data(), (uint32_t)blocks[i].size(), i + 1 == blocks.size());
    return out;
}

}  // namespace

TEST(InputStream, HeaderOfTheExampleBytes)
{
    BlockHeader h;
    parse_block_header(kExampleHeader, &h);
    EXPECT_EQ(h.method, 1u);
    EXPECT_EQ(h.last, 1u);
    EXPECT_EQ(h.output_length, 289754u);
    EXPECT_EQ(h.stored_length, 142524u);
    // The window selector follows at bits 45..49.
    uint32_t hi = load_le32(kExampleHeader + 4);
    EXPECT_EQ((hi >> 13) & 3, 1u);  // row
    EXPECT_EQ((hi >> 15) & 7, 0u);  // column
}

TEST(InputStream, HeaderRoundTripsThroughTheBlockWriter)
{
    Bytes out;
    packer::BitWriter w(out);
    size_t start = packer::begin_block(w, METHOD_BWT, false, 1048575);
    w.align();
    out.resize(1000);
    packer::finish_block(w, start);
    BlockHeader h;
    parse_block_header(out.data(), &h);
    EXPECT_EQ(h.method, 2u);
    EXPECT_EQ(h.last, 0u);
    EXPECT_EQ(h.output_length, 1048575u);
    EXPECT_EQ(h.stored_length, 1000u);
}

// Reading the example block as a decoder would: the fills are 61,424,
// 61,424 and 19,668 bytes, the end mark stands 8 bytes before the valid
// end while more is in the file, and the bytes under the cursor are always
// the block's bytes in order.
TEST(InputStream, LongBlockFillsAndCarry)
{
    Bytes file = example_block(100);
    testutil::Engine f(file);
    Decoder* d = f.d;
    ASSERT_TRUE(f.ok());
    ASSERT_EQ(stream_begin_block(d), 0);
    EXPECT_EQ(d->input.file_position, 8 + 61424);
    EXPECT_EQ(d->input.resume_position, 8 + 61424);
    EXPECT_EQ(d->input.end_mark, d->input.buffer + 8 + 61424 - 8);
    EXPECT_EQ(d->input.cursor, d->input.buffer);
    EXPECT_EQ(d->input.bit_position, 0u);
    EXPECT_EQ(0, std::memcmp(d->input.buffer, file.data(), 8 + 61424));

    const uint32_t fills[] = {61424, 19668};
    size_t block_offset = 0;  // block offset of the buffer start
    for (int i = 0; i < 2; i++) {
        // Run 5 bytes and 3 bits past the end mark, as a decoder may.
        d->input.cursor = d->input.end_mark + 5;
        d->input.bit_position = 3;
        block_offset += (size_t)(d->input.end_mark - d->input.buffer);
        int32_t before = d->input.file_position;
        ASSERT_EQ(stream_refill(d), 0);
        EXPECT_EQ((uint32_t)(d->input.file_position - before), fills[i]);
        EXPECT_EQ(d->input.cursor, d->input.buffer + 5);
        EXPECT_EQ(d->input.bit_position, 3u);
        EXPECT_EQ(0, std::memcmp(d->input.buffer, file.data() + block_offset, 8 + fills[i]));
        uint32_t held = i == 0 ? 8 : 0;
        EXPECT_EQ(d->input.end_mark, d->input.buffer + 8 + fills[i] - held);
    }
    EXPECT_EQ(d->input.block_remaining, 0u);
    EXPECT_EQ(block_offset + 8 + 19668, 142524u);
    d->input.cursor = d->input.end_mark;
    EXPECT_EQ(stream_refill(d), ERR_END_OF_DATA);
}

// A fill that would end the block exactly at the last of 61,424 bytes stops
// one byte short: a decoder's load beyond the spare bytes must stay in the
// buffer. The block's bytes all arrive.
TEST(InputStream, FinalFullFillKeepsTheReadAheadInside)
{
    Bytes file;
    packer::BitWriter w(file);
    size_t start = packer::begin_block(w, METHOD_LZ, true, 100);
    Bytes body = testutil::random_bytes(8 + 61424 - 6, 3);
    w.align();
    file.insert(file.end(), body.begin(), body.end());
    packer::finish_block(w, start);
    BlockHeader h;
    parse_block_header(file.data(), &h);
    ASSERT_EQ(h.stored_length, 8u + 61424u);
    testutil::Engine f(file);
    Decoder* d = f.d;
    ASSERT_TRUE(f.ok());
    ASSERT_EQ(stream_begin_block(d), 0);
    EXPECT_LE(d->input.end_mark + INPUT_READ_AHEAD, d->input.buffer + INPUT_BUFFER_SIZE);
    EXPECT_EQ(d->input.block_remaining, 1u);
    d->input.cursor = d->input.end_mark + 8;
    ASSERT_EQ(stream_refill(d), 0);
    EXPECT_EQ(d->input.block_remaining, 0u);
    EXPECT_EQ(d->input.end_mark, d->input.buffer + 9);
    EXPECT_EQ(0, std::memcmp(d->input.buffer, file.data() + file.size() - 9, 9));
}

// A stored length that reaches past the end of the file: every real byte is
// handed out, then the refill fails instead of succeeding without progress.
TEST(InputStream, FileEndingInsideABlockStopsTheReader)
{
    Bytes file = example_block();
    file.resize(70000);
    testutil::Engine f(file);
    Decoder* d = f.d;
    ASSERT_TRUE(f.ok());
    ASSERT_EQ(stream_begin_block(d), 0);
    size_t seen = 0;
    int refills = 0;
    for (;;) {
        seen += (size_t)(d->input.end_mark - d->input.cursor);
        d->input.cursor = d->input.end_mark;
        ResultCode r = stream_refill(d);
        if (r < 0) {
            EXPECT_EQ(r, ERR_END_OF_DATA);
            break;
        }
        ASSERT_LT(++refills, 10);
    }
    EXPECT_EQ(seen, file.size());
}

TEST(InputStream, RefillHonoursCancelAndRejectsAStrayCursor)
{
    Bytes file = example_block();
    testutil::Engine f(file);
    Decoder* d = f.d;
    ASSERT_TRUE(f.ok());
    ASSERT_EQ(stream_begin_block(d), 0);
    d->input.cursor = d->input.end_mark;
    f.cancel = 1;
    EXPECT_EQ(stream_refill(d), ERR_CANCELLED);
    f.cancel = 0;
    d->input.cursor = d->input.end_mark + 9;
    EXPECT_EQ(stream_refill(d), ERR_DAMAGED);
    d->input.cursor = d->input.end_mark - 1;
    EXPECT_EQ(stream_refill(d), ERR_DAMAGED);
}

// Stored blocks: the bytes start at byte 6 whatever bits 45..47 hold; what
// is not buffered comes straight from the file; the next block is found at
// the resume position even after the file moved elsewhere.
TEST(InputStream, StoredBlocksAcrossTheBuffer)
{
    Bytes a = testutil::random_bytes(150000, 11);
    Bytes b = testutil::text_bytes(5000, 12);
    Bytes file = stored_stream({a, b});
    file[5] |= 0xE0;  // junk in bits 45..47
    testutil::Engine f(file);
    Decoder* d = f.d;
    ASSERT_TRUE(f.ok());

    ASSERT_EQ(stream_begin_block(d), 0);
    BlockHeader h;
    parse_block_header(d->input.cursor, &h);
    EXPECT_EQ(h.method, 0u);
    EXPECT_EQ(h.output_length, 150000u);
    advance_bits(d->input.cursor, d->input.bit_position, BLOCK_HEADER_BITS);
    Bytes got(150000);
    EXPECT_EQ(stream_read_stored(d, got.data(), 150000), 150000);
    EXPECT_EQ(got, a);
    d->input.resume_position = d->input.file_position;
    d->stream.history_valid = 1;

    // Something else moves the file (a directory piece); the next block is
    // read where the stream left off.
    file_seek(d->file, 3, SEEK_FROM_START);
    d->input.file_position = 3;
    ASSERT_EQ(stream_begin_block(d), 0);
    parse_block_header(d->input.cursor, &h);
    EXPECT_EQ(h.output_length, 5000u);
    EXPECT_EQ(h.last, 1u);
    advance_bits(d->input.cursor, d->input.bit_position, BLOCK_HEADER_BITS);
    got.assign(5000, 0);
    EXPECT_EQ(stream_read_stored(d, got.data(), 5000), 5000);
    EXPECT_EQ(got, b);
    d->stream.history_valid = 0;
}

TEST(InputStream, StoredBlockCutByTheFileYieldsFewerBytes)
{
    Bytes a = testutil::random_bytes(100000, 5);
    Bytes file = stored_stream({a});
    file.resize(6 + 80000);
    testutil::Engine f(file);
    Decoder* d = f.d;
    ASSERT_TRUE(f.ok());
    ASSERT_EQ(stream_begin_block(d), 0);
    advance_bits(d->input.cursor, d->input.bit_position, BLOCK_HEADER_BITS);
    Bytes got(100000);
    EXPECT_EQ(stream_read_stored(d, got.data(), 100000), 80000);
    EXPECT_TRUE(std::equal(got.begin(), got.begin() + 80000, a.begin()));
}

// Blocks of fewer than 8 bytes: the 8-byte header read takes bytes of the
// next block with it. A stream may still hold such a block before its last
// one (an empty or one-byte stored block); the next header is then read
// where the block really ends.
TEST(InputStream, ShortBlocksInsideAStream)
{
    Bytes one = {0x42};
    Bytes empty;
    Bytes two = {1, 2};
    Bytes tail = testutil::text_bytes(300, 1);
    Bytes file = stored_stream({one, empty, two, tail});
    testutil::Engine f(file);
    Decoder* d = f.d;
    ASSERT_TRUE(f.ok());
    const Bytes* expect[] = {&one, &empty, &two, &tail};
    for (int i = 0; i < 4; i++) {
        ASSERT_EQ(stream_begin_block(d), 0) << i;
        BlockHeader h;
        parse_block_header(d->input.cursor, &h);
        ASSERT_EQ(h.method, 0u);
        ASSERT_EQ(h.output_length, expect[i]->size()) << i;
        advance_bits(d->input.cursor, d->input.bit_position, BLOCK_HEADER_BITS);
        Bytes got(expect[i]->size());
        EXPECT_EQ(stream_read_stored(d, got.data(), (uint32_t)got.size()), (int32_t)got.size());
        EXPECT_EQ(got, *expect[i]);
        d->input.resume_position = d->input.file_position;
        d->stream.history_valid = 1;
    }
    d->stream.history_valid = 0;
}

TEST(InputStream, BlockStartFailures)
{
    {
        Bytes file = {0x50, 0, 0, 0, 0};  // 5 bytes: no whole header
        testutil::Engine f(file);
        Decoder* d = f.d;
        ASSERT_TRUE(f.ok());
        EXPECT_EQ(stream_begin_block(d), ERR_DAMAGED);
    }
    {
        // Stored length 3, not last, with more bytes behind it: a header
        // alone takes 6 bytes, so the block's end cannot be right.
        Bytes file(20, 0);
        store_le32(file.data() + 3, 3u << 1);
        testutil::Engine f(file);
        Decoder* d = f.d;
        ASSERT_TRUE(f.ok());
        EXPECT_EQ(stream_begin_block(d), ERR_DAMAGED);
    }
    {
        // The same as the stream's last block is read as it stands.
        Bytes file(8, 0);
        file[0] = 0x10;
        store_le32(file.data() + 3, 3u << 1);
        testutil::Engine f(file);
        Decoder* d = f.d;
        ASSERT_TRUE(f.ok());
        EXPECT_EQ(stream_begin_block(d), 0);
        EXPECT_EQ(d->input.block_remaining, 0u);
        EXPECT_EQ(d->input.end_mark, d->input.buffer + 16);
    }
}

TEST(InputStream, LoadOnceReadsOnePiece)
{
    Bytes file = testutil::random_bytes(20000, 9);
    testutil::Engine f(file);
    Decoder* d = f.d;
    ASSERT_TRUE(f.ok());
    file_seek(d->file, 100, SEEK_FROM_START);
    d->input.file_position = 100;
    EXPECT_EQ(stream_load_once(d, 8184), 8184);
    EXPECT_EQ(d->input.file_position, 100 + 8184);
    EXPECT_EQ(d->input.cursor, d->input.buffer);
    EXPECT_EQ(d->input.end_mark, d->input.buffer + 8184 + 8);
    EXPECT_EQ(0, std::memcmp(d->input.buffer, file.data() + 100, 8184));
    d->input.cursor = d->input.end_mark;
    EXPECT_EQ(stream_refill(d), ERR_END_OF_DATA);
    // Near the end of the file the piece is shorter.
    EXPECT_EQ(stream_load_once(d, 8184), 8184);
    EXPECT_EQ(stream_load_once(d, 8184), 20000 - 100 - 2 * 8184);
}

TEST(InputStream, ForwardCopyTowardsTheFront)
{
    Bytes data = testutil::random_bytes(1000, 4);
    for (uint32_t shift : {1u, 3u, 8u, 13u}) {
        for (uint32_t count : {0u, 5u, 8u, 77u, 900u}) {
            Bytes buf = data;
            forward_copy(buf.data(), buf.data() + shift, count);
            EXPECT_TRUE(std::equal(buf.begin(), buf.begin() + count, data.begin() + shift)) << shift << " " << count;
            EXPECT_TRUE(std::equal(buf.begin() + count, buf.end(), data.begin() + count));
        }
    }
}
