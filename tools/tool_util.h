// Helpers shared by the qvx command files: exit codes, stderr lines, names
// made safe for the terminal, whole-file reads.
#ifndef DRAVEX_TOOLS_TOOL_UTIL_H
#define DRAVEX_TOOLS_TOOL_UTIL_H

#include <cstdint>
#include <string>
#include <vector>

#include "host/exit_codes.h"

namespace qvx {

using host::EXIT_FAILED;
using host::EXIT_USAGE;
using host::EXIT_NO_MEMORY;

// "1 file", "2 files".
std::string counted(unsigned n, const char* noun);

// What qvx prints, on stdout and stderr: formatted UTF-8, shown as such on a
// Windows console too.
void print_out(const char* format, ...) __attribute__((format(printf, 1, 2)));
void print_err(const char* format, ...) __attribute__((format(printf, 1, 2)));

// One problem line on stderr, prefixed "qvx: ".
void error_line(const std::string& text);

bool read_file(const std::string& path, std::vector<uint8_t>& data, std::string& error);

bool ends_with_nocase(const std::string& s, const std::string& suffix);

// The one escaping of everything qvx prints that a name may reach: control
// characters (C0, DEL, C1) as \x1B or \u0085, bidirectional controls
// (U+202E...) as \u202E, and bytes that are not UTF-8 as \xFF, so a hostile
// name can neither drive the terminal nor disguise itself. Every line of
// error_line goes through it.
std::string printable(const std::string& utf8);

// An archive name (UTF-8, backslashes) as shown on the terminal.
std::string host_name(const std::string& name);

}  // namespace qvx

#endif
