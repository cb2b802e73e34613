// Self-extractor settings and building, shared by `qvx a` and `qvx sfx`.
#ifndef DRAVEX_TOOLS_SFX_H
#define DRAVEX_TOOLS_SFX_H

#include <cstdint>
#include <vector>

#include "packer/sfx_builder.h"
#include "tools/commands.h"

namespace qvx {

// The settings as code page 1252 strings; false (with a message) when one
// cannot be converted.
bool sfx_strings(const SfxSettings& s, packer::SfxStrings& out);

// Reads a --texts file (see sfx.cpp); false with a message.
bool read_texts_file(const std::string& path, packer::PublisherTexts& out);

// False (with a message) when the --folder text holds characters Windows
// refuses in a path.
bool check_folder(const std::string& folder);

// The stub named by --stub, else the one built into qvx.
bool load_stub(const SfxSettings& s, std::vector<uint8_t>& stub);

bool build_and_write_sfx(const std::vector<uint8_t>& stub, const std::vector<uint8_t>& archive,
                         const packer::SfxStrings& strings, const std::string& output);

}  // namespace qvx

#endif
