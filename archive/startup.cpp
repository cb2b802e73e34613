// The portable half of start-up: the self-check of the stub image and the
// payload headers that follow it.
//
// The stub's image carries its own CRC in StubInfo. The builder wrote
// stub_length, then the register of the CRC over the image with the slot
// zeroed; here we redo that computation over our own file. Nothing after the
// image is covered: each member carries its own CRC-32, and a signature's
// certificate table lies there too.
//
// Signing (Authenticode) rewrites two fields of the PE header, the CheckSum
// and the certificate table's directory entry, which its own hash skips. So
// the check also accepts the CRC taken with them as zero; the builder zeroes
// the CheckSum, so for its stubs both ways give the same value, and a stub
// built by another writer with the fields as they were still passes.
#include "archive/startup.h"

#include "archive/records.h"
#include "archive/stub_info.h"
#include "codec/crc32.h"
#include "platform/platform.h"
#include "platform/text.h"

// Speaks for no one but the file: the publisher's support contact, when
// there is one, is added by the stub's front end.
static const char modified_warning[] =
    "This self-extractor has been modified: damaged in a download, or infected by a virus. "
    "Get the file again from where it came.";

void set_display_name(Extraction* x, const char* path)
{
    const char* name = path;
    const char* after_colon = 0;
    for (const char* p = path; *p != 0; p++) {
        if (*p == '\\')
            name = p + 1;
        else if (*p == ':')
            after_colon = p + 1;
    }
    if (name == path && after_colon != 0)
        name = after_colon;
    text_copy(x->display_name, PATH_BUFFER_SIZE, name);
}

void clear_signing_fields(u8* image, u32 length)
{
    if (length < PE_HEADER_OFFSET_FIELD + 4)
        return;
    u32 optional = load_le32(image + PE_HEADER_OFFSET_FIELD);
    if (optional > length || length - optional < PE_SIGNING_FIELDS_END)
        return;
    optional += PE_OPTIONAL_HEADER;
    u32 security = optional + (load_le16(image + optional) == PE32_PLUS_MAGIC ? PE32_PLUS_SECURITY_ENTRY
                                                                               : PE32_SECURITY_ENTRY);
    store_le32(image + optional + PE_CHECKSUM, 0);
    store_le32(image + security, 0);
    store_le32(image + security + 4, 0);
}

// Reads count bytes from offset of the own file; 1 when all of them came.
static int read_at(FileHandle file, u32 offset, void* buffer, u32 count)
{
    return offset <= 0x7FFFFFFFu && file_seek(file, (i32)offset, SEEK_FROM_START) != -1 &&
           file_read(file, buffer, count) == (i32)count;
}

static ResultCode stub_modified(Extraction* x)
{
    extraction_message(x, ERR_STUB_MODIFIED, modified_warning, BOX_EXCLAMATION);
    return ERR_STUB_MODIFIED;
}

ResultCode verify_stub(Extraction* x, u32 length, u32 slot, u32 expected)
{
    // A slot outside the image (an unbuilt stub has 0 for both values) can
    // only come from a damaged record: never zero bytes past the buffer.
    if (slot > length || length - slot < 4)
        return stub_modified(x);
    u8* image = (u8*)mem_alloc(length);
    if (image == 0)
        return ERR_NO_MEMORY;
    if (length > 0x7FFFFFFFu || !read_at(x->file, 0, image, length)) {
        mem_free(image);
        return ERR_READ;
    }
    store_le32(image + slot, 0);
    u32 crc = crc32_update(image, length, 0xFFFFFFFFu);
    if (crc != expected) {
        clear_signing_fields(image, length);
        crc = crc32_update(image, length, 0xFFFFFFFFu);
    }
    mem_free(image);
    if (crc != expected)
        return stub_modified(x);
    *run_archive_start(x) = (i32)length;
    return 0;
}

// How a string of the SfxHeader is kept: as stored (the title in the system's
// code page), UTF-8 (cut before a character the room would split), or made
// UTF-8 from the system's code page in a buffer of PATH_BUFFER_SIZE bytes.
enum { STRING_AS_STORED, STRING_UTF8, STRING_FROM_ANSI };

// Reads a string of `length` bytes from the own file into buffer (room + 1
// bytes), keeping at most `room` of them and skipping the rest. On a short
// read the buffer is left empty and 0 is returned.
static int read_header_string(FileHandle file, char* buffer, u32 length, u32 room, int kept)
{
    u32 n = length < room ? length : room;
    // A cut string reads one byte more: a continuation byte there means the
    // cut splits a character.
    u32 take = n + (length > n);
    if (file_read(file, buffer, take) != (i32)take) {
        buffer[0] = 0;
        return 0;
    }
    if (length > take)
        file_seek(file, (i32)(length - take), SEEK_FROM_CURRENT);
    while (kept == STRING_UTF8 && take > n && n > 0 && ((u8)buffer[n] & 0xC0) == 0x80)
        n--;
    buffer[n] = 0;
    if (kept == STRING_FROM_ANSI) {
        u16 units[PATH_SIZE];
        text_from_units(buffer, PATH_BUFFER_SIZE, units, text_to_units(units, PATH_SIZE, buffer, n, 0));
    }
    return 1;
}

void read_sfx_header(Extraction* x)
{
    u8 raw[SFX_HEADER_SIZE];
    SfxHeader header;
    FileHandle file = x->file;
    x->sfx_flags = 0;
    if (!read_at(file, (u32)*run_archive_start(x), raw, SFX_HEADER_SIZE))
        return;
    parse_sfx_header(raw, &header);
    if (header.magic != SFX_MAGIC)
        return;
    // The archive follows the whole header even when one of its strings
    // cannot be read below.
    *run_archive_start(x) +=
        SFX_HEADER_SIZE + (i32)header.title_length + header.folder_length + header.command_length;

    // The title stays as stored (the front end shows it by sfx_flags); the
    // folder and the command join the names, which are UTF-8.
    int utf8 = header.flags & SFX_FLAG_UTF8;
    int path = utf8 ? STRING_UTF8 : STRING_FROM_ANSI;
    x->sfx_flags = header.flags;
    if (!read_header_string(file, run_title(x), header.title_length, TITLE_SIZE - 1,
                            utf8 ? STRING_UTF8 : STRING_AS_STORED))
        return;
    if (read_header_string(file, x->dest_path, header.folder_length, PATH_SIZE - 1, path))
        read_header_string(file, x->command, header.command_length, PATH_SIZE - 1, path);
    run_flags(x)->overwrite_all = (header.flags & SFX_FLAG_OVERWRITE) ? 1 : 0;
    run_flags(x)->command_in_destination = (header.flags & SFX_FLAG_COMMAND_IN_DESTINATION) ? 1 : 0;
}

ResultCode read_archive_header(Extraction* x)
{
    // A seek that fails would leave the header read from wherever the file
    // was: bytes of the stub or of the SfxHeader taken for the archive's.
    if (!read_at(x->file, (u32)*run_archive_start(x), x->archive_header, ARCHIVE_HEADER_SIZE))
        return ERR_READ;
    return 0;
}

// Runs the CRC register over count bytes of the own file from offset.
static int crc_file_range(FileHandle file, u32 offset, u32 count, u32* crc)
{
    u8 buffer[512];
    if (offset > 0x7FFFFFFFu || file_seek(file, (i32)offset, SEEK_FROM_START) == -1)
        return 0;
    while (count > 0) {
        u32 n = count < sizeof buffer ? count : (u32)sizeof buffer;
        if (file_read(file, buffer, n) != (i32)n)
            return 0;
        *crc = crc32_update(buffer, n, *crc);
        count -= n;
    }
    return 1;
}

ResultCode check_archive_values(Extraction* x, u32 sfx_start)
{
    const u8* h = x->archive_header;
    FileHandle file = x->file;
    u32 start = (u32)*run_archive_start(x);
    u8 sfx[4];
    u32 crc = 0xFFFFFFFFu;
    if (load_le16(h + ARCHIVE_TAG_OFFSET) != ARCHIVE_CHECK_TAG) {
        // Values promised by the SfxHeader but not found: the header's
        // lengths are wrong and the archive was looked for in the wrong place.
        if (start - sfx_start >= SFX_HEADER_SIZE && read_at(file, sfx_start, sfx, 4) && sfx[3] == SFX_CHECKED)
            return ERR_DAMAGED;
        return 0;
    }
    if (start < sfx_start || !crc_file_range(file, sfx_start, start - sfx_start, &crc) ||
        ~crc != load_le32(h + ARCHIVE_SFX_CRC_OFFSET))
        return ERR_DAMAGED;
    u32 directory = load_le32(h + 4);
    u32 length = load_le32(h + 20);
    crc = crc32_update(h + 4, 8, 0xFFFFFFFFu);
    if (length < directory || !crc_file_range(file, start + directory, length - directory, &crc) ||
        ~crc != load_le32(h + ARCHIVE_DIRECTORY_CRC_OFFSET))
        return ERR_DAMAGED;
    return 0;
}
