// UTF-8 texts and the number of UTF-16 units Windows' strict conversion makes
// of them, for text_to_units (0: not UTF-8, or more than 8 units). The host's
// and the Win32 backend's tests both check their conversion against it, so
// that the two read names alike.
#pragma once

#include "platform/platform.h"

struct Utf8Case {
    const char* text;
    u32 units;
};

static const Utf8Case utf8_cases[] = {
    {"a\xc3\xa9", 2},
    {"\xf0\x9f\x99\x82", 2},     // a pair of surrogates
    {"\xed\xa0\x80", 0},          // a surrogate on its own
    {"\xc1\xbf", 0},              // overlong
    {"\xe0\x80\xaf", 0},          // overlong
    {"\xc3", 0},                  // cut
    {"\xf4\x90\x80\x80", 0},      // past U+10FFFF
    {"\x80", 0},                  // a stray continuation byte
    {"abcdefghi", 0},             // more than 8 units
};
