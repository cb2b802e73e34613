// Basic types, little-endian loads and result codes.
//
// Every file of the decoding core includes this header first. It must stay
// freestanding: the stub is linked without the C runtime, so nothing here may
// pull in a library header beyond the compiler's own <stddef.h>/<stdint.h>.
#ifndef DRAVEX_PLATFORM_BASE_H
#define DRAVEX_PLATFORM_BASE_H

#include <stddef.h>
#include <stdint.h>

typedef uint8_t u8;
typedef uint16_t u16;
typedef uint32_t u32;
typedef uint64_t u64;
typedef int8_t i8;
typedef int16_t i16;
typedef int32_t i32;

// Signed 32-bit result of every fallible operation: 0 or positive is success
// (often a byte count), negative values are the codes below.
typedef i32 ResultCode;

enum {
    ERR_STUB_MODIFIED = -1,
    ERR_NO_MEMORY = -2,
    ERR_CREATE = -3,
    ERR_OPEN = -5,
    ERR_READ = -6,
    ERR_WRITE = -8,
    ERR_CREATE_FOLDER = -9,
    ERR_CREATE_DESTINATION = -10,  // the destination folder itself: nothing written yet
    ERR_DAMAGED = -11,
    ERR_CRC = -12,
    ERR_NO_SPACE = -13,  // the volume has less room than the files need: nothing written yet
    ERR_SEEK = -17,
    ERR_CANCELLED = -25,
    ERR_END_OF_DATA = -50,
};

#if defined(__GNUC__)
#define DRAVEX_INLINE inline __attribute__((always_inline))
#define DRAVEX_NOINLINE __attribute__((noinline))
#define DRAVEX_LIKELY(x) __builtin_expect(!!(x), 1)
#define DRAVEX_UNLIKELY(x) __builtin_expect(!!(x), 0)
#else
#define DRAVEX_INLINE inline
#define DRAVEX_NOINLINE
#define DRAVEX_LIKELY(x) (x)
#define DRAVEX_UNLIKELY(x) (x)
#endif

#define DRAVEX_STATIC_ASSERT(cond, msg) static_assert(cond, msg)

// Unaligned little-endian access. The byte-wise form compiles to a single
// load on x86 and never relies on the host's alignment or endianness.
static DRAVEX_INLINE u16 load_le16(const void* p)
{
    const u8* b = (const u8*)p;
    return (u16)(b[0] | (b[1] << 8));
}

static DRAVEX_INLINE u32 load_le32(const void* p)
{
    const u8* b = (const u8*)p;
    return (u32)b[0] | ((u32)b[1] << 8) | ((u32)b[2] << 16) | ((u32)b[3] << 24);
}

static DRAVEX_INLINE void store_le16(void* p, u16 v)
{
    u8* b = (u8*)p;
    b[0] = (u8)v;
    b[1] = (u8)(v >> 8);
}

static DRAVEX_INLINE void store_le32(void* p, u32 v)
{
    u8* b = (u8*)p;
    b[0] = (u8)v;
    b[1] = (u8)(v >> 8);
    b[2] = (u8)(v >> 16);
    b[3] = (u8)(v >> 24);
}

#endif
