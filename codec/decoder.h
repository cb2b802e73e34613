// The decoder: one record holding everything one decoding needs. Every codec
// function takes it by pointer, so two decodings never share state.
//
// The record is large (the BWT tables, the filter staging buffer and the
// delta regions, about 50 KB): keep it out of the stack. The stub owns one
// static instance; the host allocates one per extraction.
#ifndef DRAVEX_CODEC_DECODER_H
#define DRAVEX_CODEC_DECODER_H

#include "codec/bwt_decoder.h"
#include "codec/input_stream.h"
#include "codec/lz_decoder.h"
#include "codec/member_output.h"
#include "codec/solid_stream.h"
#include "platform/platform.h"

struct Decoder {
    // Small fields first: most accesses then fit a short displacement.
    InputStream input;
    DecoderHistory stream;
    FileHandle file;      // the file the archive is read from
    i32 archive_start;    // its offset in that file
    const u8* cancel_flag;  // nonzero asks every loop to stop with ERR_CANCELLED
    // The format tables (codec's own on the host, StubInfo's in the stub).
    const u8* distance_sizes;
    const u16* distance_offsets;
    const u32 (*window_sizes)[8];
    u32 running_crc;      // CRC-32 of the member written so far
    // Blocks next_block has been asked for; tests and benchmarks read it to
    // see that members in order decode no block twice.
    u32 block_fetch_count;
    u32 region_count;
    u32 filter_width;     // 0, 2 or 4 for the current request
    u32 carry_count;      // 0: no opcode waits; else 1 + the operand bytes in carry
    u8 carry[FILTER_CARRY_SIZE];
    u32 region_table[REGION_TABLE_SIZE];
    u8 filter_staging[FILTER_STAGING_SIZE];
    BwtWork bwt;
};

// Points d at the cancel flag and the format tables. Everything else starts
// zeroed (a static instance, or allocated cleared).
void decoder_init(Decoder* d, const u8* cancel_flag, const u8* distance_sizes, const u16* distance_offsets,
                  const u32 (*window_sizes)[8]);
// Before the first member of a run: reads from `file` with the archive at
// archive_start, input buffer `input_buffer` (INPUT_BUFFER_SIZE bytes, owned
// by the caller), no history.
void decoder_begin(Decoder* d, FileHandle file, i32 archive_start, u8* input_buffer);

// The host's decoders: allocated cleared and initialised with codec's format
// tables (0 when out of memory). decoder_destroy frees the record only; the
// caller releases the history and its input buffer first. (The stub never
// calls them; its link drops them.)
Decoder* decoder_create(const u8* cancel_flag);
void decoder_destroy(Decoder* d);

#endif
