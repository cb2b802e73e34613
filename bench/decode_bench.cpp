// LZ decoding speed: MB/s of decoded output through the engine's input
// stream and decode_lz_block, the way the solid stream feeds them (blocks of
// the largest output length, 524,288 bytes of history carried from block to
// block, delta regions re-encoded for the next block).
//
//   decode_bench [-n runs] [-l level] [-m max_mb] [file...]
//
// Without files it unzips the Silesia samples from the shared corpus into
// /tmp/dravex-bench-silesia. Each file is cut to max_mb (default 8) MB,
// encoded once with the archiver's LZ encoder, written to a scratch file and
// decoded `runs` times (default 5); the best run is reported, as the file is
// in the page cache after the first. Times are the process's CPU time, which
// other work on a busy machine disturbs less than the wall clock. Two synthetic inputs show the ends of
// the range: random literals (every symbol a literal) and long repeats
// (every symbol a long match).

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include <unistd.h>

#include "bench/bench_util.h"
#include "codec/decoder.h"
#include "packer/block_writer.h"
#include "platform/platform.h"
#include "tests/engine.h"


namespace {

const uint32_t BLOCK = 1048575;
const uint32_t WINDOW = 524288;
const unsigned SELECTOR_524288 = 2 | (7 << 2);  // row 2, column 7

struct Options {
    int runs = 5;
    int level = 6;
    size_t max_bytes = 8u << 20;
};

struct Encoded {
    std::vector<uint8_t> stream;
    std::vector<uint32_t> lengths;  // output length of each block
};

Encoded encode(const std::vector<uint8_t>& data, int level, uint32_t block)
{
    Encoded e;
    std::vector<uint8_t> window = data;  // the encoder may rewrite delta regions
    packer::BitWriter w(e.stream);
    packer::LzOptions options;
    options.level = level;
    for (uint32_t start = 0; start < data.size(); start += block) {
        uint32_t len = std::min<uint32_t>(block, (uint32_t)data.size() - start);
        uint32_t history = std::min(start, WINDOW);
        bool last = start + len >= data.size();
        packer::encode_lz_block(w, window.data() + start - history, history, len, last, SELECTOR_524288, options);
        e.lengths.push_back(len);
    }
    return e;
}

// Decodes the whole stream once and returns the seconds it took, or -1 on a
// failure. With `check`, every block is compared with the original right
// after it is decoded (before its tail goes back to the delta-coded form).
double decode_once(Decoder* d, const Encoded& e, std::vector<uint8_t>& out, const std::vector<uint8_t>* check)
{
    file_seek(d->file, 0, SEEK_FROM_START);
    d->input.file_position = 0;
    d->input.resume_position = 0;
    d->input.block_remaining = 0;
    d->stream.history_valid = 0;
    double t0 = bench_util::cpu_seconds();
    uint32_t start = 0;
    for (uint32_t len : e.lengths) {
        uint32_t history = std::min(start, WINDOW);
        u8* base = out.data() + start - history;
        if (stream_begin_block(d) < 0)
            return -1;
        d->input.cursor += (BLOCK_HEADER_BITS + LZ_SELECTOR_BITS) / 8;
        d->input.bit_position = (BLOCK_HEADER_BITS + LZ_SELECTOR_BITS) % 8;
        if (decode_lz_block(d, base, history, len, 1) != (i32)len)
            return -1;
        if (check != nullptr && std::memcmp(base + history, check->data() + start, len) != 0)
            return -1;
        // As next_block does before the next block: the kept tail goes back
        // to its delta-coded form (the history stays in place here).
        d->stream.history = base;
        d->stream.kept = history + len;
        delta_encode_tail(d, std::min<uint32_t>(history + len, WINDOW));
        d->stream.history = nullptr;
        d->stream.kept = 0;
        d->stream.history_valid = 1;
        d->input.resume_position = d->input.file_position;
        start += len;
    }
    double seconds = bench_util::cpu_seconds() - t0;
    d->stream.history_valid = 0;
    return seconds;
}

// Prints one line: name, size, ratio, best MB/s of decoded output.
// With DECODE_BENCH_CACHE=<dir>, encoded streams are kept there between
// runs, so that a profile or a cycle count of the program is mostly decoding.
// The decode is still checked against the original, so a stale entry can
// only misstate the ratio.
Encoded encode_cached(const std::string& name, const std::vector<uint8_t>& data, int level, uint32_t block)
{
    const char* dir = getenv("DECODE_BENCH_CACHE");
    if (dir == nullptr)
        return encode(data, level, block);
    std::string path = std::string(dir) + "/" + name + "-" + std::to_string(level) + "-" +
                       std::to_string(data.size()) + "-" + std::to_string(block);
    Encoded e;
    if (FILE* f = fopen(path.c_str(), "rb")) {
        uint32_t count = 0;
        bool ok = fread(&count, 4, 1, f) == 1;
        e.lengths.resize(ok ? count : 0);
        ok = ok && fread(e.lengths.data(), 4, count, f) == count;
        uint8_t buf[65536];
        size_t n;
        while (ok && (n = fread(buf, 1, sizeof buf, f)) > 0)
            e.stream.insert(e.stream.end(), buf, buf + n);
        fclose(f);
        if (ok)
            return e;
    }
    e = encode(data, level, block);
    if (FILE* f = fopen(path.c_str(), "wb")) {
        uint32_t count = (uint32_t)e.lengths.size();
        fwrite(&count, 4, 1, f);
        fwrite(e.lengths.data(), 4, count, f);
        fwrite(e.stream.data(), 1, e.stream.size(), f);
        fclose(f);
    }
    return e;
}

void bench(const std::string& name, const std::vector<uint8_t>& data, const Options& o, uint32_t block = BLOCK)
{
    Encoded e = encode_cached(name, data, o.level, block);
    testutil::Engine engine(e.stream);
    if (!engine.ok()) {
        std::printf("%-14s cannot write the scratch file\n", name.c_str());
        return;
    }
    std::vector<uint8_t> out(data.size());
    double best = decode_once(engine.d, e, out, &data);
    for (int i = 0; i < o.runs && best >= 0; i++) {
        double s = decode_once(engine.d, e, out, nullptr);
        best = s < 0 ? s : std::min(best, s);
    }
    double mb = data.size() / 1e6;
    if (best < 0)
        std::printf("%-14s %9.2f MB  decode FAILED\n", name.c_str(), mb);
    else
        std::printf("%-14s %9.2f MB  ratio %.3f  %8.1f MB/s\n", name.c_str(), mb,
                    (double)e.stream.size() / data.size(), mb / best);
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv)
{
    Options o;
    std::vector<std::string> files = bench_util::parse_args(argc, argv, o.runs, o.level, o.max_bytes);

    std::printf("LZ decode speed, level %d blocks, best of %d runs, CPU time (MB = 10^6 bytes of output)\n",
                o.level, o.runs);
    bench_util::for_each_file(files, o.max_bytes,
                              [&](const std::string& name, const std::vector<uint8_t>& data) { bench(name, data, o); });

    // The two ends of the range.
    std::vector<uint8_t> literals = bench_util::noise(4u << 20);
    // Incompressible data expands a little, and a block's stored length has
    // only 20 bits: smaller blocks keep it in range.
    bench("(literals)", literals, o, 1000000);
    std::vector<uint8_t> repeats(16u << 20);
    for (size_t i = 0; i < repeats.size(); i++)
        repeats[i] = (uint8_t)(i % 1000 < 500 ? i % 7 : i % 13);
    bench("(repeats)", repeats, o);
    return 0;
}
