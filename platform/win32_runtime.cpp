// The few C runtime routines the compiler itself emits calls to. The stub
// links no C runtime, yet GCC turns struct copies, zeroed arrays and some
// loops into memcpy, memset and memmove calls even in freestanding code.
//
// The string instructions are both the smallest code and, on every x86 since
// the fast-string microcode, about as fast as anything for the stored-block
// and match copies that reach here. The direction flag is clear on entry by
// the Windows calling convention, and memmove restores it.
#include <stddef.h>

extern "C" {

void* memcpy(void* dest, const void* src, size_t count)
{
    void* d = dest;
    __asm__ volatile("rep movsb" : "+D"(d), "+S"(src), "+c"(count) : : "memory");
    return dest;
}

void* memset(void* dest, int value, size_t count)
{
    void* d = dest;
    __asm__ volatile("rep stosb" : "+D"(d), "+c"(count) : "a"(value) : "memory");
    return dest;
}

void* memmove(void* dest, const void* src, size_t count)
{
    const char* s = (const char*)src;
    char* d = (char*)dest;
    if (d <= s || d >= s + count)
        return memcpy(dest, src, count);
    // Overlap with the target above the source: copy from the top down.
    s += count - 1;
    d += count - 1;
    __asm__ volatile("std\n\trep movsb\n\tcld" : "+D"(d), "+S"(s), "+c"(count) : : "memory");
    return dest;
}

}
