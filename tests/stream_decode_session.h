// Decoding archiver output with the extractor's own engine: a data stream is
// written to a temporary file, opened as the extractor's own file at archive
// start 0, and read back through output_member or next_block exactly as the
// stub reads it.
#ifndef DRAVEX_TESTS_STREAM_DECODE_SESSION_H
#define DRAVEX_TESTS_STREAM_DECODE_SESSION_H

#include <stdlib.h>
#include <unistd.h>

#include <string>

#include "archive/stub_info.h"
#include "codec/input_stream.h"
#include "codec/member_output.h"
#include "codec/solid_stream.h"
#include "platform/platform.h"
#include "test_util.h"

namespace testutil {

class DecodeSession {
public:
    // stream starts with its 6-byte signature; it is placed at archive
    // offset 0, so its stream_offset is 0.
    explicit DecodeSession(const Bytes& stream)
    {
        write_file(dir_.file("stream.qvx"), stream);
        // Member output is rewritten many times; a disk file system may
        // wait for the device each time a file's blocks are freed.
        char shm[] = "/dev/shm/dravex-member-XXXXXX";
        int fd = mkstemp(shm);
        if (fd >= 0) {
            ::close(fd);
            member_path_ = shm;
        } else {
            member_path_ = dir_.file("member.out");
        }
        ok_ = open_as_own_file(dir_.file("stream.qvx"));
        stub_info.archive_start = 0;
        engine_begin();
    }
    ~DecodeSession()
    {
        if (member_path_.rfind("/dev/shm/", 0) == 0)
            unlink(member_path_.c_str());
        engine_end();
        close_own_file();
    }
    DecodeSession(const DecodeSession&) = delete;
    DecodeSession& operator=(const DecodeSession&) = delete;

    bool ok() const { return ok_; }

    // One member through output_member into a file; returns its result and
    // fills out with the file's bytes and crc with RunningCrc.
    ResultCode member(u32 member_offset, u32 size, u32 flags, Bytes& out, u32& crc)
    {
        const std::string& path = member_path_;
        FileHandle f = file_create(path.c_str(), 0);
        if (f == INVALID_FILE)
            return ERR_CREATE;
        ResultCode r = output_member(f, 0, member_offset, size, flags);
        file_close(f);
        out = read_file(path);
        crc = RunningCrc;
        return r;
    }

    // Starts the stream and decodes its next block into the history buffer
    // (the first call positions the stream at its first block).
    ResultCode block(Bytes& out)
    {
        if (!started_) {
            ResultCode r = stream_seek_member(0, 0);
            if (r < 0)
                return r;
            started_ = true;
        }
        decoder_history.block_pending = 1;
        ResultCode r = next_block();
        if (r < 0)
            return r;
        const u8* p = decoder_history.history + decoder_history.kept;
        out.assign(p, p + decoder_history.block_length);
        return r;
    }

private:
    TempDir dir_;
    std::string member_path_;
    bool ok_ = false;
    bool started_ = false;
};

}  // namespace testutil

#endif
