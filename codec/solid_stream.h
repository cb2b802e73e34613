// The solid data stream: decoder history carried from block to block and the
// positioning of member requests.
#ifndef DRAVEX_CODEC_SOLID_STREAM_H
#define DRAVEX_CODEC_SOLID_STREAM_H

#include "platform/base.h"

enum { HISTORY_MARGIN = 512, MAX_KEPT_HISTORY = 524288 };

struct DecoderHistory {
    u8* history;
    u32 capacity;
    u32 kept;
    u32 block_start;
    u32 block_length;
    u8 last_block;
    u8 history_valid;
    u8 block_pending;
    i32 stream_file_offset;  // of the stream in the history; 0 for none (a stream starts at 6 or later)
};

struct Decoder;

ResultCode stream_seek_member(Decoder* d, u32 stream_offset, u32 member_offset);
ResultCode next_block(Decoder* d);
ResultCode ensure_history_capacity(Decoder* d, u32 amount);
// Before the first member: no history buffer, no stream.
void history_reset(Decoder* d);
// Frees the history buffer if the decoder allocated one.
void history_release(Decoder* d);

#endif
