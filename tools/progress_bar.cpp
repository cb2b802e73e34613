#include "tools/progress_bar.h"

#include <unistd.h>

#include <cstdio>

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
    if (line.size() > 78)
        line = line.substr(0, 75) + "...";
    fprintf(stderr, "\r%s\033[K", line.c_str());
    fflush(stderr);
    shown_ = true;
}

void ProgressBar::clear()
{
    if (shown_) {
        fprintf(stderr, "\r\033[K");
        fflush(stderr);
        shown_ = false;
    }
}

}  // namespace qvx
