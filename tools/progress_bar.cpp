#include "tools/progress_bar.h"

#include <unistd.h>

#include <cstdio>

#include "tools/tool_util.h"

namespace qvx {

ProgressBar::ProgressBar(const char* verb) : enabled_(isatty(STDERR_FILENO) != 0), verb_(verb) {}

void ProgressBar::update(const std::string& label, uint64_t done, uint64_t total)
{
    if (!enabled_)
        return;
    auto now = std::chrono::steady_clock::now();
    if (shown_ && now - last_ < std::chrono::milliseconds(100) && done < total)
        return;
    last_ = now;
    int percent = total == 0 ? 100 : (int)(done * 100 / total);
    if (percent > 100)
        percent = 100;
    const int width = 24;
    std::string bar(width * percent / 100, '#');
    bar.resize(width, '.');
    std::string line = std::string(verb_) + " [" + bar + "] " + std::to_string(percent) + "% " + label;
    // At most 78 characters, cut between characters, never inside one; what
    // the last line had beyond this one is overwritten with blanks (no
    // escape sequence: a Windows console may not take them).
    size_t chars = 0, cut = 0, i = 0;
    for (; i < line.size(); i++) {
        if (((unsigned char)line[i] & 0xC0) == 0x80)
            continue;
        if (chars == 75)
            cut = i;
        if (++chars > 78)
            break;
    }
    if (i < line.size()) {
        line = line.substr(0, cut) + "...";
        chars = 78;
    }
    if (chars < width_)
        line.append(width_ - chars, ' ');
    width_ = chars;
    print_err("\r%s", line.c_str());
    fflush(stderr);
    shown_ = true;
}

void ProgressBar::clear()
{
    if (shown_) {
        print_err("\r%s\r", std::string(width_, ' ').c_str());
        fflush(stderr);
        shown_ = false;
        width_ = 0;
    }
}

}  // namespace qvx
