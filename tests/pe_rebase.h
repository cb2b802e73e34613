// Moving a PE image to another base address on the host, as a loader does
// when the preferred one is taken: the tests use it to run a stub at an
// address other than the one it was linked for, and to check what its base
// relocations point at.
#ifndef DRAVEX_TESTS_PE_REBASE_H
#define DRAVEX_TESTS_PE_REBASE_H

#include <cstdint>
#include <string>
#include <vector>

namespace testutil {

struct PeRelocations {
    uint64_t image_base = 0;
    uint32_t size_of_image = 0;
    uint16_t dll_characteristics = 0;
    uint16_t file_characteristics = 0;
    bool plus = false;                // PE32+ (64-bit addresses)
    std::vector<uint32_t> sites;      // RVAs of the addresses to adjust
    std::vector<size_t> site_offsets; // the same as file offsets
    size_t image_base_offset = 0;     // of the ImageBase field
};

// Reads the headers and the base relocation table of a PE image. False with
// a message for anything but a well-formed table of HIGHLOW (PE32) or DIR64
// (PE32+) entries whose sites lie in the file's section data.
bool read_relocations(const std::vector<uint8_t>& image, PeRelocations& out, std::string& error);

// Adds new_base - ImageBase to every address the table names and writes
// new_base as ImageBase. new_base must be a multiple of 64 KB (and below
// 4 GB for PE32).
bool rebase_image(std::vector<uint8_t>& image, uint64_t new_base, std::string& error);

}  // namespace testutil

#endif
