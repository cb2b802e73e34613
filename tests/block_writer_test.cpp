// Block framing of the archiver: the 20-bit stored length is never masked.
#include <gtest/gtest.h>

#include <stdexcept>

#include "codec/input_stream.h"
#include "packer/block_writer.h"
#include "tests/test_util.h"

namespace {

TEST(BlockWriter, StoredLengthCoversTheWholeBlock)
{
    std::vector<uint8_t> out;
    packer::BitWriter w(out);
    testutil::Bytes data = testutil::random_bytes(1000, 3);
    packer::encode_stored_block(w, data.data(), (uint32_t)data.size(), true);
    ASSERT_EQ(out.size(), 1006u);
    BlockHeader h;
    uint8_t first8[8] = {};
    std::copy(out.begin(), out.begin() + 8, first8);
    parse_block_header(first8, &h);
    EXPECT_EQ(h.method, 0u);
    EXPECT_EQ(h.last, 1u);
    EXPECT_EQ(h.output_length, 1000u);
    EXPECT_EQ(h.stored_length, 1006u);
}

TEST(BlockWriter, BlockLongerThanItsFrameIsRefused)
{
    // Random bytes do not compress; a full-length BWT block then needs more
    // than 1,048,575 bytes, which its header cannot say.
    testutil::Bytes data = testutil::random_bytes(MAX_BLOCK_OUTPUT, 5);
    std::vector<uint8_t> out;
    packer::BitWriter w(out);
    EXPECT_FALSE(packer::encode_bwt_block(w, data.data(), (uint32_t)data.size(), true, packer::BwtOptions()));
    std::vector<uint8_t> stored;
    packer::BitWriter ws(stored);
    EXPECT_FALSE(packer::encode_stored_block(ws, data.data(), (uint32_t)data.size(), true));
}

}  // namespace
