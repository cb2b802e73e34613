// The stub builder: PE image bounds, where StubInfo is found and what is
// written into it, the SfxHeader layout, and the refusals and warnings.
#include <gtest/gtest.h>

#include <cstring>

#include "archive/records.h"
#include "archive/startup.h"
#include "archive/stub_image.h"
#include "archive/stub_info.h"
#include "codec/format_tables.h"
#include "packer/sfx_builder.h"
#include "tests/stub_fixture.h"
#include "tests/test_util.h"

namespace {

using stubfixture::Bytes;

// Bit-serial CRC-32, independent of the table-driven one under test.
uint32_t reference_crc32(const Bytes& data)
{
    uint32_t crc = 0xFFFFFFFFu;
    for (uint8_t b : data) {
        crc ^= b;
        for (int k = 0; k < 8; k++)
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1)));
    }
    return ~crc;
}

struct Built {
    bool ok;
    Bytes out;
    std::string error;
    std::vector<std::string> warnings;
};

Built build(const Bytes& stub, const Bytes& archive, const packer::SfxStrings& strings)
{
    Built b;
    b.ok = packer::build_sfx(stub, archive, strings, b.out, b.error, b.warnings);
    return b;
}

// The stub decodes with StubInfo's copy of the format tables, the host and
// the archiver with codec's: the two must agree entry for entry.
TEST(StubInfo, FormatTablesAgreeWithTheDecoders)
{
    EXPECT_EQ(0, std::memcmp(stub_info.distance_sizes, lz_distance_sizes, sizeof lz_distance_sizes));
    EXPECT_EQ(0, std::memcmp(stub_info.distance_offsets, lz_distance_offsets, sizeof lz_distance_offsets));
    EXPECT_EQ(0, std::memcmp(stub_info.window_sizes, lz_window_sizes, sizeof lz_window_sizes));
    static_assert(sizeof stub_info.window_sizes == sizeof lz_window_sizes, "same shape");
}

TEST(PeImageEnd, EndsWhereTheLastSectionEnds)
{
    Bytes pe = stubfixture::synthetic_pe(2048);
    EXPECT_EQ(pe_image_end(pe.data(), pe.size()), 512u + 2048u);
    // Data after the image does not move its end.
    pe.resize(pe.size() + 100, 0x55);
    EXPECT_EQ(pe_image_end(pe.data(), pe.size()), 512u + 2048u);

    bool real = false;
    Bytes stub = stubfixture::stub_image(&real);
    if (real) {
        EXPECT_EQ(pe_image_end(stub.data(), stub.size()), stub.size())
            << "the built stub must end exactly where its last section ends";
    }
}

TEST(PeImageEnd, RefusesWhatIsNotAPeImage)
{
    Bytes pe = stubfixture::synthetic_pe();
    EXPECT_EQ(pe_image_end(nullptr, 0), 0u);
    EXPECT_EQ(pe_image_end(pe.data(), 63), 0u);
    Bytes text(4096, 'a');
    EXPECT_EQ(pe_image_end(text.data(), text.size()), 0u);

    Bytes bad = pe;
    store_le32(&bad[0x3C], 0xFFFFFFF0u);  // header offset far past the end
    EXPECT_EQ(pe_image_end(bad.data(), bad.size()), 0u);
    bad = pe;
    bad[0x81] = 'X';  // not "PE\0\0"
    EXPECT_EQ(pe_image_end(bad.data(), bad.size()), 0u);
    bad = pe;
    store_le16(&bad[0x86], 0xFFFF);  // section table runs past the file
    EXPECT_EQ(pe_image_end(bad.data(), bad.size()), 0u);
    bad = pe;
    store_le16(&bad[0x94], 0xFFF0);  // optional header runs past the file
    EXPECT_EQ(pe_image_end(bad.data(), bad.size()), 0u);
    // A header cut inside the section table.
    EXPECT_EQ(pe_image_end(pe.data(), 0x98 + 0xE0 + 20), 0u);
    // Raw data beyond 4 GB cannot be an image we handle.
    bad = pe;
    store_le32(&bad[0x98 + 0xE0 + 20], 0xFFFFFF00u);
    EXPECT_EQ(pe_image_end(bad.data(), bad.size()), 0u);
}

TEST(BuildSfx, WritesLengthSlotAndCrcIntoStubInfo)
{
    bool real = false;
    Bytes stub = stubfixture::stub_image(&real);
    size_t record = stubfixture::find_record(stub);
    ASSERT_NE(record, std::string::npos);
    Bytes archive = testutil::random_bytes(300, 1);
    Built b = build(stub, archive, {});
    ASSERT_TRUE(b.ok) << b.error;
    EXPECT_TRUE(b.warnings.empty());
    ASSERT_EQ(b.out.size(), stub.size() + SFX_HEADER_SIZE + archive.size());

    EXPECT_EQ(load_le32(&b.out[record]), stub.size());
    EXPECT_EQ(load_le32(&b.out[record + 4]), record + STUB_INFO_CRC_OFFSET);
    // stub_crc is the complement of the standard CRC-32 of the image with
    // the slot zeroed.
    Bytes image(b.out.begin(), b.out.begin() + stub.size());
    uint32_t stored = load_le32(&image[record + 8]);
    store_le32(&image[record + 8], 0);
    EXPECT_EQ(stored, ~reference_crc32(image));
    // The linker's CheckSum is zeroed (signing sets it); nothing else in the
    // image changes.
    size_t checksum = load_le32(&stub[PE_HEADER_OFFSET_FIELD]) + PE_OPTIONAL_HEADER + PE_CHECKSUM;
    EXPECT_EQ(load_le32(&b.out[checksum]), 0u);
    for (size_t i = 0; i < stub.size(); i++)
        if ((i < record || i >= record + 12) && (i < checksum || i >= checksum + 4)) {
            ASSERT_EQ(b.out[i], stub[i]) << "byte " << i;
        }
}

TEST(BuildSfx, AppendsTheSfxHeaderAndTheArchive)
{
    Bytes stub = stubfixture::stub_image();
    Bytes archive = testutil::random_bytes(100, 2);
    packer::SfxStrings s;
    s.title = "My Setup";
    s.folder = "C:\\Program Files\\App";
    s.command = "setup.exe /q";
    s.overwrite = true;
    Built b = build(stub, archive, s);
    ASSERT_TRUE(b.ok) << b.error;
    const uint8_t* h = &b.out[stub.size()];
    EXPECT_EQ(h[0], 'S');
    EXPECT_EQ(h[1], 'X');
    EXPECT_EQ(h[2], SFX_FLAG_OVERWRITE);
    EXPECT_EQ(load_le16(h + 4), s.title.size());
    EXPECT_EQ(load_le16(h + 6), s.folder.size());
    EXPECT_EQ(load_le16(h + 8), s.command.size());
    std::string strings((const char*)h + 10, s.title.size() + s.folder.size() + s.command.size());
    EXPECT_EQ(strings, s.title + s.folder + s.command);
    Bytes tail(b.out.end() - archive.size(), b.out.end());
    EXPECT_EQ(tail, archive);
    EXPECT_EQ(h[3], 0) << "no check byte for an archive without our check values";
    // An archive with our check values: the header's reserved byte says so
    // ("D"), so a string length that moves the archive cannot hide them.
    Bytes tagged = archive;
    store_le16(&tagged[ARCHIVE_TAG_OFFSET], ARCHIVE_CHECK_TAG);
    Built checked = build(stub, tagged, s);
    ASSERT_TRUE(checked.ok) << checked.error;
    EXPECT_EQ(checked.out[stub.size() + 3], SFX_CHECKED);

    s.overwrite = false;
    b = build(stub, archive, s);
    EXPECT_EQ(b.out[stub.size() + 2], 0);
    s.command_in_destination = true;
    b = build(stub, archive, s);
    EXPECT_EQ(b.out[stub.size() + 2], SFX_FLAG_COMMAND_IN_DESTINATION);
    // A folder with a %NAME% asks for its variables to be expanded; a lone
    // or doubled % does not.
    s.command_in_destination = false;
    for (const char* folder : {"%ProgramFiles%\\App", "C:\\100%%\\%TEMP%"}) {
        s.folder = folder;
        b = build(stub, archive, s);
        EXPECT_EQ(b.out[stub.size() + 2], SFX_FLAG_FOLDER_VARIABLES) << folder;
    }
    for (const char* folder : {"C:\\100%", "C:\\a%%b", "C:\\App"}) {
        s.folder = folder;
        b = build(stub, archive, s);
        EXPECT_EQ(b.out[stub.size() + 2], 0) << folder;
    }
    // Strings beyond ASCII are UTF-8, and the header says so.
    s.folder = "C:\\\xd0\x97\xd0\xb0\xd0\xb3\xd1\x80\xd1\x83\xd0\xb7\xd0\xba\xd0\xb8";  // Загрузки
    b = build(stub, archive, s);
    EXPECT_EQ(b.out[stub.size() + 2], SFX_FLAG_UTF8);
    EXPECT_EQ(std::string((const char*)&b.out[stub.size() + 10 + s.title.size()], s.folder.size()), s.folder);

    // Without a header the archive follows the image directly.
    s.with_header = false;
    b = build(stub, archive, s);
    ASSERT_TRUE(b.ok);
    ASSERT_EQ(b.out.size(), stub.size() + archive.size());
    EXPECT_EQ(Bytes(b.out.begin() + stub.size(), b.out.end()), archive);
}

TEST(BuildSfx, AcceptsAStubBuiltBeforeAndGivesTheSameImage)
{
    Bytes stub = stubfixture::stub_image();
    packer::SfxStrings bare;
    bare.with_header = false;
    Built first = build(stub, {}, bare);
    ASSERT_TRUE(first.ok) << first.error;
    Built second = build(first.out, {}, bare);
    ASSERT_TRUE(second.ok) << second.error;
    EXPECT_EQ(second.out, first.out);
}

TEST(BuildSfx, RefusesWhatIsNotADravexStub)
{
    Bytes stub = stubfixture::stub_image();
    Bytes archive(50, 1);
    Bytes text(5000, 'x');
    Built b = build(text, archive, {});
    EXPECT_FALSE(b.ok);
    EXPECT_NE(b.error.find("not a Dravex stub"), std::string::npos) << b.error;
    EXPECT_TRUE(b.out.empty());

    // A self-extractor given as stub: its payload follows the image.
    Built sfx = build(stub, archive, {});
    ASSERT_TRUE(sfx.ok);
    b = build(sfx.out, archive, {});
    EXPECT_FALSE(b.ok);
    EXPECT_NE(b.error.find("not a Dravex stub"), std::string::npos) << b.error;

    // A stub cut short.
    Bytes cut(stub.begin(), stub.end() - 1);
    b = build(cut, archive, {});
    EXPECT_FALSE(b.ok);
    EXPECT_NE(b.error.find("not a Dravex stub"), std::string::npos) << b.error;

    // A PE image without StubInfo, and one with it twice.
    Bytes other = stubfixture::synthetic_pe();
    size_t record = stubfixture::find_record(other);
    other[record + 136] = 'X';  // a different initial title
    b = build(other, archive, {});
    EXPECT_FALSE(b.ok);
    EXPECT_NE(b.error.find("StubInfo"), std::string::npos) << b.error;

    Bytes twice = stubfixture::synthetic_pe(4096, 700);
    Bytes record_bytes = stubfixture::unbuilt_stub_info();
    std::memcpy(&twice[512 + 2500], record_bytes.data(), record_bytes.size());
    b = build(twice, archive, {});
    EXPECT_FALSE(b.ok);
    EXPECT_NE(b.error.find("more than once"), std::string::npos) << b.error;
}

TEST(BuildSfx, StringLimits)
{
    Bytes stub = stubfixture::stub_image();
    packer::SfxStrings s;
    s.title = std::string(79, 't');
    s.folder = std::string(259, 'f');
    s.command = std::string(259, 'c');
    Built b = build(stub, {}, s);
    ASSERT_TRUE(b.ok);
    EXPECT_TRUE(b.warnings.empty());

    // One byte more: the stub will cut it, so the user hears about it.
    s.title += 't';
    s.folder += 'f';
    s.command += 'c';
    b = build(stub, {}, s);
    ASSERT_TRUE(b.ok);
    ASSERT_EQ(b.warnings.size(), 3u);
    EXPECT_NE(b.warnings[0].find("title"), std::string::npos);
    EXPECT_NE(b.warnings[0].find("79"), std::string::npos);
    EXPECT_NE(b.warnings[1].find("folder"), std::string::npos);
    EXPECT_NE(b.warnings[2].find("command"), std::string::npos);

    // The header's 16-bit lengths hold at most 65535.
    s = {};
    s.folder = std::string(65535, 'f');
    b = build(stub, {}, s);
    EXPECT_TRUE(b.ok);
    s.folder += 'f';
    b = build(stub, {}, s);
    EXPECT_FALSE(b.ok);
    EXPECT_NE(b.error.find("65535"), std::string::npos) << b.error;
    s = {};
    s.command = std::string(70000, 'c');
    EXPECT_FALSE(build(stub, {}, s).ok);
}

TEST(EmbeddedStub, IsTheBuiltPe32StubWhenThereIsOne)
{
#ifdef DRAVEX_STUB32_PATH
    Bytes stub = testutil::read_file(DRAVEX_STUB32_PATH);
    ASSERT_FALSE(stub.empty());
    EXPECT_EQ(packer::embedded_stub(), stub);
    Built b = build(packer::embedded_stub(), Bytes(42, 0), {});
    EXPECT_TRUE(b.ok) << b.error;
#else
    EXPECT_TRUE(packer::embedded_stub().empty());
#endif
}

}  // namespace
