// Freestanding string helpers over zero-terminated strings.
//
// The stub has no C runtime; these stand in for lstrlenA, lstrcpyA,
// lstrcmpiA and a bounded, %s-only wsprintfA. They are shared by both
// builds so the host tool formats messages exactly as the stub does.
//
// Names, paths and messages are UTF-8 inside the extractor, in the stub as
// on the host; only the platform layer converts, at the system's edge.
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

// The length of zero-terminated UTF-8 text in UTF-16 units, the measure of
// Windows paths: one per character, two for one beyond U+FFFF.
u32 utf16_length(const char* s);
// The code page 1252 byte of a code point or UTF-16 unit, '_' for one it
// cannot hold (a surrogate among them).
u8 cp1252_byte(u32 code_point);
// The code points of the bytes 0x80..0x9F in code page 1252.
extern const u16 cp1252_high[32];

// Copies byte after byte in increasing order, so a copy towards the front of
// an overlapping range, or one right behind its source (which repeats
// bytes), comes out as that order gives.
void* memory_copy(void* dest, const void* src, size_t count);
void* memory_fill(void* dest, int value, size_t count);

#endif
