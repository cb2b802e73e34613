// The stub's side of the extraction: the overwrite question (template 2)
// for one existing file, the failure messages, the progress line, the
// message pump, the command and the volume query the driver asks for.
//
// The question and every message box are owned by the main dialog, which is
// disabled while they are up: its Cancel cannot act while the user decides
// (Cancel acts after the answer, at the driver's next check). The question
// ends with the id of the button pressed: Yes, No, Yes To All or No To All.
// Enter answers Yes; Escape and the close box No.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#include <commctrl.h>

#include "archive/paths.h"
#include "archive/stub_info.h"
#include "platform/text.h"
#include "shell/dialogs.h"

INT_PTR CALLBACK overwrite_dialog_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam)
{
    (void)lparam;
    switch (message) {
    case WM_INITDIALOG: {
        dialog_begin(window, CTL_QUESTION_FOLDER, CTL_QUESTION_TAIL);
        // The file's own name whole (its box wraps it), then the folder
        // (shortened in the middle when long); the rest of the sentence is
        // the template's last line. An empty folder box leaves the names
        // relative to the working folder: then there may be no folder part.
        Extraction* x = SFX_EXTRACTION;
        char* path = x->dest_path;
        char* name = path + folder_part_length(path);
        char* message = x->message;
        text_format(message, sizeof x->message, "File \"%s\"", name, 0);
        set_item_text(window, CTL_QUESTION, message);
        if (name != path) {
            name[-1] = 0;
            text_format(message, sizeof x->message, "in %s", path, 0);
            name[-1] = '\\';
            set_item_text(window, CTL_QUESTION_FOLDER, message);
        }
        return 1;
    }
    case WM_COMMAND:
        switch (LOWORD(wparam)) {
        case IDCANCEL:  // Escape, the close box
            EndDialog(window, CTL_NO);
            return 0;
        case CTL_YES_TO_ALL:
        case CTL_YES:
        case CTL_NO:
        case CTL_NO_TO_ALL:
            EndDialog(window, LOWORD(wparam));
            return 0;
        }
        return 0;
    }
    return dialog_colour(message, wparam);
}

u8 keep_existing;

int extraction_ask_overwrite(Extraction* x)
{
    // No To All answers every later question itself, as /N answers all.
    if (keep_existing)
        return ANSWER_NO;
    // Unattended, with no one to ask: the file is kept, and the run did not
    // do all it was to.
    if (run_switches & SWITCH_SILENT) {
        if (exit_code == 0)
            exit_code = 1;
        return ANSWER_NO;
    }
    INT_PTR answer = DialogBoxParamW(instance_handle, MAKEINTRESOURCEW(DLG_OVERWRITE), (HWND)x->owner,
                                     overwrite_dialog_proc, 0);
    if (answer == CTL_NO_TO_ALL)
        keep_existing = 1;
    // A question that could not be shown (no memory for the dialog) must
    // not count as Yes: the file is kept.
    if (answer != ANSWER_YES && answer != ANSWER_YES_TO_ALL)
        return ANSWER_NO;
    return (int)answer;
}

// Every failure the user sees (or, unattended, would see) passes here and
// sets the exit code: a member that failed while the run went on gives 1
// unless something worse happened; a failure that ends the run gives its
// own code; Cancel on the message gives 1223.
int extraction_message(Extraction* x, ResultCode code, const char* text, u32 style)
{
    if (style & BOX_OKCANCEL) {
        if (exit_code == 0)
            exit_code = 1;
    } else {
        exit_code = code == ERR_CREATE_DESTINATION ? 3 : code == ERR_NO_SPACE ? 4 : 2;
    }
    int answer = message_box((HWND)x->owner, text, style, code == ERR_STUB_MODIFIED ? STR_SUPPORT : 0);
    if (answer == IDCANCEL)
        exit_code = ERROR_CANCELLED;
    return answer;
}

// Writes value in decimal just before end; returns where it starts.
static DRAVEX_NOINLINE char* decimal(char* end, u32 value)
{
    do {
        *--end = (char)('0' + value % 10);
        value /= 10;
    } while (value != 0);
    return end;
}

// Bytes as whole KB (rounded down), at most 4294967295 of them.
static DRAVEX_NOINLINE char* kilobytes(char* end, u64 bytes)
{
    bytes >>= 10;
    *--end = 0;
    return decimal(end, bytes >> 32 ? 0xFFFFFFFFu : (u32)bytes);
}

void report_result(Extraction* x, ResultCode result)
{
    if (result == ERR_NO_SPACE) {
        char needed[12], available[12];
        // What is needed is rounded up, what is free down: never shown as
        // enough.
        text_format(x->message, sizeof x->message,
                    "Not enough free space in the destination folder:\n%s KB needed, %s KB free",
                    kilobytes(needed + sizeof needed, x->space_needed + 1023),
                    kilobytes(available + sizeof available, x->space_free));
        extraction_message(x, result, x->message, BOX_EXCLAMATION);
    } else if (result < 0) {
        report_error(x, result, 0, REPORT_FINAL);
    }
}

// "N of M files - Extracting NAME": the count first, so that the path
// ellipsis of a long name never hides it.
void extraction_progress(Extraction* x, const char* name)
{
    char count[24];  // "4294967295 of 4294967295"
    char* start = count + sizeof count - 1;
    *start = 0;
    start = decimal(start, x->files_total) - 4;
    memory_copy(start, " of ", 4);
    start = decimal(start, x->files_reached);
    text_format(x->message, sizeof x->message, "%s files - Extracting %s", start, name);
    set_item_text((HWND)x->owner, CTL_BANNER, x->message);
}

// The bar shows the units of the entries done (see the driver's walk), in a
// range that PBM_SETRANGE32 takes as a signed number. The messages go
// through the dialog's own key handling, so that Escape is Cancel during the
// extraction too.
void extraction_pump(Extraction* x)
{
    HWND window = (HWND)x->owner;
    u32 shift = x->units_total >> 31;
    SendDlgItemMessageW(window, CTL_PROGRESS, PBM_SETRANGE32, 0, (LPARAM)(x->units_total >> shift));
    SendDlgItemMessageW(window, CTL_PROGRESS, PBM_SETPOS, (WPARAM)(x->units_done >> shift), 0);
    pump_messages(window);
}

// The command keeps the working folder the self-extractor was started with,
// unless the archive asks for the destination folder (SfxHeader flag bit 3),
// which dest_path holds now (an empty folder is the working folder already).
// With /W after a run without failures the dialog is hidden while the stub
// waits for the command, whose exit code becomes the stub's.
void extraction_run_command(Extraction* x, const char* command_line)
{
    u32* wait = 0;
    if ((run_switches & SWITCH_WAIT) && exit_code == 0) {
        wait = &exit_code;
        ShowWindow((HWND)x->owner, SW_HIDE);
    }
    if (!run_command(command_line,
                     run_flags(x)->command_in_destination && x->dest_path[0] != 0 ? x->dest_path : 0, wait)) {
        text_format(x->message, sizeof x->message, "Cannot start %s%s", command_line, os_error_suffix());
        message_box((HWND)x->owner, x->message, MB_ICONEXCLAMATION, 0);
        exit_code = 5;
    }
}

int extraction_short_names(Extraction* x, char drive_letter)
{
    (void)x;
    return volume_needs_short_names(drive_letter);
}
