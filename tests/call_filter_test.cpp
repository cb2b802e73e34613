// The forward call filters against the extractor's own filter: every member
// converted by encode_calls and passed through filter_piece, in any cutting
// into pieces, comes back byte for byte, for operands at every edge of the
// 32-bit mapping and for 0xE8 bytes at every position near the member's end.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <random>

#include "archive/records.h"
#include "codec/crc32.h"
#include "codec/member_output.h"
#include "packer/call_filter.h"
#include "platform/platform.h"
#include "tests/engine.h"
#include "test_util.h"

namespace {

using testutil::Bytes;

uint32_t standard_crc(const Bytes& b)
{
    return b.empty() ? 0 : crc32_update(b.data(), (u32)b.size(), 0xFFFFFFFFu) ^ 0xFFFFFFFFu;
}

// extract runs thousands of times; freeing a file's blocks on a disk file
// system can wait for the device, so the output goes to memory when it can.
std::string scratch_file()
{
    static testutil::TempDir fallback;
    char shm[] = "/dev/shm/dravex-filter-XXXXXX";
    int fd = mkstemp(shm);
    if (fd < 0)
        return fallback.file("out");
    close(fd);
    static std::string name = shm;
    std::atexit([] { unlink(name.c_str()); });
    return name;
}

// Runs stored bytes through the extractor's filter, cut into pieces of the
// given lengths (the last piece takes the rest).
Bytes extract(const Bytes& stored, uint8_t flags, const std::vector<size_t>& cuts, uint32_t* crc_ret = nullptr)
{
    static const std::string path = scratch_file();
    static testutil::Engine engine;
    Decoder* d = engine.d;
    FileHandle f = file_create(path.c_str(), 0);
    EXPECT_NE(f, INVALID_FILE);
    filter_begin(d, flags);
    d->running_crc = 0xFFFFFFFFu;
    uint32_t size = (uint32_t)stored.size();
    size_t pos = 0;
    for (size_t i = 0; i <= cuts.size() && pos < size; i++) {
        size_t n = i < cuts.size() ? std::min(cuts[i], size - pos) : size - pos;
        int final = pos + n == size;
        EXPECT_EQ(filter_piece(d, f, stored.data() + pos, (i32)n, (u32)pos, size, final), 0);
        pos += n;
    }
    file_close(f);
    if (crc_ret)
        *crc_ret = d->running_crc ^ 0xFFFFFFFFu;
    return testutil::read_file(path);
}

Bytes whole(const Bytes& stored, uint8_t flags) { return extract(stored, flags, {}); }

void put32(Bytes& b, size_t at, uint32_t v)
{
    for (int i = 0; i < 4; i++)
        b[at + i] = (uint8_t)(v >> (8 * i));
}

uint32_t get32(const Bytes& b, size_t at)
{
    return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | ((uint32_t)b[at + 3] << 24);
}

TEST(CallFilterEncoder, ConvertsTheWorkedExamples)
{
    // 32-bit, member size 0x1000, operand at q = 0x101: the extractor turns
    // 0x500 into 0x3FF and -5 into 0xF03 and leaves 0x2000 and -0x200 alone,
    // so the encoder must produce exactly those stored forms.
    struct Case { uint32_t relative, stored; } cases[] = {
        {0x3FF, 0x500}, {0xF03, (uint32_t)-5}, {0x2000, 0x2000}, {(uint32_t)-0x200, (uint32_t)-0x200}};
    for (const Case& c : cases) {
        Bytes member(0x1000, 0);
        member[0x100] = 0xE8;
        put32(member, 0x101, c.relative);
        Bytes stored = packer::encode_calls(member.data(), (uint32_t)member.size(), 4);
        EXPECT_EQ(get32(stored, 0x101), c.stored) << std::hex << c.relative;
        EXPECT_EQ(whole(stored, ENTRY_FILTER32), member);
    }
    // 16-bit: 0x2345 at q = 0x1001 is written as 0x1344.
    Bytes member(0x2000, 0);
    member[0x1000] = 0xE8;
    member[0x1001] = 0x44;
    member[0x1002] = 0x13;
    Bytes stored = packer::encode_calls(member.data(), (uint32_t)member.size(), 2);
    EXPECT_EQ(stored[0x1001], 0x45);
    EXPECT_EQ(stored[0x1002], 0x23);
    EXPECT_EQ(whole(stored, ENTRY_FILTER16), member);
}

TEST(CallFilterEncoder, EveryOperandEdgeRoundTrips)
{
    // For each size and opcode position the operands at the borders of the
    // three cases of the 32-bit mapping, and the extremes of the range.
    for (uint32_t size : {5u, 6u, 9u, 16u, 4096u}) {
        for (uint32_t p = 0; p + 4 <= size - 1; p += (size > 64 ? 509 : 1)) {
            int64_t q = p + 1, s = size;
            std::vector<int64_t> values = {0, 1, -1, -q, -q - 1, -q + 1, s - q - 1, s - q, s - q + 1, s - 1, s,
                                           s + 1, INT32_MIN, INT32_MAX, INT32_MIN + 1, INT32_MAX - 1, q, -s};
            for (int64_t v : values) {
                Bytes member(size, 0x90);
                member[p] = 0xE8;
                put32(member, p + 1, (uint32_t)v);
                Bytes stored = packer::encode_calls(member.data(), size, 4);
                ASSERT_EQ(whole(stored, ENTRY_FILTER32), member) << "size " << size << " p " << p << " v " << v;
            }
        }
    }
}

TEST(CallFilterEncoder, RandomOperandsRoundTrip)
{
    // Dense calls with operands from all over the 32-bit range and from
    // near the member, so every mapping case is hit many times.
    std::mt19937 rng(7);
    for (int round = 0; round < 20; round++) {
        uint32_t size = 1000 + rng() % 50000;
        Bytes member(size);
        for (uint32_t i = 0; i < size; i++) {
            uint32_t r = rng();
            member[i] = (r % 3 == 0) ? 0xE8 : (uint8_t)(r >> 8);
        }
        for (uint32_t i = 0; i + 5 <= size; i += 5 + rng() % 7)
            if (member[i] == 0xE8 && rng() % 2)
                put32(member, i + 1, (uint32_t)((int64_t)(rng() % (3 * size)) - size - i));
        Bytes stored = packer::encode_calls(member.data(), size, 4);
        ASSERT_EQ(whole(stored, ENTRY_FILTER32), member);
        Bytes stored16 = packer::encode_calls(member.data(), size, 2);
        ASSERT_EQ(whole(stored16, ENTRY_FILTER16), member);
    }
}

TEST(CallFilterEncoder, OpcodesNearTheEndFollowTheWholeMemberRule)
{
    // An 0xE8 at size - 5 is converted (its operand ends on the last byte);
    // at size - 4 and later it and everything after it stays as it is.
    for (int width : {2, 4}) {
        uint8_t flag = width == 2 ? ENTRY_FILTER16 : ENTRY_FILTER32;
        for (uint32_t size = 1; size <= 14; size++) {
            for (uint32_t mask = 0; mask < (1u << std::min(size, 10u)); mask += (size > 10 ? 3 : 1)) {
                Bytes member(size);
                for (uint32_t i = 0; i < size; i++)
                    member[i] = (mask >> (i % 10)) & 1 ? 0xE8 : (uint8_t)(0x11 * i);
                Bytes stored = packer::encode_calls(member.data(), size, width);
                ASSERT_EQ(whole(stored, flag), member) << "width " << width << " size " << size << " mask " << mask;
                // Every cutting into two pieces, for a sample of the patterns.
                if (mask % 11 == 0 || mask + 1 == (1u << std::min(size, 10u))) {
                    for (size_t cut = 1; cut < size; cut++)
                        ASSERT_EQ(extract(stored, flag, {cut}), member);
                }
            }
        }
        Bytes tail(12, 0);
        tail[12 - width - 1] = 0xE8;  // operand ends on the last byte: converted
        tail[12 - width - 1 + 1] = 3;
        Bytes stored = packer::encode_calls(tail.data(), 12, width);
        EXPECT_NE(stored, tail);
        tail.assign(12, 0);
        tail[12 - width] = 0xE8;  // operand would need one byte more
        tail[12 - width + 1] = 3;
        EXPECT_EQ(packer::encode_calls(tail.data(), 12, width), tail);
    }
}

TEST(CallFilterEncoder, OperandBytesAreNeverOpcodes)
{
    // E8 E8 E8 E8 E8 ...: the first opcode takes the next four bytes as its
    // operand, so the next opcode is the sixth byte.
    Bytes member(23, 0xE8);
    Bytes stored = packer::encode_calls(member.data(), 23, 4);
    EXPECT_EQ(stored[0], 0xE8);
    EXPECT_EQ(stored[5], 0xE8);
    EXPECT_EQ(whole(stored, ENTRY_FILTER32), member);
    for (size_t a = 1; a < 23; a++)
        for (size_t b = 1; b < 23 - a; b++)
            ASSERT_EQ(extract(stored, ENTRY_FILTER32, {a, b}), member);
}

TEST(CallFilterEncoder, AnyCuttingGivesTheSameBytesAndCrc)
{
    Bytes member = testutil::random_bytes(70000, 3);
    for (size_t i = 0; i < member.size(); i += 3)
        if (i % 7 == 0)
            member[i] = 0xE8;
    Bytes stored = packer::encode_calls(member.data(), (uint32_t)member.size(), 4);
    std::mt19937 rng(11);
    for (int round = 0; round < 30; round++) {
        std::vector<size_t> cuts;
        for (int k = 0; k < 40; k++)
            cuts.push_back(round % 2 ? 1 + rng() % 9 : 1 + rng() % 20000);
        uint32_t crc = 0;
        ASSERT_EQ(extract(stored, ENTRY_FILTER32, cuts, &crc), member);
        EXPECT_EQ(crc, standard_crc(member));
    }
}

TEST(CallFilterEncoder, DetectsExecutablesByHeader)
{
    Bytes pe(4096, 0);
    pe[0] = 'M';
    pe[1] = 'Z';
    pe[0x18] = 0x40;
    pe[0x3C] = 0x80;
    pe[0x80] = 'P';
    pe[0x81] = 'E';
    pe[0x84] = 0x4C;
    pe[0x85] = 0x01;
    EXPECT_EQ(packer::detect_call_filter(pe.data(), (uint32_t)pe.size()), ENTRY_FILTER32);
    pe[0x84] = 0x64;  // AMD64 code has the same rel32 calls
    pe[0x85] = 0x86;
    EXPECT_EQ(packer::detect_call_filter(pe.data(), (uint32_t)pe.size()), ENTRY_FILTER32);
    pe[0x84] = 0xC4;  // ARM
    pe[0x85] = 0x01;
    EXPECT_EQ(packer::detect_call_filter(pe.data(), (uint32_t)pe.size()), 0);
    pe[0x80] = 'N';
    EXPECT_EQ(packer::detect_call_filter(pe.data(), (uint32_t)pe.size()), ENTRY_FILTER16);
    pe[0x18] = 0x1C;  // a DOS program: no new header
    pe[0x80] = 0;
    EXPECT_EQ(packer::detect_call_filter(pe.data(), (uint32_t)pe.size()), ENTRY_FILTER16);
    // A bogus new-header offset must not be followed out of the data.
    pe[0x18] = 0x40;
    put32(pe, 0x3C, 0xFFFFFFF0u);
    packer::detect_call_filter(pe.data(), (uint32_t)pe.size());
    packer::detect_call_filter(pe.data(), 64);
}

TEST(CallFilterEncoder, DetectsCodeByItsCallsAndLeavesDataAlone)
{
    EXPECT_EQ(packer::detect_call_filter(nullptr, 0), 0);
    Bytes text = testutil::text_bytes(200000, 1);
    EXPECT_EQ(packer::detect_call_filter(text.data(), (uint32_t)text.size()), 0);
    Bytes noise = testutil::random_bytes(200000, 2);
    EXPECT_EQ(packer::detect_call_filter(noise.data(), (uint32_t)noise.size()), 0);
    // Headerless code: calls from all over to a few hundred functions.
    Bytes code = testutil::random_bytes(200000, 5);
    std::mt19937 rng(5);
    for (uint32_t i = 0; i + 5 < code.size(); i += 20 + rng() % 40) {
        uint32_t target = (rng() % 300) * 600;
        code[i] = 0xE8;
        put32(code, i + 1, (uint32_t)((int64_t)target - (i + 5)));
    }
    EXPECT_EQ(packer::detect_call_filter(code.data(), (uint32_t)code.size()), ENTRY_FILTER32);
}

TEST(CallFilterEncoder, FilterRulesOutOnlyMembersTooLargeToMapBack)
{
    EXPECT_TRUE(packer::call_filter_reversible(0x7FFFFFFFu, 4));
    EXPECT_FALSE(packer::call_filter_reversible(0x80000000u, 4));
    EXPECT_TRUE(packer::call_filter_reversible(0xFFFFFFFFu, 2));
}

TEST(CallFilterEncoder, RealExecutableRoundTrips)
{
    std::string zip = testutil::shared_dir() + "/corpus/silesia/ooffice.zip";
    if (testutil::shared_dir().empty() || !testutil::file_exists(zip))
        GTEST_SKIP() << "no ooffice in the corpus";
    Bytes exe;
    FILE* p = popen(("unzip -p '" + zip + "' 2>/dev/null").c_str(), "r");
    ASSERT_NE(p, nullptr);
    uint8_t buf[65536];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0)
        exe.insert(exe.end(), buf, buf + n);
    pclose(p);
    if (exe.empty())
        GTEST_SKIP() << "unzip not available";
    EXPECT_EQ(packer::detect_call_filter(exe.data(), (uint32_t)exe.size()), ENTRY_FILTER32);
    Bytes stored = packer::encode_calls(exe.data(), (uint32_t)exe.size(), 4);
    EXPECT_NE(stored, exe);
    uint32_t crc = 0;
    EXPECT_EQ(extract(stored, ENTRY_FILTER32, {1048575, 1048575, 3, 1048569}, &crc), exe);
    EXPECT_EQ(crc, standard_crc(exe));
}

}  // namespace
