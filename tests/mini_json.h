// A small JSON reader for the conformance manifests: objects, arrays,
// strings (escapes and \u sequences to UTF-8), numbers, true/false/null.
// Header-only for the same reason as sha256.h. Throws std::runtime_error on
// malformed text; the manifests are trusted test data, not archive input.
#ifndef DRAVEX_TESTS_MINI_JSON_H
#define DRAVEX_TESTS_MINI_JSON_H

#include <cstdint>
#include <cstdlib>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace testutil {

struct Json {
    enum Kind { NUL, BOOL, NUMBER, STRING, ARRAY, OBJECT } kind = NUL;
    bool boolean = false;
    double number = 0;
    std::string text;
    std::vector<Json> items;
    std::map<std::string, Json> members;

    bool is_null() const { return kind == NUL; }
    bool has(const std::string& key) const { return kind == OBJECT && members.count(key) != 0; }
    const Json& operator[](const std::string& key) const
    {
        static const Json none;
        auto it = members.find(key);
        return (kind == OBJECT && it != members.end()) ? it->second : none;
    }
    int64_t as_int() const { return (int64_t)number; }

    static Json parse(const std::string& s)
    {
        size_t pos = 0;
        Json v = parse_value(s, pos);
        skip_space(s, pos);
        if (pos != s.size())
            throw std::runtime_error("json: trailing text");
        return v;
    }

private:
    static void skip_space(const std::string& s, size_t& pos)
    {
        while (pos < s.size() && (s[pos] == ' ' || s[pos] == '\n' || s[pos] == '\r' || s[pos] == '\t'))
            pos++;
    }

    static void expect(const std::string& s, size_t& pos, const char* word)
    {
        for (const char* w = word; *w; w++, pos++)
            if (pos >= s.size() || s[pos] != *w)
                throw std::runtime_error(std::string("json: expected ") + word);
    }

    static void append_utf8(std::string& out, uint32_t cp)
    {
        if (cp < 0x80) {
            out += (char)cp;
        } else if (cp < 0x800) {
            out += (char)(0xC0 | (cp >> 6));
            out += (char)(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            out += (char)(0xE0 | (cp >> 12));
            out += (char)(0x80 | ((cp >> 6) & 0x3F));
            out += (char)(0x80 | (cp & 0x3F));
        } else {
            out += (char)(0xF0 | (cp >> 18));
            out += (char)(0x80 | ((cp >> 12) & 0x3F));
            out += (char)(0x80 | ((cp >> 6) & 0x3F));
            out += (char)(0x80 | (cp & 0x3F));
        }
    }

    static uint32_t parse_hex4(const std::string& s, size_t& pos)
    {
        if (pos + 4 > s.size())
            throw std::runtime_error("json: short \\u escape");
        uint32_t v = (uint32_t)std::strtoul(s.substr(pos, 4).c_str(), nullptr, 16);
        pos += 4;
        return v;
    }

    static std::string parse_string(const std::string& s, size_t& pos)
    {
        expect(s, pos, "\"");
        std::string out;
        while (true) {
            if (pos >= s.size())
                throw std::runtime_error("json: unterminated string");
            char c = s[pos++];
            if (c == '"')
                return out;
            if (c != '\\') {
                out += c;
                continue;
            }
            if (pos >= s.size())
                throw std::runtime_error("json: bad escape");
            char e = s[pos++];
            switch (e) {
            case 'n': out += '\n'; break;
            case 't': out += '\t'; break;
            case 'r': out += '\r'; break;
            case 'b': out += '\b'; break;
            case 'f': out += '\f'; break;
            case 'u': {
                uint32_t cp = parse_hex4(s, pos);
                if (cp >= 0xD800 && cp < 0xDC00 && pos + 6 <= s.size() && s[pos] == '\\' && s[pos + 1] == 'u') {
                    pos += 2;
                    uint32_t low = parse_hex4(s, pos);
                    cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
                }
                append_utf8(out, cp);
                break;
            }
            default: out += e; break;  // \" \\ \/
            }
        }
    }

    static Json parse_value(const std::string& s, size_t& pos)
    {
        skip_space(s, pos);
        if (pos >= s.size())
            throw std::runtime_error("json: unexpected end");
        Json v;
        char c = s[pos];
        if (c == '{') {
            v.kind = OBJECT;
            pos++;
            skip_space(s, pos);
            if (pos < s.size() && s[pos] == '}') {
                pos++;
                return v;
            }
            while (true) {
                skip_space(s, pos);
                std::string key = parse_string(s, pos);
                skip_space(s, pos);
                expect(s, pos, ":");
                v.members[key] = parse_value(s, pos);
                skip_space(s, pos);
                if (pos < s.size() && s[pos] == ',') {
                    pos++;
                    continue;
                }
                expect(s, pos, "}");
                return v;
            }
        }
        if (c == '[') {
            v.kind = ARRAY;
            pos++;
            skip_space(s, pos);
            if (pos < s.size() && s[pos] == ']') {
                pos++;
                return v;
            }
            while (true) {
                v.items.push_back(parse_value(s, pos));
                skip_space(s, pos);
                if (pos < s.size() && s[pos] == ',') {
                    pos++;
                    continue;
                }
                expect(s, pos, "]");
                return v;
            }
        }
        if (c == '"') {
            v.kind = STRING;
            v.text = parse_string(s, pos);
            return v;
        }
        if (c == 't') {
            expect(s, pos, "true");
            v.kind = BOOL;
            v.boolean = true;
            return v;
        }
        if (c == 'f') {
            expect(s, pos, "false");
            v.kind = BOOL;
            return v;
        }
        if (c == 'n') {
            expect(s, pos, "null");
            return v;
        }
        const char* begin = s.c_str() + pos;
        char* end = nullptr;
        v.number = std::strtod(begin, &end);
        if (end == begin)
            throw std::runtime_error("json: bad value");
        v.kind = NUMBER;
        pos += (size_t)(end - begin);
        return v;
    }
};

}  // namespace testutil

#endif
