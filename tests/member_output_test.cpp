// Member output: the call conversion of both filters, the whole-member rule
// (the same bytes and CRC-32 however the stream cuts a member into pieces),
// passing over header and name, members across blocks, and the failure
// rules (write errors, cancel, size 0). Pieces handed to filter_piece are
// copied into heap buffers of exactly their size, so that a read behind a
// piece trips the sanitizer build.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include "codec/crc32.h"
#include "codec/lz_decoder.h"
#include "packer/call_filter.h"
#include "packer/stream_writer.h"
#include "platform/host.h"
#include "tests/decoder_stream_util.h"

using namespace dstest;

namespace {

// Collects what the filters write, in an in-memory file.
class Sink {
public:
    Sink()
    {
        fd_ = memfd_create("sink", 0);
        file_ = host::handle_from_fd(fd_);
    }
    ~Sink() { file_close(file_); }
    FileHandle file() const { return file_; }
    Bytes bytes() const
    {
        Bytes out((size_t)lseek(fd_, 0, SEEK_END));
        EXPECT_EQ(pread(fd_, out.data(), out.size(), 0), (ssize_t)out.size());
        return out;
    }
    // Empties the file for the next run.
    void reset()
    {
        EXPECT_EQ(ftruncate(fd_, 0), 0);
        lseek(fd_, 0, SEEK_SET);
    }

private:
    int fd_;
    FileHandle file_;
};

// The whole-member rule read straight from its definition.
Bytes decode_calls_reference(const Bytes& in, int width)
{
    Bytes out = in;
    const uint64_t size = in.size();
    uint64_t i = 0;
    while (i < size) {
        if (in[i] != 0xE8 || i + width > size - 1) {
            i++;
            continue;
        }
        uint32_t q = (uint32_t)i + 1;
        if (width == 2) {
            store_le16(&out[q], (uint16_t)(load_le16(&in[q]) - q));
        } else {
            int64_t v = (int32_t)load_le32(&in[q]);
            int64_t r = v;
            if (v >= 0 && v < (int64_t)size)
                r = v - q;
            else if (v >= -(int64_t)q && v <= -1)
                r = (int64_t)size - 1 - q - v;
            store_le32(&out[q], (uint32_t)r);
        }
        i = q + width;
    }
    return out;
}

// Runs a stored member through filter_piece in the given pieces.
Bytes filter_in_pieces(const Bytes& stored, uint32_t flags, const std::vector<size_t>& cuts, uint32_t* crc_ret)
{
    static Sink sink;
    static Engine engine;
    Decoder* d = engine.d;
    sink.reset();
    filter_begin(d, flags);
    d->running_crc = 0xFFFFFFFFu;
    size_t at = 0;
    std::vector<size_t> ends = cuts;
    ends.push_back(stored.size());
    for (size_t end : ends) {
        if (end <= at)
            continue;
        std::vector<uint8_t> piece(stored.begin() + at, stored.begin() + end);
        ResultCode r = filter_piece(d, sink.file(), piece.data(), (i32)piece.size(), (uint32_t)at,
                                    (uint32_t)stored.size(), end == stored.size());
        EXPECT_EQ(r, 0);
        at = end;
    }
    *crc_ret = ~d->running_crc;
    return sink.bytes();
}

// Member bytes thick with opcodes, also at the very end.
Bytes call_heavy(size_t n, uint32_t seed)
{
    Bytes b = testutil::random_bytes(n, seed);
    for (size_t i = 0; i < n; i++)
        if (b[i] % 3 == 0)
            b[i] = 0xE8;
    return b;
}

}  // namespace

// The archiver and the extractor share the CRC table, so a table broken for
// both would still agree with itself; the published check value does not.
TEST(Crc32, KnownAnswer)
{
    crc32_build_table();
    const char text[] = "123456789";
    EXPECT_EQ(crc32_update((const u8*)text, 9, 0xFFFFFFFFu) ^ 0xFFFFFFFFu, 0xCBF43926u);
    const u8 zeros[32] = {0};
    EXPECT_EQ(crc32_update(zeros, 32, 0xFFFFFFFFu) ^ 0xFFFFFFFFu, 0x190A55ADu);
}

TEST(MemberFilter, SixteenBitConversion)
{
    Sink sink;
    Engine engine;
    Decoder* d = engine.d;
    filter_begin(d, ENTRY_FILTER16);
    d->running_crc = 0xFFFFFFFFu;
    // v = 0x2345 at q = 0x1001 gives 0x1344.
    const uint8_t data[] = {0xE8, 0x45, 0x23};
    EXPECT_EQ(filter_piece(d, sink.file(), data, 3, 0x1000, 0x2000, 1), 0);
    EXPECT_EQ(sink.bytes(), (Bytes{0xE8, 0x44, 0x13}));
    EXPECT_EQ(~d->running_crc, crc32_of(Bytes{0xE8, 0x44, 0x13}));
}

TEST(MemberFilter, ThirtyTwoBitConversion)
{
    // size 0x1000, q = 0x101 (the opcode at member position 0x100).
    struct Case {
        uint32_t v, expected;
    } cases[] = {
        {0x500, 0x3FF},                       // inside the member: v - q
        {(uint32_t)-5, 0xF03},                // before it: (size - 1 - q) - v
        {0x2000, 0x2000},                     // beyond the member: unchanged
        {(uint32_t)-0x200, (uint32_t)-0x200}, // farther back than q: unchanged
        {0, (uint32_t)-0x101},
        {0xFFF, 0xEFE},
        {0x1000, 0x1000},
        {(uint32_t)-0x101, 0xFFF},
        {(uint32_t)-0x102, (uint32_t)-0x102},
        {0x80000000u, 0x80000000u},
    };
    Engine engine;
    Decoder* d = engine.d;
    for (const Case& c : cases) {
        Sink sink;
        uint8_t data[5] = {0xE8};
        store_le32(data + 1, c.v);
        filter_begin(d, ENTRY_FILTER32);
        EXPECT_EQ(filter_piece(d, sink.file(), data, 5, 0x100, 0x1000, 1), 0);
        Bytes out = sink.bytes();
        ASSERT_EQ(out.size(), 5u);
        EXPECT_EQ(load_le32(&out[1]), c.expected) << std::hex << c.v;
    }
}

TEST(MemberFilter, OperandAtTheMemberEnd)
{
    // 0xE8 at size - 5 is converted (its operand ends at the last byte);
    // at size - 4 or later it is written unchanged, and so are the bytes
    // after it. The operand 0 is a target inside the member, so a
    // conversion shows as -q. Cut or whole, the result is the same.
    for (size_t back : {6, 5, 4, 3, 1}) {
        Bytes stored(40, 0x00);
        uint32_t at = (uint32_t)(stored.size() - back);
        stored[at] = 0xE8;
        Bytes expected = stored;
        if (back >= 5)
            store_le32(&expected[at + 1], 0u - (at + 1));
        EXPECT_EQ(decode_calls_reference(stored, 4), expected);
        for (std::vector<size_t> cuts : {std::vector<size_t>{}, {34}, {35}, {36}, {37}, {38}, {39}, {36, 38}}) {
            uint32_t crc = 0;
            EXPECT_EQ(filter_in_pieces(stored, ENTRY_FILTER32, cuts, &crc), expected) << back;
            EXPECT_EQ(crc, crc32_of(expected));
        }
    }
}

TEST(MemberFilter, OperandBytesAreNeverOpcodes)
{
    // The first operand holds 0xE8 (232, a target inside the 300-byte
    // member, so it becomes 231); that byte is not taken for an opcode.
    Bytes stored(300, 0);
    stored[0] = 0xE8;
    stored[1] = 0xE8;
    uint32_t crc = 0;
    Bytes out = filter_in_pieces(stored, ENTRY_FILTER32, {}, &crc);
    Bytes expected(300, 0);
    expected[0] = 0xE8;
    expected[1] = 0xE7;
    EXPECT_EQ(out, expected);
    EXPECT_EQ(decode_calls_reference(stored, 4), expected);

    Bytes stored16 = {0xE8, 0xE8, 0x00, 0xE8, 0x05, 0x00, 0x00};
    out = filter_in_pieces(stored16, ENTRY_FILTER16, {}, &crc);
    EXPECT_EQ(out, (Bytes{0xE8, 0xE7, 0x00, 0xE8, 0x01, 0x00, 0x00}));
}

TEST(MemberFilter, OutputDoesNotDependOnWherePiecesAreCut)
{
    for (uint32_t flags : {(uint32_t)ENTRY_FILTER16, (uint32_t)ENTRY_FILTER32}) {
        int width = flags == ENTRY_FILTER16 ? 2 : 4;
        for (size_t size : {1, 2, 5, 6, 13, 300}) {
            Bytes stored = call_heavy(size, (uint32_t)(size * 3 + width));
            Bytes expected = decode_calls_reference(stored, width);
            uint32_t expected_crc = crc32_of(expected);
            uint32_t crc = 0;
            ASSERT_EQ(filter_in_pieces(stored, flags, {}, &crc), expected);
            ASSERT_EQ(crc, expected_crc);
            // Every single cut, and every pair of cuts up to 9 bytes apart.
            for (size_t a = 1; a < size; a++) {
                ASSERT_EQ(filter_in_pieces(stored, flags, {a}, &crc), expected) << size << " " << a;
                ASSERT_EQ(crc, expected_crc);
                for (size_t b = a + 1; b < size && b <= a + 9; b++) {
                    ASSERT_EQ(filter_in_pieces(stored, flags, {a, b}, &crc), expected) << a << " " << b;
                    ASSERT_EQ(crc, expected_crc);
                }
            }
            // One byte at a time.
            std::vector<size_t> all;
            for (size_t a = 1; a < size; a++)
                all.push_back(a);
            ASSERT_EQ(filter_in_pieces(stored, flags, all, &crc), expected);
        }
    }
}

TEST(MemberFilter, LargePiecesGoThroughSeveralBatches)
{
    for (uint32_t flags : {(uint32_t)ENTRY_FILTER16, (uint32_t)ENTRY_FILTER32}) {
        int width = flags == ENTRY_FILTER16 ? 2 : 4;
        Bytes stored = call_heavy(100000, 77);
        // Opcodes around where a batch of 16 KB fills.
        for (size_t p : {16378, 16379, 16380, 16381, 32760, 32761})
            stored[p] = 0xE8;
        Bytes expected = decode_calls_reference(stored, width);
        uint32_t crc = 0;
        EXPECT_TRUE(filter_in_pieces(stored, flags, {}, &crc) == expected);
        EXPECT_EQ(crc, crc32_of(expected));
        EXPECT_TRUE(filter_in_pieces(stored, flags, {16380, 16383, 50001}, &crc) == expected);
        EXPECT_EQ(crc, crc32_of(expected));
    }
}

TEST(MemberFilter, ForwardFiltersRoundTrip)
{
    // The archiver's filter and the test's reading of the rule agree with
    // the extractor's conversion.
    for (int width : {2, 4}) {
        Bytes original = call_heavy(5000, (uint32_t)width);
        Bytes stored = packer::encode_calls(original.data(), (uint32_t)original.size(), width);
        EXPECT_EQ(stored, encode_calls_reference(original, width));
        uint32_t crc = 0;
        EXPECT_EQ(filter_in_pieces(stored, width == 2 ? ENTRY_FILTER16 : ENTRY_FILTER32, {2500, 2502}, &crc),
                  original);
        EXPECT_EQ(crc, crc32_of(original));
    }
}

TEST(MemberFilter, CancelStopsABatchUnwritten)
{
    Sink sink;
    Engine engine;
    Decoder* d = engine.d;
    filter_begin(d, ENTRY_FILTER32);
    Bytes stored = call_heavy(20000, 5);
    engine.cancel = 1;
    EXPECT_EQ(filter_piece(d, sink.file(), stored.data(), (i32)stored.size(), 0, 20000, 1), ERR_CANCELLED);
    EXPECT_TRUE(sink.bytes().empty());
}

// ---------------------------------------------------------------------------
// output_member over whole streams
// ---------------------------------------------------------------------------

TEST(MemberOutput, SizeZeroReadsNothing)
{
    Engine fx(Engine::behind_stub(Bytes{}), Engine::kArchiveStart);  // no stream at all
    Decoder* d = fx.d;
    uint32_t before = d->block_fetch_count;
    Bytes out;
    EXPECT_EQ(fx.member(12345, 999, 0, ENTRY_FILTER32, out), 0);
    EXPECT_EQ(d->running_crc, 0u);
    EXPECT_TRUE(out.empty());
    EXPECT_EQ(d->block_fetch_count, before);
    EXPECT_EQ(d->stream.stream_file_offset, 0);
}

TEST(MemberOutput, FilteredMemberAcrossBlockCutsAtEveryOffset)
{
    // One member split over two stored blocks at every offset around its
    // opcodes; header and name are cut too at the small offsets.
    for (uint32_t flags : {(uint32_t)ENTRY_FILTER16, (uint32_t)ENTRY_FILTER32,
                           (uint32_t)(ENTRY_FILTER16 | ENTRY_FILTER32)}) {
        std::vector<TestMember> members(2);
        members[0].name = "first";
        members[0].data = testutil::text_bytes(100, 1);
        members[1].name = "calls.exe";
        members[1].data = call_heavy(120, flags);
        members[1].flags = (uint8_t)flags;
        Bytes decoded = build_records(members);
        uint32_t start = members[1].offset;
        for (uint32_t cut = start; cut < decoded.size(); cut++) {
            Bytes stream = build_stream(decoded, {{METHOD_STORED, cut}});
            Engine fx(Engine::behind_stub(stream), Engine::kArchiveStart);
            Decoder* d = fx.d;
            Bytes out;
            ASSERT_EQ(extract(fx, members[1], out), 0) << cut;
            ASSERT_EQ(out, members[1].data) << "flags " << flags << " cut " << cut;
            ASSERT_EQ(d->running_crc, crc32_of(members[1].data));
        }
    }
}

TEST(MemberOutput, FourMembersInOneLzBlock)
{
    // The worked example's shape: names of 10, 11, 12 and 12 bytes, the
    // first member 19 bytes long, so the second record starts at 44.
    std::vector<TestMember> members(4);
    const char* names[] = {"readme.txt", "program.exe", "library1.dll", "data\\big.bin"};
    size_t sizes[] = {19, 109568, 46430, 133632};
    for (int i = 0; i < 4; i++) {
        members[i].name = names[i];
        members[i].data = i == 2 ? testutil::random_bytes(sizes[i], 20 + i) : testutil::text_bytes(sizes[i], 20 + i);
    }
    Bytes decoded = build_records(members);
    EXPECT_EQ(members[1].offset, 44u);
    EXPECT_EQ(members[2].offset, 44u + 11 + 11 + 109568 + 4);
    Bytes stream = {'Q', 'V', 'X', 'L', 'H', 0};
    packer::BitWriter bw(stream);
    packer::encode_lz_block(bw, decoded.data(), 0, (uint32_t)decoded.size(), true, 0, packer::LzOptions());
    Engine fx(Engine::behind_stub(stream), Engine::kArchiveStart);
    Decoder* d = fx.d;
    uint32_t before = d->block_fetch_count;
    for (const TestMember& m : members) {
        Bytes out;
        ASSERT_EQ(extract(fx, m, out), 0);
        EXPECT_TRUE(out == m.data) << m.name;
        EXPECT_EQ(d->running_crc, crc32_of(m.data)) << m.name;
    }
    EXPECT_EQ(d->block_fetch_count - before, 1u);
}

TEST(MemberOutput, StreamsFromTheArchiverRoundTrip)
{
    // Real encoders end to end: the archiver's stream writer chooses methods
    // and filters; every member comes back with its CRC-32.
    std::vector<Bytes> datas;
    std::vector<packer::StreamMember> members;
    for (int i = 0; i < 8; i++) {
        size_t size = (size_t)(i * 91733) % 150000;
        datas.push_back(i % 3 == 2 ? call_heavy(size, 30 + i)
                                   : i % 3 == 1 ? testutil::random_bytes(size, 30 + i)
                                                : testutil::text_bytes(size, 30 + i));
    }
    for (int i = 0; i < 8; i++) {
        packer::StreamMember m;
        m.name = "m" + std::to_string(i);
        m.data = datas[i].data();
        m.size = (uint32_t)datas[i].size();
        m.filter = i % 3 == 2 ? (uint8_t)(i % 2 ? ENTRY_FILTER16 : ENTRY_FILTER32) : 0;
        members.push_back(m);
    }
    std::vector<packer::StreamPlacement> placements;
    Bytes stream = packer::write_data_stream(members, packer::StreamOptions(), placements);
    ASSERT_EQ(placements.size(), members.size());
    Engine fx(Engine::behind_stub(stream), Engine::kArchiveStart);
    Decoder* d = fx.d;
    for (int i = 0; i < 8; i++) {
        Bytes out;
        ASSERT_EQ(fx.member(Engine::kStreamOffset, placements[i].member_offset, members[i].size,
                             placements[i].filter, out),
                  0);
        EXPECT_TRUE(out == datas[i]) << i;
        EXPECT_EQ(d->running_crc, placements[i].crc) << i;
        EXPECT_EQ(d->running_crc, crc32_of(datas[i])) << i;
    }
}

TEST(MemberOutput, WriteFailureIsReported)
{
    std::vector<TestMember> members(1);
    members[0].name = "x";
    members[0].data = call_heavy(3000, 3);
    Bytes decoded = build_records(members);
    Engine fx(Engine::behind_stub(build_stream(decoded, {})), Engine::kArchiveStart);
    Decoder* d = fx.d;
    testutil::TempDir dir;
    std::string path = dir.file("readonly");
    testutil::write_file(path, Bytes{});
    for (uint32_t flags : {0u, (uint32_t)ENTRY_FILTER32}) {
        FileHandle f = file_open(path.c_str(), ACCESS_READ);
        ASSERT_NE(f, INVALID_FILE);
        EXPECT_EQ(output_member(d, f, Engine::kStreamOffset, members[0].offset, 3000, flags), ERR_WRITE);
        file_close(f);
    }
}

TEST(MemberOutput, DamagedStreamsGiveAResultNeverAFault)
{
    std::vector<TestMember> members(5);
    for (int i = 0; i < 5; i++) {
        members[i].name = "f" + std::to_string(i);
        members[i].data = i == 3 ? call_heavy(3000, 50) : testutil::text_bytes(2000 + 1500 * i, 50 + i);
        members[i].flags = i == 3 ? ENTRY_FILTER32 : 0;
    }
    Bytes decoded = build_records(members);
    // Stored, BWT and LZ blocks in one stream.
    Bytes stream = {'Q', 'V', 'X', 'L', 'H', 0};
    {
        packer::BitWriter bw(stream);
        uint32_t a = 4000, b = 9000;
        packer::encode_stored_block(bw, decoded.data(), a, false);
        write_bwt_bytes(bw, Bytes(decoded.begin() + a, decoded.begin() + b), false, 9);
        Bytes window = decoded;
        packer::LzOptions options;
        options.allow_delta = false;
        // The BWT block keeps 512 bytes in front of it (capacity 5512 less
        // its 5000), so 5512 bytes precede the LZ block; it uses the last 5000.
        packer::encode_lz_block(bw, window.data() + (b - 5000), 5000, (uint32_t)decoded.size() - b, true,
                                4 /* row 0, column 1: 65,536 */, options);
    }
    {
        Engine fx(Engine::behind_stub(stream), Engine::kArchiveStart);
        for (const TestMember& m : members) {
            Bytes out;
            ASSERT_EQ(extract(fx, m, out), 0);
            ASSERT_TRUE(out == m.data) << m.name;
        }
    }
    uint32_t state = 99;
    auto next = [&state]() {
        state = state * 1103515245u + 12345u;
        return state >> 8;
    };
    int crc_failures = 0, errors = 0;
    for (int trial = 0; trial < 120; trial++) {
        Bytes damaged = stream;
        if (trial % 4 == 0) {
            damaged.resize(6 + next() % (stream.size() - 6));
        } else {
            for (int k = 0; k < 1 + trial % 4; k++) {
                size_t bit = 48 + next() % ((stream.size() - 6) * 8);
                damaged[bit / 8 % damaged.size()] ^= (uint8_t)(1u << (bit % 8));
            }
        }
        Engine fx(Engine::behind_stub(damaged), Engine::kArchiveStart);
        Decoder* d = fx.d;
        for (size_t i = 0; i < members.size(); i++) {
            const TestMember& m = members[(i * 3 + trial) % members.size()];  // out of order too
            Bytes out;
            ResultCode r = extract(fx, m, out);
            if (r < 0)
                errors++;
            else if (d->running_crc != crc32_of(m.data))
                crc_failures++;
            EXPECT_LE(out.size(), m.data.size());
        }
    }
    EXPECT_GT(errors + crc_failures, 0);
}
