// Target paths: the 8.3 conversion for volumes that take only short names,
// the creation of a folder chain, and the check that keeps archive names
// inside the destination folder.
//
// Everything works in the caller's buffer or in one PATH_BUFFER_SIZE local
// copy: these run between the members of an extraction and must not touch
// the heap, which the decoder's history buffer may have nearly used up.
// Paths are UTF-8: a character's continuation bytes go with it.
#include "archive/paths.h"

#include "archive/stub_info.h"
#include "platform/platform.h"
#include "platform/text.h"

// ---------------------------------------------------------------------------
// 8.3 conversion
// ---------------------------------------------------------------------------

// Characters an 8.3 name cannot hold. The base name drops the whole string;
// the extension drops everything from the blank on, i.e. all but the dot.
// The backslash is in neither set: it never reaches a component.
static const char short_name_dropped[] = ". :*?\"<>|/";
static const char* const base_dropped = short_name_dropped;
static const char* const extension_dropped = short_name_dropped + 1;

enum { SHORT_BASE_MAX = 8, SHORT_EXTENSION_MAX = 4 };  // extension counts its dot

static int char_in_set(const char* set, char c)
{
    for (; *set != 0; set++)
        if (*set == c)
            return 1;
    return 0;
}

// Copies the characters of [begin, end) not in `dropped` to dest, at most
// `most` of them, and returns the end of what it wrote.
static char* copy_characters(char* dest, const char* begin, const char* end, const char* dropped, u32 most)
{
    u32 copied = 0;
    for (const char* p = begin; p < end; p++) {
        // A character starts at any byte but a continuation byte; the
        // dropped ones are all ASCII.
        if (((u8)*p & 0xC0) != 0x80) {
            if (copied == most)
                break;
            if (char_in_set(dropped, *p))
                continue;
            copied++;
        }
        *dest++ = *p;
    }
    return dest;
}

// Each pass writes at most one byte per byte it reads, so the write position
// never passes the read position and dest may equal begin.
char* shorten_component(char* dest, const char* begin, const char* end)
{
    const char* dot = end;
    for (const char* p = end; p > begin;) {
        if (*--p == '.') {
            dot = p;
            break;
        }
    }
    dest = copy_characters(dest, begin, dot, base_dropped, SHORT_BASE_MAX);
    return copy_characters(dest, dot, end, extension_dropped, SHORT_EXTENSION_MAX);
}

// Length of a path, looking no further than PATH_BUFFER_SIZE bytes. A path
// without a terminator there is treated as PATH_BUFFER_SIZE - 1 bytes long,
// so that writing its terminator stays inside the buffer.
static u32 bounded_length(const char* path)
{
    u32 n = 0;
    while (n < PATH_BUFFER_SIZE - 1 && path[n] != 0)
        n++;
    return n;
}

void make_short_path(char* path, int short_names)
{
    if (short_names == 0)
        return;

    char* end = path + bounded_length(path);
    // The drive prefix (up to the first colon) and the separators right
    // after it are kept as they are.
    char* read = path;
    for (char* p = path; p < end; p++) {
        if (*p == ':') {
            read = p + 1;
            break;
        }
    }
    while (read < end && *read == '\\')
        read++;

    char* last = read;
    for (char* p = read; p < end; p++)
        if (*p == '\\')
            last = p + 1;

    // An empty component between two separators gives empty output, so the
    // doubled separator survives.
    char* write = read;
    while (read < last) {
        char* separator = read;
        while (*separator != '\\')
            separator++;
        write = shorten_component(write, read, separator);
        *write++ = '\\';
        read = separator + 1;
    }
    write = shorten_component(write, read, end);
    *write = 0;
}

// ---------------------------------------------------------------------------
// Folder chains
// ---------------------------------------------------------------------------

// "Exists" as CreateDirectoryW reports it (ERROR_ALREADY_EXISTS), and the
// older code some redirectors return (ERROR_FILE_EXISTS).
static int error_means_exists(u32 error)
{
    return error == OS_ALREADY_EXISTS || error == OS_FILE_EXISTS;
}

u32 folder_part_length(const char* path)
{
    u32 n = text_length(path);
    while (n > 0 && path[n - 1] != '\\')
        n--;
    return n;
}

int create_folder_path(const char* path)
{
    char copy[PATH_BUFFER_SIZE];
    u32 length = text_copy(copy, sizeof copy, path);
    if (length > 0 && copy[length - 1] == '\\')
        copy[--length] = 0;
    if (length == 0)
        return 1;
    if (path_get_attributes(copy) != -1)
        return 1;

    // Walk up until a level can be made or already exists. A drive root or
    // the empty part before a leading backslash is never tried: when the
    // level below it fails, the whole chain fails.
    u32 levels = 0;
    for (;;) {
        if (dir_create(copy) || error_means_exists(LastError))
            break;
        u32 cut = folder_part_length(copy);
        if (cut == 0)
            return 0;  // no backslash left
        cut--;         // index of the last backslash
        if (cut == 0 || copy[cut - 1] == ':')
            return 0;
        copy[cut] = 0;
        levels++;
    }

    // Walk down: each cut left the rest of the path intact behind its
    // terminator, so putting the backslash back restores the next level.
    while (levels-- > 0) {
        copy[text_length(copy)] = '\\';
        if (!dir_create(copy))
            return 0;
    }
    return 1;
}

// ---------------------------------------------------------------------------
// Entry names
// ---------------------------------------------------------------------------

static char upper_ascii(char c)
{
    return (c >= 'a' && c <= 'z') ? (char)(c - ('a' - 'A')) : c;
}

static int is_separator(char c)
{
    return c == '\\' || c == '/';
}

// Windows opens these names as devices in every folder, whatever extension
// follows them and with blanks before the extension; COM and LPT also take
// the superscript digits, as code page 1252 bytes (stored names) or in UTF-8
// (names as extracted).
int is_device_name(const char* begin, const char* end)
{
    const char* base_end = begin;
    while (base_end < end && *base_end != '.')
        base_end++;
    while (base_end > begin && base_end[-1] == ' ')
        base_end--;
    u32 length = (u32)(base_end - begin);

    char name[8];
    if (length < 3 || length > sizeof name - 1)
        return 0;
    for (u32 i = 0; i < length; i++)
        name[i] = upper_ascii(begin[i]);

    // Every digit COM and LPT take stands as 1, so that one entry of the
    // list covers them. A superscript digit in UTF-8 is 0xC2 and its code
    // page 1252 byte.
    u8 digit = (u8)name[length - 1];
    if ((length == 4 || (length == 5 && (u8)name[3] == 0xC2)) &&
        ((length == 4 && digit >= '1' && digit <= '9') || digit == 0xB9 || digit == 0xB2 || digit == 0xB3)) {
        name[3] = '1';
        length = 4;
    }
    name[length] = 0;

    // Packed one after another, an empty name ending the list.
    static const char devices[] = "CON\0PRN\0AUX\0NUL\0CONIN$\0CONOUT$\0COM1\0LPT1\0";
    for (const char* p = devices; *p != 0; p += text_length(p) + 1)
        if (text_compare_nocase(name, p) == 0)
            return 1;
    return 0;
}

u8 fold_name_byte(u8 c)
{
    if ((c >= 'A' && c <= 'Z') || (c >= 0xC0 && c <= 0xDE && c != 0xD7))
        return (u8)(c + 0x20);
    // The letters with caron and the ligature sit 16 below their small
    // forms; Y with diaeresis pairs with 0xFF.
    if (c == 0x8A || c == 0x8C || c == 0x8E)
        return (u8)(c + 0x10);
    if (c == 0x9F)
        return 0xFF;
    return c;
}

// A component of dots and blanks with two or more dots climbs out of its
// folder: ".." itself, and forms such as "..." or ".. " that Windows trims
// to it.
static int is_parent_reference(const char* begin, const char* end)
{
    u32 dots = 0;
    for (const char* p = begin; p < end; p++) {
        if (*p == '.')
            dots++;
        else if (*p != ' ')
            return 0;
    }
    return dots >= 2;
}

int entry_name_is_safe(const char* name, u32 length)
{
    if (length == 0)
        return 0;
    if (is_separator(name[0]))
        return 0;  // absolute: the root of the destination's drive or a server
    for (u32 i = 0; i < length; i++) {
        u8 c = (u8)name[i];
        // A colon makes a drive prefix or an alternate data stream; a zero
        // byte would silently cut the name.
        if (c < 32 || c == ':')
            return 0;
    }

    const char* end = name + length;
    const char* component = name;
    for (const char* p = name;; p++) {
        if (p == end || is_separator(*p)) {
            if (is_parent_reference(component, p) || is_device_name(component, p))
                return 0;
            if (p == end)
                break;
            component = p + 1;
        }
    }
    return 1;
}
