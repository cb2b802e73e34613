// Fuzz target: the name rules. Whatever the archiver stores, the extractor
// must accept, before and after the 8.3 conversion; the extractor's check
// never looks past the name; case folding is a function of one byte that
// keeps lower-case letters and non-letters as they are.
//
// Input: the name, code page 1252 bytes (at most 300).
#include <cstdint>
#include <cstring>
#include <string>

#include "archive/paths.h"
#include "archive/stub_info.h"  // PATH_BUFFER_SIZE
#include "packer/archive_writer.h"
#include "platform/text.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size > 300)
        return 0;
    // An exact-size heap copy, so a read past the name is caught.
    char* name = new char[size ? size : 1];
    std::memcpy(name, data, size);
    int safe = entry_name_is_safe(name, (u32)size);
    std::string stored(name, size);
    delete[] name;

    if (packer::check_entry_name(stored).empty()) {
        if (!safe)
            __builtin_trap();  // the archiver stored what the extractor refuses
        // The 8.3 conversion of a stored name is checked again by the driver;
        // it must not fail there either for a name this short.
        char path[PATH_BUFFER_SIZE];
        text_copy(path, sizeof path, stored.c_str());
        make_short_path(path, 1);
        (void)entry_name_is_safe(path, text_length(path));
    }
    for (size_t i = 0; i < size; i++) {
        u8 folded = fold_name_byte(data[i]);
        if (fold_name_byte(folded) != folded)
            __builtin_trap();  // folding twice changes nothing
    }
    return 0;
}
