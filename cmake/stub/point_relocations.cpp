// Build step of the stub, run on the linked image: points the base
// relocation directory entry at the relocation table.
//
// ld fills that entry only from an output section named .reloc, and a
// section of its own would cost the stub a section header and a
// file-alignment block. The linker script therefore puts the table at the
// end of the last section, followed by two words: the table's RVA and size.
// This step checks that the table there is well formed, copies the two words
// into the directory entry, and takes them off the section's virtual size
// (their bytes become zero padding).
//
//   point_relocations IMAGE
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

uint32_t le16(const uint8_t* p) { return p[0] | p[1] << 8; }
uint32_t le32(const uint8_t* p) { return p[0] | p[1] << 8 | p[2] << 16 | (uint32_t)p[3] << 24; }
void put32(uint8_t* p, uint32_t v)
{
    for (int i = 0; i < 4; i++)
        p[i] = (uint8_t)(v >> 8 * i);
}

int fail(const char* path, const char* why)
{
    std::fprintf(stderr, "point_relocations: %s: %s\n", path, why);
    return 1;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: point_relocations IMAGE\n");
        return 2;
    }
    const char* path = argv[1];
    std::vector<uint8_t> image;
    if (FILE* f = std::fopen(path, "rb")) {
        uint8_t buffer[65536];
        for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, f)) > 0;)
            image.insert(image.end(), buffer, buffer + n);
        std::fclose(f);
    } else {
        return fail(path, "cannot be read");
    }

    auto in = [&](uint64_t at, uint64_t length) { return at <= image.size() && length <= image.size() - at; };
    if (!in(0, 64) || image[0] != 'M' || image[1] != 'Z')
        return fail(path, "not a Windows executable");
    uint32_t pe = le32(&image[0x3C]);
    if (!in(pe, 24) || std::memcmp(&image[pe], "PE\0\0", 4) != 0)
        return fail(path, "not a Windows executable");
    uint32_t sections = le16(&image[pe + 6]), optional_size = le16(&image[pe + 20]);
    uint32_t optional = pe + 24;
    bool plus = in(optional, 2) && le16(&image[optional]) == 0x20B;
    uint32_t directory = optional + (plus ? 112 : 96);
    const uint32_t relocation_entry = 5;
    if (!in(optional, optional_size) || optional_size < (plus ? 112 : 96) + 8 * (relocation_entry + 1) ||
        le32(&image[directory - 4]) <= relocation_entry || !in(optional + optional_size, 40ull * sections) ||
        sections == 0)
        return fail(path, "its headers are damaged");
    uint8_t* entry = &image[directory + 8 * relocation_entry];
    if (le32(entry + 4) != 0)
        return 0;  // done already

    uint8_t* last = nullptr;
    for (uint32_t i = 0; i < sections; i++) {
        uint8_t* h = &image[optional + optional_size + 40 * i];
        if (last == nullptr || le32(h + 12) > le32(last + 12))
            last = h;
    }
    uint32_t virtual_size = le32(last + 8), rva = le32(last + 12), raw_size = le32(last + 16),
             raw = le32(last + 20);
    if (virtual_size < 8 || virtual_size > raw_size || !in(raw, raw_size))
        return fail(path, "its last section does not end with the relocation table's place");
    uint8_t* words = &image[raw + virtual_size - 8];
    uint32_t table_rva = le32(words), table_size = le32(words + 4);
    if (table_rva < rva || table_rva - rva + (uint64_t)table_size != virtual_size - 8)
        return fail(path, "the two words after the relocation table do not describe it");
    // The table: blocks of a page RVA, the block's size and 16-bit entries.
    const uint8_t* table = &image[raw + (table_rva - rva)];
    for (uint32_t at = 0; at < table_size;) {
        uint32_t block = table_size - at >= 8 ? le32(table + at + 4) : 0;
        if (block < 8 || block % 4 != 0 || block > table_size - at || le32(table + at) % 4096 != 0)
            return fail(path, "the relocation table is malformed");
        at += block;
    }

    const uint32_t relocations_stripped = 1;  // a file header characteristic
    uint32_t characteristics = le16(&image[pe + 22]);
    if (table_size != 0)
        characteristics &= ~relocations_stripped;
    image[pe + 22] = (uint8_t)characteristics;
    image[pe + 23] = (uint8_t)(characteristics >> 8);
    put32(entry, table_size ? table_rva : 0);
    put32(entry + 4, table_size);
    put32(last + 8, virtual_size - 8);
    std::memset(words, 0, 8);
    FILE* f = std::fopen(path, "r+b");
    if (f == nullptr)
        return fail(path, "cannot be written");
    bool written = std::fwrite(image.data(), 1, image.size(), f) == image.size();
    if (std::fclose(f) != 0 || !written)
        return fail(path, "cannot be written");
    return 0;
}
