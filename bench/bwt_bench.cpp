// BWT decoding speed: MB/s of decoded output through the solid stream
// (next_block reading the block from the file, decode_bwt_block, the
// history rules), the way the extractor takes a stream of BWT blocks.
//
//   bwt_bench [-n runs] [-l level] [-m max_mb] [file...]
//
// Without files it unzips the Silesia samples from the shared corpus into
// /tmp/dravex-bench-silesia. Each file is cut to max_mb (default 8) MB and
// coded once by the archiver's BWT encoder in blocks of the largest output
// length; the stream is decoded `runs` times (default 5) and the best run is
// reported, in processor time, since the machine is shared. The first run
// is checked against the original. Two synthetic inputs show the ends of
// the range: random bytes (no runs, in 900,000-byte blocks so that the
// coded block fits its 20-bit stored length) and one repeated byte (a
// handful of run digits).
//
// Beside each figure: libbz2 decoding the same bytes, packed by
// BZ2_bzBuffToBuffCompress at its largest block size (900 KB), in the same
// process and the same way (best of the runs, processor time), and the
// ratio of the two speeds.

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include <unistd.h>

#include <bzlib.h>

#include "bench/bench_util.h"
#include "bench/stream_decode.h"
#include "codec/crc32.h"
#include "codec/decoder.h"
#include "codec/solid_stream.h"
#include "packer/block_writer.h"
#include "platform/platform.h"
#include "tests/engine.h"

namespace {

const uint32_t BLOCK = MAX_BLOCK_OUTPUT;

struct Options {
    int runs = 5;
    int level = 6;
    size_t max_bytes = 8u << 20;
};

// The stream as it lies in an archive: signature, then BWT blocks.
std::vector<uint8_t> encode(const std::vector<uint8_t>& data, uint32_t block, int level, double* seconds_ret)
{
    std::vector<uint8_t> stream = {'Q', 'V', 'X', 'L', 'H', 0};
    packer::BitWriter w(stream);
    packer::BwtOptions options;
    options.level = level;
    bench_util::CpuTimer t;
    for (uint32_t start = 0; start < data.size(); start += block) {
        uint32_t len = std::min<uint32_t>(block, (uint32_t)data.size() - start);
        packer::encode_bwt_block(w, data.data() + start, len, start + len >= data.size(), options);
    }
    *seconds_ret = t.seconds();
    return stream;
}

double decode_once(Decoder* dec, size_t total, const std::vector<uint8_t>* check)
{
    return bench_util::decode_stream(dec, total, check);
}

// libbz2's decoding speed on the same bytes in MB/s of output, or -1.
double bzip2_speed(const std::vector<uint8_t>& data, int runs)
{
    unsigned packed_size = (unsigned)(data.size() + data.size() / 100 + 600);
    std::vector<char> packed(packed_size);
    if (BZ2_bzBuffToBuffCompress(packed.data(), &packed_size, (char*)data.data(), (unsigned)data.size(), 9, 0, 0) !=
        BZ_OK)
        return -1;
    std::vector<char> out(data.size());
    double best = -1;
    for (int i = 0; i <= runs; i++) {
        unsigned out_size = (unsigned)out.size();
        bench_util::CpuTimer t;
        int r = BZ2_bzBuffToBuffDecompress(out.data(), &out_size, packed.data(), packed_size, 0, 0);
        double s = t.seconds();
        if (r != BZ_OK || out_size != data.size() || std::memcmp(out.data(), data.data(), data.size()) != 0)
            return -1;
        best = best < 0 ? s : std::min(best, s);
    }
    return data.size() / 1e6 / best;
}

void bench(const std::string& name, const std::vector<uint8_t>& data, const Options& o, uint32_t block = BLOCK)
{
    double encode_seconds = 0;
    std::vector<uint8_t> stream = encode(data, block, o.level, &encode_seconds);
    testutil::Engine engine(stream);
    if (!engine.ok()) {
        std::printf("%-14s cannot write the scratch file\n", name.c_str());
        return;
    }

    double best = decode_once(engine.d, data.size(), &data);
    for (int i = 0; i < o.runs && best >= 0; i++) {
        double s = decode_once(engine.d, data.size(), nullptr);
        best = s < 0 ? s : std::min(best, s);
    }
    double mb = data.size() / 1e6;
    double bzip2 = bzip2_speed(data, o.runs);
    if (best < 0)
        std::printf("%-14s %8.2f MB  decode FAILED\n", name.c_str(), mb);
    else
        std::printf("%-14s %8.2f MB  ratio %.3f  encode %6.1f MB/s  decode %6.1f MB/s  libbz2 %6.1f MB/s  x%.2f\n",
                    name.c_str(), mb, (double)stream.size() / data.size(), mb / encode_seconds, mb / best, bzip2,
                    mb / best / bzip2);
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv)
{
    Options o;
    std::vector<std::string> files = bench_util::parse_args(argc, argv, o.runs, o.level, o.max_bytes);

    std::printf("BWT decode speed through next_block, %u-byte blocks, level %d, best of %d runs\n"
                "(MB = 10^6 bytes of output, processor time)\n",
                BLOCK, o.level, o.runs);
    bench_util::for_each_file(files, o.max_bytes,
                              [&](const std::string& name, const std::vector<uint8_t>& data) { bench(name, data, o); });

    std::vector<uint8_t> random = bench_util::noise(4u << 20);
    // A block's stored length has 20 bits: incompressible blocks must stay
    // below the largest output length to fit.
    bench("(random)", random, o, 900000);
    bench("(one byte)", std::vector<uint8_t>(8u << 20, 'a'), o);
    return 0;
}
