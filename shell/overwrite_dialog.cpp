// The overwrite question (template 2) for one existing file. The driver runs
// it without an owner and gets back the id of the button pressed: Yes, No,
// Yes To All or No To All. Enter answers Yes; Escape and the close box No.
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
        text_format(message_buffer, sizeof message_buffer, "File \"%s\"", dest_path, 0);
        SetDlgItemTextA(window, CTL_QUESTION, message_buffer);
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
