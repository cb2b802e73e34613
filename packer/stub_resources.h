// The publisher's identity on a self-extractor: their version information
// and icon in place of the stub's.
//
// The stub's initialised data lies right after its resources in the last
// section, and the code addresses it absolutely, so nothing there may move.
// The new resource tree therefore goes after the linked bytes: the last
// section grows by it and the resource directory entry points at it. The old
// tree stays behind, unused.
#ifndef DRAVEX_PACKER_STUB_RESOURCES_H
#define DRAVEX_PACKER_STUB_RESOURCES_H

#include <cstdint>
#include <string>
#include <vector>

namespace packer {

// The publisher's texts in one language (UTF-8; empty: not given), taken
// literally. They go into the self-extractor's string table, one block per
// language; the stub shows the user's language, else English (United
// States), else its own texts.
struct PublisherTexts {
    uint16_t language = 0x409;  // a Windows language id
    std::string banner;   // the line under the progress bar, before extraction
    std::string intro;    // the text above the folder box
    std::string help;     // the Help message
    std::string support;  // the contact that ends the changed-stub message
    bool empty() const { return banner.empty() && intro.empty() && help.empty() && support.empty(); }
};

// The longest texts, in UTF-16 units (Windows' characters), that the stub's
// controls and message buffers take: the banner's one line and the intro's
// two show that much of Latin text whole at 96 to 144 DPI (wider scripts
// fit fewer); the Help message and the contact fit the message buffer.
enum : size_t {
    BANNER_MAX = 60,
    INTRO_MAX = 90,
    HELP_MAX = 800,
    SUPPORT_MAX = 120,
};

// Strings in UTF-8; empty means not given.
struct PublisherIdentity {
    std::string product;          // ProductName
    std::string product_version;  // ProductVersion and FileVersion, e.g. "2.1.0"
    std::string company;          // CompanyName
    std::string copyright;        // LegalCopyright
    std::string description;      // FileDescription (default: the product name)
    std::vector<uint8_t> icon;    // the bytes of an .ico file, every image of it
    // The manifest's requestedExecutionLevel: "requireAdministrator" or
    // "highestAvailable" make Windows ask for elevation at start; empty
    // leaves the stub's (asInvoker).
    std::string execution_level;
    // The texts of the options, as English (United States), and those of
    // other languages (--texts files); a text a language does not give is
    // the options' one. Without a banner, the product and company make it.
    PublisherTexts texts;
    std::vector<PublisherTexts> translations;

    bool has_version_info() const
    {
        return !product.empty() || !product_version.empty() || !company.empty() || !copyright.empty() ||
               !description.empty();
    }
    bool has_texts() const
    {
        return !texts.empty() || !translations.empty() || !product.empty() || !company.empty();
    }
    bool empty() const { return !has_version_info() && icon.empty() && execution_level.empty() && !has_texts(); }
};

// One resource: numeric type, name and language, and its bytes.
struct Resource {
    uint32_t type;
    uint32_t name;
    uint32_t language;
    std::vector<uint8_t> data;
};

enum : uint32_t {
    RESOURCE_ICON = 3,
    RESOURCE_GROUP_ICON = 14,
    RESOURCE_STRING = 6,
    RESOURCE_VERSION = 16,
    RESOURCE_MANIFEST = 24,
};

// Reads every resource of a PE image. False with a message for an image
// whose tree cannot be read or uses names instead of numbers.
bool read_resources(const std::vector<uint8_t>& image, std::vector<Resource>& out, std::string& error);

// Replaces the version information (when any string is given), the icon
// (when given) and the manifest's execution level (when given) of a stub
// image whose last section ends the file, as above.
// False with a message, and the image unchanged, for a bad .ico, a string
// that is not UTF-8, or an image laid out otherwise.
bool apply_identity(std::vector<uint8_t>& image, const PublisherIdentity& identity, std::string& error);

// Sets the level attribute of the requestedExecutionLevel element of a
// manifest (UTF-8 XML). False with a message when it has none.
bool set_execution_level(std::vector<uint8_t>& manifest, const std::string& level, std::string& error);
// The texts of a string table block 1 as the stub reads them (banner,
// intro, help, support as stored, with the support's blank line); for tests
// and listings. False for a block that does not parse.
bool parse_string_block(const std::vector<uint8_t>& data, PublisherTexts& out);

// The strings of a version resource's first string table, key and value in
// UTF-8, and its fixed file version; for tests and listings.
struct VersionStrings {
    std::vector<std::pair<std::string, std::string>> strings;
    uint16_t file_version[4] = {0, 0, 0, 0};
};
bool parse_version_resource(const std::vector<uint8_t>& data, VersionStrings& out);

}  // namespace packer

#endif
