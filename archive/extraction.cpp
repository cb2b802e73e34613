#include "archive/extraction.h"

#include "platform/text.h"

int report_error(Extraction* x, ResultCode code, const char* name, int can_continue)
{
    if (name == 0)
        name = x->display_name;
    if (format_failure(x->message, sizeof x->message, code, name) == 0)
        return 0;
    LastError = 0;
    u32 style = can_continue ? (BOX_EXCLAMATION | BOX_OKCANCEL) : BOX_EXCLAMATION;
    int answer = extraction_message(x, code, x->message, style);
    if (can_continue && answer == BOX_ANSWER_OK)
        return 0;
    return 1;
}
