// The progress bar qvx draws on stderr, only when stderr is a terminal, at
// most ten times a second.
#ifndef DRAVEX_TOOLS_PROGRESS_BAR_H
#define DRAVEX_TOOLS_PROGRESS_BAR_H

#include <chrono>
#include <cstdint>
#include <string>

namespace qvx {

class ProgressBar {
public:
    explicit ProgressBar(const char* verb);
    ~ProgressBar() { clear(); }

    void update(const std::string& label, uint64_t done, uint64_t total);
    // Erases the bar so that a message line can be written.
    void clear();

private:
    bool enabled_;
    const char* verb_;
    bool shown_ = false;
    size_t width_ = 0;  // characters of the line last drawn
    std::chrono::steady_clock::time_point last_;
};

}  // namespace qvx

#endif
