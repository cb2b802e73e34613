// BWT blocks and the 32-bit call filter on corpus files.
//
// Part 1: dickens, nci and xml cut into blocks of the largest output length,
// each coded as a BWT block, next to bzip2 -9 on the same file in the same
// run; the whole data stream (best of LZ, BWT and stored per block) for
// comparison.
// Part 2: ooffice as one member of a data stream, with and without the
// 32-bit call filter, at an LZ-only level and at the levels that take the
// best of all methods.
//
// Every stream is decoded again through the engine's member output and its
// CRC-32 checked; a '!' marks a figure whose decode did not match.
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include <unistd.h>

#include "archive/records.h"
#include "bench/bench_util.h"
#include "codec/crc32.h"
#include "codec/decoder.h"
#include "codec/member_output.h"
#include "codec/solid_stream.h"
#include "packer/block_writer.h"
#include "packer/call_filter.h"
#include "packer/stream_writer.h"
#include "platform/platform.h"
#include "tests/engine.h"

namespace {

using Bytes = std::vector<uint8_t>;

uint32_t standard_crc(const Bytes& data)
{
    return data.empty() ? 0 : crc32_update(data.data(), (u32)data.size(), 0xFFFFFFFFu) ^ 0xFFFFFFFFu;
}

// Decodes one member of a stream with the engine and compares its CRC-32.
bool decodes(const Bytes& stream, uint32_t member_offset, uint32_t size, uint32_t flags, uint32_t crc,
             const std::string& dir, double* seconds)
{
    std::string out = dir + "/member.out";
    testutil::Engine engine(stream);
    if (!engine.ok())
        return false;
    FileHandle f = file_create(out.c_str(), 0);
    bench_util::CpuTimer t;
    ResultCode r = output_member(engine.d, f, 0, member_offset, size, flags);
    *seconds = t.seconds();
    file_close(f);
    remove(out.c_str());
    return r == 0 && engine.d->running_crc == crc;
}

// The file as a stream of BWT blocks only, as the block encoder alone does.
size_t bwt_only_size(const Bytes& data, int level, double* seconds, bool* ok, const std::string& dir)
{
    // One member record around the data, so the engine can read it back.
    Bytes record(LOCAL_HEADER_SIZE + 1, 0);
    LocalHeader header{};
    header.member_length = (u32)data.size();
    header.name_length = 1;
    write_local_header(record.data(), &header);
    record[LOCAL_HEADER_SIZE] = 'f';
    record.insert(record.end(), data.begin(), data.end());
    uint32_t crc = standard_crc(data);
    for (int i = 0; i < 4; i++)
        record.push_back((uint8_t)(crc >> (8 * i)));

    Bytes stream(stream_signature, stream_signature + STREAM_SIGNATURE_SIZE);
    packer::BitWriter w(stream);
    packer::BwtOptions options;
    options.level = level;
    bench_util::CpuTimer t;
    for (size_t at = 0; at < record.size(); at += MAX_BLOCK_OUTPUT) {
        uint32_t n = (uint32_t)std::min<size_t>(MAX_BLOCK_OUTPUT, record.size() - at);
        packer::encode_bwt_block(w, record.data() + at, n, at + n == record.size(), options);
    }
    *seconds = t.seconds();
    double decode_seconds = 0;
    *ok = decodes(stream, 0, (uint32_t)data.size(), 0, crc, dir, &decode_seconds);
    // Signature and record framing are not the coder's: leave them out.
    return stream.size() - STREAM_SIGNATURE_SIZE;
}

size_t stream_size(const Bytes& data, uint8_t filter, int level, double* seconds, bool* ok, const std::string& dir)
{
    std::vector<packer::StreamMember> members = {{"f", data.data(), (uint32_t)data.size(), filter, false, {}}};
    packer::StreamOptions options;
    options.level = level;
    std::vector<packer::StreamPlacement> placements;
    bench_util::CpuTimer t;
    Bytes stream = packer::write_data_stream(members, options, placements);
    *seconds = t.seconds();
    double decode_seconds = 0;
    *ok = decodes(stream, placements[0].member_offset, (uint32_t)data.size(), placements[0].filter, placements[0].crc,
                  dir, &decode_seconds);
    return stream.size() - STREAM_SIGNATURE_SIZE;
}

bool unpack(const char* name, Bytes& data)
{
    std::string path = bench_util::corpus_file(name);
    if (path.empty())
        return false;
    data = bench_util::read_file(path);
    return true;
}

double pct(size_t part, size_t whole) { return 100.0 * (double)part / (double)whole; }

}  // namespace

int main()
{
    char scratch_template[] = "/tmp/stream_bench.XXXXXX";
    const char* scratch = mkdtemp(scratch_template);
    if (scratch == nullptr) {
        fprintf(stderr, "stream_bench: cannot create a temporary directory\n");
        return 1;
    }
    const std::string dir = scratch;

    printf("BWT blocks (1,048,575 bytes each) next to bzip2 -9; ratio = packed / original\n");
    printf("%-8s %9s | %9s %6s | %9s %6s %7s | %9s %6s %7s | %9s %6s\n", "file", "size", "bzip2 -9", "ratio",
           "BWT L6", "ratio", "cpuMB/s", "BWT L9", "ratio", "cpuMB/s", "stream L6", "ratio");
    for (const char* name : {"dickens", "nci", "xml"}) {
        Bytes data;
        if (!unpack(name, data))
            continue;
        std::string path = bench_util::corpus_file(name);
        long bz = bench_util::output_size("bzip2 -9 -c '" + path + "'");
        double s6 = 0, s9 = 0, ss = 0;
        bool ok6 = false, ok9 = false, oks = false;
        size_t b6 = bwt_only_size(data, 6, &s6, &ok6, dir);
        size_t b9 = bwt_only_size(data, 9, &s9, &ok9, dir);
        size_t st = stream_size(data, 0, 6, &ss, &oks, dir);
        double mb = data.size() / 1e6;
        printf("%-8s %9zu | %9ld %5.2f%% | %9zu %5.2f%%%s %7.1f | %9zu %5.2f%%%s %7.1f | %9zu %5.2f%%%s\n", name,
               data.size(), bz, pct(bz, data.size()), b6, pct(b6, data.size()), ok6 ? " " : "!", mb / s6, b9,
               pct(b9, data.size()), ok9 ? " " : "!", mb / s9, st, pct(st, data.size()), oks ? " " : "!");
        fflush(stdout);
    }

    printf("\n32-bit call filter on ooffice (one member, whole data stream)\n");
    Bytes exe;
    if (unpack("ooffice", exe)) {
        printf("detected filter flag: %u\n", (unsigned)packer::detect_call_filter(exe.data(), (uint32_t)exe.size()));
        printf("%-22s %9s %9s %6s %9s %6s %7s\n", "level", "size", "plain", "ratio", "filtered", "ratio", "gain");
        struct Row { const char* label; int level; } rows[] = {
            {"L4 (LZ only)", 4}, {"L6 (best of LZ/BWT)", 6}, {"L9 (best of LZ/BWT)", 9}};
        for (const Row& row : rows) {
            double s = 0;
            bool ok_plain = false, ok_filtered = false;
            size_t plain = stream_size(exe, 0, row.level, &s, &ok_plain, dir);
            size_t filtered = stream_size(exe, ENTRY_FILTER32, row.level, &s, &ok_filtered, dir);
            printf("%-22s %9zu %9zu %5.2f%%%s %9zu %5.2f%%%s %6.2f%%\n", row.label, exe.size(), plain,
                   pct(plain, exe.size()), ok_plain ? " " : "!", filtered, pct(filtered, exe.size()),
                   ok_filtered ? " " : "!", 100.0 - pct(filtered, plain));
            fflush(stdout);
        }
        remove((dir + "/ooffice").c_str());
    }
    printf("gain = how much smaller the filtered stream is than the plain one.\n");
    rmdir(dir.c_str());
    return 0;
}
