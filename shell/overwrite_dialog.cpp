// The stub's side of the extraction: the overwrite question (template 2)
// for one existing file, the failure messages, the progress line, the
// message pump, the command and the volume query the driver asks for.
//
// The driver runs the question without an owner and gets back the id of the
// button pressed: Yes, No, Yes To All or No To All. Enter answers Yes;
// Escape and the close box No.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include "archive/stub_info.h"
#include "platform/text.h"
#include "shell/dialogs.h"

INT_PTR CALLBACK overwrite_dialog_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam)
{
    (void)lparam;
    switch (message) {
    case WM_INITDIALOG:
        SetWindowTextA(window, stub_info.title);
        for (int id = CTL_QUESTION; id <= CTL_QUESTION_TAIL; id++)
            SendDlgItemMessageA(window, id, WM_SETFONT, (WPARAM)dialog_font, 0);
        // The rest of the sentence is the template's second line.
        text_format(sfx_extraction.message, sizeof sfx_extraction.message, "File \"%s\"",
                    sfx_extraction.dest_path, 0);
        SetDlgItemTextA(window, CTL_QUESTION, sfx_extraction.message);
        return 1;
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

int extraction_ask_overwrite(Extraction* x)
{
    (void)x;  // the dialog names sfx_extraction's target
    // No To All answers every later question itself.
    static u8 no_to_all;
    if (no_to_all)
        return ANSWER_NO;
    // No owner: the main dialog stays enabled, so its Cancel still works
    // while the question is up.
    INT_PTR answer =
        DialogBoxParamA(instance_handle, MAKEINTRESOURCEA(DLG_OVERWRITE), 0, overwrite_dialog_proc, 0);
    if (answer == CTL_NO_TO_ALL)
        no_to_all = 1;
    // A question that could not be shown (no memory for the dialog) must
    // not count as Yes: the file is kept.
    if (answer != ANSWER_YES && answer != ANSWER_YES_TO_ALL)
        return ANSWER_NO;
    return (int)answer;
}

int extraction_message(Extraction* x, ResultCode code, const char* text, u32 style)
{
    (void)code;
    return MessageBoxA((HWND)x->owner, text, stub_info.title, style);
}

void extraction_progress(Extraction* x, const char* name)
{
    text_format(x->message, sizeof x->message, "Extracting %s", name, 0);
    SetDlgItemTextA((HWND)x->owner, CTL_BANNER, x->message);
}

void extraction_pump(Extraction* x)
{
    (void)x;
    pump_messages();
}

void extraction_run_command(Extraction* x, const char* command_line)
{
    (void)x;
    run_command(command_line);
}

int extraction_short_names(Extraction* x, char drive_letter)
{
    (void)x;
    return volume_needs_short_names(drive_letter);
}
