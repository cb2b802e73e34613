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

#endif
