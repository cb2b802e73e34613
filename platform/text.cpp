#include "platform/text.h"

u32 text_length(const char* s)
{
    u32 n = 0;
    while (s[n] != 0)
        n++;
    return n;
}

u32 text_copy(char* dest, u32 dest_size, const char* s)
{
    if (dest_size == 0)
        return 0;
    u32 n = 0;
    while (n + 1 < dest_size && s[n] != 0) {
        dest[n] = s[n];
        n++;
    }
    dest[n] = 0;
    return n;
}

static char lower_ascii(char c)
{
    return (c >= 'A' && c <= 'Z') ? (char)(c + ('a' - 'A')) : c;
}

int text_compare_nocase(const char* a, const char* b)
{
    for (;; a++, b++) {
        int ca = (u8)lower_ascii(*a);
        int cb = (u8)lower_ascii(*b);
        if (ca != cb || ca == 0)
            return ca - cb;
    }
}

u32 text_format(char* dest, u32 dest_size, const char* fmt, const char* a, const char* b)
{
    if (dest_size == 0)
        return 0;
    const char* args[2] = {a, b};
    u32 next_arg = 0;
    u32 n = 0;
    for (const char* f = fmt; *f != 0 && n + 1 < dest_size; f++) {
        if (f[0] == '%' && f[1] == 's') {
            const char* s = next_arg < 2 ? args[next_arg] : 0;
            next_arg++;
            f++;
            if (s == 0)
                continue;
            while (*s != 0 && n + 1 < dest_size)
                dest[n++] = *s++;
        } else {
            dest[n++] = *f;
        }
    }
    dest[n] = 0;
    return n;
}

// The five bytes the code page leaves undefined map to the C1 control of the
// same value, as Windows' own conversion does.
const u16 cp1252_high[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};

u32 utf16_length(const char* s)
{
    u32 n = 0;
    for (; *s != 0; s++) {
        u8 c = (u8)*s;
        // Every byte but a continuation byte starts a character; a four-byte
        // lead starts a surrogate pair.
        if ((c & 0xC0) != 0x80)
            n += 1 + (c >= 0xF0);
    }
    return n;
}

u8 cp1252_byte(u32 code_point)
{
    if (code_point < 0x80 || (code_point >= 0xA0 && code_point <= 0xFF))
        return (u8)code_point;
    for (u32 i = 0; i < 32; i++)
        if (cp1252_high[i] == code_point)
            return (u8)(0x80 + i);
    return '_';
}

void* memory_copy(void* dest, const void* src, size_t count)
{
#if defined(DRAVEX_STUB_BUILD) && (defined(__i386__) || defined(__x86_64__))
    // The stub's smallest copy: the string instruction moves byte after byte
    // in increasing order (the direction flag is clear by the calling
    // convention).
    void* d = dest;
    __asm__ volatile("rep movsb" : "+D"(d), "+S"(src), "+c"(count) : : "memory");
#else
    u8* d = (u8*)dest;
    const u8* s = (const u8*)src;
    while (count-- != 0)
        *d++ = *s++;
#endif
    return dest;
}

void* memory_fill(void* dest, int value, size_t count)
{
    u8* d = (u8*)dest;
    while (count-- != 0)
        *d++ = (u8)value;
    return dest;
}
