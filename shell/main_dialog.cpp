// The main dialog (template 1): destination folder, overwrite preset, and
// the Extract command inside which the whole extraction runs.
//
// The driver pumps messages while it works, so this procedure is entered
// again during an extraction: Cancel and the close box then only set
// CancelFlag and end the dialog, and the driver stops at its next check.
//
// Keys: Enter = Extract (the default button), Escape = Cancel, F1 and Alt+H
// = Help, Alt+B = Browse.
//
// The banner, the intro and the Help text are the publisher's when the
// self-extractor's string table has them (publisher_text), taken as they
// are: never a format.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#include <shlobj.h>

#include "archive/driver.h"
#include "archive/stub_info.h"
#include "platform/platform.h"
#include "platform/text.h"
#include "shell/dialogs.h"

static const char help_text[] =
    "Type or browse to a folder and click Extract.\n"
    "A folder that does not exist is created.";

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

// The picker opens at the folder it is given.
static int CALLBACK browse_start(HWND picker, UINT message, LPARAM, LPARAM folder)
{
    if (message == BFFM_INITIALIZED)
        SendMessageW(picker, BFFM_SETSELECTIONW, TRUE, folder);
    return 0;
}

// The system's folder picker, loaded when first asked for. It opens at the
// folder in the box, or at the nearest folder above it that exists. A
// folder picked replaces the box's text; Cancel in the picker leaves it. The
// picker and the other two functions come from the same library, so one
// check does.
static void browse(HWND window)
{
    typedef LPITEMIDLIST(WINAPI * BrowseFunction)(BROWSEINFOW*);
    typedef BOOL(WINAPI * PathFunction)(LPCITEMIDLIST, wchar_t*);
    typedef void(WINAPI * FreeFunction)(LPITEMIDLIST);
    BrowseFunction browse_for_folder = (BrowseFunction)system_function("shell32", "SHBrowseForFolderW");
    if (browse_for_folder == 0)
        return;
    wchar_t* start = wide_text + PATH_SIZE;
    UINT n = (UINT)SendDlgItemMessageW(window, CTL_FOLDER, WM_GETTEXT, PATH_SIZE, (LPARAM)start);
    // Each level that is not a folder is cut off at its backslash.
    // (INVALID_FILE_ATTRIBUTES has the top bit, which no attributes have.)
    while (n != 0 && (GetFileAttributesW(start) & (0x80000000u | FILE_ATTRIBUTE_DIRECTORY)) !=
                         FILE_ATTRIBUTE_DIRECTORY) {
        while (n != 0 && start[--n] != '\\')
            ;
        start[n] = 0;
    }
    BROWSEINFOW info = {};
    info.hwndOwner = window;
    info.ulFlags = BIF_RETURNONLYFSDIRS;
    info.lpfn = browse_start;
    info.lParam = (LPARAM)start;
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

// The folder box takes the focus with its whole text selected and the caret
// at the start, so that the start of a long path shows.
static void select_folder(HWND window)
{
    SetFocus(GetDlgItem(window, CTL_FOLDER));
    SendDlgItemMessageW(window, CTL_FOLDER, EM_SETSEL, PATH_SIZE, 0);
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
    // A failure found before anything was written (the folder cannot be
    // made, the files would not fit; its message was shown): the dialog
    // comes back for the user to mend the folder, and the run's one
    // extraction is still to come.
    if ((result == EXTRACT_NOTHING_WRITTEN || result == ERR_NO_SPACE) && !stub_info.flags.cancel_flag) {
        exit_code = 0;
        extracting = 0;
        lock_controls(window, TRUE);
        select_folder(window);
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
        set_item_wide(window, CTL_INTRO, publisher_text(STR_INTRO, SFX_EXTRACTION->message));
        set_item_wide(window, CTL_BANNER, publisher_text(STR_BANNER, banner_text));
        if (stub_info.flags.overwrite_all)
            SendDlgItemMessageW(window, CTL_OVERWRITE_ALL, BM_SETCHECK, BST_CHECKED, 0);
        set_item_text(window, CTL_FOLDER, SFX_EXTRACTION->dest_path);
        select_folder(window);
        return 0;  // the focus is set
    case WM_HELP:  // F1; not while an extraction runs, when Help is disabled
        if (extracting)
            return 1;
        wparam = CTL_HELP;
        [[fallthrough]];
    case WM_COMMAND:
        switch (LOWORD(wparam)) {
        case CTL_HELP:
            MessageBoxW(window, publisher_text(STR_HELP, help_text), title_text(), MB_OK);
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
