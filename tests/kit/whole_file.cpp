#include "whole_file.h"

#include <cstdio>

namespace kit {

namespace {

template <typename Container>
Container readAll(const std::string& path)
{
    Container all;
    FILE* f = fopen(path.c_str(), "rb");
    if (!f)
        return all;
    char buffer[65536];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, f)) > 0)
        all.insert(all.end(), buffer, buffer + n);
    fclose(f);
    return all;
}

bool writeAll(const std::string& path, const void* data, size_t size)
{
    FILE* f = fopen(path.c_str(), "wb");
    if (!f)
        return false;
    // An empty vector may have no data pointer to hand to fwrite.
    bool ok = size == 0 || fwrite(data, 1, size, f) == size;
    return fclose(f) == 0 && ok;
}

} // namespace

std::vector<uint8_t> readFile(const std::string& path) { return readAll<std::vector<uint8_t>>(path); }

std::string readText(const std::string& path) { return readAll<std::string>(path); }

bool writeFile(const std::string& path, const std::vector<uint8_t>& bytes)
{
    return writeAll(path, bytes.data(), bytes.size());
}

bool writeText(const std::string& path, const std::string& text) { return writeAll(path, text.data(), text.size()); }

} // namespace kit
