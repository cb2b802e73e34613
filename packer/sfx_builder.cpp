// The stub builder: turns a stub image and an archive into a self-extractor.
//
// The stub checks itself at start-up: StubInfo in its image holds the image
// length, the file offset of the stored CRC and the CRC register over the
// image with that slot taken as zero. We find StubInfo by its fixed initial
// contents (the distance tables, the directory signature, the window-size
// table and the initial title), which are part of the stub format, write the
// length first, since it lies inside the checked bytes, and then the CRC.
// The linker's CheckSum is zeroed first: signing rewrites it, and the stub
// then checks itself with it taken as zero.
#include "packer/sfx_builder.h"

#include <cstring>

#include "archive/records.h"
#include "archive/startup.h"
#include "archive/stub_info.h"
#include "codec/crc32.h"
#include "codec/format_tables.h"

namespace packer {

namespace {

// --- PE headers -----------------------------------------------------------

constexpr size_t DOS_HEADER_SIZE = 64;
constexpr size_t DOS_PE_OFFSET_FIELD = 0x3C;
constexpr size_t COFF_HEADER_SIZE = 24;  // "PE\0\0" and the file header
constexpr size_t SECTION_HEADER_SIZE = 40;
constexpr size_t OPTIONAL_SIZE_OF_HEADERS = 60;  // same offset in PE32 and PE32+

// --- StubInfo as the stub's image holds it before building ----------------

// The bytes of StubInfo from offset 12 on, in the unbuilt image: the flags,
// archive_start, the distance tables, the directory signature, the window
// sizes and the title. The first 12 bytes are what we write, so a stub that
// was built before matches too.
constexpr size_t PATTERN_OFFSET = 12;

std::vector<uint8_t> stub_info_pattern()
{
    std::vector<uint8_t> p(STUB_INFO_SIZE, 0);
    p[12] = 0;  // CancelFlag
    p[13] = 0;  // OverwriteAll
    p[14] = 1;  // ShortNames
    // 16: archive_start, 0
    std::memcpy(&p[20], lz_distance_sizes, 4);
    for (int i = 0; i < 4; i++)
        store_le16(&p[24 + 2 * i], lz_distance_offsets[i]);
    std::memcpy(&p[STUB_INFO_SIGNATURE_OFFSET], "QVXDE", 6);
    size_t at = STUB_INFO_SIGNATURE_OFFSET + 8;
    for (const auto& row : lz_window_sizes)
        for (uint32_t size : row) {
            store_le32(&p[at], size);
            at += 4;
        }
    static const char title[] = "Dravex Self-Extractor";
    std::memcpy(&p[at], title, sizeof title - 1);
    return std::vector<uint8_t>(p.begin() + PATTERN_OFFSET, p.end());
}

// Every offset at which StubInfo's fixed contents occur.
std::vector<size_t> find_stub_info(const std::vector<uint8_t>& image)
{
    static const std::vector<uint8_t> pattern = stub_info_pattern();
    std::vector<size_t> found;
    if (image.size() < STUB_INFO_SIZE)
        return found;
    for (size_t at = 0; at + STUB_INFO_SIZE <= image.size(); at++) {
        if (image[at + STUB_INFO_SIGNATURE_OFFSET] != 'Q')
            continue;
        if (std::memcmp(&image[at + PATTERN_OFFSET], pattern.data(), pattern.size()) == 0)
            found.push_back(at);
    }
    return found;
}

}  // namespace

bool read_stub_fields(const std::vector<uint8_t>& image, uint32_t& stub_length, uint32_t& crc_slot,
                      uint32_t& stub_crc)
{
    std::vector<size_t> found = find_stub_info(image);
    if (found.size() != 1)
        return false;
    const uint8_t* p = &image[found[0]];
    stub_length = load_le32(p);
    crc_slot = load_le32(p + 4);
    stub_crc = load_le32(p + STUB_INFO_CRC_OFFSET);
    return true;
}

uint32_t pe_image_end(const uint8_t* data, size_t size)
{
    if (data == nullptr || size < DOS_HEADER_SIZE || data[0] != 'M' || data[1] != 'Z')
        return 0;
    uint64_t pe = load_le32(data + DOS_PE_OFFSET_FIELD);
    if (pe + COFF_HEADER_SIZE > size || std::memcmp(data + pe, "PE\0\0", 4) != 0)
        return 0;
    uint32_t section_count = load_le16(data + pe + 6);
    uint32_t optional_size = load_le16(data + pe + 20);
    uint64_t optional = pe + COFF_HEADER_SIZE;
    uint64_t sections = optional + optional_size;
    if (optional_size < OPTIONAL_SIZE_OF_HEADERS + 4 || section_count == 0 ||
        sections + (uint64_t)section_count * SECTION_HEADER_SIZE > size)
        return 0;
    // The headers are part of the image even when every section is empty.
    uint64_t end = load_le32(data + optional + OPTIONAL_SIZE_OF_HEADERS);
    for (uint32_t i = 0; i < section_count; i++) {
        const uint8_t* header = data + sections + (uint64_t)i * SECTION_HEADER_SIZE;
        uint64_t raw_size = load_le32(header + 16);
        uint64_t raw_offset = load_le32(header + 20);
        if (raw_size != 0 && raw_offset + raw_size > end)
            end = raw_offset + raw_size;
    }
    return end > 0xFFFFFFFFu ? 0 : (uint32_t)end;
}

bool build_sfx(const std::vector<uint8_t>& stub, const std::vector<uint8_t>& archive, const SfxStrings& strings,
               std::vector<uint8_t>& out, std::string& error, std::vector<std::string>& warnings)
{
    out.clear();
    uint32_t image_end = pe_image_end(stub.data(), stub.size());
    if (image_end == 0) {
        error = "not a Dravex stub: not a Windows executable";
        return false;
    }
    if (image_end != stub.size()) {
        error = "not a Dravex stub: the file is " + std::to_string(stub.size()) +
                " bytes but its image ends at " + std::to_string(image_end) +
                " (a payload or other data is attached, or it is cut short)";
        return false;
    }
    std::vector<size_t> found = find_stub_info(stub);
    if (found.size() != 1) {
        error = found.empty() ? "not a Dravex stub: its StubInfo record was not found"
                              : "not a Dravex stub: its StubInfo record occurs more than once";
        return false;
    }

    const struct {
        const char* what;
        const std::string& text;
        size_t kept;
    } fields[] = {
        {"title", strings.title, TITLE_SIZE - 1},
        {"folder", strings.folder, PATH_SIZE - 1},
        {"command", strings.command, PATH_SIZE - 1},
    };
    for (const auto& f : fields) {
        if (!strings.with_header)
            break;
        if (f.text.size() > 0xFFFF) {
            error = std::string("the ") + f.what + " is " + std::to_string(f.text.size()) +
                    " bytes; a self-extractor holds at most 65535";
            return false;
        }
        if (f.text.size() > f.kept)
            warnings.push_back(std::string("the ") + f.what + " is " + std::to_string(f.text.size()) +
                               " bytes; the self-extractor uses only its first " + std::to_string(f.kept));
    }

    out = stub;
    // Before the self-check value: the new resources are part of the image.
    if (!apply_identity(out, strings.identity, error)) {
        out.clear();
        return false;
    }
    size_t record = found[0];
    uint32_t slot = (uint32_t)(record + STUB_INFO_CRC_OFFSET);
    store_le32(&out[record], (uint32_t)out.size());
    store_le32(&out[record + 4], slot);
    store_le32(&out[slot], 0);
    clear_signing_fields(out.data(), (uint32_t)out.size());
    store_le32(&out[slot], crc32_update(out.data(), (uint32_t)out.size(), 0xFFFFFFFFu));

    if (strings.with_header) {
        SfxHeader header;
        header.magic = SFX_MAGIC;
        header.flags = (uint8_t)((strings.overwrite ? SFX_FLAG_OVERWRITE : 0) |
                                 (strings.command_in_destination ? SFX_FLAG_COMMAND_IN_DESTINATION : 0));
        header.reserved = 0;
        header.title_length = (uint16_t)strings.title.size();
        header.folder_length = (uint16_t)strings.folder.size();
        header.command_length = (uint16_t)strings.command.size();
        uint8_t raw[SFX_HEADER_SIZE];
        write_sfx_header(raw, &header);
        out.insert(out.end(), raw, raw + SFX_HEADER_SIZE);
        for (const auto& f : fields)
            out.insert(out.end(), f.text.begin(), f.text.end());
    }
    out.insert(out.end(), archive.begin(), archive.end());
    return true;
}

}  // namespace packer
