// Files callctl writes for the user.  An output that is also an input is
// refused; an existing file is replaced only when the user said so; and an
// output is written under a temporary name in its folder and renamed when
// complete, so a failure (a full disk) leaves no half-written file.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace callctl {

// Whether two paths name the same file: the same device and inode when
// both exist, else the same text.
bool sameFile(const std::string& a, const std::string& b);

// One line saying why the outputs can't be written, or "" when they can:
// an output that is one of the inputs, two outputs that are one file, or
// an existing output without `replace`.
std::string outputProblem(const std::vector<std::string>& inputs, const std::vector<std::string>& outputs,
                          bool replace);

// "dir/response.ul" when free, else "dir/response-2.ul", "-3", ...
std::string freeNumberedName(const std::string& path, const std::function<bool(const std::string&)>& taken);
bool fileExists(const std::string& path);

// Calls `write` with a temporary path beside `path`, and renames it to
// `path` when `write` succeeds; removes it when it fails.
bool writeAtomically(const std::string& path, const std::function<bool(const std::string&, std::string*)>& write,
                     std::string* error);

// Outputs that other programs write by path (a daemon's tape), or that must
// appear together: each is written under a temporary name beside it and put
// in place by commit(); whatever is not put in place is removed.
class StagedOutputs {
public:
    StagedOutputs() = default;
    ~StagedOutputs();
    StagedOutputs(const StagedOutputs&) = delete;
    StagedOutputs& operator=(const StagedOutputs&) = delete;

    // The temporary path standing for `path`, made on first use; "" with
    // *error when its folder can't be written.
    std::string stage(const std::string& path, std::string* error);
    // Renames the temporary file of `path` to `path`.
    bool commit(const std::string& path, std::string* error);
    bool commitAll(std::string* error);

private:
    struct Staged {
        std::string path, temp;
        bool placed = false;
    };
    std::vector<Staged> files_;
};

} // namespace callctl
