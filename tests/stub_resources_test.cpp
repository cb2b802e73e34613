// The publisher's identity in a self-extractor: the new resource tree after
// the linked bytes, what it holds, what stays where it was, and refusals.
#include <gtest/gtest.h>

#include <cstring>
#include <map>

#include "archive/startup.h"
#include "archive/stub_image.h"
#include "archive/stub_info.h"
#include "codec/crc32.h"
#include "packer/sfx_builder.h"
#include "packer/stub_resources.h"
#include "tests/stub_fixture.h"
#include "tests/test_util.h"

namespace {

using stubfixture::Bytes;
using packer::Resource;

// An .ico file with one image per size; each image is filler bytes that
// name its size (the builder never decodes them).
Bytes make_ico(const std::vector<uint8_t>& sizes)
{
    Bytes ico(6 + 16 * sizes.size(), 0);
    store_le16(&ico[2], 1);
    store_le16(&ico[4], (uint16_t)sizes.size());
    for (size_t i = 0; i < sizes.size(); i++) {
        uint8_t* e = &ico[6 + 16 * i];
        e[0] = e[1] = sizes[i];
        store_le16(e + 4, 1);
        store_le16(e + 6, 32);
        uint32_t length = 40 + sizes[i] * 4u;
        store_le32(e + 8, length);
        store_le32(e + 12, (uint32_t)ico.size());
        ico.insert(ico.end(), length, sizes[i]);
    }
    return ico;
}

std::vector<Resource> resources_of(const Bytes& image)
{
    std::vector<Resource> r;
    std::string error;
    EXPECT_TRUE(packer::read_resources(image, r, error)) << error;
    return r;
}

const Resource* find(const std::vector<Resource>& all, uint32_t type, uint32_t name)
{
    for (const Resource& r : all)
        if (r.type == type && r.name == name)
            return &r;
    return nullptr;
}

struct Built {
    bool ok;
    Bytes out;
    std::string error;
};

Built build(const Bytes& stub, const packer::PublisherIdentity& identity)
{
    packer::SfxStrings strings;
    strings.identity = identity;
    Built b;
    std::vector<std::string> warnings;
    b.ok = packer::build_sfx(stub, testutil::random_bytes(200, 5), strings, b.out, b.error, warnings);
    return b;
}

TEST(PublisherIdentity, VersionAndIconReplaceTheStubsAndNothingLinkedMoves)
{
    bool real = false;
    Bytes stub = stubfixture::stub_image(&real);
    size_t record = stubfixture::find_record(stub);
    packer::PublisherIdentity id;
    id.product = "Café Builder";
    id.product_version = "2.5.1";
    id.company = "Publisher Ltd";
    id.copyright = "© 2026 Publisher Ltd";
    id.icon = make_ico({16, 32, 48, 0});
    Built b = build(stub, id);
    ASSERT_TRUE(b.ok) << b.error;

    uint32_t stub_length = load_le32(&b.out[record]);
    EXPECT_GT(stub_length, stub.size());
    EXPECT_EQ(stub_length % 512, 0u);
    EXPECT_EQ(pe_image_end(b.out.data(), b.out.size()), stub_length);
    // Windows loads no image whose SizeOfImage falls short of its grown last
    // section: it is that section's end, rounded up to the section alignment.
    {
        const uint8_t* pe = &b.out[load_le32(&b.out[PE_HEADER_OFFSET_FIELD])];
        const uint8_t* optional = pe + PE_OPTIONAL_HEADER;
        const uint8_t* last = optional + load_le16(pe + 20) + 40 * (load_le16(pe + 6) - 1);
        uint32_t alignment = load_le32(optional + 32);
        uint32_t end = load_le32(last + 12) + load_le32(last + 8);
        EXPECT_EQ(load_le32(optional + 56), (end + alignment - 1) / alignment * alignment) << "SizeOfImage";
        const uint8_t* old_pe = &stub[load_le32(&stub[PE_HEADER_OFFSET_FIELD])];
        EXPECT_GT(load_le32(optional + 56), load_le32(old_pe + PE_OPTIONAL_HEADER + 56)) << "the section grew";
    }
    // The linked bytes stay where they were (StubInfo's built fields, and the
    // header fields the growth rewrites, aside).
    Bytes image(b.out.begin(), b.out.begin() + stub_length);
    size_t headers = load_le32(&stub[load_le32(&stub[PE_HEADER_OFFSET_FIELD]) + PE_OPTIONAL_HEADER + 60]);
    for (size_t i = headers; i < stub.size(); i++)
        if (i < record || i >= record + 12) {
            ASSERT_EQ(image[i], stub[i]) << "byte " << i;
        }
    // The self-check value covers the new tree.
    Bytes zeroed = image;
    store_le32(&zeroed[record + STUB_INFO_CRC_OFFSET], 0);
    EXPECT_EQ(load_le32(&image[record + STUB_INFO_CRC_OFFSET]),
              crc32_update(zeroed.data(), (uint32_t)zeroed.size(), 0xFFFFFFFFu));

    std::vector<Resource> before = resources_of(stub), after = resources_of(image);
    const Resource* version = find(after, packer::RESOURCE_VERSION, 1);
    ASSERT_NE(version, nullptr);
    packer::VersionStrings v;
    ASSERT_TRUE(packer::parse_version_resource(version->data, v));
    std::vector<std::pair<std::string, std::string>> want = {
        {"CompanyName", "Publisher Ltd"},   {"FileDescription", "Café Builder"}, {"FileVersion", "2.5.1"},
        {"LegalCopyright", "© 2026 Publisher Ltd"}, {"ProductName", "Café Builder"}, {"ProductVersion", "2.5.1"},
    };
    EXPECT_EQ(v.strings, want);
    EXPECT_EQ(v.file_version[0], 2);
    EXPECT_EQ(v.file_version[1], 5);
    EXPECT_EQ(v.file_version[2], 1);
    EXPECT_EQ(v.file_version[3], 0);

    // Every image of the .ico, listed by the group under the stub's icon id.
    const Resource* group = find(after, packer::RESOURCE_GROUP_ICON, 1);
    ASSERT_NE(group, nullptr);
    ASSERT_EQ(group->data.size(), 6u + 14 * 4);
    EXPECT_EQ(load_le16(&group->data[4]), 4);
    for (uint32_t i = 0; i < 4; i++) {
        const Resource* icon = find(after, packer::RESOURCE_ICON, i + 1);
        ASSERT_NE(icon, nullptr) << "icon " << i + 1;
        const uint8_t* e = &id.icon[6 + 16 * i];
        EXPECT_EQ(Bytes(icon->data.begin(), icon->data.end()),
                  Bytes(id.icon.begin() + load_le32(e + 12), id.icon.begin() + load_le32(e + 12) + load_le32(e + 8)));
        EXPECT_EQ(std::memcmp(&group->data[6 + 14 * i], e, 12), 0);
        EXPECT_EQ(load_le16(&group->data[6 + 14 * i + 12]), i + 1);
    }
    // Everything else comes over unchanged: the dialogs, the manifest.
    size_t kept = 0;
    for (const Resource& r : before) {
        if (r.type == packer::RESOURCE_ICON || r.type == packer::RESOURCE_GROUP_ICON ||
            r.type == packer::RESOURCE_VERSION)
            continue;
        const Resource* copy = find(after, r.type, r.name);
        ASSERT_NE(copy, nullptr) << "resource " << r.type << "/" << r.name << " lost";
        EXPECT_EQ(copy->data, r.data);
        EXPECT_EQ(copy->language, r.language);
        kept++;
    }
    if (real) {
        EXPECT_GE(kept, 3u) << "two dialogs and the manifest";
    }
}

TEST(PublisherIdentity, VersionAloneKeepsTheIconAndNoIdentityChangesNothing)
{
    Bytes stub = stubfixture::stub_image();
    packer::PublisherIdentity id;
    id.product = "Only A Name";
    Built b = build(stub, id);
    ASSERT_TRUE(b.ok) << b.error;
    std::vector<Resource> before = resources_of(stub);
    std::vector<Resource> after = resources_of(Bytes(b.out.begin(), b.out.begin() + load_le32(&b.out[stubfixture::find_record(stub)])));
    for (const Resource& r : before)
        if (r.type == packer::RESOURCE_ICON || r.type == packer::RESOURCE_GROUP_ICON) {
            const Resource* copy = find(after, r.type, r.name);
            ASSERT_NE(copy, nullptr);
            EXPECT_EQ(copy->data, r.data);
        }
    packer::VersionStrings v;
    ASSERT_TRUE(packer::parse_version_resource(find(after, packer::RESOURCE_VERSION, 1)->data, v));
    std::vector<std::pair<std::string, std::string>> want = {{"FileDescription", "Only A Name"},
                                                            {"ProductName", "Only A Name"}};
    EXPECT_EQ(v.strings, want);

    Built plain = build(stub, {});
    ASSERT_TRUE(plain.ok);
    EXPECT_EQ(load_le32(&plain.out[stubfixture::find_record(stub)]), stub.size());
}

TEST(PublisherIdentity, ElevationChangesOnlyTheManifestsLevel)
{
    const struct {
        const char* manifest;
        const char* expected;  // nullptr: refused
    } cases[] = {
        {"<r><requestedExecutionLevel level=\"asInvoker\"/></r>",
         "<r><requestedExecutionLevel level=\"requireAdministrator\"/></r>"},
        {"<requestedExecutionLevel uiAccess='false'\n  level = 'asInvoker'>",
         "<requestedExecutionLevel uiAccess='false'\n  level = 'requireAdministrator'>"},
        {"<requestedExecutionLevel xlevel=\"a\" level=\"\"/>",
         "<requestedExecutionLevel xlevel=\"a\" level=\"requireAdministrator\"/>"},
        {"<requestedExecutionLevel uiAccess=\"false\"/><x level=\"asInvoker\"/>", nullptr},
        {"<requestedPrivileges/>", nullptr},
        {"<requestedExecutionLevel level=\"asInvoker", nullptr},
    };
    for (const auto& c : cases) {
        Bytes manifest(c.manifest, c.manifest + std::strlen(c.manifest));
        std::string error;
        bool ok = packer::set_execution_level(manifest, "requireAdministrator", error);
        EXPECT_EQ(ok, c.expected != nullptr) << c.manifest;
        if (ok) {
            EXPECT_EQ(std::string(manifest.begin(), manifest.end()), c.expected);
        }
    }

    // On the stub: the manifest changes by the level's text, nothing else.
    bool real = false;
    Bytes stub = stubfixture::stub_image(&real);
    if (!real)
        return;
    packer::PublisherIdentity id;
    id.execution_level = "highestAvailable";
    Built b = build(stub, id);
    ASSERT_TRUE(b.ok) << b.error;
    std::vector<Resource> before = resources_of(stub);
    std::vector<Resource> after =
        resources_of(Bytes(b.out.begin(), b.out.begin() + load_le32(&b.out[stubfixture::find_record(stub)])));
    ASSERT_EQ(after.size(), before.size());
    for (size_t i = 0; i < before.size(); i++) {
        std::string was(before[i].data.begin(), before[i].data.end());
        if (before[i].type == packer::RESOURCE_MANIFEST) {
            size_t at = was.find("level=\"asInvoker\"");
            ASSERT_NE(at, std::string::npos);
            was.replace(at + 7, 9, "highestAvailable");
        }
        EXPECT_EQ(std::string(after[i].data.begin(), after[i].data.end()), was) << "resource type " << before[i].type;
    }
}

TEST(PublisherIdentity, RefusesBadIconsAndText)
{
    Bytes stub = stubfixture::stub_image();
    Bytes good = make_ico({32});
    Bytes outside = good;
    store_le32(&outside[6 + 12], (uint32_t)good.size() - 10);  // the image runs past the end
    Bytes no_images = good;
    store_le16(&no_images[4], 0);
    Bytes cursor = good;
    store_le16(&cursor[2], 2);
    const struct {
        const char* what;
        Bytes icon;
        std::string product;
        const char* message;
    } cases[] = {
        {"a cursor file", cursor, "", "not an .ico"},
        {"no images", no_images, "", "no images"},
        {"image outside the file", outside, "", "outside"},
        {"cut header", Bytes(good.begin(), good.begin() + 10), "", "cut short"},
        {"text not UTF-8", {}, "bad \xC3(", "UTF-8"},
    };
    for (const auto& c : cases) {
        packer::PublisherIdentity id;
        id.icon = c.icon;
        id.product = c.product;
        Built b = build(stub, id);
        EXPECT_FALSE(b.ok) << c.what;
        EXPECT_TRUE(b.out.empty()) << c.what;
        EXPECT_NE(b.error.find(c.message), std::string::npos) << c.what << ": " << b.error;
    }
}

}  // namespace

namespace {

// The string table blocks of a built self-extractor, by language.
std::map<uint32_t, packer::PublisherTexts> string_blocks(const Bytes& stub, const Built& b)
{
    std::map<uint32_t, packer::PublisherTexts> out;
    Bytes image(b.out.begin(), b.out.begin() + load_le32(&b.out[stubfixture::find_record(stub)]));
    for (const Resource& r : resources_of(image))
        if (r.type == packer::RESOURCE_STRING) {
            EXPECT_EQ(r.name, 1u);
            EXPECT_TRUE(packer::parse_string_block(r.data, out[r.language]));
        }
    return out;
}

}  // namespace

// The publisher's texts: English (United States) from the options, the
// banner from product and company unless given, each translation completed
// from the options' texts, the contact after a blank line, every text as it
// was given (a % stays).
TEST(PublisherTexts, BlocksPerLanguage)
{
    Bytes stub = stubfixture::stub_image();
    packer::PublisherIdentity id;
    id.product = "Example App";
    id.company = "Example Ltd";
    id.texts.intro = "100% %s of \xD0\x94\xD0\xB0";
    id.texts.support = "help@example.com";
    packer::PublisherTexts de;
    de.language = 0x0407;
    de.help = "Hilfe\nzwei Zeilen";
    id.translations.push_back(de);
    Built b = build(stub, id);
    ASSERT_TRUE(b.ok) << b.error;
    auto blocks = string_blocks(stub, b);
    ASSERT_EQ(blocks.size(), 2u);
    const packer::PublisherTexts& en = blocks[0x0409];
    EXPECT_EQ(en.banner, "Example App by Example Ltd");
    EXPECT_EQ(en.intro, id.texts.intro);
    EXPECT_EQ(en.help, "");
    EXPECT_EQ(en.support, "\n\nhelp@example.com");
    const packer::PublisherTexts& german = blocks[0x0407];
    EXPECT_EQ(german.banner, en.banner);
    EXPECT_EQ(german.intro, en.intro);
    EXPECT_EQ(german.help, de.help);

    // A translation into English replaces the options' texts; the company
    // alone makes the banner; no texts and no product or company: no table.
    id = packer::PublisherIdentity();
    id.company = "Example Ltd";
    packer::PublisherTexts us;
    us.intro = "Hello";
    id.translations.push_back(us);
    b = build(stub, id);
    ASSERT_TRUE(b.ok) << b.error;
    blocks = string_blocks(stub, b);
    ASSERT_EQ(blocks.size(), 1u);
    EXPECT_EQ(blocks[0x0409].banner, "Example Ltd");
    EXPECT_EQ(blocks[0x0409].intro, "Hello");
    // Product and company too long for the line together: the product.
    id.product = std::string(packer::BANNER_MAX - 5, 'p');
    b = build(stub, id);
    ASSERT_TRUE(b.ok) << b.error;
    EXPECT_EQ(string_blocks(stub, b)[0x0409].banner, id.product);
    id = packer::PublisherIdentity();
    id.copyright = "(C) Example";
    b = build(stub, id);
    ASSERT_TRUE(b.ok) << b.error;
    EXPECT_TRUE(string_blocks(stub, b).empty());
}

TEST(PublisherTexts, RefusesTextsTheStubCannotShow)
{
    Bytes stub = stubfixture::stub_image();
    const struct {
        std::string packer::PublisherTexts::*field;
        size_t longest;
        const char* name;
    } limits[] = {
        {&packer::PublisherTexts::banner, packer::BANNER_MAX, "banner"},
        {&packer::PublisherTexts::intro, packer::INTRO_MAX, "intro"},
        {&packer::PublisherTexts::help, packer::HELP_MAX, "help text"},
        {&packer::PublisherTexts::support, packer::SUPPORT_MAX, "support contact"},
    };
    for (const auto& l : limits) {
        packer::PublisherIdentity id;
        // Counted in UTF-16 units: a character beyond the BMP takes two.
        id.texts.*l.field = std::string(l.longest - 2, 'x') + "\xF0\x9F\x99\x82";
        EXPECT_TRUE(build(stub, id).ok) << l.name;
        id.texts.*l.field += "x";
        Built b = build(stub, id);
        EXPECT_FALSE(b.ok) << l.name;
        EXPECT_NE(b.error.find(l.name), std::string::npos) << b.error;
        id.texts.*l.field = std::string("bad \xC3(");
        b = build(stub, id);
        EXPECT_FALSE(b.ok) << l.name;
        EXPECT_NE(b.error.find("UTF-8"), std::string::npos) << b.error;
    }
    packer::PublisherIdentity id;
    packer::PublisherTexts de;
    de.language = 0x0407;
    id.translations = {de, de};
    Built b = build(stub, id);
    EXPECT_FALSE(b.ok);
    EXPECT_NE(b.error.find("two sets of texts"), std::string::npos) << b.error;
}
