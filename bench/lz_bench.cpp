// LZ blocks on corpus files: ratio, packing and decoding speed at levels 1, 6
// and 9, next to gzip -9 and xz -9 on the same files.
//
// Files are cut into blocks of the largest output length with the history
// carried between them (a window of 524,288 bytes), as the archiver writes a
// data stream; decoding goes through the engine's own decoder block by block
// and re-encodes each block's delta regions for the next, as the solid
// stream does.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include <unistd.h>

#include "codec/crc32.h"
#include "bench/bench_util.h"
#include "codec/decoder.h"
#include "codec/lz_decoder.h"
#include "codec/solid_stream.h"
#include "packer/block_writer.h"
#include "platform/platform.h"
#include "tests/engine.h"

namespace {

const uint32_t BLOCK = 1048575;
const uint32_t WINDOW = 524288;
const unsigned SELECTOR_WINDOW_524288 = 2 | (7 << 2);  // row 2, column 7

struct Result {
    size_t packed = 0;
    double pack_seconds = 0;
    double decode_seconds = 0;
    bool ok = false;
};

Result run_level(const std::vector<uint8_t>& data, int level)
{
    Result r;
    std::vector<uint8_t> window = data;  // rewritten in place inside delta regions
    std::vector<uint8_t> stream;
    packer::BitWriter out(stream);
    packer::LzOptions options;
    options.level = level;
    double t = bench_util::cpu_seconds();
    for (uint32_t start = 0; start < data.size(); start += BLOCK) {
        uint32_t len = std::min<uint32_t>(BLOCK, (uint32_t)data.size() - start);
        uint32_t history = std::min(start, WINDOW);
        packer::encode_lz_block(out, window.data() + start - history, history, len, start + len == data.size(),
                                SELECTOR_WINDOW_524288, options);
    }
    r.pack_seconds = bench_util::cpu_seconds() - t;
    r.packed = stream.size();

    testutil::Engine engine(stream);
    if (!engine.ok())
        return r;
    Decoder* d = engine.d;
    std::vector<uint8_t> decoded(data.size() + 8);
    r.ok = true;
    for (uint32_t start = 0; start < data.size() && r.ok; start += BLOCK) {
        uint32_t len = std::min<uint32_t>(BLOCK, (uint32_t)data.size() - start);
        uint32_t history = std::min(start, WINDOW);
        u8* base = decoded.data() + start - history;
        t = bench_util::cpu_seconds();
        if (stream_begin_block(d) < 0) {
            r.ok = false;
            break;
        }
        d->input.cursor += (BLOCK_HEADER_BITS + LZ_SELECTOR_BITS) / 8;
        d->input.bit_position = (BLOCK_HEADER_BITS + LZ_SELECTOR_BITS) % 8;
        i32 got = decode_lz_block(d, base, history, len, 1);
        r.decode_seconds += bench_util::cpu_seconds() - t;
        r.ok = got == (i32)len && memcmp(base + history, data.data() + start, len) == 0;
        // The next block's history is kept in difference form.
        d->stream.history = base;
        d->stream.kept = history + len;
        delta_encode_tail(d, std::min<uint32_t>(history + len, WINDOW));
        d->stream.history = nullptr;
        d->stream.kept = 0;
    }
    return r;
}

}  // namespace

int main()
{
    const int levels[] = {1, 6, 9};

    printf("%-8s %9s | %9s %6s | %9s %6s |", "file", "size", "gzip -9", "ratio", "xz -9", "ratio");
    for (int level : levels)
        printf(" L%d %9s %6s %6s %6s |", level, "bytes", "ratio", "pk MB/s", "dec MB/s");
    printf("\n");
    int skipped = 0;
    for (const char* name : {"dickens", "ooffice", "mr"}) {
        std::string path = bench_util::corpus_file(name);
        if (path.empty()) {
            skipped++;
            continue;
        }
        std::vector<uint8_t> data = bench_util::read_file(path);
        long gz = bench_util::output_size("gzip -9 -c '" + path + "'");
        long xz = bench_util::output_size("xz -9 -c -T1 '" + path + "'");
        printf("%-8s %9zu | %9ld %5.2f%% | %9ld %5.2f%% |", name, data.size(), gz, 100.0 * gz / data.size(), xz,
               100.0 * xz / data.size());
        fflush(stdout);
        for (int level : levels) {
            Result r = run_level(data, level);
            double mb = data.size() / 1e6;
            printf("    %9zu %5.2f%% %7.1f %8.1f%s|", r.packed, 100.0 * r.packed / data.size(),
                   mb / r.pack_seconds, mb / r.decode_seconds, r.ok ? " " : "!");
            fflush(stdout);
        }
        printf("\n");
        remove(path.c_str());
    }
    printf("ratio = packed size / original size; MB/s from CPU time (1 MB = 10^6 bytes); '!' marks a level\n"
           "whose decode did not match.\n");
    return skipped == 3 ? 0 : 0;
}
