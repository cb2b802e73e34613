// Data streams from the archiver read back by the extractor's engine: every
// member through output_member with its CRC-32, in order and out of order,
// across block changes, through the call filters with block boundaries at
// every offset near an opcode, and the archiver's model of the decoder
// history checked against the history the decoder really keeps.
#include <gtest/gtest.h>

#include <cmath>
#include <set>

#include "archive/records.h"
#include "codec/crc32.h"
#include "codec/input_stream.h"
#include "packer/block_writer.h"
#include "packer/call_filter.h"
#include "packer/history_model.h"
#include "packer/stream_writer.h"
#include "tests/engine.h"
#include "test_util.h"

namespace {

using testutil::Bytes;

struct Member {
    std::string name;
    Bytes data;
    uint8_t filter = 0;
};

struct BlockInfo {
    unsigned method;
    bool last;
    uint32_t length;
    uint32_t stored;
    unsigned selector;
};

std::vector<BlockInfo> parse_blocks(const Bytes& stream)
{
    std::vector<BlockInfo> blocks;
    size_t at = 6;
    while (at < stream.size()) {
        uint64_t bits = 0;
        for (size_t i = 0; i < 8 && at + i < stream.size(); i++)
            bits |= (uint64_t)stream[at + i] << (8 * i);
        BlockInfo b;
        b.method = bits & 15;
        b.last = (bits >> 4) & 1;
        b.length = (bits >> 5) & 0xFFFFF;
        b.stored = (bits >> 25) & 0xFFFFF;
        b.selector = (bits >> 45) & 31;
        blocks.push_back(b);
        EXPECT_GE(b.stored, 6u);
        if (b.stored < 6 || b.last)
            break;
        // Blocks below 8 bytes would make the extractor read into the next.
        EXPECT_GE(b.stored, 8u);
        at += b.stored;
    }
    EXPECT_TRUE(!blocks.empty() && blocks.back().last);
    EXPECT_EQ(at + (blocks.empty() ? 0 : blocks.back().stored), stream.size());
    return blocks;
}

uint32_t standard_crc(const Bytes& b)
{
    return b.empty() ? 0 : crc32_update(b.data(), (u32)b.size(), 0xFFFFFFFFu) ^ 0xFFFFFFFFu;
}

Bytes write_stream(const std::vector<Member>& members, int level, std::vector<packer::StreamPlacement>& placements,
                   unsigned threads = 1)
{
    std::vector<packer::StreamMember> list;
    for (const Member& m : members)
        list.push_back({m.name, m.data.data(), (uint32_t)m.data.size(), m.filter, false, {}});
    packer::StreamOptions options;
    options.level = level;
    options.threads = threads;
    return packer::write_data_stream(list, options, placements);
}

// Extracts the members of a written stream in the given order (default:
// in stream order) and compares bytes and CRC-32.
void expect_members(const Bytes& stream, const std::vector<Member>& members,
                    const std::vector<packer::StreamPlacement>& placements, const std::vector<size_t>& order = {})
{
    ASSERT_EQ(placements.size(), members.size());
    testutil::Engine session(stream);
    ASSERT_TRUE(session.ok());
    std::vector<size_t> sequence = order;
    if (sequence.empty())
        for (size_t i = 0; i < members.size(); i++)
            sequence.push_back(i);
    for (size_t i : sequence) {
        const Member& m = members[i];
        EXPECT_EQ(placements[i].crc, standard_crc(m.data));
        EXPECT_EQ(placements[i].filter, m.filter);
        Bytes out;
        EXPECT_EQ(session.member(0, placements[i].member_offset, (u32)m.data.size(), placements[i].filter, out), 0);
        EXPECT_EQ(session.d->running_crc, placements[i].crc) << "member " << i;
        EXPECT_TRUE(out == m.data) << "member " << i << " (" << m.name << ") differs";
    }
}

// Writes the members, checks the framing, then extracts each one in order.
Bytes check_members(const std::vector<Member>& members, int level)
{
    std::vector<packer::StreamPlacement> placements;
    Bytes stream = write_stream(members, level, placements);
    parse_blocks(stream);
    expect_members(stream, members, placements);
    return stream;
}

Bytes calls(size_t n, uint32_t seed)
{
    // x86-like: opcodes, calls to a few hundred targets, other bytes.
    Bytes code = testutil::random_bytes(n, seed);
    for (size_t i = 0; i < n; i++)
        code[i] &= 0x3F;
    for (size_t i = (seed % 7); i + 5 <= n; i += 5 + (i * 7 + seed) % 9) {
        int64_t target = ((i * 2654435761u) % 211) * 300;
        int64_t r = target - (int64_t)(i + 5);
        code[i] = 0xE8;
        for (int k = 0; k < 4; k++)
            code[i + 1 + k] = (uint8_t)((uint64_t)r >> (8 * k));
    }
    return code;
}

TEST(StreamWriter, EmptyStreamAndEmptyMembers)
{
    std::vector<packer::StreamPlacement> placements;
    Bytes stream = write_stream({}, 6, placements);
    EXPECT_TRUE(placements.empty());
    EXPECT_EQ(Bytes(stream.begin(), stream.begin() + 6), Bytes({'Q', 'V', 'X', 'L', 'H', 0}));
    std::vector<BlockInfo> blocks = parse_blocks(stream);
    ASSERT_EQ(blocks.size(), 1u);
    EXPECT_EQ(blocks[0].length, 0u);

    for (int level : {0, 1, 6}) {
        std::vector<Member> members = {{"", {}}, {"a", {}}, {"dir\\b.txt", testutil::text_bytes(100, 1)},
                                       {"", Bytes{42}}, {"e", {}, ENTRY_FILTER32}, {"f", Bytes(4, 0xE8), ENTRY_FILTER32}};
        Bytes s = check_members(members, level);
        // Records: header, name, data, CRC, back to back.
        write_stream(members, level, placements);
        EXPECT_EQ(placements[0].member_offset, 0u);
        EXPECT_EQ(placements[1].member_offset, 15u);
        EXPECT_EQ(placements[2].member_offset, 15u + 16u);
    }
}

TEST(StreamWriter, AllThreeMethodsAndMembersAcrossBlocks)
{
    // Block 1 is text (BWT), block 2 noise (stored), then a member that
    // repeats the one before it (LZ); members run across block changes.
    Bytes noise = testutil::random_bytes(300000, 9);
    std::vector<Member> members = {
        {"text.txt", testutil::text_bytes(1000000, 2)},
        {"noise.bin", testutil::random_bytes(1100000, 3)},
        {"empty", {}},
        {"first.bin", noise},
        {"second.bin", noise},
        {"code.exe", calls(200000, 4), ENTRY_FILTER32},
        {"small", Bytes{1, 2, 3}},
    };
    std::vector<packer::StreamPlacement> placements;
    Bytes stream = write_stream(members, 6, placements);
    std::set<unsigned> methods;
    std::set<uint32_t> starts;
    uint32_t at = 0;
    for (const BlockInfo& b : parse_blocks(stream)) {
        methods.insert(b.method == METHOD_LZ_ALT ? (unsigned)METHOD_LZ : b.method);
        starts.insert(at);
        at += b.length;
    }
    EXPECT_EQ(methods, std::set<unsigned>({METHOD_STORED, METHOD_LZ, METHOD_BWT}));
    // Blocks end where a large member starts and where one ends, not where a
    // small one does.
    EXPECT_EQ(starts.count(placements[1].member_offset), 1u);
    EXPECT_EQ(starts.count(placements[2].member_offset), 1u);
    EXPECT_EQ(starts.count(placements[6].member_offset), 0u);
    expect_members(stream, members, placements);
    // Out of order: every request behind the current block restarts the
    // stream.
    expect_members(stream, members, placements, {6, 0, 5, 3, 4, 1, 2, 0});
}

TEST(StreamWriter, FilteredMembersCutAtEveryOffsetNearABlockBoundary)
{
    // Level 0 writes stored blocks only, cut at 1,048,569 bytes; moving the
    // member in front by one byte at a time moves the boundary over every
    // offset of an opcode and its operand.
    Bytes code = calls(40000, 5);
    for (uint8_t flag : {(uint8_t)ENTRY_FILTER32, (uint8_t)ENTRY_FILTER16}) {
        for (uint32_t shift = 0; shift < 11; shift++) {
            uint32_t pad = MAX_BLOCK_OUTPUT - 6 - 15 - 20000 - 16 - shift;
            std::vector<Member> members = {{"p", Bytes(pad, 0x90)}, {"c", code, flag}, {"t", Bytes{0xE8}}};
            check_members(members, 0);
        }
    }
    // The same through compressed blocks.
    std::vector<Member> members = {{"p", testutil::text_bytes(MAX_BLOCK_OUTPUT - 20000, 6)}, {"c", code, ENTRY_FILTER32}};
    check_members(members, 6);
}

TEST(StreamWriter, IncompressibleDataStaysWithinTheBlockLimits)
{
    // Stored blocks of a full block's length would not fit the 20-bit
    // stored length; the writer cuts them shorter.
    std::vector<Member> members = {{"r", testutil::random_bytes(1200000, 7)}};
    Bytes stream = check_members(members, 5);
    for (const BlockInfo& b : parse_blocks(stream)) {
        EXPECT_EQ(b.method, (unsigned)METHOD_STORED);
        EXPECT_LE(b.stored, (uint32_t)MAX_BLOCK_OUTPUT);
    }
}

// Streams that once came back wrong from single-point slips the other tests
// let through: the delta-region count kept over a stored or BWT block into
// the next LZ block, and a final stored block cut short yet still marked
// last (the record ends within 6 bytes of the largest block).
TEST(StreamWriter, StreamsThatOnceSlippedThrough)
{
    // The ramp's delta region ends the first block exactly (11 + 8 + 700,000
    // + 4 and 11 + 8 + 348,529 + 4 bytes), the random bytes fill the next
    // one, stored, and the copy refers back into them.
    Bytes ramp(348529);
    for (size_t i = 0; i + 1 < ramp.size(); i += 2) {
        ramp[i] = (uint8_t)(i / 2);
        ramp[i + 1] = (uint8_t)(i / 512);
    }
    Bytes random = testutil::random_bytes(1 << 20, 21);
    std::vector<Member> mixed = {{"text.txt", testutil::text_bytes(700000, 20)},
                                 {"ramp.bin", ramp},
                                 {"rand.bin", random},
                                 {"tail.bin", Bytes(random.end() - 300000, random.end())}};
    for (int level : {3, 6})
        check_members(mixed, level);
    // 11 + name + 1,048,555 + 4 bytes: names of 0 to 10 bytes put the record's
    // end on every byte around the largest stored block.
    Bytes incompressible = testutil::random_bytes(1048555, 22);
    for (size_t name = 0; name <= 10; name++)
        check_members({{std::string(name, 'n'), incompressible}}, 1);
}

TEST(StreamWriter, MembersReadInPiecesGiveTheSameStream)
{
    // A filtered member read piece by piece goes through the call filter in
    // pieces: operands cut by a piece boundary must come out as if whole.
    Bytes code = calls(2500000, 23);
    Bytes text = testutil::text_bytes(1500000, 24);
    for (uint8_t filter : {(uint8_t)ENTRY_FILTER32, (uint8_t)ENTRY_FILTER16}) {
        std::vector<packer::StreamMember> whole = {{"c", code.data(), (uint32_t)code.size(), filter, false, {}},
                                                   {"t", text.data(), (uint32_t)text.size(), 0, false, {}}};
        std::vector<packer::StreamMember> pieces = whole;
        size_t at[2] = {0, 0};
        for (size_t k = 0; k < 2; k++) {
            const Bytes* source = k == 0 ? &code : &text;
            size_t* pos = &at[k];
            pieces[k].data = nullptr;
            pieces[k].read = [source, pos](uint8_t* dst, size_t n) {
                EXPECT_LE(*pos + n, source->size());
                if (*pos + n > source->size())
                    return false;
                memcpy(dst, source->data() + *pos, n);
                *pos += n;
                return true;
            };
        }
        packer::StreamOptions options;
        options.level = 1;
        std::vector<packer::StreamPlacement> p1, p2;
        Bytes expected = packer::write_data_stream(whole, options, p1);
        Bytes got = packer::write_data_stream(pieces, options, p2);
        EXPECT_TRUE(got == expected);
        ASSERT_EQ(p2.size(), 2u);
        EXPECT_EQ(p2[0].crc, standard_crc(code));
        EXPECT_EQ(p2[1].crc, standard_crc(text));
        EXPECT_EQ(at[0], code.size());
    }
}

TEST(StreamWriter, ReportsProgress)
{
    std::vector<Member> members = {{"a", testutil::text_bytes(2500000, 8)}};
    std::vector<packer::StreamMember> list = {{"a", members[0].data.data(), (uint32_t)members[0].data.size(), 0, false, {}}};
    packer::StreamOptions options;
    options.level = 1;
    uint64_t last_done = 0, calls_made = 0, total_seen = 0;
    options.progress = [&](uint64_t done, uint64_t total) {
        EXPECT_GE(done, last_done);
        last_done = done;
        total_seen = total;
        calls_made++;
    };
    std::vector<packer::StreamPlacement> placements;
    packer::write_data_stream(list, options, placements);
    EXPECT_GE(calls_made, 3u);
    EXPECT_EQ(total_seen, 2500000u + 11 + 1 + 4);
    EXPECT_EQ(last_done, total_seen);
}

// Replays the blocks of a stream through the decoder one by one and checks
// that the model keeps exactly what the decoder keeps.
void expect_model_matches_decoder(const Bytes& stream)
{
    std::vector<BlockInfo> blocks = parse_blocks(stream);
    testutil::Engine session(stream);
    packer::HistoryModel model;
    for (size_t i = 0; i < blocks.size(); i++) {
        Bytes out;
        ASSERT_EQ(session.block(out), 0) << "block " << i;
        uint32_t kept = model.advance(blocks[i].method, blocks[i].last, blocks[i].length, blocks[i].selector);
        EXPECT_EQ(kept, session.d->stream.kept) << "block " << i;
        EXPECT_EQ(model.capacity, session.d->stream.capacity) << "block " << i;
    }
}

TEST(StreamWriter, HistoryModelFollowsTheDecoder)
{
    // Hand-built streams of small blocks, where the capacity rules bite:
    // the buffer is sized by the first block, grows for larger ones, and a
    // stored or BWT block keeps only what fits beside it.
    struct Step { unsigned method; uint32_t length; unsigned selector; };
    std::vector<std::vector<Step>> plans = {
        {{METHOD_STORED, 100, 0}, {METHOD_LZ, 5000, 0}, {METHOD_BWT, 3000, 0}, {METHOD_STORED, 4000, 0},
         {METHOD_LZ, 70000, packer::lz_selector(1, 0)}, {METHOD_LZ, 10, packer::lz_selector(3, 7)},
         {METHOD_BWT, 60000, 0}, {METHOD_LZ, 40000, packer::lz_selector(2, 1)}, {METHOD_STORED, 20, 0}},
        {{METHOD_LZ, 2000, 31}, {METHOD_LZ, 300000, packer::lz_selector(0, 7)}, {METHOD_LZ, 300000, packer::lz_selector(2, 7)},
         {METHOD_BWT, 400000, 0}, {METHOD_LZ, 1000, packer::lz_selector(2, 7)}, {METHOD_BWT, 10, 0}},
    };
    for (const auto& plan : plans) {
        // Data that repeats itself, so the LZ blocks reach into history.
        Bytes text = testutil::text_bytes(2000000, 9);
        Bytes stream = {'Q', 'V', 'X', 'L', 'H', 0};
        packer::BitWriter w(stream);
        packer::HistoryModel model;
        Bytes history;  // the decoder's bytes in front of the next block
        size_t pos = 0;
        std::vector<Bytes> expected;
        for (size_t i = 0; i < plan.size(); i++) {
            const Step& s = plan[i];
            bool last = i + 1 == plan.size();
            Bytes block(text.begin() + pos % 50000, text.begin() + pos % 50000 + s.length);
            pos += s.length;
            expected.push_back(block);
            uint32_t kept = model.advance(s.method, last, s.length, s.selector);
            history.erase(history.begin(), history.end() - kept);
            if (s.method == METHOD_LZ) {
                Bytes window = history;
                window.insert(window.end(), block.begin(), block.end());
                packer::encode_lz_block(w, window.data(), kept, s.length, last, s.selector, packer::LzOptions());
                history.insert(history.end(), window.begin() + kept, window.end());
            } else {
                if (s.method == METHOD_BWT)
                    packer::encode_bwt_block(w, block.data(), s.length, last, packer::BwtOptions());
                else
                    packer::encode_stored_block(w, block.data(), s.length, last);
                history.insert(history.end(), block.begin(), block.end());
            }
        }
        expect_model_matches_decoder(stream);
        testutil::Engine session(stream);
        for (size_t i = 0; i < plan.size(); i++) {
            Bytes out;
            ASSERT_EQ(session.block(out), 0);
            EXPECT_TRUE(out == expected[i]) << "block " << i;
        }
    }
}

TEST(StreamWriter, LzBlocksReachIntoHistoryAfterBwtAndStoredBlocks)
{
    // The text fills the first block (BWT at level 6); the second member
    // repeats the text's tail, which the next LZ block can only find in the
    // history the BWT block left behind.
    Bytes text = testutil::text_bytes(MAX_BLOCK_OUTPUT, 10);
    Bytes tail(text.end() - 300000, text.end());
    std::vector<Member> members = {{"t", text}, {"u", tail}};
    Bytes stream = check_members(members, 6);
    expect_model_matches_decoder(stream);
    std::vector<BlockInfo> blocks = parse_blocks(stream);
    ASSERT_EQ(blocks.size(), 2u);
    EXPECT_LT(blocks[1].stored, 100000u);  // the repeat cost next to nothing

    Bytes noise = testutil::random_bytes(1100000, 11);
    std::vector<Member> more = {{"n", noise}, {"m", Bytes(noise.end() - 100000, noise.end())},
                                {"t", testutil::text_bytes(400000, 12)}};
    expect_model_matches_decoder(check_members(more, 6));
    expect_model_matches_decoder(check_members(more, 2));
}

TEST(StreamWriter, TheStreamIsTheSameWhateverTheThreadCount)
{
    // Blocks coded ahead on other threads are taken only when their inputs
    // turn out as foreseen. Text (BWT at level 6), 16-bit samples (LZ with
    // delta regions, whose difference form becomes the next block's
    // history), noise (stored blocks cut short, which moves every later
    // block) and a repeat across blocks make the forecasts fail in each way.
    Bytes samples;
    for (int i = 0; i < 700000; i++) {
        int16_t v = (int16_t)(9000 * std::sin(i * 0.01) + 3000 * std::sin(i * 0.0007) + (int)(i * 7919u % 64) - 32);
        samples.push_back((uint8_t)v);
        samples.push_back((uint8_t)(v >> 8));
    }
    Bytes text = testutil::text_bytes(1300000, 13);
    std::vector<Member> members = {
        {"a.txt", text},
        {"samples.raw", samples},
        {"noise.bin", testutil::random_bytes(2300000, 14)},
        {"b.txt", Bytes(text.begin() + 200000, text.begin() + 900000)},
        {"code.exe", calls(300000, 15), ENTRY_FILTER32},
    };
    for (int level : {2, 6}) {
        std::vector<packer::StreamPlacement> placements;
        Bytes one = write_stream(members, level, placements, 1);
        expect_members(one, members, placements);
        EXPECT_TRUE(write_stream(members, level, placements, 4) == one) << level;
    }
}

}  // namespace
