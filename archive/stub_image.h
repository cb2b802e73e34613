// Reading stub images: where a PE image ends, and the StubInfo record the
// stub builder writes into it. The builder (packer/) needs them to patch a
// stub, the host's extraction (host/) to check a self-extractor's stub; both
// sit above archive/, neither includes the other. The stub itself never
// calls them, so its link drops them.
#ifndef DRAVEX_ARCHIVE_STUB_IMAGE_H
#define DRAVEX_ARCHIVE_STUB_IMAGE_H

#include "platform/base.h"

// Where a PE image's headers put its optional header and its section table
// (offsets in the file; 40 bytes a section header), both within the `size`
// bytes at data.
struct PeHeaders {
    u32 optional, optional_size;
    u32 sections, section_count;
};
// 1 with *out filled, or 0 when the bytes are not a PE image with at least
// one section.
int pe_headers(const u8* data, size_t size, PeHeaders* out);

// End of the PE image's last section (its raw data), or 0 when the `size`
// bytes at data are not a PE image.
u32 pe_image_end(const u8* data, size_t size);

// Writes the StubInfo record as an unbuilt stub's image holds it
// (STUB_INFO_SIZE bytes): the stub format's initial values, the format
// tables from codec/, the directory signature and the initial title.
void write_unbuilt_stub_info(u8* out);

// The offset of the first StubInfo record at or after `from` in the `size`
// bytes of image, found by its fixed contents (everything after the 12 bytes
// the builder writes, so a stub built before matches too); `size` when there
// is none.
size_t find_stub_info(const u8* image, size_t size, size_t from);

// Reads the stub_length, crc_slot and stub_crc fields of the one StubInfo
// record in a stub image: 1. Returns 0 when the image holds none (not a
// Dravex stub), and -1 when it holds one changed in some of its fixed bytes,
// or more than one: a record that cannot be the one the builder wrote, so a
// stub that fails its self-check.
int read_stub_fields(const u8* image, size_t size, u32* stub_length_ret, u32* crc_slot_ret, u32* stub_crc_ret);

#endif
