#include "tools/tool_util.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "tools/commands.h"
#include "platform/host.h"

namespace qvx {

bool parse_size(const std::string& text, uint64_t& out)
{
    if (text.empty() || text[0] < '0' || text[0] > '9')
        return false;
    char* end = nullptr;
    errno = 0;
    unsigned long long value = strtoull(text.c_str(), &end, 10);
    if (errno == ERANGE)
        return false;
    std::string unit = text.substr((size_t)(end - text.c_str()));
    uint64_t scale = 1;
    if (unit == "" || unit == "B" || unit == "b")
        scale = 1;
    else if (unit == "K" || unit == "k" || unit == "KiB" || unit == "KB")
        scale = 1024;
    else if (unit == "M" || unit == "m" || unit == "MiB" || unit == "MB")
        scale = 1024 * 1024;
    else if (unit == "G" || unit == "g" || unit == "GiB" || unit == "GB")
        scale = 1024ull * 1024 * 1024;
    else
        return false;
    if (value > UINT64_MAX / scale)
        return false;
    out = value * scale;
    return true;
}

std::string counted(unsigned n, const char* noun)
{
    return std::to_string(n) + " " + noun + (n == 1 ? "" : "s");
}

static void print(FILE* stream, const char* format, va_list args)
{
    char small[512];
    va_list again;
    va_copy(again, args);
    int n = vsnprintf(small, sizeof small, format, args);
    if (n < 0) {
        va_end(again);
        return;
    }
    std::string text;
    if ((size_t)n < sizeof small) {
        text.assign(small, (size_t)n);
    } else {
        text.resize((size_t)n + 1);
        vsnprintf(&text[0], text.size(), format, again);
        text.resize((size_t)n);
    }
    va_end(again);
    host::write_text(stream, text);
}

void print_out(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    print(stdout, format, args);
    va_end(args);
}

void print_err(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    print(stderr, format, args);
    va_end(args);
}

void error_line(const std::string& text) { print_err("qvx: %s\n", printable(text).c_str()); }

bool read_file(const std::string& path, std::vector<uint8_t>& data, std::string& error)
{
    FILE* f = fopen(path.c_str(), "rb");
    if (f == nullptr) {
        error = "cannot open " + path + ": " + strerror(errno);
        return false;
    }
    data.clear();
    uint8_t buffer[1 << 16];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, f)) > 0)
        data.insert(data.end(), buffer, buffer + n);
    bool ok = !ferror(f);
    fclose(f);
    if (!ok)
        error = "cannot read " + path;
    return ok;
}

bool ends_with_nocase(const std::string& s, const std::string& suffix)
{
    if (s.size() < suffix.size())
        return false;
    for (size_t i = 0; i < suffix.size(); i++)
        if (tolower((unsigned char)s[s.size() - suffix.size() + i]) != tolower((unsigned char)suffix[i]))
            return false;
    return true;
}

// Characters that would drive the terminal or reorder what it shows: the C0
// and C1 controls, DEL, and the bidirectional marks, embeddings, overrides
// and isolates.
static bool hidden_code_point(uint32_t c)
{
    return c < 0x20 || (c >= 0x7F && c < 0xA0) || c == 0x061C || c == 0x200E || c == 0x200F ||
           (c >= 0x202A && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069);
}

std::string printable(const std::string& utf8)
{
    std::string out;
    out.reserve(utf8.size());
    const unsigned char* p = (const unsigned char*)utf8.data();
    const unsigned char* end = p + utf8.size();
    char text[16];
    while (p < end) {
        // One UTF-8 sequence, checked as the names are (no overlong form, no
        // surrogate); a byte that starts none is shown by its value.
        uint32_t c = *p;
        int length = c < 0x80 ? 1 : c >= 0xC2 && c < 0xE0 ? 2 : c >= 0xE0 && c < 0xF0 ? 3 : c >= 0xF0 && c < 0xF5 ? 4 : 0;
        bool valid = length > 0 && end - p >= length;
        if (valid && length > 1) {
            c &= 0x3F >> (length - 1);
            for (int i = 1; i < length; i++) {
                valid = valid && (p[i] & 0xC0) == 0x80;
                c = (c << 6) | (p[i] & 0x3F);
            }
            static const uint32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
            valid = valid && c >= least[length] && c <= 0x10FFFF && (c < 0xD800 || c > 0xDFFF);
        }
        if (!valid) {
            snprintf(text, sizeof text, "\\x%02X", *p);
            out += text;
            p++;
        } else if (hidden_code_point(c)) {
            snprintf(text, sizeof text, c < 0x80 ? "\\x%02X" : "\\u%04X", (unsigned)c);
            out += text;
            p += length;
        } else {
            out.append((const char*)p, (size_t)length);
            p += length;
        }
    }
    return out;
}

std::string host_name(const std::string& name)
{
    std::string s = name;
    for (char& c : s)
        if (c == '\\')
            c = '/';
    return printable(s);
}

}  // namespace qvx
