// Decoding speed per block type, in the host build and in the stub's.
//
//   block_speed_bench [-n runs] [-l level] [-m max_mb] [file...]
//
// Built twice from this source: block_speed_bench with the host's decoder,
// and block_speed_stub_build with the decoder compiled the way the stub is
// (-Os, the size-first forms of the shared sources), linked to the same
// archiver. The first runs the second (found beside it) with -raw and prints
// both builds' figures side by side, so the stub's extraction speed is
// measured on this machine rather than guessed.
//
// Each file is cut to max_mb (default 8) MB and coded once as a stream of
// stored blocks (of 10^6 bytes), of LZ (the level given, default 6) and of
// BWT blocks of the largest output length. Each stream is decoded the way extraction takes it: next_block
// reading the blocks from a file, the history rules, and the CRC-32 of every
// decoded byte. Best of `runs` (default 5), in MB/s of output (10^6 bytes per
// processor second); the first run is checked against the original.

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include <unistd.h>

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
const uint32_t WINDOW = 524288;
const unsigned SELECTOR_524288 = 2 | (7 << 2);  // row 2, column 7
const char* const TYPES[] = {"stored", "LZ", "BWT"};

std::vector<uint8_t> encode(const std::vector<uint8_t>& data, int type, int level)
{
    std::vector<uint8_t> stream = {'Q', 'V', 'X', 'L', 'H', 0};
    packer::BitWriter w(stream);
    std::vector<uint8_t> window = data;  // the LZ encoder may rewrite delta regions
    // A stored block's stored length, header included, must fit 20 bits too.
    const uint32_t block = type == 0 ? 1000000 : BLOCK;
    for (uint32_t start = 0; start < data.size(); start += block) {
        uint32_t len = std::min<uint32_t>(block, (uint32_t)data.size() - start);
        bool last = start + len >= data.size();
        if (type == 0) {
            packer::encode_stored_block(w, data.data() + start, len, last);
        } else if (type == 1) {
            packer::LzOptions options;
            options.level = level;
            uint32_t history = std::min(start, WINDOW);
            packer::encode_lz_block(w, window.data() + start - history, history, len, last, SELECTOR_524288, options);
        } else {
            packer::BwtOptions options;
            options.level = level;
            packer::encode_bwt_block(w, data.data() + start, len, last, options);
        }
    }
    return stream;
}

// The CRC-32 goes to a global so that it is computed.
u32 crc_sink;

double decode_once(Decoder* dec, size_t total, const std::vector<uint8_t>* check)
{
    return bench_util::decode_stream(dec, total, check, &crc_sink);
}

// MB/s of decoding `stream`, or -1.
double speed(const std::vector<uint8_t>& stream, const std::vector<uint8_t>& data, int runs)
{
    testutil::Engine engine(stream);
    if (!engine.ok())
        return -1;
    double best = decode_once(engine.d, data.size(), &data);
    for (int i = 0; i < runs && best >= 0; i++) {
        double s = decode_once(engine.d, data.size(), nullptr);
        best = s < 0 ? s : std::min(best, s);
    }
    return best < 0 ? -1 : data.size() / 1e6 / best;
}

}  // namespace

int main(int argc, char** argv)
{
    int runs = 5, level = 6;
    size_t max_bytes = 8u << 20;
    bool raw = false;
    std::vector<std::string> args;
    for (int i = 1; i < argc; i++) {
        if (std::string(argv[i]) == "-raw")
            raw = true;
        else
            args.push_back(argv[i]);
    }
    std::vector<char*> argv2 = {argv[0]};
    for (std::string& a : args)
        argv2.push_back(a.data());
    std::vector<std::string> files = bench_util::parse_args((int)argv2.size(), argv2.data(), runs, level, max_bytes);
    crc32_build_table();

    // The stub build's figures: "file type MB/s" lines from the sibling.
    std::map<std::string, double> stub;
    bool with_stub = false;
    if (!raw) {
        std::string self = argv[0];
        std::string sibling = self.substr(0, self.rfind('/') + 1) + "block_speed_stub_build";
        if (access(sibling.c_str(), X_OK) == 0) {
            std::string command = "'" + sibling + "' -raw";
            for (std::string& a : args)
                command += " '" + a + "'";
            if (FILE* p = popen(command.c_str(), "r")) {
                char name[256], type[32];
                double mbs;
                while (fscanf(p, "%255s %31s %lf", name, type, &mbs) == 3)
                    stub[std::string(name) + " " + type] = mbs;
                with_stub = pclose(p) == 0;
            }
        }
        std::printf("Decoding speed per block type through next_block with CRC-32, %u-byte blocks, level %d,\n"
                    "best of %d runs, MB/s of output (10^6 bytes per processor second)\n\n",
                    BLOCK, level, runs);
        std::printf("%-10s %-7s %10s %12s %8s\n", "file", "blocks", "host", "stub build", "stub/host");
    }

    bench_util::for_each_file(files, max_bytes, [&](const std::string& name, const std::vector<uint8_t>& data) {
        for (int type = 0; type < 3; type++) {
            double mbs = speed(encode(data, type, level), data, runs);
            if (raw) {
                std::printf("%s %s %.3f\n", name.c_str(), TYPES[type], mbs);
            } else {
                auto it = stub.find(name + " " + TYPES[type]);
                if (it != stub.end() && with_stub)
                    std::printf("%-10s %-7s %10.1f %12.1f %8.2f\n", name.c_str(), TYPES[type], mbs, it->second,
                                it->second / mbs);
                else
                    std::printf("%-10s %-7s %10.1f %12s\n", name.c_str(), TYPES[type], mbs, "-");
            }
            std::fflush(stdout);
        }
    });
    return 0;
}
