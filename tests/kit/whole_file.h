// A file read or written whole, in one call.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kit {

// Every byte of the file; empty when it cannot be read.
std::vector<uint8_t> readFile(const std::string& path);
std::string readText(const std::string& path);
// Creates or truncates the file and writes `bytes`; false on any failure.
bool writeFile(const std::string& path, const std::vector<uint8_t>& bytes);
bool writeText(const std::string& path, const std::string& text);

} // namespace kit
