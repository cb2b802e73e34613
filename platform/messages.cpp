// The one place where a result code becomes a message box. Shared by the
// stub and the host tool, so both word every failure identically.
#include "archive/stub_info.h"
#include "platform/platform.h"
#include "platform/text.h"

u32 LastError;

const char* os_error_suffix(void)
{
    switch (LastError) {
    case 0: return "";
    case 2: return "\nFile not found";
    case 3: return "\nPath not found";
    case 5: return "\nAccess denied";
    case 15: return "\nInvalid drive";
    case 19: return "\nDisk is write protected";
    case 21: return "\nDevice not ready";
    case 25: return "\nTrack not found";
    case 26: return "\nNot a DOS disk";
    case 27: return "\nSector not found";
    case 29: return "\nWrite fault";
    case 30: return "\nRead fault";
    case 31: return "\nGeneral failure";
    case 39:
    case 112: return "\nDisk full";
    case 80: return "\nFile exists";
    case 161: return "\nInvalid path";
    default:
        if (LastError >= 50 && LastError <= 71)
            return "\nNetwork error";
        return "";
    }
}

static const char* message_format(ResultCode code)
{
    switch (code) {
    case ERR_NO_MEMORY: return "Not enough memory";
    case ERR_CREATE: return "Cannot create %s%s";
    case ERR_OPEN: return "Cannot open %s%s";
    case ERR_READ:
    case ERR_SEEK: return "Cannot read %s%s";
    case ERR_WRITE: return "Cannot write %s%s";
    case ERR_CREATE_FOLDER: return "Cannot create folder %s%s";
    case ERR_DAMAGED:
    case ERR_END_OF_DATA: return "Archive data is damaged, probably caused by\na corrupt disk or download error";
    case ERR_CRC: return "File \"%s\" fails error check";
    default: return 0;
    }
}

int report_error(WindowHandle owner, ResultCode code, const char* name, int can_continue)
{
    if (name == 0)
        name = display_name;
    const char* format = message_format(code);
    if (format == 0)
        return 0;
    // Formats without a second %s simply ignore the suffix argument.
    text_format(message_buffer, sizeof message_buffer, format, name, os_error_suffix());
    LastError = 0;
    u32 style = can_continue ? (BOX_EXCLAMATION | BOX_OKCANCEL) : BOX_EXCLAMATION;
    int answer = message_box(owner, message_buffer, stub_info.title, style);
    if (can_continue && answer == BOX_ANSWER_OK)
        return 0;
    return 1;
}
