// Reading and rewriting the resource tree of a stub image (see the header).
//
// A resource tree is three levels of directories (type, name, language),
// each a 16-byte header with its entry counts followed by 8-byte entries
// (an id, and the offset of a subdirectory with the top bit set or of a
// 16-byte data entry), all offsets counted from the tree's start; a data
// entry holds the RVA and size of the resource's bytes.
#include "packer/stub_resources.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <map>

#include "archive/stub_image.h"
#include "platform/base.h"
#include "platform/host.h"

namespace packer {

namespace {

using Bytes = std::vector<uint8_t>;

// --- PE layout -------------------------------------------------------------

constexpr uint32_t RESOURCE_DIRECTORY_INDEX = 2;
constexpr uint32_t SUBDIRECTORY_FLAG = 0x80000000u;
constexpr uint32_t DEFAULT_LANGUAGE = 1033;  // English (United States), as the stub's own
constexpr size_t MAX_RESOURCES = 4096;

struct Section {
    size_t header;  // offset of its header in the image
    uint32_t virtual_size, virtual_address, raw_size, raw_offset;
};

struct PeLayout {
    size_t optional = 0;
    size_t data_directory = 0;
    uint32_t directory_count = 0;
    uint32_t section_alignment = 0, file_alignment = 0;
    std::vector<Section> sections;
};

bool in_bounds(const Bytes& b, uint64_t offset, uint64_t length)
{
    return offset <= b.size() && length <= b.size() - offset;
}

bool read_layout(const Bytes& image, PeLayout& pe)
{
    PeHeaders headers;
    if (!pe_headers(image.data(), image.size(), &headers) || headers.optional_size < 96)
        return false;
    uint32_t count = headers.section_count;
    uint32_t optional_size = headers.optional_size;
    pe.optional = headers.optional;
    bool plus = load_le16(&image[pe.optional]) == 0x20B;
    size_t directory_field = plus ? 108 : 92;
    pe.data_directory = pe.optional + directory_field + 4;
    if (optional_size < directory_field + 4)
        return false;
    pe.directory_count = load_le32(&image[pe.optional + directory_field]);
    if (pe.directory_count <= RESOURCE_DIRECTORY_INDEX ||
        directory_field + 4 + 8 * (uint64_t)pe.directory_count > optional_size)
        return false;
    pe.section_alignment = load_le32(&image[pe.optional + 32]);
    pe.file_alignment = load_le32(&image[pe.optional + 36]);
    if (pe.file_alignment == 0 || pe.section_alignment == 0)
        return false;
    size_t table = headers.sections;
    for (uint32_t i = 0; i < count; i++) {
        const uint8_t* h = &image[table + 40 * i];
        pe.sections.push_back({table + 40 * i, load_le32(h + 8), load_le32(h + 12), load_le32(h + 16),
                               load_le32(h + 20)});
    }
    return true;
}

// The file offset of `length` bytes at `rva`, or SIZE_MAX when they do not
// lie within one section's raw data.
size_t file_offset(const PeLayout& pe, uint32_t rva, uint32_t length)
{
    for (const Section& s : pe.sections) {
        if (rva >= s.virtual_address && rva - s.virtual_address < s.raw_size &&
            length <= s.raw_size - (rva - s.virtual_address))
            return (size_t)s.raw_offset + (rva - s.virtual_address);
    }
    return SIZE_MAX;
}

uint64_t align_up(uint64_t value, uint32_t alignment)
{
    return (value + alignment - 1) / alignment * alignment;
}

// --- reading the tree --------------------------------------------------------

struct TreeReader {
    const Bytes& image;
    const PeLayout& pe;
    size_t base;      // file offset of the tree
    uint32_t length;  // its size as the directory entry gives it
    std::string& error;
    std::vector<Resource>& out;

    // The entries of the directory at `offset`: (id, target) pairs.
    bool entries(uint32_t offset, std::vector<std::pair<uint32_t, uint32_t>>& list)
    {
        if (!in_bounds(image, base + (uint64_t)offset, 16) || offset > length || length - offset < 16) {
            error = "the resource tree is damaged";
            return false;
        }
        const uint8_t* d = &image[base + offset];
        uint32_t named = load_le16(d + 12), numbered = load_le16(d + 14);
        if (named != 0) {
            error = "the stub has resources with names instead of numbers; only numbered ones are supported";
            return false;
        }
        if ((uint64_t)offset + 16 + 8ull * numbered > length) {
            error = "the resource tree is damaged";
            return false;
        }
        for (uint32_t i = 0; i < numbered; i++)
            list.emplace_back(load_le32(d + 16 + 8 * i), load_le32(d + 20 + 8 * i));
        return true;
    }

    bool walk()
    {
        std::vector<std::pair<uint32_t, uint32_t>> types;
        if (!entries(0, types))
            return false;
        for (auto [type, type_target] : types) {
            std::vector<std::pair<uint32_t, uint32_t>> names;
            if (!(type_target & SUBDIRECTORY_FLAG) || !entries(type_target & ~SUBDIRECTORY_FLAG, names))
                return fail();
            for (auto [name, name_target] : names) {
                std::vector<std::pair<uint32_t, uint32_t>> languages;
                if (!(name_target & SUBDIRECTORY_FLAG) || !entries(name_target & ~SUBDIRECTORY_FLAG, languages))
                    return fail();
                for (auto [language, data_entry] : languages) {
                    if ((data_entry & SUBDIRECTORY_FLAG) || data_entry > length || length - data_entry < 16 ||
                        out.size() >= MAX_RESOURCES)
                        return fail();
                    const uint8_t* e = &image[base + data_entry];
                    uint32_t rva = load_le32(e), size = load_le32(e + 4);
                    size_t at = file_offset(pe, rva, size);
                    if (at == SIZE_MAX)
                        return fail();
                    out.push_back({type, name, language, Bytes(image.begin() + at, image.begin() + at + size)});
                }
            }
        }
        return true;
    }

    bool fail()
    {
        if (error.empty())
            error = "the resource tree is damaged";
        return false;
    }
};

// --- writing the tree ---------------------------------------------------------

// The tree for `resources` (sorted by type, name, language) placed at `rva`:
// the directories, then the data entries, then the data, each resource's
// bytes on an 8-byte boundary.
Bytes write_tree(const std::vector<Resource>& resources, uint32_t rva)
{
    std::map<uint32_t, std::map<uint32_t, std::map<uint32_t, const Resource*>>> tree;
    for (const Resource& r : resources)
        tree[r.type][r.name][r.language] = &r;

    auto directory_size = [](size_t n) { return 16 + 8 * n; };
    size_t size = directory_size(tree.size());
    for (const auto& [type, names] : tree) {
        size += directory_size(names.size());
        for (const auto& [name, languages] : names)
            size += directory_size(languages.size());
    }
    size_t entries_at = size;
    size_t data_at = align_up(entries_at + 16 * resources.size(), 8);
    size_t total = data_at;
    for (const Resource& r : resources)
        total = align_up(total + r.data.size(), 8);
    Bytes out(total, 0);

    size_t next_directory = 0;
    size_t next_entry = entries_at;
    size_t next_data = data_at;
    auto start_directory = [&](size_t count) {
        size_t at = next_directory;
        store_le16(&out[at + 14], (u16)count);
        next_directory += directory_size(count);
        return at;
    };
    size_t root = start_directory(tree.size());
    size_t t = 0;
    for (const auto& [type, names] : tree) {
        size_t names_dir = start_directory(names.size());
        store_le32(&out[root + 16 + 8 * t], type);
        store_le32(&out[root + 20 + 8 * t], (uint32_t)names_dir | SUBDIRECTORY_FLAG);
        t++;
        size_t n = 0;
        for (const auto& [name, languages] : names) {
            size_t languages_dir = start_directory(languages.size());
            store_le32(&out[names_dir + 16 + 8 * n], name);
            store_le32(&out[names_dir + 20 + 8 * n], (uint32_t)languages_dir | SUBDIRECTORY_FLAG);
            n++;
            size_t l = 0;
            for (const auto& [language, resource] : languages) {
                store_le32(&out[languages_dir + 16 + 8 * l], language);
                store_le32(&out[languages_dir + 20 + 8 * l], (uint32_t)next_entry);
                l++;
                store_le32(&out[next_entry], rva + (uint32_t)next_data);
                store_le32(&out[next_entry + 4], (uint32_t)resource->data.size());
                next_entry += 16;
                std::copy(resource->data.begin(), resource->data.end(), out.begin() + next_data);
                next_data = align_up(next_data + resource->data.size(), 8);
            }
        }
    }
    return out;
}

// --- the version resource -------------------------------------------------------

bool utf8_to_utf16(const std::string& in, std::u16string& out)
{
    out.clear();
    for (size_t i = 0; i < in.size();) {
        uint8_t c = (uint8_t)in[i];
        uint32_t code;
        size_t extra;
        if (c < 0x80) {
            code = c;
            extra = 0;
        } else if ((c & 0xE0) == 0xC0) {
            code = c & 0x1F;
            extra = 1;
        } else if ((c & 0xF0) == 0xE0) {
            code = c & 0x0F;
            extra = 2;
        } else if ((c & 0xF8) == 0xF0) {
            code = c & 0x07;
            extra = 3;
        } else {
            return false;
        }
        if (extra > in.size() - i - 1)
            return false;
        for (size_t k = 1; k <= extra; k++) {
            uint8_t next = (uint8_t)in[i + k];
            if ((next & 0xC0) != 0x80)
                return false;
            code = (code << 6) | (next & 0x3F);
        }
        static const uint32_t smallest[4] = {0, 0x80, 0x800, 0x10000};
        if (code < smallest[extra] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF) || code == 0)
            return false;
        if (code >= 0x10000) {
            code -= 0x10000;
            out.push_back((char16_t)(0xD800 + (code >> 10)));
            out.push_back((char16_t)(0xDC00 + (code & 0x3FF)));
        } else {
            out.push_back((char16_t)code);
        }
        i += extra + 1;
    }
    return true;
}

void put16(Bytes& b, uint16_t v)
{
    b.push_back((uint8_t)v);
    b.push_back((uint8_t)(v >> 8));
}
void put32(Bytes& b, uint32_t v)
{
    put16(b, (uint16_t)v);
    put16(b, (uint16_t)(v >> 16));
}
void pad4(Bytes& b)
{
    while (b.size() % 4 != 0)
        b.push_back(0);
}
void put_text(Bytes& b, const std::u16string& s)
{
    for (char16_t c : s)
        put16(b, (uint16_t)c);
    put16(b, 0);
}

std::string utf16_to_utf8(const std::u16string& s)
{
    std::string o;
    for (size_t i = 0; i < s.size(); i++) {
        uint32_t c = s[i];
        if (c >= 0xD800 && c < 0xDC00 && i + 1 < s.size()) {
            c = 0x10000 + ((c - 0xD800) << 10) + (s[i + 1] - 0xDC00);
            i++;
        }
        host::append_utf8(o, c);
    }
    return o;
}

// One node of a version resource: length, value length, type (1 text, 0
// binary), key, the value on a 4-byte boundary, the children likewise.
template <class Children>
void version_node(Bytes& b, const std::u16string& key, uint16_t type, const Bytes& value, uint16_t value_length,
                  Children children)
{
    pad4(b);
    size_t start = b.size();
    put16(b, 0);
    put16(b, value_length);
    put16(b, type);
    put_text(b, key);
    pad4(b);
    b.insert(b.end(), value.begin(), value.end());
    children(b);
    store_le16(&b[start], (u16)(b.size() - start));
}

// "2.1" -> {2, 1, 0, 0}; what is not a number stops the parse.
void parse_version_numbers(const std::string& text, uint16_t out[4])
{
    size_t at = 0;
    for (int part = 0; part < 4; part++) {
        uint32_t value = 0;
        size_t digits = 0;
        while (at < text.size() && text[at] >= '0' && text[at] <= '9' && digits < 5) {
            value = value * 10 + (uint32_t)(text[at] - '0');
            at++;
            digits++;
        }
        out[part] = (uint16_t)std::min<uint32_t>(value, 0xFFFF);
        if (digits == 0 || at >= text.size() || text[at] != '.')
            return;
        at++;
    }
}

bool build_version_resource(const PublisherIdentity& id, Bytes& out, std::string& error)
{
    const std::string& description = id.description.empty() ? id.product : id.description;
    const std::pair<const char*, const std::string*> fields[] = {
        {"CompanyName", &id.company},        {"FileDescription", &description},
        {"FileVersion", &id.product_version}, {"LegalCopyright", &id.copyright},
        {"ProductName", &id.product},        {"ProductVersion", &id.product_version},
    };
    std::vector<std::pair<std::u16string, std::u16string>> strings;
    for (const auto& [key, value] : fields) {
        if (value->empty())
            continue;
        std::u16string key16, value16;
        utf8_to_utf16(key, key16);
        if (!utf8_to_utf16(*value, value16)) {
            error = std::string("the ") + key + " is not valid UTF-8 text";
            return false;
        }
        if (value16.size() > 1000) {
            error = std::string("the ") + key + " is longer than 1000 characters";
            return false;
        }
        strings.emplace_back(key16, value16);
    }
    uint16_t version[4] = {0, 0, 0, 0};
    parse_version_numbers(id.product_version, version);
    Bytes fixed;
    put32(fixed, 0xFEEF04BDu);  // signature
    put32(fixed, 0x00010000u);  // structure version
    for (int i = 0; i < 2; i++) {  // file version, then product version
        put32(fixed, (uint32_t)version[0] << 16 | version[1]);
        put32(fixed, (uint32_t)version[2] << 16 | version[3]);
    }
    put32(fixed, 0);         // flags mask
    put32(fixed, 0);         // flags
    put32(fixed, 0x40004u);  // VOS_NT_WINDOWS32
    put32(fixed, 1);         // VFT_APP
    put32(fixed, 0);         // subtype
    put32(fixed, 0);         // date
    put32(fixed, 0);

    out.clear();
    version_node(out, u"VS_VERSION_INFO", 0, fixed, (uint16_t)fixed.size(), [&](Bytes& b) {
        version_node(b, u"StringFileInfo", 1, {}, 0, [&](Bytes& b) {
            version_node(b, u"040904B0", 1, {}, 0, [&](Bytes& b) {
                for (const auto& [key, value] : strings) {
                    Bytes text;
                    put_text(text, value);
                    version_node(b, key, 1, text, (uint16_t)(value.size() + 1), [](Bytes&) {});
                }
            });
        });
        version_node(b, u"VarFileInfo", 1, {}, 0, [&](Bytes& b) {
            Bytes translation;
            put16(translation, 0x0409);
            put16(translation, 1200);
            version_node(b, u"Translation", 0, translation, 4, [](Bytes&) {});
        });
    });
    return true;
}

// --- the publisher's texts ------------------------------------------------------

// The string ids of the stub's texts (resources/resource.h), all in block 1.
constexpr uint32_t STRING_BLOCK = 1;
constexpr int STRING_BANNER = 1, STRING_INTRO = 2, STRING_HELP = 3, STRING_SUPPORT = 4;

bool text_units(const char* what, const std::string& text, size_t max, std::u16string& out, std::string& error)
{
    if (!utf8_to_utf16(text, out)) {
        error = std::string("the ") + what + " is not UTF-8 text (or holds a NUL)";
        return false;
    }
    if (out.size() > max) {
        error = std::string("the ") + what + " is " + std::to_string(out.size()) + " characters long; at most " +
                std::to_string(max) + " are shown";
        return false;
    }
    return true;
}

// Block 1 of a string table: sixteen strings, each a u16 count of UTF-16
// units and the units, no terminator.
bool build_string_block(const PublisherTexts& t, Bytes& out, std::string& error)
{
    std::u16string strings[16];
    if (!text_units("banner", t.banner, BANNER_MAX, strings[STRING_BANNER], error) ||
        !text_units("intro", t.intro, INTRO_MAX, strings[STRING_INTRO], error) ||
        !text_units("help text", t.help, HELP_MAX, strings[STRING_HELP], error) ||
        !text_units("support contact", t.support, SUPPORT_MAX, strings[STRING_SUPPORT], error))
        return false;
    // The contact ends the changed-stub message, after a blank line.
    if (!strings[STRING_SUPPORT].empty())
        strings[STRING_SUPPORT] = u"\n\n" + strings[STRING_SUPPORT];
    out.clear();
    for (const std::u16string& s : strings) {
        put16(out, (uint16_t)s.size());
        for (char16_t c : s)
            put16(out, (uint16_t)c);
    }
    return true;
}

// One block per language: English (United States) from the options, then
// each translation, whose missing texts are the options' ones.
bool string_resources(const PublisherIdentity& id, std::vector<Resource>& out, std::string& error)
{
    PublisherTexts base = id.texts;
    base.language = DEFAULT_LANGUAGE;
    // The default banner: product and company, or what of them fits the line.
    auto fits = [](const std::string& text) {
        std::u16string units;
        return utf8_to_utf16(text, units) && units.size() <= BANNER_MAX;
    };
    if (base.banner.empty()) {
        std::vector<std::string> banners;
        if (!id.product.empty() && !id.company.empty())
            banners.push_back(id.product + " by " + id.company);
        banners.push_back(id.product);
        banners.push_back(id.company);
        for (const std::string& banner : banners)
            if (!banner.empty() && fits(banner)) {
                base.banner = banner;
                break;
            }
    }
    std::vector<PublisherTexts> blocks{base};
    for (size_t i = 0; i < id.translations.size(); i++)
        for (size_t j = 0; j < i; j++)
            if (id.translations[i].language == id.translations[j].language) {
                error = "two sets of texts for language " + std::to_string(id.translations[i].language);
                return false;
            }
    for (const PublisherTexts& t : id.translations) {
        PublisherTexts merged = t;
        for (auto field : {&PublisherTexts::banner, &PublisherTexts::intro, &PublisherTexts::help,
                           &PublisherTexts::support})
            if ((merged.*field).empty())
                merged.*field = base.*field;
        bool replaced = false;
        // A translation into English (United States) replaces the options'.
        if (t.language == DEFAULT_LANGUAGE) {
            blocks[0] = merged;
            replaced = true;
        }
        if (!replaced)
            blocks.push_back(merged);
    }
    for (const PublisherTexts& t : blocks) {
        Resource r{RESOURCE_STRING, STRING_BLOCK, t.language, {}};
        if (!build_string_block(t, r.data, error))
            return false;
        out.push_back(r);
    }
    return true;
}

// --- the icon -------------------------------------------------------------------

// The icon images of an .ico file as RT_ICON resources with ids from 1, and
// the group that lists them.
bool icon_resources(const Bytes& ico, uint32_t group_name, uint32_t language, std::vector<Resource>& out,
                    std::string& error)
{
    if (ico.size() < 6 || load_le16(&ico[0]) != 0 || load_le16(&ico[2]) != 1) {
        error = "the icon is not an .ico file";
        return false;
    }
    uint32_t count = load_le16(&ico[4]);
    if (count == 0 || !in_bounds(ico, 6, 16ull * count)) {
        error = "the .ico file holds no images or is cut short";
        return false;
    }
    Bytes group;
    put16(group, 0);
    put16(group, 1);
    put16(group, (uint16_t)count);
    for (uint32_t i = 0; i < count; i++) {
        const uint8_t* e = &ico[6 + 16 * i];
        uint32_t size = load_le32(e + 8), offset = load_le32(e + 12);
        if (size == 0 || !in_bounds(ico, offset, size)) {
            error = "image " + std::to_string(i + 1) + " of the .ico file lies outside it";
            return false;
        }
        group.insert(group.end(), e, e + 12);  // size, colours, planes, bits, byte count
        put16(group, (uint16_t)(i + 1));
        out.push_back({RESOURCE_ICON, i + 1, language, Bytes(ico.begin() + offset, ico.begin() + offset + size)});
    }
    out.push_back({RESOURCE_GROUP_ICON, group_name, language, group});
    return true;
}

}  // namespace

bool read_resources(const Bytes& image, std::vector<Resource>& out, std::string& error)
{
    out.clear();
    PeLayout pe;
    if (!read_layout(image, pe)) {
        error = "not a Windows executable";
        return false;
    }
    const uint8_t* entry = &image[pe.data_directory + 8 * RESOURCE_DIRECTORY_INDEX];
    uint32_t rva = load_le32(entry), size = load_le32(entry + 4);
    if (rva == 0 && size == 0)
        return true;
    size_t base = file_offset(pe, rva, size);
    if (base == SIZE_MAX) {
        error = "the resource tree lies outside the image";
        return false;
    }
    TreeReader reader{image, pe, base, size, error, out};
    return reader.walk();
}

bool set_execution_level(Bytes& manifest, const std::string& level, std::string& error)
{
    const std::string text(manifest.begin(), manifest.end());
    const std::string element = "<requestedExecutionLevel";
    size_t start = text.find(element);
    size_t end = start == std::string::npos ? start : text.find('>', start);
    // The attribute: "level", after a blank, then "=" and a quoted value
    // (blanks allowed around the "=", as XML allows).
    size_t value = std::string::npos, value_end = std::string::npos;
    for (size_t at = start; end != std::string::npos && (at = text.find("level", at + 1)) < end;) {
        if (!std::isspace((unsigned char)text[at - 1]))
            continue;
        size_t p = at + 5;
        while (p < end && std::isspace((unsigned char)text[p]))
            p++;
        if (p == end || text[p] != '=')
            continue;
        p++;
        while (p < end && std::isspace((unsigned char)text[p]))
            p++;
        if (p < end && (text[p] == '"' || text[p] == '\'')) {
            value = p + 1;
            value_end = text.find(text[p], value);
        }
        break;
    }
    if (value == std::string::npos || value_end > end) {
        error = "the stub's manifest has no requestedExecutionLevel with a level to change";
        return false;
    }
    manifest.erase(manifest.begin() + value, manifest.begin() + value_end);
    manifest.insert(manifest.begin() + value, level.begin(), level.end());
    return true;
}

bool apply_identity(Bytes& image, const PublisherIdentity& identity, std::string& error)
{
    if (identity.empty())
        return true;
    PeLayout pe;
    if (!read_layout(image, pe)) {
        error = "not a Windows executable";
        return false;
    }
    std::vector<Resource> resources;
    if (!read_resources(image, resources, error))
        return false;

    // The last section must end the file and the image, and hold no
    // zero-filled tail the new tree would land in.
    const Section* last = &pe.sections[0];
    for (const Section& s : pe.sections)
        if (s.virtual_address > last->virtual_address)
            last = &s;
    if ((uint64_t)last->raw_offset + last->raw_size != image.size() || last->virtual_size > last->raw_size) {
        error = "the stub's last section does not end the file; its resources cannot be replaced";
        return false;
    }

    uint32_t language = DEFAULT_LANGUAGE;
    if (identity.has_version_info()) {
        Resource version{RESOURCE_VERSION, 1, language, {}};
        for (const Resource& r : resources)
            if (r.type == RESOURCE_VERSION) {
                version.name = r.name;
                version.language = r.language;
            }
        if (!build_version_resource(identity, version.data, error))
            return false;
        resources.erase(std::remove_if(resources.begin(), resources.end(),
                                       [](const Resource& r) { return r.type == RESOURCE_VERSION; }),
                        resources.end());
        resources.push_back(version);
    }
    if (!identity.icon.empty()) {
        uint32_t group_name = 1, group_language = language;
        for (const Resource& r : resources)
            if (r.type == RESOURCE_GROUP_ICON) {
                group_name = r.name;
                group_language = r.language;
                break;
            }
        std::vector<Resource> icons;
        if (!icon_resources(identity.icon, group_name, group_language, icons, error))
            return false;
        resources.erase(std::remove_if(resources.begin(), resources.end(),
                                       [](const Resource& r) {
                                           return r.type == RESOURCE_ICON || r.type == RESOURCE_GROUP_ICON;
                                       }),
                        resources.end());
        resources.insert(resources.end(), icons.begin(), icons.end());
    }

    if (!identity.execution_level.empty()) {
        auto manifest = std::find_if(resources.begin(), resources.end(),
                                     [](const Resource& r) { return r.type == RESOURCE_MANIFEST; });
        if (manifest == resources.end()) {
            error = "the stub has no manifest to ask for elevation in";
            return false;
        }
        if (!set_execution_level(manifest->data, identity.execution_level, error))
            return false;
    }
    if (identity.has_texts()) {
        std::vector<Resource> tables;
        if (!string_resources(identity, tables, error))
            return false;
        resources.erase(std::remove_if(resources.begin(), resources.end(),
                                       [](const Resource& r) {
                                           return r.type == RESOURCE_STRING && r.name == STRING_BLOCK;
                                       }),
                        resources.end());
        resources.insert(resources.end(), tables.begin(), tables.end());
    }

    uint32_t tree_rva = last->virtual_address + last->raw_size;
    Bytes tree = write_tree(resources, tree_rva);
    uint64_t grown_raw = align_up(tree.size(), pe.file_alignment);
    uint64_t new_raw_size = (uint64_t)last->raw_size + grown_raw;
    uint64_t new_virtual_size = (uint64_t)last->raw_size + tree.size();
    uint64_t image_size = align_up((uint64_t)last->virtual_address + new_virtual_size, pe.section_alignment);
    if (image.size() + grown_raw > 0x7FFFFFFFu || image_size > 0xFFFFFFFFu) {
        error = "the resources make the stub too large";
        return false;
    }

    uint8_t* header = &image[last->header];
    store_le32(header + 8, (uint32_t)new_virtual_size);
    store_le32(header + 16, (uint32_t)new_raw_size);
    uint8_t* optional = &image[pe.optional];
    store_le32(optional + 8, load_le32(optional + 8) + (uint32_t)grown_raw);  // SizeOfInitializedData
    store_le32(optional + 56, (uint32_t)image_size);                          // SizeOfImage
    uint8_t* entry = &image[pe.data_directory + 8 * RESOURCE_DIRECTORY_INDEX];
    store_le32(entry, tree_rva);
    store_le32(entry + 4, (uint32_t)tree.size());
    tree.resize(grown_raw, 0);
    image.insert(image.end(), tree.begin(), tree.end());
    return true;
}

bool parse_string_block(const Bytes& data, PublisherTexts& out)
{
    out = PublisherTexts();
    std::string* fields[16] = {};
    fields[STRING_BANNER] = &out.banner;
    fields[STRING_INTRO] = &out.intro;
    fields[STRING_HELP] = &out.help;
    fields[STRING_SUPPORT] = &out.support;
    size_t at = 0;
    for (std::string* field : fields) {
        if (at + 2 > data.size())
            return false;
        size_t n = load_le16(&data[at]);
        at += 2;
        if (n > (data.size() - at) / 2)
            return false;
        std::u16string units;
        for (size_t i = 0; i < n; i++)
            units.push_back((char16_t)load_le16(&data[at + 2 * i]));
        at += 2 * n;
        if (field != nullptr)
            *field = utf16_to_utf8(units);
    }
    return at == data.size();
}

bool parse_version_resource(const Bytes& data, VersionStrings& out)
{
    out = VersionStrings();
    // Walks the nodes by their lengths; returns false for anything that does
    // not fit.
    struct Node {
        size_t start, end, value, children;
        std::u16string key;
        uint16_t value_length;
    };
    auto node_at = [&](size_t at, size_t limit, Node& n) {
        if (at + 6 > limit)
            return false;
        n.start = at;
        n.end = at + load_le16(&data[at]);
        n.value_length = load_le16(&data[at + 2]);
        if (n.end > limit || n.end < at + 6)
            return false;
        size_t p = at + 6;
        n.key.clear();
        while (p + 2 <= n.end && load_le16(&data[p]) != 0) {
            n.key.push_back((char16_t)load_le16(&data[p]));
            p += 2;
        }
        p = align_up(p + 2, 4);
        n.value = p;
        return true;
    };
    auto to_utf8 = [](const std::u16string& s) { return utf16_to_utf8(s); };
    Node root;
    if (!node_at(0, data.size(), root) || root.key != u"VS_VERSION_INFO" || root.value_length < 52 ||
        root.value + 52 > root.end)
        return false;
    uint32_t ms = load_le32(&data[root.value + 8]), ls = load_le32(&data[root.value + 12]);
    out.file_version[0] = (uint16_t)(ms >> 16);
    out.file_version[1] = (uint16_t)ms;
    out.file_version[2] = (uint16_t)(ls >> 16);
    out.file_version[3] = (uint16_t)ls;
    for (size_t at = align_up(root.value + root.value_length, 4); at < root.end;) {
        Node child;
        if (!node_at(at, root.end, child))
            return false;
        if (child.key == u"StringFileInfo") {
            Node table;
            if (!node_at(child.value, child.end, table))
                return false;
            for (size_t s = table.value; s < table.end;) {
                Node str;
                if (!node_at(s, table.end, str))
                    return false;
                std::u16string value;
                for (size_t p = str.value; p + 2 <= str.end && load_le16(&data[p]) != 0; p += 2)
                    value.push_back((char16_t)load_le16(&data[p]));
                out.strings.emplace_back(to_utf8(str.key), to_utf8(value));
                s = align_up(str.end, 4);
            }
        }
        at = align_up(child.end, 4);
    }
    return true;
}

}  // namespace packer
