#include "archive/names.h"

#include "archive/paths.h"
#include "archive/stub_info.h"
#include "platform/platform.h"
#include "platform/text.h"

// The record's bytes when it is there and whole, else 0.
static const char* find_exact_name(const DirectoryEntry* entry, const char* name, u32* length_ret)
{
    const u8* p = (const u8*)name + entry->name_length + entry->extra_length_1;
    const u8* end = p + entry->extra_length_2;
    while (end - p >= NAME_RECORD_HEADER) {
        u32 tag = load_le16(p);
        u32 length = load_le16(p + 2);
        p += NAME_RECORD_HEADER;
        if (length > (u32)(end - p))
            return 0;  // a record running past the field: none of it is trusted
        if (tag == NAME_RECORD_TAG) {
            *length_ret = length;
            return (const char*)p;
        }
        p += length;
    }
    return 0;
}

// 1 when the n units of a name stand for the stored name: its code page
// 1252 form, character by character.
static int stands_for(const u16* units, u32 n, const u8* stored, u32 stored_length)
{
    u32 i = 0;
    for (u32 k = 0; k < n; k++) {
        u32 unit = units[k];
        if (unit >= 0xDC00 && unit <= 0xDFFF)
            continue;  // the second half of a pair, which its first half stood for
        if (i == stored_length || cp1252_byte(unit) != stored[i])
            return 0;
        i++;
    }
    return i == stored_length;
}

// The exact name as UTF-16 in units (2 * PATH_SIZE of them): a name of more
// than twice a path's units has more characters than a path holds, and so
// has its stored form. Returns the number of units, or -1 when there is none
// to use.
static i32 exact_units(const DirectoryEntry* entry, const char* name, u16* units)
{
    u32 length;
    const char* exact = find_exact_name(entry, name, &length);
    if (exact == 0)
        return -1;
    u32 n = text_to_units(units, 2 * PATH_SIZE, exact, length, 1);
    if (n == 0 || !stands_for(units, n, (const u8*)name, entry->name_length) || !entry_name_is_safe(exact, length))
        return -1;
    return (i32)n;
}

const char* entry_exact_name(const DirectoryEntry* entry, const char* name, u32* length_ret)
{
    u16 units[2 * PATH_SIZE];
    if (exact_units(entry, name, units) < 0)
        return 0;
    return find_exact_name(entry, name, length_ret);
}

i32 entry_target_name(const DirectoryEntry* entry, const char* name, char* out, u32 max_units)
{
    u16 units[2 * PATH_SIZE];
    i32 n = exact_units(entry, name, units);
    if (n < 0) {
        // What does not fit the units is cut anyway: at most a byte a unit.
        u32 length = entry->name_length;
        if (length > 2 * PATH_SIZE)
            length = 2 * PATH_SIZE;
        n = (i32)text_to_units(units, 2 * PATH_SIZE, name, length, 0);
    }
    i32 fits = 1;
    if ((u32)n > max_units) {
        n = (i32)max_units;
        if (n > 0 && units[n - 1] >= 0xD800 && units[n - 1] <= 0xDBFF)
            n--;  // not half a pair
        fits = 0;
    }
    u32 length = text_from_units(out, 3 * max_units + 1, units, (u32)n);
    for (u32 i = 0; i < length; i++)
        if (out[i] == '/')
            out[i] = '\\';
    return fits ? (i32)length : -1;
}
