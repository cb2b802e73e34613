// Writes the seed corpora of the LZ and code-length fuzz targets: valid
// blocks from the test block writer (every symbol kind, table-set switches,
// delta markers) and from the archiver's LZ encoder, and code-length
// transmissions both plain and with runs. Usage: fuzz_make_seeds <seeds dir>

#include <cstdio>
#include <filesystem>
#include <string>

#include "packer/block_writer.h"
#include "packer/huffman_encoder.h"
#include "tests/lz_test_util.h"

namespace fs = std::filesystem;
using testutil::Bytes;

static void write_seed(const fs::path& dir, const std::string& name, const Bytes& data)
{
    fs::create_directories(dir);
    testutil::write_file((dir / name).string(), data);
}

static Bytes lz_seed(int apply, const Bytes& history, const Bytes& image)
{
    Bytes seed = {(uint8_t)(apply | 0x80), (uint8_t)history.size(), (uint8_t)(history.size() >> 8)};
    seed.insert(seed.end(), history.begin(), history.end());
    seed.insert(seed.end(), image.begin(), image.end());
    return seed;
}

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <seeds dir>\n", argv[0]);
        return 2;
    }
    fs::path root(argv[1]);

    // LZ blocks from the test writer.
    struct Shape {
        uint32_t history, length;
        unsigned D, sets;
        bool delta, long_matches;
    };
    const Shape shapes[] = {
        {0, 600, 2, 0, false, false},   {400, 800, 2, 0, true, false},  {0, 900, 2, 1, false, false},
        {1500, 1200, 3, 1, true, false}, {300, 1500, 3, 4, true, true},  {2000, 2000, 2, 3, true, true},
    };
    int i = 0;
    for (const Shape& s : shapes) {
        lztest::RandomBlockOptions o;
        o.history = s.history;
        o.length = s.length;
        o.D = s.D;
        o.sets = s.sets;
        o.delta = s.delta;
        o.long_matches = s.long_matches;
        lztest::RandomBlock b = lztest::make_random_block(100 + i, o);
        write_seed(root / "lz_block", "writer_" + std::to_string(i++), lz_seed(1, b.history, b.image));
    }

    // LZ blocks from the archiver's encoder.
    for (int level : {1, 6, 9}) {
        for (int kind = 0; kind < 2; kind++) {
            Bytes history = testutil::text_bytes(level == 1 ? 0 : 1500, level);
            Bytes data = kind == 0 ? testutil::text_bytes(2500, level + 10) : testutil::random_bytes(700, level);
            if (kind == 1) {
                // A table of 16-bit little-endian counters: delta-friendly.
                for (uint16_t v = 0; v < 600; v++) {
                    data.push_back((uint8_t)(v * 3));
                    data.push_back((uint8_t)((v * 3) >> 8));
                }
            }
            Bytes window = history;
            window.insert(window.end(), data.begin(), data.end());
            Bytes image;
            packer::BitWriter w(image);
            packer::LzOptions options;
            options.level = level;
            packer::encode_lz_block(w, window.data(), (uint32_t)history.size(), (uint32_t)data.size(), true, 2,
                                    options);
            write_seed(root / "lz_block", "encoder_" + std::to_string(level) + "_" + std::to_string(kind),
                       lz_seed(1, history, image));
        }
    }

    // Code-length transmissions: [R][width selector][bits].
    for (int k = 0; k < 6; k++) {
        unsigned W = k % 3 == 0 ? 344 : k % 3 == 1 ? 372 : 258;
        unsigned R = W == 258 ? 1 : 1 + k;
        std::vector<uint8_t> rows;
        for (unsigned r = 0; r < R; r++) {
            lztest::TableSet t = lztest::full_table_set(W == 372 ? 3 : 2, r * 31 + k);
            t.lengths.resize(W);
            if (k >= 3) {
                // Some symbols unused, so that zero and repeat runs appear.
                for (unsigned p = 0; p < W; p += 1 + (p % 7))
                    t.lengths[p] = 0;
            }
            rows.insert(rows.end(), t.lengths.begin(), t.lengths.end());
        }
        Bytes bits = {(uint8_t)R, (uint8_t)(W == 344 ? 0 : W == 372 ? 1 : 2)};
        packer::BitWriter w(bits);
        if (k < 3)
            lztest::write_plain_lengths(w, rows, W, R);
        else
            packer::write_code_lengths(w, rows, W, R);
        w.align();
        write_seed(root / "code_lengths", "rows_" + std::to_string(k), bits);
    }
    write_seed(root / "code_lengths", "fixed", Bytes{0, 0, 0});
    std::printf("seeds written to %s\n", root.string().c_str());
    return 0;
}
