// The one place where a result code becomes the text of a message. Shared by
// the stub and the host tool, so both word every failure identically.
#include "platform/platform.h"
#include "platform/text.h"

DRAVEX_THREAD_LOCAL u32 LastError;

// The operating-system errors that have their own line, as a table: a
// switch without jump tables would compare each code in turn in more bytes.
static const u8 os_error_codes[] = {2, 3, 5, 15, 19, 21, 25, 26, 27, 29, 30, 31, 39, 112, 80, 161, 206};
static const char* const os_error_texts[] = {
    "\nFile not found", "\nPath not found", "\nAccess denied", "\nInvalid drive",
    "\nDisk is write protected", "\nDevice not ready", "\nTrack not found", "\nNot a DOS disk",
    "\nSector not found", "\nWrite fault", "\nRead fault", "\nGeneral failure",
    "\nDisk full", "\nDisk full", "\nFile exists", "\nInvalid path", "\nPath too long",
};
DRAVEX_STATIC_ASSERT(sizeof os_error_codes == sizeof os_error_texts / sizeof os_error_texts[0],
                     "one text per error code");

const char* os_error_suffix(void)
{
    for (u32 i = 0; i < sizeof os_error_codes; i++) {
        if (LastError == os_error_codes[i])
            return os_error_texts[i];
    }
    if (LastError >= 50 && LastError <= 71)
        return "\nNetwork error";
    return "";
}

// The result codes that have a message, and their formats: a table again.
static const i8 message_codes[] = {
    ERR_NO_MEMORY, ERR_CREATE, ERR_OPEN, ERR_READ, ERR_SEEK, ERR_WRITE,
    ERR_CREATE_FOLDER, ERR_DAMAGED, ERR_END_OF_DATA, ERR_CRC,
};
static const char* const message_formats[] = {
    "Not enough memory", "Cannot create %s%s", "Cannot open %s%s", "Cannot read %s%s", "Cannot read %s%s",
    "Cannot write %s%s", "Cannot create folder %s%s",
    "Archive data is damaged, probably caused by\na corrupt disk or download error",
    "Archive data is damaged, probably caused by\na corrupt disk or download error",
    "File \"%s\" fails error check",
};
DRAVEX_STATIC_ASSERT(sizeof message_codes == sizeof message_formats / sizeof message_formats[0],
                     "one format per result code");

static const char* message_format(ResultCode code)
{
    for (u32 i = 0; i < sizeof message_codes; i++) {
        if (code == message_codes[i])
            return message_formats[i];
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
