// One extraction on the host: the driver's Extraction record with its own
// flags and title, and the hooks that stand in for the stub's windows. The
// driver's front-end functions (archive/extraction.h) reach the Run through
// the record's context, so each Run has its own hooks and its own record of
// what was shown, and Runs on different threads never meet.
#ifndef DRAVEX_HOST_RUN_H
#define DRAVEX_HOST_RUN_H

#include <functional>
#include <string>
#include <vector>

#include "archive/extraction.h"

namespace host {

struct MessageRecord {
    std::string text;
    std::string caption;
    unsigned style;
    ResultCode code;  // what the message was made from
};

struct Hooks {
    // Returns BOX_ANSWER_OK or BOX_ANSWER_CANCEL. Default: answer OK.
    std::function<int(ResultCode code, const char* text, unsigned style)> message_box;
    // Gets the name of the file about to be made, as the driver names it.
    std::function<void(const char* name)> progress;
    // Gets the full target path (UTF-8); default: ANSWER_NO.
    std::function<int(const std::string& path)> ask_overwrite;
    // Gets the command line built by the driver; default: recorded only.
    std::function<void(const char* command_line)> run_command;
    // Called where the stub pumps its messages; tests use it to simulate a
    // Cancel click.
    std::function<void()> pump;
    // Whether to extract an entry (the name it is extracted under, UTF-8
    // with backslashes); default: every one.
    std::function<bool(const std::string& name, bool folder)> wants;
    int short_names = 0;  // what the volume query answers
};

class Run {
public:
    Run();
    Run(const Run&) = delete;
    Run& operator=(const Run&) = delete;

    Extraction x{};
    RunFlags flags{};
    char title[TITLE_SIZE];
    Hooks hooks;
    std::vector<MessageRecord> messages;  // every message shown, in order
    std::vector<std::string> commands;    // every command line "run"
};

}  // namespace host

#endif
