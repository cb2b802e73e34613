#include "codec/decoder.h"

#include "codec/format_tables.h"

void decoder_init(Decoder* d, const u8* cancel_flag, const u8* distance_sizes, const u16* distance_offsets,
                  const u32 (*window_sizes)[8])
{
    d->cancel_flag = cancel_flag;
    d->distance_sizes = distance_sizes;
    d->distance_offsets = distance_offsets;
    d->window_sizes = window_sizes;
}

void decoder_begin(Decoder* d, FileHandle file, i32 archive_start, u8* input_buffer)
{
    d->file = file;
    d->archive_start = archive_start;
    d->input.buffer = input_buffer;
    d->input.cursor = input_buffer;
    d->input.end_mark = input_buffer;
    d->input.block_remaining = 0;
    history_reset(d);
}

Decoder* decoder_create(const u8* cancel_flag)
{
    Decoder* d = (Decoder*)mem_alloc((u32)sizeof(Decoder));
    if (d == 0)
        return 0;
    u8* p = (u8*)d;
    for (u32 i = 0; i < (u32)sizeof(Decoder); i++)
        p[i] = 0;
    decoder_init(d, cancel_flag, lz_distance_sizes, lz_distance_offsets, lz_window_sizes);
    return d;
}

void decoder_destroy(Decoder* d)
{
    mem_free(d);
}
