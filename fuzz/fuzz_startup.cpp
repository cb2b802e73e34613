// Fuzz target: start-up over a hostile file. The self-check, the SfxHeader
// with its strings, the ArchiveHeader and the archive's check values are
// read from the file as the stub reads its own, with the StubInfo values a
// built stub would carry taken from the input.
//
// Input layout:
//   bytes 0..3   stub_length (cut to the file's size)
//   bytes 4..7   crc_slot
//   bytes 8..11  stub_crc
//   the rest     the file
#include <cstdint>

#include "archive/startup.h"
#include "archive/stub_info.h"
#include "codec/crc32.h"
#include "platform/host.h"
#include "platform/platform.h"
#include "platform/text.h"
#include "tests/engine.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 12)
        return 0;
    static bool quiet = [] {
        host::hooks().message_box = [](const char*, const char*, unsigned) { return (int)BOX_ANSWER_OK; };
        return true;
    }();
    (void)quiet;
    crc32_build_table();
    // The engine serves the bytes as a file; start-up reads it as its own.
    static testutil::Engine engine;
    if (!engine.load(data + 12, size - 12))
        return 0;
    own_file = engine.d->file;
    u32 file_size = (u32)(size - 12);
    stub_info.stub_length = load_le32(data) % (file_size + 1);
    stub_info.crc_slot = load_le32(data + 4);
    stub_info.stub_crc = load_le32(data + 8);
    text_copy(stub_info.title, TITLE_SIZE, initial_title);
    dest_path[0] = 0;
    command_buffer[0] = 0;

    // A failed self-check ends start-up in the stub; going on here reads
    // the rest of the file as well.
    if (verify_stub() < 0)
        stub_info.archive_start = (i32)stub_info.stub_length;
    read_sfx_header();
    if (text_length(stub_info.title) >= TITLE_SIZE || text_length(dest_path) >= PATH_SIZE ||
        text_length(command_buffer) >= PATH_SIZE)
        __builtin_trap();
    if (read_archive_header() == 0)
        (void)check_archive_values(stub_info.stub_length);
    own_file = INVALID_FILE;  // the engine's to close
    return 0;
}
