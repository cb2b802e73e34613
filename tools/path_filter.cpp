#include "tools/path_filter.h"

namespace qvx {

static bool class_match(const std::string& p, size_t& i, char c)
{
    // p[i] is '['; on return i is just past the closing ']'.
    size_t j = i + 1;
    bool negate = j < p.size() && (p[j] == '!' || p[j] == '^');
    if (negate)
        j++;
    bool found = false;
    bool first = true;
    for (; j < p.size() && (p[j] != ']' || first); j++) {
        first = false;
        if (j + 2 < p.size() && p[j + 1] == '-' && p[j + 2] != ']') {
            found |= p[j] <= c && c <= p[j + 2];
            j += 2;
        } else {
            found |= p[j] == c;
        }
    }
    i = j + 1;
    return found != negate;
}

static bool match_at(const std::string& p, size_t pi, const std::string& t, size_t ti)
{
    while (pi < p.size()) {
        char c = p[pi];
        if (c == '*') {
            bool across = pi + 1 < p.size() && p[pi + 1] == '*';
            size_t next = pi + (across ? 2 : 1);
            // "**/" may also stand for no folder at all.
            if (across && next < p.size() && p[next] == '/' && match_at(p, next + 1, t, ti))
                return true;
            for (size_t k = ti;; k++) {
                if (match_at(p, next, t, k))
                    return true;
                if (k >= t.size() || (!across && t[k] == '/'))
                    return false;
            }
        }
        if (ti >= t.size())
            return false;
        if (c == '?') {
            if (t[ti] == '/')
                return false;
            pi++;
        } else if (c == '[' && p.find(']', pi + 2) != std::string::npos) {
            if (t[ti] == '/' || !class_match(p, pi, t[ti]))
                return false;
        } else {
            if (c != t[ti])
                return false;
            pi++;
        }
        ti++;
    }
    return ti == t.size();
}

bool glob_match(const std::string& pattern, const std::string& text) { return match_at(pattern, 0, text, 0); }

PathFilter::PathFilter(std::vector<std::string> patterns)
{
    for (std::string& p : patterns) {
        while (p.size() > 2 && p.compare(0, 2, "./") == 0)
            p.erase(0, 2);
        while (p.size() > 1 && p.back() == '/')
            p.pop_back();
        if (!p.empty())
            patterns_.push_back(p);
    }
    used_.assign(patterns_.size(), false);
}

bool PathFilter::matches_one(size_t i, const std::string& path) const
{
    const std::string& p = patterns_[i];
    if (p.find('/') == std::string::npos) {
        size_t start = 0;
        while (start <= path.size()) {
            size_t end = path.find('/', start);
            if (end == std::string::npos)
                end = path.size();
            if (glob_match(p, path.substr(start, end - start)))
                return true;
            start = end + 1;
        }
        return false;
    }
    for (size_t end = path.find('/'); end != std::string::npos; end = path.find('/', end + 1))
        if (glob_match(p, path.substr(0, end)))
            return true;
    return glob_match(p, path);
}

bool PathFilter::matches(const std::string& path) const
{
    bool any = false;
    for (size_t i = 0; i < patterns_.size(); i++)
        if (matches_one(i, path)) {
            used_[i] = true;
            any = true;
        }
    return any;
}

std::vector<std::string> PathFilter::unused() const
{
    std::vector<std::string> out;
    for (size_t i = 0; i < patterns_.size(); i++)
        if (!used_[i])
            out.push_back(patterns_[i]);
    return out;
}

}  // namespace qvx
