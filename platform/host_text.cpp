// What the host backends (POSIX and Win32 alike) share: UTF-8 decoding,
// code page 1252, the tool's way of showing stored paths and DOS times.
#include "platform/host.h"

#include "platform/text.h"

#include <ctype.h>
#include <locale.h>
#include <stdio.h>
#include <string.h>
#include <time.h>
#include <wctype.h>
#if defined(_WIN32)
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#endif

#include <string>

namespace host {

// Decodes the character at *p (before end) and moves *p past it. Returns its
// code point, or -1 for bytes that are not UTF-8; *p then moves on by one.
i32 utf8_next(const u8** p, const u8* end)
{
    const u8* s = *p;
    u32 c = *s++;
    *p = s;
    if (c < 0x80)
        return (i32)c;
    // The lead byte gives the length and the smallest value that length
    // may carry; anything smaller is an overlong form.
    u32 more, least;
    if (c >= 0xC2 && c <= 0xDF) {
        more = 1;
        least = 0x80;
        c &= 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
        more = 2;
        least = 0x800;
        c &= 0x0F;
    } else if (c >= 0xF0 && c <= 0xF4) {
        more = 3;
        least = 0x10000;
        c &= 0x07;
    } else {
        return -1;
    }
    if ((u32)(end - s) < more)
        return -1;
    for (u32 i = 0; i < more; i++) {
        if ((s[i] & 0xC0) != 0x80)
            return -1;
        c = (c << 6) | (s[i] & 0x3F);
    }
    if (c < least || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF))
        return -1;
    *p = s + more;
    return (i32)c;
}

void append_utf8(std::string& out, unsigned cp)
{
    if (cp < 0x80) {
        out += (char)cp;
    } else if (cp < 0x800) {
        out += (char)(0xC0 | (cp >> 6));
        out += (char)(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += (char)(0xE0 | (cp >> 12));
        out += (char)(0x80 | ((cp >> 6) & 0x3F));
        out += (char)(0x80 | (cp & 0x3F));
    } else {
        out += (char)(0xF0 | (cp >> 18));
        out += (char)(0x80 | ((cp >> 12) & 0x3F));
        out += (char)(0x80 | ((cp >> 6) & 0x3F));
        out += (char)(0x80 | (cp & 0x3F));
    }
}

std::string cp1252_to_utf8(const std::string& s)
{
    std::string out;
    for (unsigned char c : s) {
        unsigned cp = c;
        if (c >= 0x80 && c < 0xA0)
            cp = cp1252_high[c - 0x80];
        append_utf8(out, cp);
    }
    return out;
}

bool utf8_to_cp1252(const std::string& s, std::string& out, bool substitute)
{
    out.clear();
    const u8* p = (const u8*)s.data();
    const u8* end = p + s.size();
    while (p < end) {
        i32 cp = utf8_next(&p, end);
        if (cp < 0)
            return false;
        u8 b = cp1252_byte((u32)cp);
        if (b == '_' && cp != '_' && !substitute)
            return false;
        out += (char)b;
    }
    return true;
}

bool is_utf8(const std::string& s)
{
    const u8* p = (const u8*)s.data();
    const u8* end = p + s.size();
    while (p < end)
        if (utf8_next(&p, end) < 0)
            return false;
    return true;
}

std::string path_to_host(const char* path)
{
    std::string s = path;
    for (char& c : s)
        if (c == '\\')
            c = '/';
    return s;
}

// DOS date: bits 9-15 years since 1980, 5-8 month, 0-4 day. DOS time: bits
// 11-15 hours, 5-10 minutes, 0-4 seconds / 2. Both in local time. The
// fields year, month, day, hour, minute, second; false when one is out of
// its range.
static bool dos_fields(u16 date, u16 time_word, int f[6])
{
    f[0] = 1980 + (date >> 9);
    f[1] = (date >> 5) & 15;
    f[2] = date & 31;
    f[3] = time_word >> 11;
    f[4] = (time_word >> 5) & 63;
    f[5] = (time_word & 31) * 2;
    static const int days[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return f[1] >= 1 && f[1] <= 12 && f[2] >= 1 && f[2] <= days[f[1] - 1] && f[3] < 24 && f[4] < 60 && f[5] < 60;
}

time_t dos_to_time(u16 date, u16 time_word)
{
    int f[6];
    dos_fields(date, time_word, f);  // mktime normalises what is out of range
    struct tm tm;
    memset(&tm, 0, sizeof tm);
    tm.tm_year = f[0] - 1900;
    tm.tm_mon = f[1] - 1;
    tm.tm_mday = f[2];
    tm.tm_hour = f[3];
    tm.tm_min = f[4];
    tm.tm_sec = f[5];
    tm.tm_isdst = -1;
    return mktime(&tm);
}

void time_to_dos(time_t t, u16& date, u16& time_word)
{
    date = 0;
    time_word = 0;
    struct tm tm;
    if (localtime_r(&t, &tm) == nullptr)
        return;
    int year = tm.tm_year + 1900;
    if (year < 1980 || year > 2107)
        return;
    date = (u16)(((year - 1980) << 9) | ((tm.tm_mon + 1) << 5) | tm.tm_mday);
    // DOS keeps seconds in 2-second steps; a leap second reads as 58.
    int seconds = tm.tm_sec > 59 ? 59 : tm.tm_sec;
    time_word = (u16)((tm.tm_hour << 11) | (tm.tm_min << 5) | (seconds / 2));
}

std::string dos_time_text(u16 date, u16 time_word)
{
    if (date == 0)
        return std::string(19, ' ');
    int f[6];
    if (!dos_fields(date, time_word, f))
        return "?\?\?\?-?\?-?\? ?\?:?\?:?\?";  // escaped: no trigraphs
    char text[32];
    snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", f[0], f[1], f[2], f[3], f[4], f[5]);
    return text;
}

std::string dos_time_iso(u16 date, u16 time_word)
{
    std::string text = dos_time_text(date, time_word);
    if (text[0] == ' ' || text[0] == '?')
        return "";
    text[10] = 'T';
    return text;
}

#if defined(_WIN32)
// Windows' own case mapping, the one its file systems compare names with.
static u32 upper_code(u32 c)
{
    if (c >= 0x10000)
        return c;
    wchar_t w = (wchar_t)c;
    CharUpperBuffW(&w, 1);
    return w;
}
#else
static u32 upper_code(u32 c)
{
    static locale_t locale = newlocale(LC_CTYPE_MASK, "C.UTF-8", (locale_t)0);
    if (locale != (locale_t)0)
        return (u32)towupper_l((wint_t)c, locale);
    return c < 0x80 ? (u32)toupper((int)c) : c;
}
#endif

std::string fold_name(const std::string& utf8)
{
    std::string out;
    const u8* p = (const u8*)utf8.data();
    const u8* end = p + utf8.size();
    while (p < end) {
        u8 byte = *p;
        i32 code = utf8_next(&p, end);
        u32 c = code < 0 ? byte : (u32)code;
        c = c == '\\' ? '/' : upper_code(c);
        out.append((const char*)&c, sizeof c);
    }
    return out;
}

}  // namespace host
