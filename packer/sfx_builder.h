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
    // UTF-8; the SfxHeader says so (SFX_FLAG_UTF8) when one of them is not
    // plain ASCII, which older readers take in the system's code page.
    std::string title;
    std::string folder;
    std::string command;
    bool overwrite = false;
    bool command_in_destination = false;  // the command's working folder
    bool switches = false;  // the stub takes its unattended switches (SfxHeader flag bit 4)
    bool with_header = true;  // false: the archive follows the stub directly
    PublisherIdentity identity;  // the publisher's version strings and icon
    // The archive carries our check values (build_sfx sets this from the
    // archive itself); the SfxHeader then says so.
    bool checked = true;
};

// Whether a folder holds a %NAME% (a name between two percent signs): qvx
// then sets SfxHeader flag bit 5, and the stub expands the environment
// variables in it. Without it the folder is taken literally, as the format
// says.
bool folder_has_variables(const std::string& folder);

// Fills out with the patched stub (with the publisher's resources, when
// given, after the linked bytes), the SfxHeader and the archive. Returns
// false with a message in error for an unknown stub or strings the
// SfxHeader cannot hold; warnings name strings the stub will cut.
bool build_sfx(const std::vector<uint8_t>& stub, const std::vector<uint8_t>& archive, const SfxStrings& strings,
               std::vector<uint8_t>& out, std::string& error, std::vector<std::string>& warnings);

// The part of build_sfx before the archive: the patched stub and the
// SfxHeader (stub.size() bytes, then the header).
bool build_sfx_prefix(const std::vector<uint8_t>& stub, const SfxStrings& strings, std::vector<uint8_t>& prefix,
                      std::string& error, std::vector<std::string>& warnings);

// The length of the SfxHeader build_sfx_prefix writes at the prefix's end
// (the stub before it may have grown by the publisher's resources).
size_t sfx_header_size(const SfxStrings& strings);

// Stores the CRC-32 of the SfxHeader (size bytes, 0 for none) in an archive
// header that carries our check values; leaves any other header alone.
void seal_sfx_header(uint8_t* archive_header, const uint8_t* sfx_header, size_t size);

// The PE32 stub built into the tool (empty when built without it).
const std::vector<uint8_t>& embedded_stub();

}  // namespace packer

#endif
