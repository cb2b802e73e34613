#include "archive/extraction.h"

#include "platform/text.h"

static const char run_stopped_text[] = "\nExtraction has stopped; the files from here on were not extracted.";

int report_error(Extraction* x, ResultCode code, const char* name, int can_continue)
{
    if (name == 0)
        name = x->display_name;
    u32 length = format_failure(x->message, sizeof x->message, code, name);
    if (length == 0)
        return 0;
    if (can_continue == REPORT_RUN_STOPS)
        text_copy(x->message + length, sizeof x->message - length, run_stopped_text);
    LastError = 0;
    can_continue = can_continue == REPORT_CAN_CONTINUE;
    u32 style = can_continue ? (BOX_EXCLAMATION | BOX_OKCANCEL) : BOX_EXCLAMATION;
    int answer = extraction_message(x, code, x->message, style);
    if (can_continue && answer == BOX_ANSWER_OK)
        return 0;
    return 1;
}
