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
#include "codec/crc32.h"
#include "host/run.h"
#include "platform/platform.h"
#include "platform/text.h"
#include "tests/engine.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 12)
        return 0;
    crc32_build_table();
    // The engine serves the bytes as a file; start-up reads it as its own.
    // Messages are recorded by the run and answered OK.
    static testutil::Engine engine;
    if (!engine.load(data + 12, size - 12))
        return 0;
    host::Run run;
    Extraction* x = &run.x;
    x->file = engine.d->file;
    u32 file_size = (u32)(size - 12);
    u32 stub_length = load_le32(data) % (file_size + 1);

    // A failed self-check ends start-up in the stub; going on here reads
    // the rest of the file as well.
    if (verify_stub(x, stub_length, load_le32(data + 4), load_le32(data + 8)) < 0)
        x->archive_start = (i32)stub_length;
    read_sfx_header(x);
    if (text_length(run.title) >= TITLE_SIZE || text_length(x->dest_path) >= PATH_BUFFER_SIZE ||
        text_length(x->command) >= PATH_BUFFER_SIZE)
        __builtin_trap();
    if (read_archive_header(x) == 0)
        (void)check_archive_values(x, stub_length);
    return 0;
}
