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

// The changed-stub message (contact STR_SUPPORT) ends with the publisher's
// support contact, when the string table has one (qvx stores it with the
// blank line in front). That message comes exactly when the self-check has
// failed, so the resources holding the contact may be what changed:
// LoadStringW copies at most CONTACT_SIZE - 1 units of it, as plain text
// after the stub's own warning, which keeps saying to get the file again
// from where it came. String 0 is never written: 0 adds nothing.
int message_box(HWND owner, const char* text, UINT style, UINT contact)
{
    // Unattended: no box; OK goes on where the user could.
    if (run_switches & SWITCH_SILENT)
        return IDOK;
    wchar_t* end = text_to_wide(wide_text, MESSAGE_BUFFER_SIZE - CONTACT_SIZE, text);
    while (*end != 0)
        end++;
    LoadStringW(instance_handle, contact, end, CONTACT_SIZE);
    return MessageBoxW(owner, wide_text, title_text(), style);
}

void dialog_begin(HWND window, int first, int last)
{
    SetWindowTextW(window, title_text());
    for (int id = first; id <= last; id++)
        SendDlgItemMessageW(window, id, WM_SETFONT, (WPARAM)dialog_font, 0);
}

const wchar_t* publisher_text(UINT id, const char* own)
{
    if (LoadStringW(instance_handle, id, wide_text, MESSAGE_BUFFER_SIZE) == 0)
        text_to_wide(wide_text, MESSAGE_BUFFER_SIZE, own);
    return wide_text;
}
