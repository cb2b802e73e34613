// The stub builder: finds StubInfo in a stub image, writes stub_length,
// crc_slot and stub_crc, and appends the SfxHeader and the archive.
#ifndef DRAVEX_PACKER_SFX_BUILDER_H
#define DRAVEX_PACKER_SFX_BUILDER_H

#include <cstdint>
#include <string>
#include <vector>

#include "packer/stub_resources.h"

namespace packer {

struct SfxStrings {
    std::string title;    // code page 1252
    std::string folder;
    std::string command;
    bool overwrite = false;
    bool command_in_destination = false;  // the command's working folder
    bool with_header = true;  // false: the archive follows the stub directly
    PublisherIdentity identity;  // the publisher's version strings and icon
};

// Fills out with the patched stub (with the publisher's resources, when
// given, after the linked bytes), the SfxHeader and the archive. Returns
// false with a message in error for an unknown stub or strings the
// SfxHeader cannot hold; warnings name strings the stub will cut.
bool build_sfx(const std::vector<uint8_t>& stub, const std::vector<uint8_t>& archive, const SfxStrings& strings,
               std::vector<uint8_t>& out, std::string& error, std::vector<std::string>& warnings);

// The PE32 stub built into the tool (empty when built without it).
const std::vector<uint8_t>& embedded_stub();

}  // namespace packer

#endif
