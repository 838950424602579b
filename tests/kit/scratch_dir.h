// A private folder under /tmp for a test's files, removed with everything
// in it when the test is done.
#pragma once

#include <string>

namespace kit {

class ScratchDir {
public:
    ScratchDir(); // an empty path when /tmp refuses one
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    const std::string& path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

} // namespace kit
