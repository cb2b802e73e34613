// Process entry and start-up: everything between the entry point and the
// main dialog, and the clean-up after it.
//
// The stub has no C runtime, so sfx_entry is the PE entry point itself: it
// gathers what WinMain would get, runs sfx_main and ends the process with
// its exit code. Every failure before the dialog ends the run after one
// message box (none under /S), exit code 2.
//
// The switches are read only when the archive's SfxHeader lets the stub
// take them (flag bit 4): an archive of another writer runs as it always
// did, whatever its command line holds. A self-extractor whose own image
// fails its check says so before its settings are read, so also under /S.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#include <commctrl.h>

#include "archive/driver.h"
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
    report_error(SFX_EXTRACTION, code, 0, 0);
    return 2;
}

u8 run_switches;
u32 exit_code;

static const char usage_text[] =
    "/S\tno dialog, no question\n/D=FOLDER\tdestination (last)\n/Y\toverwrite files\n/N\tkeep files\n"
    "/W\twait for the command";

// Reads the switches after the program's name, case-insensitive, each
// quoted or not: /S, /Y, /N, /W and /? set their flags; /D= takes the rest
// of the line (quoted: up to the closing quote) as the destination folder
// into dest_path, whose variables the caller expands. Returns 2 when /D=
// gave the folder, 1 when it did not, and 0 when that folder is too long
// for a path (dest_path then holds the start of it).
static int read_switches(char* dest_path)
{
    const wchar_t* p = GetCommandLineW();
    for (u32 program = 1;; program = 0) {
        u32 quoted = *p == '"';
        p += quoted;
        if (!program) {
            wchar_t letter = 0;
            if (p[0] == '/' && p[1] > ' ') {
                letter = (wchar_t)(p[1] | 0x20);
                if (letter == 'd' && p[2] == '=') {
                    u32 n = 0;
                    for (p += 3; *p != 0 && !(quoted && *p == '"') && n < PATH_SIZE; p++)
                        wide_text[n++] = *p;
                    while (n > 0 && wide_text[n - 1] == ' ')
                        n--;
                    text_from_units(dest_path, PATH_BUFFER_SIZE, (const u16*)wide_text, n);
                    // Too long for a path, or the folder and its variables.
                    return n < PATH_SIZE ? 2 : 0;
                }
                // A switch is one letter: "/SY" is none.
                if ((p[2] == '"' ? p[3] : p[2]) > ' ')
                    letter = 0;
            }
            switch (letter) {
            case 's':
                run_switches |= SWITCH_SILENT;
                break;
            case 'w':
                run_switches |= SWITCH_WAIT;
                break;
            case '?':
                run_switches |= SWITCH_HELP;
                break;
            case 'y':
            case 'n':
                stub_info.flags.overwrite_all = letter == 'y';
                keep_existing = letter == 'n';
                break;
            default:
                run_switches |= SWITCH_UNKNOWN;
            }
        }
        // The rest of the word: up to its closing quote, or the next blank.
        while (*p != 0 && (quoted ? *p != '"' : *p > ' '))
            p++;
        p += *p == '"';
        while (*p == ' ' || *p == '\t')
            p++;
        if (*p == 0)
            return 1;
    }
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
    (void)command_line;  // read_switches asks for the whole line itself
    (void)show;

    Extraction* x = SFX_EXTRACTION;
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
    decoder_init(STUB_DECODER, &stub_info.flags.cancel_flag, stub_info.distance_sizes,
                 stub_info.distance_offsets, stub_info.window_sizes);
    ResultCode result = verify_stub(x, stub_info.stub_length, stub_info.crc_slot, stub_info.stub_crc);
    if (result < 0)
        return fail(result);  // nothing more for ERR_STUB_MODIFIED: it warned already

    current_directory(dest_path, PATH_BUFFER_SIZE);
    if (file_seek(x->file, 0, SEEK_FROM_END) == -1)
        return fail(ERR_SEEK);
    read_sfx_header(x);
    int expand = x->sfx_flags & SFX_FLAG_FOLDER_VARIABLES;
    if (x->sfx_flags & SFX_FLAG_SWITCHES) {
        int given = read_switches(dest_path);
        if (!given) {
            LastError = OS_PATH_TOO_LONG;
            report_error(x, ERR_CREATE_DESTINATION, dest_path, REPORT_FINAL);
            return 3;
        }
        if (run_switches & (SWITCH_HELP | SWITCH_UNKNOWN)) {
            message_box(0, usage_text, MB_OK, 0);
            return run_switches & SWITCH_UNKNOWN ? 7 : 0;
        }
        // A /D= folder's variables are always expanded.
        expand |= given & 2;
    }
    resolve_folder(dest_path, expand);
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
    if (run_switches & SWITCH_SILENT) {
        report_result(x, extract_all(x, STUB_DECODER));
        return exit_code;
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
    // A dialog that cannot be shown (no window can be made) ends the run
    // unseen: that is a failure, never a success.
    if (DialogBoxParamW(instance, MAKEINTRESOURCEW(DLG_MAIN), 0, main_dialog_proc, 0) < 0)
        return 2;

    // The font and the own file go with the process, which ends right after
    // this: no DeleteObject to import, no CloseHandle to call.
    return exit_code;
}

// The image's own header, where the instance handle points (the linker
// defines it: no call to GetModuleHandleA needed).
extern "C" IMAGE_DOS_HEADER __ImageBase;

// The PE entry point (named to the linker by the stub's build).
extern "C" __attribute__((noreturn)) void sfx_entry(void)
{
    ExitProcess((UINT)sfx_main((HINSTANCE)&__ImageBase, 0, 0, SW_SHOWNORMAL));
}
