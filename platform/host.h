// Host-only hooks of the POSIX backend: where message boxes, the progress
// line, the overwrite question and the command go when the core runs inside
// the qvx tool or a test instead of the stub.
#ifndef DRAVEX_PLATFORM_HOST_H
#define DRAVEX_PLATFORM_HOST_H

#include <ctime>
#include <functional>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace host {

struct MessageRecord {
    std::string text;
    std::string caption;
    unsigned style;
};

struct Hooks {
    // Returns BOX_ANSWER_OK or BOX_ANSWER_CANCEL. Default: record and answer OK.
    std::function<int(const char* text, const char* caption, unsigned style)> message_box;
    std::function<void(const char* text)> progress;
    // Gets the full target path (UTF-8); default: ANSWER_NO.
    std::function<int(const std::string& path)> ask_overwrite;
    // Gets the command line built by the driver; default: recorded only.
    std::function<void(const char* command_line)> run_command;
    // Called by pump_messages; tests use it to simulate a Cancel click.
    std::function<void()> pump;
    int short_names = 0;  // what volume_needs_short_names answers
};

Hooks& hooks();
// Every message box shown since the last reset, in order.
std::vector<MessageRecord>& messages();
std::vector<std::string>& commands();
// Restores the default hooks and empties the records.
void reset_hooks();

// Archive names are Windows code page 1252 with backslashes; the host file
// system takes UTF-8 with slashes.
std::string path_to_host(const char* path);
std::string cp1252_to_utf8(const std::string& s);
// Returns false when a character has no code page 1252 form.
bool utf8_to_cp1252(const std::string& s, std::string& out);

// Wraps a POSIX descriptor as a FileHandle and back.
FileHandle handle_from_fd(int fd);
int fd_from_handle(FileHandle handle);

// A DOS date and time word pair (local time) as seconds since the epoch.
time_t dos_to_time(u16 date, u16 time_word);

// Maps errno to the Windows error number kept in LastError.
unsigned windows_error_from_errno(int err);

}  // namespace host

#endif
