// Path patterns for -x / -i (qvx a) and the members named to qvx x: globs
// over stored paths written with '/'.
//
//   *   any run of characters within one path component
//   **  any run of characters across components ("a/**/b" also matches "a/b")
//   ?   one character other than '/'
//   [abc] [a-z] [!abc]  one character of (or not of) the set
//
// A pattern without '/' is matched against each component of the path, so
// "*.tmp" or "build" passes over a file or folder of that name anywhere; a
// pattern with '/' is matched against the whole path from the top. A pattern
// that matches a folder matches everything under it.
#ifndef DRAVEX_TOOLS_PATH_FILTER_H
#define DRAVEX_TOOLS_PATH_FILTER_H

#include <string>
#include <vector>

namespace qvx {

// The glob alone, against the whole text.
bool glob_match(const std::string& pattern, const std::string& text);

class PathFilter {
public:
    explicit PathFilter(std::vector<std::string> patterns);
    bool empty() const { return patterns_.empty(); }
    // True when a pattern matches path or one of the folders above it.
    bool matches(const std::string& path) const;
    // The patterns that have matched nothing yet (in the order given).
    std::vector<std::string> unused() const;

private:
    bool matches_one(size_t i, const std::string& path) const;
    std::vector<std::string> patterns_;
    mutable std::vector<bool> used_;
};

}  // namespace qvx

#endif
