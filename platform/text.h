// Freestanding string helpers over zero-terminated ANSI strings.
//
// The stub has no C runtime; these stand in for lstrlenA, lstrcpyA,
// lstrcmpiA and a bounded, %s-only wsprintfA. They are shared by both
// builds so the host tool formats messages exactly as the stub does.
#ifndef DRAVEX_PLATFORM_TEXT_H
#define DRAVEX_PLATFORM_TEXT_H

#include "platform/base.h"

u32 text_length(const char* s);
// Copies s with its terminator into dest of dest_size bytes, cutting it to
// dest_size - 1 bytes; returns the length copied.
u32 text_copy(char* dest, u32 dest_size, const char* s);
// Compares ignoring ASCII case; negative, zero or positive.
int text_compare_nocase(const char* a, const char* b);
// Formats fmt into dest (dest_size bytes, always terminated), replacing the
// first %s by a and the second by b (null pointers read as ""). Output that
// does not fit is cut. Returns the length written.
u32 text_format(char* dest, u32 dest_size, const char* fmt, const char* a, const char* b);

void* memory_copy(void* dest, const void* src, size_t count);
void* memory_fill(void* dest, int value, size_t count);

#endif
