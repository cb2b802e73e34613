// Member output: walks the decoded stream to a member, passes over its
// record header and name, writes its bytes (through the x86 call filter when
// the entry asks for one) and keeps their CRC-32.
#ifndef DRAVEX_CODEC_MEMBER_OUTPUT_H
#define DRAVEX_CODEC_MEMBER_OUTPUT_H

#include "platform/platform.h"

enum {
    FILTER_STAGING_SIZE = 16384,
    FILTER_CARRY_SIZE = 4,  // an operand
    // A member's record in the decoded stream starts with this many bytes,
    // then its name.
    LOCAL_HEADER_SIZE = 11,
    // Directory entry flags that choose the call filter.
    ENTRY_FILTER16 = 0x02,
    ENTRY_FILTER32 = 0x04,
};

struct Decoder;

// Writes the member to `file`; its CRC-32 is then in d->running_crc.
ResultCode output_member(Decoder* d, FileHandle file, u32 stream_offset, u32 member_offset, u32 member_size,
                         u32 entry_flags);
// Chooses the filter width from the entry flags (bit 1 wins over bit 2) and
// empties the carry; output_member calls it at the start of every request.
void filter_begin(Decoder* d, u32 entry_flags);
// Writes the count member bytes at data, the first at member position
// `position`, through the filter; an operand the piece cuts off waits in the
// carry for the next piece. The final piece writes such an operand as it is.
// Without a filter (width 0) the bytes go out as they are.
ResultCode filter_piece(Decoder* d, FileHandle file, const u8* data, i32 count, u32 position, u32 member_size,
                        int final);

#endif
