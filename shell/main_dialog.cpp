// The main dialog (template 1): destination folder, overwrite preset, and
// the Extract command inside which the whole extraction runs.
//
// The driver pumps messages while it works, so this procedure is entered
// again during an extraction: Cancel and the close box then only set
// CancelFlag and end the dialog, and the driver stops at its next check.
//
// Keys: Enter = Extract (the default button), Escape = Cancel, F1 and Alt+H
// = Help, Alt+B = Browse.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#include <shlobj.h>

#include "archive/driver.h"
#include "archive/stub_info.h"
#include "platform/platform.h"
#include "platform/text.h"
#include "shell/dialogs.h"

static const char help_text[] =
    "This is a self-extracting QVX archive. To extract the contents to disk,\n"
    "specify a folder name in the edit box, and click the Extract button.\n"
    "If the folder does not exist, it will be created.";

static const char banner_text[] = "Dravex Self-Extractor by the Dravex developers";

INT_PTR dialog_colour(UINT message, WPARAM wparam)
{
    switch (message) {
    case WM_CTLCOLORBTN:
    case WM_CTLCOLORSTATIC:
        SetBkMode((HDC)wparam, TRANSPARENT);
        return (INT_PTR)dialog_brush;
    case WM_CTLCOLORDLG:
        return (INT_PTR)dialog_brush;
    }
    return 0;
}

// One extraction per run: a second Extract delivered by the driver's
// message pump finds this set and does nothing.
static u8 extracting;

// The system's folder picker, loaded when first asked for. A folder picked
// replaces the box's text; Cancel in the picker leaves it. The picker and
// the other two functions come from the same library, so one check does.
static void browse(HWND window)
{
    typedef LPITEMIDLIST(WINAPI * BrowseFunction)(BROWSEINFOW*);
    typedef BOOL(WINAPI * PathFunction)(LPCITEMIDLIST, wchar_t*);
    typedef void(WINAPI * FreeFunction)(LPITEMIDLIST);
    BrowseFunction browse_for_folder = (BrowseFunction)system_function("shell32", "SHBrowseForFolderW");
    if (browse_for_folder == 0)
        return;
    BROWSEINFOW info = {};
    info.hwndOwner = window;
    info.ulFlags = BIF_RETURNONLYFSDIRS;
    LPITEMIDLIST list = browse_for_folder(&info);
    if (list != 0) {
        if (((PathFunction)system_function("shell32", "SHGetPathFromIDListW"))(list, wide_text))
            set_item_wide(window, CTL_FOLDER, wide_text);
        ((FreeFunction)system_function("shell32", MAKEINTRESOURCEA(155)))(list);  // ILFree
    }
}

// While the extraction runs only Cancel and the close box act: the folder
// box with its label, the check box, Help, Browse and Extract are disabled.
// As bits by id above CTL_FOLDER.
#define CONTROL_BIT(id) (1u << ((id) - CTL_FOLDER))
static const u32 locked_while_extracting = CONTROL_BIT(CTL_FOLDER) | CONTROL_BIT(CTL_FOLDER_LABEL) |
                                           CONTROL_BIT(CTL_OVERWRITE_ALL) | CONTROL_BIT(CTL_HELP) |
                                           CONTROL_BIT(CTL_BROWSE) | CONTROL_BIT(CTL_EXTRACT);

static void cancel(HWND window)
{
    stub_info.flags.cancel_flag = 1;
    exit_code = ERROR_CANCELLED;
    EndDialog(window, 0);
}

static void lock_controls(HWND window, BOOL enable)
{
    for (int id = CTL_FOLDER; id <= CTL_BROWSE; id++)
        if (locked_while_extracting & CONTROL_BIT(id))
            EnableWindow(GetDlgItem(window, id), enable);
}

static void extract(HWND window)
{
    if (extracting)
        return;
    extracting = 1;
    Extraction* x = SFX_EXTRACTION;
    // The message GetDlgItemTextW would send: one import fewer.
    UINT n = (UINT)SendDlgItemMessageW(window, CTL_FOLDER, WM_GETTEXT, PATH_SIZE, (LPARAM)wide_text);
    text_from_units(x->dest_path, PATH_BUFFER_SIZE, (const u16*)wide_text, n);
    // The message IsDlgButtonChecked would send: one import fewer.
    stub_info.flags.overwrite_all = SendDlgItemMessageW(window, CTL_OVERWRITE_ALL, BM_GETCHECK, 0, 0) == BST_CHECKED;
    x->owner = window;
    lock_controls(window, FALSE);
    // The focus leaves the disabled controls for Cancel.
    SetFocus(GetDlgItem(window, CTL_CANCEL));
    ResultCode result = extract_all(x, STUB_DECODER);
    report_result(x, result);
    // Files that would not fit were refused before anything was written:
    // the dialog comes back, its folder box selected, for another folder.
    if (result == ERR_NO_SPACE && !stub_info.flags.cancel_flag) {
        exit_code = 0;
        extracting = 0;
        lock_controls(window, TRUE);
        SetFocus(GetDlgItem(window, CTL_FOLDER));
        SendDlgItemMessageW(window, CTL_FOLDER, EM_SETSEL, 0, -1);
        return;
    }
    EndDialog(window, 0);
}

INT_PTR CALLBACK main_dialog_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam)
{
    (void)lparam;
    switch (message) {
    case WM_INITDIALOG:
        dialog_begin(window, CTL_FOLDER, CTL_BROWSE);
        text_format(SFX_EXTRACTION->message, sizeof SFX_EXTRACTION->message,
                    "Click the Extract button to extract all files in %s to the specified folder.",
                    SFX_EXTRACTION->display_name, 0);
        set_item_text(window, CTL_INTRO, SFX_EXTRACTION->message);
        set_item_text(window, CTL_BANNER, banner_text);
        if (stub_info.flags.overwrite_all)
            SendDlgItemMessageW(window, CTL_OVERWRITE_ALL, BM_SETCHECK, BST_CHECKED, 0);
        set_item_text(window, CTL_FOLDER, SFX_EXTRACTION->dest_path);
        // The dialog manager gives the focus to the first tab stop, the
        // folder box, and selects all its text.
        return 1;
    case WM_HELP:  // F1; not while an extraction runs, when Help is disabled
        if (extracting)
            return 1;
        wparam = CTL_HELP;
        [[fallthrough]];
    case WM_COMMAND:
        switch (LOWORD(wparam)) {
        case CTL_HELP:
            message_box(window, help_text, MB_OK);
            return 1;
        case CTL_BROWSE:
            browse(window);
            return 1;
        case CTL_EXTRACT:
            extract(window);
            return 1;
        case IDCANCEL:  // Escape
        case CTL_CANCEL:
            cancel(window);
            return 1;
        }
        return 0;
    case WM_SYSCOMMAND:
        if ((wparam & 0xFFF0) == SC_CLOSE) {
            cancel(window);
            return 1;
        }
        return 0;
    }
    return dialog_colour(message, wparam);
}
