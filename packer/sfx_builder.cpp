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
#include "archive/stub_image.h"
#include "archive/stub_info.h"
#include "codec/crc32.h"

namespace packer {

void seal_sfx_header(uint8_t* archive_header, const uint8_t* sfx_header, size_t size)
{
    if (load_le16(archive_header + ARCHIVE_TAG_OFFSET) != ARCHIVE_CHECK_TAG)
        return;  // not ours: its reserved fields are left as they are
    crc32_build_table();
    u32 crc = size ? crc32_update(sfx_header, (u32)size, 0xFFFFFFFFu) ^ 0xFFFFFFFFu : 0;
    store_le32(archive_header + ARCHIVE_SFX_CRC_OFFSET, crc);
}

bool build_sfx(const std::vector<uint8_t>& stub, const std::vector<uint8_t>& archive, const SfxStrings& strings,
               std::vector<uint8_t>& out, std::string& error, std::vector<std::string>& warnings)
{
    SfxStrings with_check = strings;
    with_check.checked =
        archive.size() >= ARCHIVE_HEADER_BYTES && load_le16(&archive[ARCHIVE_TAG_OFFSET]) == ARCHIVE_CHECK_TAG;
    if (!build_sfx_prefix(stub, with_check, out, error, warnings))
        return false;
    size_t archive_start = out.size();
    size_t header_size = sfx_header_size(strings);
    out.insert(out.end(), archive.begin(), archive.end());
    if (archive.size() >= ARCHIVE_HEADER_BYTES)
        seal_sfx_header(&out[archive_start], out.data() + archive_start - header_size, header_size);
    return true;
}

size_t sfx_header_size(const SfxStrings& strings)
{
    if (!strings.with_header)
        return 0;
    return SFX_HEADER_SIZE + strings.title.size() + strings.folder.size() + strings.command.size();
}

bool folder_has_variables(const std::string& folder)
{
    for (size_t open = folder.find('%'); open != std::string::npos;) {
        size_t close = folder.find('%', open + 1);
        if (close == std::string::npos)
            return false;
        if (close > open + 1)
            return true;
        open = close;
    }
    return false;
}

bool build_sfx_prefix(const std::vector<uint8_t>& stub, const SfxStrings& strings, std::vector<uint8_t>& out,
                      std::string& error, std::vector<std::string>& warnings)
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
    size_t record = find_stub_info(stub.data(), stub.size(), 0);
    if (record == stub.size() || find_stub_info(stub.data(), stub.size(), record + 1) != stub.size()) {
        error = record == stub.size() ? "not a Dravex stub: its StubInfo record was not found"
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
    uint32_t slot = (uint32_t)(record + STUB_INFO_CRC_OFFSET);
    store_le32(&out[record], (uint32_t)out.size());
    store_le32(&out[record + 4], slot);
    store_le32(&out[slot], 0);
    clear_signing_fields(out.data(), (uint32_t)out.size());
    store_le32(&out[slot], crc32_update(out.data(), (uint32_t)out.size(), 0xFFFFFFFFu));

    if (strings.with_header) {
        SfxHeader header;
        header.magic = SFX_MAGIC;
        bool ascii = true;
        for (const auto& f : fields)
            for (unsigned char c : f.text)
                ascii = ascii && c < 0x80;
        header.flags = (uint8_t)((strings.overwrite ? SFX_FLAG_OVERWRITE : 0) |
                                 (strings.command_in_destination ? SFX_FLAG_COMMAND_IN_DESTINATION : 0) |
                                 (strings.switches ? SFX_FLAG_SWITCHES : 0) |
                                 (folder_has_variables(strings.folder) ? SFX_FLAG_FOLDER_VARIABLES : 0) |
                                 (ascii ? 0 : SFX_FLAG_UTF8));
        header.reserved = strings.checked ? SFX_CHECKED : 0;
        header.title_length = (uint16_t)strings.title.size();
        header.folder_length = (uint16_t)strings.folder.size();
        header.command_length = (uint16_t)strings.command.size();
        uint8_t raw[SFX_HEADER_SIZE];
        write_sfx_header(raw, &header);
        out.insert(out.end(), raw, raw + SFX_HEADER_SIZE);
        for (const auto& f : fields)
            out.insert(out.end(), f.text.begin(), f.text.end());
    }
    return true;
}

}  // namespace packer
