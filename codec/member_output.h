// Member output: walks the decoded stream to a member, passes over its
// record header and name, writes its bytes (through the x86 call filter when
// the entry asks for one) and keeps their CRC-32 in RunningCrc.
#ifndef DRAVEX_CODEC_MEMBER_OUTPUT_H
#define DRAVEX_CODEC_MEMBER_OUTPUT_H

#include "platform/platform.h"

enum { FILTER_STAGING_SIZE = 16384 };

extern u32 RunningCrc;

ResultCode output_member(FileHandle file, u32 stream_offset, u32 member_offset, u32 member_size, u32 entry_flags);
// Chooses the filter width from the entry flags (bit 1 wins over bit 2) and
// empties the carry; output_member calls it at the start of every request.
void filter_begin(u32 entry_flags);
ResultCode filter_piece(FileHandle file, const u8* data, i32 count, u32 position, u32 member_size, int final);
i32 filter_calls16(FileHandle file, const u8* data, i32 count, u32 position);
i32 filter_calls32(FileHandle file, const u8* data, i32 count, u32 position, u32 member_size);

#endif
