// Moving a PE image to another base address (see the header).
#include "tests/pe_rebase.h"

#include <cstring>

#include "platform/base.h"

namespace testutil {

namespace {

bool in(const std::vector<uint8_t>& b, uint64_t at, uint64_t length)
{
    return at <= b.size() && length <= b.size() - at;
}

}  // namespace

bool read_relocations(const std::vector<uint8_t>& image, PeRelocations& out, std::string& error)
{
    out = PeRelocations();
    error = "not a PE image";
    if (!in(image, 0, 64) || image[0] != 'M' || image[1] != 'Z')
        return false;
    uint32_t pe = load_le32(&image[0x3C]);
    if (!in(image, pe, 24) || std::memcmp(&image[pe], "PE\0\0", 4) != 0)
        return false;
    uint32_t section_count = load_le16(&image[pe + 6]), optional_size = load_le16(&image[pe + 20]);
    size_t optional = pe + 24;
    if (!in(image, optional, optional_size) || optional_size < 96)
        return false;
    out.file_characteristics = load_le16(&image[pe + 22]);
    out.plus = load_le16(&image[optional]) == 0x20B;
    size_t directory = optional + (out.plus ? 112 : 96);
    if (optional_size < directory - optional + 6 * 8 || load_le32(&image[directory - 4]) < 6 ||
        !in(image, optional + optional_size, 40ull * section_count))
        return false;
    out.image_base_offset = optional + (out.plus ? 24 : 28);
    out.image_base = out.plus ? load_le32(&image[out.image_base_offset]) |
                                    (uint64_t)load_le32(&image[out.image_base_offset + 4]) << 32
                              : load_le32(&image[out.image_base_offset]);
    out.size_of_image = load_le32(&image[optional + 56]);
    out.dll_characteristics = load_le16(&image[optional + 70]);

    auto file_offset = [&](uint32_t rva, uint32_t length) -> size_t {
        for (uint32_t i = 0; i < section_count; i++) {
            const uint8_t* h = &image[optional + optional_size + 40 * i];
            uint32_t va = load_le32(h + 12), raw_size = load_le32(h + 16), raw = load_le32(h + 20);
            if (rva >= va && rva - va < raw_size && length <= raw_size - (rva - va) && in(image, raw, raw_size))
                return raw + (rva - va);
        }
        return SIZE_MAX;
    };
    uint32_t table_rva = load_le32(&image[directory + 40]), table_size = load_le32(&image[directory + 44]);
    if (table_size == 0) {
        error = "the image has no base relocations";
        return false;
    }
    size_t table = file_offset(table_rva, table_size);
    if (table == SIZE_MAX) {
        error = "the relocation table lies outside the sections' data";
        return false;
    }
    const unsigned want = out.plus ? 10 : 3;  // DIR64, HIGHLOW
    const uint32_t width = out.plus ? 8 : 4;
    for (uint32_t at = 0; at < table_size;) {
        uint32_t page = table_size - at >= 8 ? load_le32(&image[table + at]) : 1;
        uint32_t block = table_size - at >= 8 ? load_le32(&image[table + at + 4]) : 0;
        if (page % 4096 != 0 || block < 8 || block % 2 != 0 || block > table_size - at) {
            error = "the relocation table is malformed";
            return false;
        }
        for (uint32_t e = 8; e < block; e += 2) {
            uint32_t entry = load_le16(&image[table + at + e]);
            if (entry >> 12 == 0)
                continue;  // padding
            uint32_t rva = page + (entry & 0xFFF);
            size_t site = entry >> 12 == want ? file_offset(rva, width) : SIZE_MAX;
            if (site == SIZE_MAX) {
                error = "relocation " + std::to_string(out.sites.size()) + " (type " +
                        std::to_string(entry >> 12) + " at RVA " + std::to_string(rva) + ") cannot be applied";
                return false;
            }
            out.sites.push_back(rva);
            out.site_offsets.push_back(site);
        }
        at += block;
    }
    error.clear();
    return true;
}

bool rebase_image(std::vector<uint8_t>& image, uint64_t new_base, std::string& error)
{
    PeRelocations r;
    if (!read_relocations(image, r, error))
        return false;
    if (new_base % 0x10000 != 0 || (!r.plus && new_base > 0xFFFFFFFFu - r.size_of_image)) {
        error = "the new base must be a multiple of 64 KB that the image fits above";
        return false;
    }
    uint64_t delta = new_base - r.image_base;
    for (size_t site : r.site_offsets) {
        if (r.plus) {
            uint64_t v = load_le32(&image[site]) | (uint64_t)load_le32(&image[site + 4]) << 32;
            v += delta;
            store_le32(&image[site], (uint32_t)v);
            store_le32(&image[site + 4], (uint32_t)(v >> 32));
        } else {
            store_le32(&image[site], load_le32(&image[site]) + (uint32_t)delta);
        }
    }
    store_le32(&image[r.image_base_offset], (uint32_t)new_base);
    if (r.plus)
        store_le32(&image[r.image_base_offset + 4], (uint32_t)(new_base >> 32));
    return true;
}

}  // namespace testutil
