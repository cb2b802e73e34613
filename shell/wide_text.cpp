// The shell's texts on their way to the system: everything inside the stub
// is UTF-8 (the title as stored), the dialogs and message boxes are UTF-16.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include "archive/records.h"
#include "archive/stub_info.h"
#include "shell/dialogs.h"

wchar_t wide_text[MESSAGE_BUFFER_SIZE];

const wchar_t* title_text(void)
{
    static wchar_t title[TITLE_SIZE];
    UINT code_page = (SFX_EXTRACTION->sfx_flags & SFX_FLAG_UTF8) ? CP_UTF8 : CP_ACP;
    MultiByteToWideChar(code_page, 0, stub_info.title, -1, title, TITLE_SIZE);
    return title;
}

// The message SetDlgItemTextW would send: one import fewer.
void set_item_wide(HWND window, int id, const wchar_t* text)
{
    SendDlgItemMessageW(window, id, WM_SETTEXT, 0, (LPARAM)text);
}

void set_item_text(HWND window, int id, const char* text)
{
    set_item_wide(window, id, text_to_wide(wide_text, MESSAGE_BUFFER_SIZE, text));
}

int message_box(HWND owner, const char* text, UINT style)
{
    // Unattended: no box; OK goes on where the user could.
    if (run_switches & SWITCH_SILENT)
        return IDOK;
    return MessageBoxW(owner, text_to_wide(wide_text, MESSAGE_BUFFER_SIZE, text), title_text(), style);
}

void dialog_begin(HWND window, int first, int last)
{
    SetWindowTextW(window, title_text());
    for (int id = first; id <= last; id++)
        SendDlgItemMessageW(window, id, WM_SETFONT, (WPARAM)dialog_font, 0);
}
