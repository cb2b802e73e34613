// The decoder fixture of the tests, the fuzz targets and the benchmarks: a
// Decoder of its own (on the heap, like the host's), its input buffer of
// INPUT_BUFFER_SIZE bytes from mem_alloc (so that AddressSanitizer flags a
// read past it), a cancel flag of its own, and a file of given bytes that
// the decoder reads, set up as the driver sets it up before its first
// member. Nothing here is process-wide: two engines never share state.
//
// Header-only and free of the test framework and the archiver, so that the
// fuzz targets can use it too.
#ifndef DRAVEX_TESTS_ENGINE_H
#define DRAVEX_TESTS_ENGINE_H

#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "codec/decoder.h"
#include "platform/platform.h"

namespace testutil {

class Engine {
public:
    using Bytes = std::vector<uint8_t>;

    // The layout of behind_stub: kArchiveStart bytes of stub, a 42-byte
    // archive header area, then the streams, the first at kStreamOffset.
    static constexpr int32_t kArchiveStart = 100;
    static constexpr uint32_t kStreamOffset = 42;
    static Bytes behind_stub(const Bytes& streams)
    {
        Bytes file(kArchiveStart + kStreamOffset + streams.size(), 0x5A);
        if (!streams.empty())
            std::memcpy(&file[kArchiveStart + kStreamOffset], streams.data(), streams.size());
        return file;
    }

    Engine()
    {
        d = decoder_create(&cancel);
        buffer_ = (u8*)mem_alloc(INPUT_BUFFER_SIZE);
        // Scratch files live in memory where there is room: the member
        // output is rewritten many times, and a disk file system may wait for
        // the device each time a file's blocks are freed.
        const char* dir = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
        input_path_ = scratch(dir, "input");
        output_path_ = scratch(dir, "output");
    }
    explicit Engine(const Bytes& file, int32_t archive_start = 0) : Engine() { load(file, archive_start); }
    ~Engine()
    {
        close_file();
        if (d != nullptr)
            history_release(d);
        mem_free(buffer_);
        decoder_destroy(d);
        unlink(input_path_.c_str());
        unlink(output_path_.c_str());
    }
    Engine(const Engine&) = delete;
    Engine& operator=(const Engine&) = delete;

    // Serves `data` as the file, the archive at archive_start: the input
    // stream empty, no history.
    bool load(const uint8_t* data, size_t size, int32_t archive_start = 0)
    {
        ok_ = false;
        close_file();
        if (d == nullptr || buffer_ == nullptr)
            return false;
        FILE* f = std::fopen(input_path_.c_str(), "wb");
        if (f == nullptr)
            return false;
        bool written = size == 0 || std::fwrite(data, 1, size, f) == size;
        std::fclose(f);
        FileHandle file = written ? file_open(input_path_.c_str(), ACCESS_READ) : INVALID_FILE;
        if (file == INVALID_FILE)
            return false;
        history_release(d);
        d->input = InputStream{};
        started_ = false;
        decoder_begin(d, file, archive_start, buffer_);
        ok_ = true;
        return true;
    }
    bool load(const Bytes& file, int32_t archive_start = 0) { return load(file.data(), file.size(), archive_start); }
    bool ok() const { return ok_; }

    // Starts the block at the file's position and moves the cursor past its
    // header and, for an LZ block, the window selector: where
    // decode_lz_block and decode_bwt_block expect it.
    ResultCode begin_block(bool lz)
    {
        ResultCode r = stream_begin_block(d);
        if (r < 0)
            return r;
        const u32 bits = BLOCK_HEADER_BITS + (lz ? LZ_SELECTOR_BITS : 0);
        d->input.cursor += bits / 8;
        d->input.bit_position = bits % 8;
        return 0;
    }

    // One member request through output_member into a file, read back into
    // out; the member's CRC-32 is then in d->running_crc.
    ResultCode member(uint32_t stream_offset, uint32_t member_offset, uint32_t size, uint32_t flags, Bytes& out)
    {
        FileHandle f = file_create(output_path_.c_str(), ATTR_NORMAL);
        if (f == INVALID_FILE)
            return ERR_CREATE;
        ResultCode r = output_member(d, f, stream_offset, member_offset, size, flags);
        file_close(f);
        out.clear();
        FILE* in = std::fopen(output_path_.c_str(), "rb");
        if (in != nullptr) {
            uint8_t chunk[65536];
            size_t n;
            while ((n = std::fread(chunk, 1, sizeof chunk, in)) > 0)
                out.insert(out.end(), chunk, chunk + n);
            std::fclose(in);
        }
        return r;
    }

    // The next block of the stream at stream_offset through next_block (the
    // first call positions the stream at its first block); out gets the
    // block's decoded bytes.
    ResultCode block(Bytes& out, uint32_t stream_offset = 0)
    {
        if (!started_) {
            ResultCode r = stream_seek_member(d, stream_offset, 0);
            if (r < 0)
                return r;
            started_ = true;
        }
        d->stream.block_pending = 1;
        ResultCode r = next_block(d);
        if (r < 0)
            return r;
        const u8* p = d->stream.history + d->stream.kept;
        out.assign(p, p + d->stream.block_length);
        return r;
    }

    Decoder* d = nullptr;
    u8 cancel = 0;

private:
    static std::string scratch(const char* dir, const char* what)
    {
        std::string path = std::string(dir) + "/dravex-" + what + "-XXXXXX";
        int fd = mkstemp(&path[0]);
        if (fd >= 0)
            ::close(fd);
        return path;
    }
    void close_file()
    {
        if (d != nullptr && d->file != INVALID_FILE && d->file != nullptr)
            file_close(d->file);
        if (d != nullptr)
            d->file = INVALID_FILE;
    }

    u8* buffer_ = nullptr;
    std::string input_path_, output_path_;
    bool ok_ = false;
    bool started_ = false;
};

}  // namespace testutil

#endif
