// Process entry and start-up: everything between the entry point and the
// main dialog, and the clean-up after it.
//
// The stub has no C runtime, so sfx_entry is the PE entry point itself: it
// gathers what WinMain would get, runs sfx_main and ends the process. Every
// failure before the dialog ends the run after one message box; the exit
// code is 0 whatever happened.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#include <commctrl.h>

#include "archive/startup.h"
#include "archive/stub_info.h"
#include "codec/crc32.h"
#include "codec/decoder.h"
#include "platform/platform.h"
#include "platform/text.h"
#include "shell/dialogs.h"

HBRUSH dialog_brush;
HFONT dialog_font;
HINSTANCE instance_handle;
Extraction sfx_extraction;
// Static: the record is far too large for a stack without probes. It reads
// the format tables from StubInfo, which the self-check covers.
Decoder stub_decoder;

// Ends the run before the dialog: one message, no owner window. The file
// handle, brush and font are left to the end of the process.
static int fail(ResultCode code)
{
    report_error(&sfx_extraction, code, 0, 0);
    return 0;
}

void* system_function(const char* library, const char* name)
{
    return (void*)GetProcAddress(LoadLibraryA(library), name);
}

// The folder as the user sees it. With expand (the publisher's folder holds
// %NAME%: SfxHeader flag bit 5), every environment variable in it is
// expanded first (a % that names none stays as it is). The folder is then
// made full against the current folder: a relative one (".", "Setup") shows
// where it is, an absolute one is the same destination written out. An empty
// one stays empty; one that would not fit a path stays as it was.
void resolve_folder(char* dest_path, int expand)
{
    if (dest_path[0] == 0)
        return;
    wchar_t* folder = text_to_wide(wide_text, PATH_SIZE, dest_path);
    wchar_t* full = wide_text + PATH_SIZE;
    if (expand && ExpandEnvironmentStringsW(folder, full, PATH_SIZE) - 1 < PATH_SIZE - 1) {
        folder = full;
        full = wide_text;
    }
    DWORD length = GetFullPathNameW(folder, PATH_SIZE, full, 0);
    if (length - 1 < PATH_SIZE - 1)
        text_from_units(dest_path, PATH_BUFFER_SIZE, (const u16*)full, length);
}

int sfx_main(HINSTANCE instance, HINSTANCE previous, const char* command_line, int show)
{
    (void)previous;
    (void)command_line;  // the run takes nothing from its command line
    (void)show;

    Extraction* x = &sfx_extraction;
    char* dest_path = x->dest_path;
    instance_handle = instance;  // the resources' texts, from the first message on

    // The destination buffer serves as scratch for our own path here.
    DWORD n = GetModuleFileNameW(instance, wide_text, PATH_SIZE);
    if (n >= PATH_SIZE)
        n = PATH_SIZE - 1;  // a cut path (not terminated on XP)
    text_from_units(dest_path, PATH_BUFFER_SIZE, (const u16*)wide_text, n);
    set_display_name(x, dest_path);

    x->file = file_open(dest_path, ACCESS_READ);
    if (x->file == INVALID_FILE)
        return fail(ERR_OPEN);
    crc32_build_table();
    decoder_init(&stub_decoder, &stub_info.flags.cancel_flag, stub_info.distance_sizes,
                 stub_info.distance_offsets, stub_info.window_sizes);
    ResultCode result = verify_stub(x, stub_info.stub_length, stub_info.crc_slot, stub_info.stub_crc);
    if (result < 0)
        return fail(result);  // nothing more for ERR_STUB_MODIFIED: it warned already

    current_directory(dest_path, PATH_BUFFER_SIZE);
    if (file_seek(x->file, 0, SEEK_FROM_END) == -1)
        return fail(ERR_SEEK);
    read_sfx_header(x);
    resolve_folder(dest_path, x->sfx_flags & SFX_FLAG_FOLDER_VARIABLES);
    if (read_archive_header(x) < 0)
        return fail(ERR_READ);
    // Before anything is shown, written or run: a damaged SfxHeader could
    // change the command, a damaged directory the names and their number.
    if (check_archive_values(x, stub_info.stub_length) < 0)
        return fail(ERR_DAMAGED);
    if (load_le32(x->archive_header + 8) == 0) {
        message_box(0, "Archive contains no files", MB_OK, 0);
        return 0;
    }

    dialog_brush = GetSysColorBrush(COLOR_BTNFACE);  // the system's own: never deleted
    UINT unit_height = HIWORD(GetDialogBaseUnits());
    dialog_font = CreateFontA(-(int)(6 * unit_height / 8), 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                              OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DRAFT_QUALITY, FF_SWISS | DEFAULT_PITCH,
                              "Helv");
    // The main dialog holds a progress bar, whose class the common controls
    // register.
    typedef BOOL(WINAPI * InitFunction)(const INITCOMMONCONTROLSEX*);
    InitFunction init_controls = (InitFunction)system_function("comctl32", "InitCommonControlsEx");
    INITCOMMONCONTROLSEX controls = {sizeof controls, ICC_PROGRESS_CLASS};
    if (init_controls != 0)
        init_controls(&controls);
    DialogBoxParamW(instance, MAKEINTRESOURCEW(DLG_MAIN), 0, main_dialog_proc, 0);

    // The font goes with the process, which ends right after this: no
    // DeleteObject to import.
    file_close(x->file);
    return 0;
}

// The image's own header, where the instance handle points (the linker
// defines it: no call to GetModuleHandleA needed).
extern "C" IMAGE_DOS_HEADER __ImageBase;

// The PE entry point (named to the linker by the stub's build).
extern "C" __attribute__((noreturn)) void sfx_entry(void)
{
    // The run takes nothing from its command line.
    ExitProcess((UINT)sfx_main((HINSTANCE)&__ImageBase, 0, 0, SW_SHOWNORMAL));
}
