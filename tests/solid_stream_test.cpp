// Solid stream and decoder history: how much history each block keeps (LZ
// by its window selector, stored and BWT blocks by the 524,288 rule and the
// buffer's capacity), the BWT block's scratch byte at the very end of the
// buffer, restarts for members behind the current block, and block pending.
// LZ blocks are encoded against exactly the history the rules promise, so a
// decoder that keeps a different amount decodes different bytes.
#include <gtest/gtest.h>

#include <cstring>

#include "codec/lz_decoder.h"
#include "tests/decoder_stream_util.h"

using namespace dstest;

namespace {

unsigned selector(unsigned row, unsigned column) { return row | (column << 2); }

// Writes a stream block by block while keeping the decoded stream, so that
// an LZ block can be encoded against the last `kept` bytes of it.
struct StreamBuilder {
    Bytes stream = {'Q', 'V', 'X', 'L', 'H', 0};
    Bytes decoded;
    packer::BitWriter bw{stream};

    void stored(const Bytes& data, bool last = false)
    {
        packer::encode_stored_block(bw, data.data(), (uint32_t)data.size(), last);
        decoded.insert(decoded.end(), data.begin(), data.end());
    }
    void bwt(const Bytes& data, bool last = false)
    {
        write_bwt_bytes(bw, data, last, 3);
        decoded.insert(decoded.end(), data.begin(), data.end());
    }
    void lz(const Bytes& data, uint32_t kept, unsigned sel, bool last = false)
    {
        Bytes window(decoded.end() - kept, decoded.end());
        window.insert(window.end(), data.begin(), data.end());
        packer::LzOptions options;
        options.allow_delta = false;
        packer::encode_lz_block(bw, window.data(), kept, (uint32_t)data.size(), last, sel, options);
        decoded.insert(decoded.end(), data.begin(), data.end());
    }
};

ResultCode step(Decoder* dec)
{
    dec->stream.block_pending = 1;
    return next_block(dec);
}

// The bytes the history buffer holds: kept bytes of history, then the block.
Bytes held(const Decoder* dec)
{
    const DecoderHistory& h = dec->stream;
    return Bytes(h.history, h.history + h.kept + h.block_length);
}

Bytes tail(const Bytes& b, size_t n) { return Bytes(b.end() - n, b.end()); }

Bytes concat(std::initializer_list<Bytes> parts)
{
    Bytes out;
    for (const Bytes& p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

}  // namespace

TEST(SolidStream, StoredAndBwtBlocksKeepHistoryForAFollowingLzBlock)
{
    Bytes a = testutil::random_bytes(1000, 1);
    Bytes b = testutil::text_bytes(600000, 2);
    Bytes c = testutil::random_bytes(100, 3);
    Bytes d = testutil::random_bytes(50, 4);
    StreamBuilder sb;
    sb.stored(a);
    sb.bwt(b);
    sb.stored(c);
    sb.stored(d, true);
    Engine fx(Engine::behind_stub(sb.stream), Engine::kArchiveStart);
    Decoder* dec = fx.d;
    ASSERT_EQ(stream_seek_member(dec, Engine::kStreamOffset, 0), 0);
    const DecoderHistory& h = dec->stream;

    ASSERT_EQ(step(dec), 0);
    EXPECT_EQ(h.capacity, 1000u + 512);  // allocated for the first block
    EXPECT_EQ(h.kept, 0u);
    EXPECT_EQ(h.block_start, 0u);
    EXPECT_EQ(held(dec), a);

    // 524,288 - 600,000 is negative: nothing is kept in front of B.
    ASSERT_EQ(step(dec), 0);
    EXPECT_EQ(h.capacity, 600000u + 512);
    EXPECT_EQ(h.kept, 0u);
    EXPECT_EQ(h.block_start, 1000u);
    EXPECT_TRUE(held(dec) == b);

    // min(600,000 kept, 524,288 - 100, capacity - 100).
    ASSERT_EQ(step(dec), 0);
    EXPECT_EQ(h.kept, 524188u);
    EXPECT_EQ(h.block_start, 601000u);
    EXPECT_TRUE(held(dec) == concat({tail(b, 524188), c}));
    EXPECT_EQ(dec->region_count, 0u);

    // The stream's last block keeps nothing.
    ASSERT_EQ(step(dec), 0);
    EXPECT_EQ(h.kept, 0u);
    EXPECT_EQ(h.last_block, 1);
    EXPECT_EQ(held(dec), d);
}

TEST(SolidStream, KeepIsLimitedByCapacityAndBwtScratchByteFits)
{
    // After a 1000-byte first block the capacity is 1512. A 512-byte BWT
    // block then keeps min(1000, 524,288 - 512, 1512 - 512) = 1000 bytes and
    // ends exactly at the capacity; its scratch byte lies one past it. The
    // sanitizer build checks that this byte is inside the allocation.
    Bytes a = testutil::random_bytes(1000, 5);
    Bytes b = testutil::text_bytes(512, 6);
    Bytes c = testutil::random_bytes(3000, 7);
    StreamBuilder sb;
    sb.stored(a);
    sb.bwt(b);
    sb.lz(c, 1512, selector(2, 7));  // all of a and b, as kept
    sb.stored(Bytes(10, 1), true);
    Engine fx(Engine::behind_stub(sb.stream), Engine::kArchiveStart);
    Decoder* dec = fx.d;
    ASSERT_EQ(stream_seek_member(dec, Engine::kStreamOffset, 0), 0);
    const DecoderHistory& h = dec->stream;
    ASSERT_EQ(step(dec), 0);
    ASSERT_EQ(step(dec), 0);
    EXPECT_EQ(h.capacity, 1512u);
    EXPECT_EQ(h.kept, 1000u);
    EXPECT_EQ(h.kept + h.block_length, h.capacity);
    EXPECT_EQ(held(dec), concat({a, b}));
    // The LZ block after it finds all 1512 bytes in front of it and grows
    // the buffer for its own output.
    ASSERT_EQ(step(dec), 0);
    EXPECT_EQ(h.kept, 1512u);
    EXPECT_EQ(h.capacity, 1512u + 3000 + 512);
    EXPECT_EQ(held(dec), concat({a, b, c}));
}

TEST(SolidStream, LzBlockKeepsTheWindowItsSelectorNames)
{
    Bytes a = testutil::random_bytes(200000, 8);
    // B copies from 131,072 bytes back: only a decoder that keeps exactly
    // the 131,072 bytes of row 2, column 1 (selector row 3 reads as row 2)
    // puts those bytes where B's matches look for them.
    Bytes b(a.begin() + (200000 - 131072), a.begin() + (200000 - 131072) + 30000);
    Bytes c0 = testutil::random_bytes(2000, 9);
    Bytes b_tail(b.end() - 8000, b.end());
    Bytes c = concat({c0, b_tail, c0});
    Bytes d = testutil::text_bytes(5000, 10);
    Bytes e = concat({d, testutil::random_bytes(700, 11), c});

    StreamBuilder sb;
    sb.stored(a);
    sb.lz(b, 131072, selector(3, 1));
    sb.lz(c, 32768, selector(1, 0));
    sb.stored(d);
    // d keeps min(32768 + 12000, 524,288 - 5000, 200,512 - 5000) = 44768
    // bytes, so e sees 49768 bytes with row 2, column 7.
    sb.lz(e, 44768 + 5000, selector(2, 7), true);
    Engine fx(Engine::behind_stub(sb.stream), Engine::kArchiveStart);
    Decoder* dec = fx.d;
    ASSERT_EQ(stream_seek_member(dec, Engine::kStreamOffset, 0), 0);
    const DecoderHistory& h = dec->stream;

    ASSERT_EQ(step(dec), 0);
    ASSERT_EQ(step(dec), 0);
    EXPECT_EQ(h.kept, 131072u);
    EXPECT_TRUE(held(dec) == tail(concat({a, b}), 131072 + b.size()));
    ASSERT_EQ(step(dec), 0);
    EXPECT_EQ(h.kept, 32768u);
    EXPECT_TRUE(held(dec) == tail(concat({a, b, c}), 32768 + c.size()));
    ASSERT_EQ(step(dec), 0);
    EXPECT_EQ(h.kept, 44768u);
    ASSERT_EQ(step(dec), 0);
    EXPECT_EQ(h.kept, 49768u);
    EXPECT_TRUE(held(dec) == tail(sb.decoded, 49768 + e.size()));
    EXPECT_EQ(h.block_start + h.block_length, sb.decoded.size());
}

TEST(SolidStream, FirstLzBlockIgnoresItsSelector)
{
    Bytes a = testutil::text_bytes(40000, 12);
    StreamBuilder sb;
    sb.lz(a, 0, selector(3, 7), true);
    Engine fx(Engine::behind_stub(sb.stream), Engine::kArchiveStart);
    Decoder* dec = fx.d;
    ASSERT_EQ(stream_seek_member(dec, Engine::kStreamOffset, 0), 0);
    ASSERT_EQ(step(dec), 0);
    EXPECT_EQ(dec->stream.kept, 0u);
    EXPECT_EQ(held(dec), a);
}

namespace {

struct MemberStream {
    std::vector<TestMember> members;
    Bytes decoded;
    Bytes stream;
    std::vector<uint32_t> block_ends;  // decoded position after each block
};

MemberStream many_members(uint32_t seed)
{
    MemberStream ms;
    for (uint32_t i = 0; i < 14; i++) {
        TestMember m;
        m.name = "dir\\file" + std::to_string(i) + ".bin";
        size_t size = (i * 7919 + seed) % 23000;
        if (i == 5)
            size = 0;
        m.data = i % 2 ? testutil::random_bytes(size, seed + i) : testutil::text_bytes(size, seed + i);
        ms.members.push_back(m);
    }
    ms.decoded = build_records(ms.members);
    std::vector<Cut> cuts;
    uint32_t at = 0, k = 0;
    while (at < ms.decoded.size()) {
        uint32_t len = std::min<uint32_t>(5000 + (k * 3571) % 20000, (uint32_t)ms.decoded.size() - at);
        cuts.push_back({k % 3 == 1 ? (unsigned)METHOD_BWT : (unsigned)METHOD_STORED, len});
        at += len;
        ms.block_ends.push_back(at);
        k++;
    }
    ms.stream = build_stream(ms.decoded, cuts);
    return ms;
}

}  // namespace

TEST(SolidStream, MembersInOrderDecodeNoBlockTwice)
{
    MemberStream ms = many_members(100);
    Engine fx(Engine::behind_stub(ms.stream), Engine::kArchiveStart);
    Decoder* dec = fx.d;
    uint32_t before = dec->block_fetch_count;
    for (const TestMember& m : ms.members) {
        Bytes out;
        ASSERT_EQ(extract(fx, m, out), 0) << m.name;
        EXPECT_TRUE(out == m.data) << m.name;
        EXPECT_EQ(dec->running_crc, crc32_of(m.data)) << m.name;
    }
    // The last member's bytes end 4 bytes before the stream does.
    const TestMember& last = ms.members.back();
    uint32_t end = last.offset + LOCAL_HEADER_SIZE + (uint32_t)last.name.size() + (uint32_t)last.data.size();
    uint32_t needed = 0;
    while (ms.block_ends[needed] < end)
        needed++;
    EXPECT_EQ(dec->block_fetch_count - before, needed + 1);
}

TEST(SolidStream, MemberBeforeTheCurrentBlockRestartsTheStream)
{
    MemberStream ms = many_members(200);
    Engine fx(Engine::behind_stub(ms.stream), Engine::kArchiveStart);
    Decoder* dec = fx.d;
    Bytes out;
    const TestMember& late = ms.members[12];
    const TestMember& early = ms.members[1];
    ASSERT_EQ(extract(fx, late, out), 0);
    EXPECT_TRUE(out == late.data);
    ASSERT_GT(dec->stream.block_start, early.offset);

    uint32_t before = dec->block_fetch_count;
    ASSERT_EQ(extract(fx, early, out), 0);
    EXPECT_TRUE(out == early.data);
    EXPECT_EQ(dec->running_crc, crc32_of(early.data));
    // Decoded again from the first block up to the one that ends the member.
    uint32_t end = early.offset + LOCAL_HEADER_SIZE + (uint32_t)early.name.size() + (uint32_t)early.data.size();
    uint32_t needed = 0;
    while (ms.block_ends[needed] < end)
        needed++;
    EXPECT_EQ(dec->block_fetch_count - before, needed + 1);

    // Asking for the same member again is served from the current block
    // when the member starts in it, and is another restart otherwise.
    bool in_current = dec->stream.block_start <= early.offset;
    before = dec->block_fetch_count;
    ASSERT_EQ(extract(fx, early, out), 0);
    EXPECT_TRUE(out == early.data);
    EXPECT_EQ(dec->block_fetch_count - before, in_current ? 0u : needed + 1);

    // A second stream in the same file is a restart too, and coming back
    // to the first one restarts it once more.
    history_release(dec);
    EXPECT_EQ(dec->stream.stream_file_offset, 0);
    before = dec->block_fetch_count;
    ASSERT_EQ(extract(fx, late, out), 0);
    EXPECT_TRUE(out == late.data);
    EXPECT_GT(dec->block_fetch_count - before, 0u);
}

TEST(SolidStream, StreamOffsetsThatCannotBeSought)
{
    MemberStream ms = many_members(300);
    Engine fx(Engine::behind_stub(ms.stream), Engine::kArchiveStart);
    Bytes out;
    EXPECT_EQ(fx.member(0xFFFFFFF0u, 0, 10, 0, out), ERR_SEEK);
    EXPECT_EQ(fx.member(0x7FFFFFF0u, 0, 10, 0, out), ERR_SEEK);
    // Past the end of the file: the block header cannot be read.
    EXPECT_EQ(fx.member(0x100000, 0, 10, 0, out), ERR_DAMAGED);
    // And the real stream still works afterwards.
    ASSERT_EQ(extract(fx, ms.members[0], out), 0);
    EXPECT_TRUE(out == ms.members[0].data);
}

TEST(SolidStream, DamagedBlockLeavesThePendingFlagUntilARestart)
{
    std::vector<TestMember> members(2);
    members[0].name = "a";
    members[0].data = testutil::text_bytes(3000, 13);
    members[1].name = "b";
    members[1].data = testutil::text_bytes(3000, 14);
    Bytes decoded = build_records(members);
    Bytes stream = {'Q', 'V', 'X', 'L', 'H', 0};
    packer::BitWriter bw(stream);
    uint32_t first = members[1].offset;
    packer::encode_stored_block(bw, decoded.data(), first, false);
    size_t bad = stream.size();
    packer::encode_stored_block(bw, decoded.data() + first, (uint32_t)decoded.size() - first, true);
    stream[bad] = (uint8_t)((stream[bad] & 0xF0) | 5);  // method 5

    Engine fx(Engine::behind_stub(stream), Engine::kArchiveStart);
    Decoder* dec = fx.d;
    Bytes out;
    EXPECT_EQ(extract(fx, members[1], out), ERR_DAMAGED);
    EXPECT_EQ(dec->stream.block_pending, 1);
    EXPECT_EQ(extract(fx, members[1], out), ERR_DAMAGED);
    // Member 0 lies before the current block: the stream starts over.
    ASSERT_EQ(extract(fx, members[0], out), 0);
    EXPECT_TRUE(out == members[0].data);
    EXPECT_EQ(dec->stream.block_pending, 0);
}

TEST(SolidStream, StoredBlockCutShortByTheFileEndsTheStream)
{
    std::vector<TestMember> members(1);
    members[0].name = "short";
    members[0].data = testutil::random_bytes(5000, 15);
    Bytes decoded = build_records(members);
    Bytes stream = build_stream(decoded, {});
    stream.resize(stream.size() - 2000);
    Engine fx(Engine::behind_stub(stream), Engine::kArchiveStart);
    Decoder* dec = fx.d;
    Bytes out;
    // A short file, reported as success; the CRC-32 check catches it.
    EXPECT_EQ(extract(fx, members[0], out), 0);
    EXPECT_LT(out.size(), members[0].data.size());
    EXPECT_EQ(Bytes(members[0].data.begin(), members[0].data.begin() + out.size()), out);
    EXPECT_NE(dec->running_crc, crc32_of(members[0].data));
    EXPECT_EQ(dec->stream.last_block, 1);
    EXPECT_EQ(dec->stream.block_pending, 1);
}

TEST(SolidStream, CancelBeforeABlockFetch)
{
    MemberStream ms = many_members(400);
    Engine fx(Engine::behind_stub(ms.stream), Engine::kArchiveStart);
    Bytes out;
    fx.cancel = 1;
    EXPECT_EQ(extract(fx, ms.members[0], out), ERR_CANCELLED);
    EXPECT_TRUE(out.empty());
    fx.cancel = 0;
    // The flag is seen before block pending is set, so the stream can
    // carry on once it is cleared.
    ASSERT_EQ(extract(fx, ms.members[0], out), 0);
}
