// Writing qvx's output file: an archive or self-extractor appears whole or
// not at all.
#ifndef DRAVEX_TOOLS_OUTPUT_FILE_H
#define DRAVEX_TOOLS_OUTPUT_FILE_H

#include <cstdint>
#include <string>
#include <vector>

namespace qvx {

// False (with a message on stderr) when path is a folder, or exists and
// force is not set.
bool check_output(const std::string& path, bool force);

// Writes data to a temporary file beside path and renames it over path, so a
// failure or an interruption never leaves a partial archive.
bool write_atomically(const std::string& path, const std::vector<uint8_t>& data, std::string& error);

}  // namespace qvx

#endif
