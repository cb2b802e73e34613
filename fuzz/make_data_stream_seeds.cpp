// Writes the seed corpus of the data stream fuzz target: small valid streams
// of stored, BWT and LZ blocks (from the test block writers and the
// archiver's stream writer) with member requests in order, out of order and
// filtered, and one stream with a damaged block.
// Usage: fuzz_make_data_stream_seeds <seeds dir>/data_stream

#include <cstdio>
#include <filesystem>
#include <string>

#include "packer/stream_writer.h"
#include "tests/decoder_stream_util.h"

namespace fs = std::filesystem;
using namespace dstest;

namespace {

struct Request {
    uint32_t offset, size, flags;
};

// The fuzz input: request count, requests, then the stream without its
// 6-byte signature.
Bytes seed(const std::vector<Request>& requests, const Bytes& stream)
{
    Bytes out = {(uint8_t)(requests.size() - 1)};
    for (const Request& r : requests) {
        for (int i = 0; i < 3; i++)
            out.push_back((uint8_t)(r.offset >> (8 * i)));
        for (int i = 0; i < 3; i++)
            out.push_back((uint8_t)(r.size >> (8 * i)));
        out.push_back((uint8_t)r.flags);
    }
    out.insert(out.end(), stream.begin() + 6, stream.end());
    return out;
}

std::vector<Request> requests_for(const std::vector<TestMember>& members, const std::vector<size_t>& order)
{
    std::vector<Request> out;
    for (size_t i : order)
        out.push_back({members[i].offset, (uint32_t)members[i].data.size(), members[i].flags});
    return out;
}

Bytes call_heavy(size_t n, uint32_t seed)
{
    Bytes b = testutil::random_bytes(n, seed);
    for (size_t i = 0; i < n; i++)
        if (b[i] % 4 == 0)
            b[i] = 0xE8;
    return b;
}

void write_seed(const fs::path& dir, const std::string& name, const Bytes& data)
{
    testutil::write_file((dir / name).string(), data);
    std::printf("%s: %zu bytes\n", name.c_str(), data.size());
}

void print_crcs(const std::vector<TestMember>& members)
{
    for (const TestMember& m : members)
        std::printf("  %s at %u: crc %08x\n", m.name.c_str(), m.offset, crc32_of(m.data));
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <seeds dir>/data_stream\n", argv[0]);
        return 2;
    }
    fs::path dir(argv[1]);
    fs::create_directories(dir);

    // Stored, BWT and LZ blocks; the LZ block refers back into the kept
    // history of the first two.
    std::vector<TestMember> members(5);
    for (int i = 0; i < 5; i++) {
        members[i].name = "f" + std::to_string(i);
        members[i].data = i == 3 ? call_heavy(1200, 50) : testutil::text_bytes(700 + 400 * i, 50 + i);
        members[i].flags = i == 3 ? ENTRY_FILTER32 : 0;
    }
    Bytes decoded = build_records(members);
    Bytes mixed = {'Q', 'V', 'X', 'L', 'H', 0};
    {
        packer::BitWriter bw(mixed);
        uint32_t a = 1500, b = 3500;
        packer::encode_stored_block(bw, decoded.data(), a, false);
        write_bwt_bytes(bw, Bytes(decoded.begin() + a, decoded.begin() + b), false, 9);
        packer::LzOptions options;
        options.allow_delta = false;
        // The BWT block keeps min(1500, 524,288 - 2000, 2012 - 2000) = 12
        // bytes in front of it, so the LZ block finds 2012 bytes of history.
        packer::encode_lz_block(bw, decoded.data() + (b - 2012), 2012, (uint32_t)decoded.size() - b, true, 4,
                                options);
    }
    print_crcs(members);
    write_seed(dir, "mixed_in_order", seed(requests_for(members, {0, 1, 2, 3, 4}), mixed));
    std::vector<Request> shuffled = requests_for(members, {4, 1, 3, 0, 2});
    shuffled.push_back({12345, 0, 0});
    write_seed(dir, "mixed_out_of_order", seed(shuffled, mixed));

    // Filtered members cut by many small blocks of both kinds.
    std::vector<TestMember> filtered(3);
    filtered[0].name = "a.exe";
    filtered[0].data = call_heavy(900, 1);
    filtered[0].flags = ENTRY_FILTER16;
    filtered[1].name = "b.dll";
    filtered[1].data = call_heavy(1300, 2);
    filtered[1].flags = ENTRY_FILTER32;
    filtered[2].name = "c.sys";
    filtered[2].data = call_heavy(500, 3);
    filtered[2].flags = ENTRY_FILTER16 | ENTRY_FILTER32;
    decoded = build_records(filtered);
    std::vector<Cut> cuts;
    for (uint32_t at = 0, k = 0; at + 400 < decoded.size(); k++) {
        uint32_t len = 97 + (k * 131) % 300;
        cuts.push_back({k % 2 ? (unsigned)METHOD_BWT : (unsigned)METHOD_STORED, len});
        at += len;
    }
    print_crcs(filtered);
    write_seed(dir, "filtered_pieces", seed(requests_for(filtered, {0, 1, 2}), build_stream(decoded, cuts)));

    // Member records in one BWT block with several tables and selectors.
    std::vector<TestMember> texts(3);
    for (int i = 0; i < 3; i++) {
        texts[i].name = "t" + std::to_string(i) + ".txt";
        texts[i].data = testutil::text_bytes(1500 + 500 * i, 7 + i);
    }
    decoded = build_records(texts);
    Bytes bwt_stream = {'Q', 'V', 'X', 'L', 'H', 0};
    {
        packer::BitWriter bw(bwt_stream);
        BwtBlockSpec spec;
        spec.n = (uint32_t)decoded.size();
        spec.symbols = bwt_symbols(decoded);
        spec.table_count_field = 3;
        std::vector<uint8_t> flat(258, 8);
        for (int s = 0; s < 4; s++)
            flat[s] = 9;
        spec.tables = {lengths_for(spec.symbols), flat, lengths_for(spec.symbols)};
        spec.selectors = selectors_for({0, 1, 2, 2, 1, 0, 1, 2, 0, 0, 1});
        write_bwt_block(bw, spec);
    }
    print_crcs(texts);
    write_seed(dir, "bwt_tables", seed(requests_for(texts, {0, 2, 1}), bwt_stream));

    // The archiver's own stream, level 1.
    std::vector<Bytes> datas = {testutil::text_bytes(6000, 11), call_heavy(3000, 12), testutil::random_bytes(800, 13),
                                testutil::text_bytes(9000, 14)};
    std::vector<packer::StreamMember> sm;
    for (size_t i = 0; i < datas.size(); i++)
        sm.push_back({"m" + std::to_string(i), datas[i].data(), (uint32_t)datas[i].size(),
                      (uint8_t)(i == 1 ? ENTRY_FILTER32 : 0), {}});
    std::vector<packer::StreamPlacement> placements;
    packer::StreamOptions so;
    so.level = 1;
    Bytes archiver = packer::write_data_stream(sm, so, placements);
    std::vector<Request> requests;
    for (size_t i = 0; i < sm.size(); i++)
        requests.push_back({placements[i].member_offset, sm[i].size, placements[i].filter});
    write_seed(dir, "archiver_level1", seed(requests, archiver));

    // A damaged second block: the first request fails, the second runs into
    // block pending, the third restarts.
    Bytes damaged = mixed;
    size_t second = 6 + 6 + 1500;  // header bytes, then the stored bytes
    damaged[second] = (uint8_t)((damaged[second] & 0xF0) | 9);
    write_seed(dir, "damaged_method",
               seed(requests_for(members, {2, 3, 0}), damaged));
    return 0;
}
