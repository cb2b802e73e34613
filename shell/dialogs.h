// The stub's shell: the two dialog procedures and the GDI objects start-up
// creates for them. Include after <windows.h>.
#ifndef DRAVEX_SHELL_DIALOGS_H
#define DRAVEX_SHELL_DIALOGS_H

#include "archive/extraction.h"
#include "resources/resource.h"

// Set up by start-up before the main dialog: the system's button-face brush
// (never deleted) and the dialog font (released with the process).
extern HBRUSH dialog_brush;
extern HFONT dialog_font;
extern HINSTANCE instance_handle;
// The stub's one extraction, with the flags and title of its StubInfo, and
// its one decoder, reading the format tables from StubInfo; both set up by
// start-up.
extern Extraction sfx_extraction;
extern struct Decoder stub_decoder;
// The two as the code reaches them. In PE32 code through a pointer the
// optimiser cannot see through: with the address a constant, link-time
// optimisation would address every field absolutely, each address a base
// relocation of 2 bytes, and mostly no shorter than a register and an
// offset (about 350 bytes of relocations for 250 of code). x86-64 code
// addresses them relative to the instruction, without relocations.
template <typename T> static inline T* opaque(T* p)
{
#if defined(__i386__)
    __asm__("" : "+r"(p));
#endif
    return p;
}
#define SFX_EXTRACTION opaque(&sfx_extraction)
#define STUB_DECODER opaque(&stub_decoder)

INT_PTR CALLBACK main_dialog_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
INT_PTR CALLBACK overwrite_dialog_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam);

// The colour messages both dialogs answer alike: the whole dialog in the
// button-face brush, texts drawn without their own background. Returns 0
// for any other message.
INT_PTR dialog_colour(UINT message, WPARAM wparam);
// What both dialogs do first: the title as caption, and the dialog font on
// the controls with the ids first to last (those that do not exist ignore
// it).
void dialog_begin(HWND window, int first, int last);

// Texts go to the system as UTF-16 (wide_text.cpp): the title (as the
// SfxHeader's flags say it is stored), a control's text and a message box
// with the title as caption, from UTF-8 (contact: 0, or the string that ends
// the changed-stub message). wide_text is the buffer they use,
// free between calls.
extern wchar_t wide_text[MESSAGE_BUFFER_SIZE];
const wchar_t* title_text(void);
void set_item_text(HWND window, int id, const char* text);
void set_item_wide(HWND window, int id, const wchar_t* text);
int message_box(HWND owner, const char* text, UINT style, UINT contact);
// The publisher's text `id` (STR_BANNER ..) from the string table in the
// stub's resources, in the language Windows picks for the user; where the
// table has none, own (UTF-8) in wide_text. Read only after the
// self-check, which covers the resources.
const wchar_t* publisher_text(UINT id, const char* own);

// A function of a system library the stub does not import (its imports stay
// KERNEL32, USER32 and GDI32), loaded when needed; 0 when it is missing.
// The library is named without ".dll", which LoadLibraryA adds.
void* system_function(const char* library, const char* name);

// Expands (with expand set) and resolves the folder in dest_path as the
// dialog shows it (startup.cpp).
void resolve_folder(char* dest_path, int expand);

int sfx_main(HINSTANCE instance, HINSTANCE previous, const char* command_line, int show);

// The switches the run was started with, when the archive lets the stub
// take them (SfxHeader flag bit 4); /Y and /N set the overwrite flag and
// keep_existing instead.
enum {
    SWITCH_SILENT = 1,   // /S: no dialog, no message box, no question
    SWITCH_WAIT = 2,     // /W: wait for the command, exit with its code
    SWITCH_HELP = 4,     // /?
    SWITCH_UNKNOWN = 8,  // a switch or argument the stub does not know
};
extern u8 run_switches;
// The existing files are kept without a question (/N, or No To All).
extern u8 keep_existing;
// The process's exit code (see the README's table): 0, 1 when members
// failed and the run went on, the code of a failure that ended the run,
// 1223 (ERROR_CANCELLED) when the user cancelled.
extern u32 exit_code;
// Shows what extract_all returned: nothing for success, the free space and
// what the files need for ERR_NO_SPACE, else the failure's message.
void report_result(Extraction* x, ResultCode result);

#endif
