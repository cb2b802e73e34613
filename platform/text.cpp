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

void* memory_copy(void* dest, const void* src, size_t count)
{
    u8* d = (u8*)dest;
    const u8* s = (const u8*)src;
    while (count-- != 0)
        *d++ = *s++;
    return dest;
}

void* memory_fill(void* dest, int value, size_t count)
{
    u8* d = (u8*)dest;
    while (count-- != 0)
        *d++ = (u8)value;
    return dest;
}
