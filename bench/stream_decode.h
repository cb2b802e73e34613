// One timed decoding of a whole stream through next_block, shared by the
// block benchmarks.
#ifndef DRAVEX_BENCH_STREAM_DECODE_H
#define DRAVEX_BENCH_STREAM_DECODE_H

#include <cstring>
#include <vector>

#include "bench/bench_util.h"
#include "codec/crc32.h"
#include "codec/decoder.h"
#include "codec/solid_stream.h"

namespace bench_util {

// Decodes the stream once and returns the processor seconds, or -1 on a
// failure or, with `check`, on a block that differs from the original. With
// `crc`, the CRC-32 of the output is computed as the stub does and stored
// there.
inline double decode_stream(Decoder* dec, size_t total, const std::vector<uint8_t>* check, u32* crc = nullptr)
{
    history_release(dec);
    CpuTimer t;
    if (stream_seek_member(dec, 0, 0) < 0)
        return -1;
    size_t done = 0;
    u32 running = 0xFFFFFFFFu;
    for (;;) {
        dec->stream.block_pending = 1;
        if (next_block(dec) < 0)
            return -1;
        const DecoderHistory& d = dec->stream;
        if (check != nullptr &&
            (d.block_start + d.block_length > check->size() ||
             std::memcmp(d.history + d.kept, check->data() + d.block_start, d.block_length) != 0))
            return -1;
        if (crc != nullptr)
            running = crc32_update(d.history + d.kept, d.block_length, running);
        done += d.block_length;
        if (d.last_block)
            break;
    }
    double seconds = t.seconds();
    if (crc != nullptr)
        *crc = running;
    return done == total ? seconds : -1;
}

}  // namespace bench_util

#endif
