// Feeds a fuzz input to the engine through its real input stream: the bytes
// go to a temporary file that is opened as the own file, and the input buffer
// is an INPUT_BUFFER_SIZE-byte heap block of its own, so that AddressSanitizer
// flags any read past it. The block is allocated once per process: fresh
// pages for every input cost more than the decoding.
#ifndef DRAVEX_FUZZ_FUZZ_STREAM_H
#define DRAVEX_FUZZ_FUZZ_STREAM_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <unistd.h>

#include "archive/stub_info.h"
#include "codec/input_stream.h"
#include "codec/solid_stream.h"
#include "platform/platform.h"

class FuzzStream {
public:
    FuzzStream(const uint8_t* data, size_t size)
    {
        static std::string path = temp_path();
        FILE* f = std::fopen(path.c_str(), "wb");
        if (f == nullptr)
            return;
        bool written = size == 0 || std::fwrite(data, 1, size, f) == size;
        std::fclose(f);
        if (!written)
            return;
        own_file = file_open(path.c_str(), ACCESS_READ);
        if (own_file == INVALID_FILE)
            return;
        static u8* buffer = (u8*)mem_alloc(INPUT_BUFFER_SIZE);
        input_stream = InputStream{};
        input_stream.buffer = buffer;
        decoder_history.history_valid = 0;
        stub_info.cancel_flag = 0;
        ok_ = input_stream.buffer != nullptr;
    }
    ~FuzzStream()
    {
        if (own_file != INVALID_FILE)
            file_close(own_file);
        own_file = INVALID_FILE;
        input_stream = InputStream{};
    }
    bool ok() const { return ok_; }

private:
    static std::string temp_path()
    {
        const char* dir = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
        return std::string(dir) + "/dravex-fuzz-" + std::to_string((long)getpid());
    }
    bool ok_ = false;
};

#endif
