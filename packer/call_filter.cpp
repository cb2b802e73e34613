// Forward x86 call filters.
//
// The extractor turns the operand v that follows an 0xE8 byte at member
// position q - 1 back into a relative call operand r. For the 16-bit filter
// that is r = (v - q) mod 2^16, so the encoder stores (r + q) mod 2^16. The
// 32-bit mapping, with S the member size and v read as signed, is
//
//   A: 0 <= v < S      ->  r = v - q         r in [-q, S - q - 1]
//   B: -q <= v <= -1   ->  r = S - 1 - q - v r in [S - q, S - 1]
//   C: any other v     ->  r = v             r outside [-q, S - 1]
//
// A and B together map [-q, S - 1] onto itself and C is the identity on
// everything else, so as long as [-q, S - 1] does not wrap around the signed
// range (S < 2^31) the mapping is a permutation of all 2^32 operands and
// every r has exactly one stored form. For members of 2 GiB or more the
// decoder's signed comparisons stop forming a permutation; such members are
// never filtered (call_filter_reversible says so).
//
// Scanning follows the whole-member rule: an 0xE8 whose operand lies wholly
// inside the member gets its operand converted and the scan resumes after the
// operand; the opcode bytes themselves never change, so the encoder's scan
// over the original bytes and the decoder's scan over the stored bytes stop
// at the same places.
#include "packer/call_filter.h"

#include <unordered_map>

#include "archive/records.h"

namespace packer {

namespace {

enum : uint32_t {
    CALL_OPCODE = 0xE8,
    MAX_FILTER32_SIZE = 0x7FFFFFFF,
    // Executable header fields used by the detector.
    MZ_NEW_HEADER_OFFSET = 0x3C,
    MZ_RELOCATION_OFFSET = 0x18,
    PE_MACHINE_I386 = 0x014C,
    PE_MACHINE_AMD64 = 0x8664,
    ELF_MACHINE_386 = 3,
    ELF_MACHINE_X86_64 = 62,
    ELF_TYPE_EXEC = 2,
    ELF_TYPE_DYN = 3,
    // Statistical test: a member with at least this many in-range call
    // targets, of which a fair share repeat, is taken for x86 code.
    MIN_INRANGE_CALLS = 16,
};

uint32_t load_u32(const uint8_t* p)
{
    return (uint32_t)p[0] | ((uint32_t)p[1] << 8) | ((uint32_t)p[2] << 16) | ((uint32_t)p[3] << 24);
}

uint16_t load_u16(const uint8_t* p) { return (uint16_t)(p[0] | (p[1] << 8)); }

void store_u32(uint8_t* p, uint32_t v)
{
    p[0] = (uint8_t)v;
    p[1] = (uint8_t)(v >> 8);
    p[2] = (uint8_t)(v >> 16);
    p[3] = (uint8_t)(v >> 24);
}

// The stored operand whose conversion by the extractor gives r back.
uint32_t encode_operand32(uint32_t r_bits, int64_t q, int64_t size)
{
    int64_t r = (int32_t)r_bits;
    int64_t v;
    if (r >= -q && r <= size - q - 1)
        v = r + q;
    else if (r >= size - q && r <= size - 1)
        v = (size - 1 - q) - r;
    else
        v = r;
    return (uint32_t)v;
}

// Classifies by the executable header; -1 when there is none to go by.
int classify_by_header(const uint8_t* data, uint32_t size)
{
    if (size >= 64 && data[0] == 'M' && data[1] == 'Z') {
        uint32_t relocations = load_u16(data + MZ_RELOCATION_OFFSET);
        uint32_t next = load_u32(data + MZ_NEW_HEADER_OFFSET);
        const uint8_t* h = next >= 64 && next <= size - 6 ? data + next : nullptr;
        if (h && h[0] == 'P' && h[1] == 'E' && h[2] == 0 && h[3] == 0) {
            uint32_t machine = load_u16(h + 4);
            if (machine == PE_MACHINE_I386 || machine == PE_MACHINE_AMD64)
                return ENTRY_FILTER32;
            return 0;
        }
        // Only a relocation table offset of 0x40 or more announces a
        // new-style header behind the DOS one; below that it is DOS code.
        if (relocations < 0x40 || (h && h[0] == 'N' && h[1] == 'E'))
            return ENTRY_FILTER16;
        return -1;  // LE/LX and others: let the content decide
    }
    if (size >= 20 && data[0] == 0x7F && data[1] == 'E' && data[2] == 'L' && data[3] == 'F') {
        bool little = data[5] == 1;
        if (!little)
            return 0;
        uint32_t type = load_u16(data + 16);
        uint32_t machine = load_u16(data + 18);
        if (machine != ELF_MACHINE_386 && machine != ELF_MACHINE_X86_64)
            return 0;
        // Relocatable objects hold placeholder operands (mostly -4) that
        // compress better as they are than converted.
        return (type == ELF_TYPE_EXEC || type == ELF_TYPE_DYN) ? ENTRY_FILTER32 : 0;
    }
    return -1;
}

// Code that calls functions has many 0xE8 operands whose target lies inside
// the member, and many calls share a target. Data has neither: a random
// operand hits a member of size S with probability S / 2^32.
bool looks_like_x86_code(const uint8_t* data, uint32_t size)
{
    uint32_t opcodes = 0, in_range = 0;
    std::unordered_map<uint32_t, uint32_t> targets;
    for (uint32_t p = 0; p + 4 < size; p++) {
        if (data[p] != CALL_OPCODE)
            continue;
        opcodes++;
        int64_t target = (int64_t)p + 5 + (int32_t)load_u32(data + p + 1);
        if (target >= 0 && target < (int64_t)size) {
            in_range++;
            targets[(uint32_t)target]++;
            p += 4;
        }
    }
    if (in_range < MIN_INRANGE_CALLS || in_range * 4 < opcodes)
        return false;
    // At least a fifth of the calls go to a target that another call uses.
    uint32_t repeated = 0;
    for (const auto& t : targets)
        if (t.second > 1)
            repeated += t.second;
    return repeated * 5 >= in_range;
}

}  // namespace

bool call_filter_reversible(uint32_t size, int width)
{
    if (width == 2)
        return true;
    return width == 4 && size <= MAX_FILTER32_SIZE;
}

CallFilterStream::CallFilterStream(uint32_t size, int width) : size_(size), width_(width)
{
    if (size == 0 || (width != 2 && width != 4) || !call_filter_reversible(size, width))
        width_ = 0;
}

size_t CallFilterStream::convert(uint8_t* b, size_t length, uint64_t position)
{
    if (width_ == 0)
        return length;
    uint64_t end = position + length;
    // An operand is converted only when it ends at or before the member's
    // last byte.
    while (scan_ + width_ + 1 <= size_) {
        if (scan_ + width_ >= end)
            return (size_t)(scan_ - position);  // the operand is not all here
        uint8_t* p = b + (scan_ - position);
        if (*p != CALL_OPCODE) {
            scan_++;
            continue;
        }
        uint32_t q = (uint32_t)scan_ + 1;
        if (width_ == 2) {
            uint16_t v = (uint16_t)(load_u16(p + 1) + q);
            p[1] = (uint8_t)v;
            p[2] = (uint8_t)(v >> 8);
        } else {
            store_u32(p + 1, encode_operand32(load_u32(p + 1), q, (int64_t)size_));
        }
        scan_ += (uint64_t)width_ + 1;
    }
    return length;
}

std::vector<uint8_t> encode_calls(const uint8_t* data, uint32_t size, int width)
{
    std::vector<uint8_t> out(data, data + size);
    CallFilterStream stream(size, width);
    stream.convert(out.data(), out.size(), 0);
    return out;
}

uint8_t detect_call_filter(const uint8_t* data, uint32_t size)
{
    if (size < 64)
        return 0;
    int by_header = classify_by_header(data, size);
    if (by_header == ENTRY_FILTER32 && !call_filter_reversible(size, 4))
        return 0;
    if (by_header >= 0)
        return (uint8_t)by_header;
    if (!call_filter_reversible(size, 4))
        return 0;
    return looks_like_x86_code(data, size) ? ENTRY_FILTER32 : 0;
}

}  // namespace packer
