// The one place where a result code becomes the text of a message. Shared by
// the stub and the host tool, so both word every failure identically.
#include "platform/platform.h"
#include "platform/text.h"

DRAVEX_THREAD_LOCAL u32 LastError;

// The n-th of the zero-terminated texts packed one after another in list.
// One packed list instead of a table of pointers: four bytes less a text.
static const char* nth_text(const char* list, u32 n)
{
    for (; n != 0; n--)
        list += text_length(list) + 1;
    return list;
}

// The operating-system errors that have their own line, as a table: a
// switch without jump tables would compare each code in turn in more bytes.
// Their texts follow in the same order. Both backends give every kind of
// full disk as ERROR_DISK_FULL.
static const u8 os_error_codes[] = {2, 3, 5, 15, 19, 21, 25, 26, 27, 29, 30, 31, 112, 80, 161, 206, 123, 193};
static const char os_error_texts[] =
    "\nFile not found\0\nPath not found\0\nAccess denied\0\nInvalid drive\0"
    "\nDisk is write protected\0\nDevice not ready\0\nTrack not found\0\nNot a DOS disk\0"
    "\nSector not found\0\nWrite fault\0\nRead fault\0\nGeneral failure\0"
    "\nDisk full\0\nFile exists\0\nInvalid path\0\nPath too long\0\nInvalid name\0\nNot a program";

const char* os_error_suffix(void)
{
    for (u32 i = 0; i < sizeof os_error_codes; i++) {
        if (LastError == os_error_codes[i])
            return nth_text(os_error_texts, i);
    }
    if (LastError >= 50 && LastError <= 71)
        return "\nNetwork error";
    return "";
}

// The result codes that have a message, and their formats: a table again.
static const i8 message_codes[] = {
    ERR_NO_MEMORY, ERR_CREATE, ERR_OPEN, ERR_READ, ERR_SEEK, ERR_WRITE,
    ERR_CREATE_FOLDER, ERR_DAMAGED, ERR_END_OF_DATA, ERR_CRC, ERR_CREATE_DESTINATION,
};
// The format of message_codes[i] is the text number message_texts[i].
static const u8 message_texts[] = {0, 1, 2, 3, 3, 4, 5, 6, 6, 7, 5};
static const char message_formats[] =
    "Not enough memory\0Cannot create %s%s\0Cannot open %s%s\0Cannot read %s%s\0"
    "Cannot write %s%s\0Cannot create folder %s%s\0"
    "Archive data is damaged, probably caused by\na corrupt disk or download error\0"
    "File \"%s\" fails error check";
DRAVEX_STATIC_ASSERT(sizeof message_codes == sizeof message_texts, "one format per result code");

static const char* message_format(ResultCode code)
{
    for (u32 i = 0; i < sizeof message_codes; i++) {
        if (code == message_codes[i])
            return nth_text(message_formats, message_texts[i]);
    }
    return 0;
}

u32 format_failure(char* out, u32 out_size, ResultCode code, const char* name)
{
    const char* format = message_format(code);
    if (format == 0)
        return 0;
    // Formats without a second %s simply ignore the suffix argument.
    return text_format(out, out_size, format, name, os_error_suffix());
}
