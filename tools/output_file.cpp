#include "output_file.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace callctl {

bool fileExists(const std::string& path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

bool sameFile(const std::string& a, const std::string& b)
{
    struct stat sa, sb;
    if (stat(a.c_str(), &sa) == 0 && stat(b.c_str(), &sb) == 0)
        return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
    return a == b;
}

std::string outputProblem(const std::vector<std::string>& inputs, const std::vector<std::string>& outputs,
                          bool replace)
{
    for (size_t i = 0; i < outputs.size(); ++i) {
        const std::string& out = outputs[i];
        for (const auto& in : inputs)
            if (sameFile(in, out))
                return out + " is read by this command as well: it can't also be its output";
        for (size_t j = 0; j < i; ++j)
            if (sameFile(outputs[j], out))
                return out + " is named twice as an output";
        if (!replace && fileExists(out))
            return out + " exists; give --force (or -y) to replace it";
    }
    return "";
}

std::string freeNumberedName(const std::string& path, const std::function<bool(const std::string&)>& taken)
{
    if (!taken(path))
        return path;
    size_t slash = path.rfind('/');
    size_t dot = path.rfind('.');
    // A dot that starts the name ("./.x") or sits in a folder is no extension.
    bool hasExtension = dot != std::string::npos && dot > (slash == std::string::npos ? 0 : slash + 1);
    std::string stem = hasExtension ? path.substr(0, dot) : path;
    std::string extension = hasExtension ? path.substr(dot) : "";
    for (int n = 2;; ++n) {
        std::string candidate = stem + "-" + std::to_string(n) + extension;
        if (!taken(candidate))
            return candidate;
    }
}

namespace {

// An empty private file beside `path`, named after it.
bool makeTemporaryBeside(const std::string& path, std::string* temp, std::string* error)
{
    size_t slash = path.rfind('/');
    std::string dir = slash == std::string::npos ? "" : path.substr(0, slash + 1);
    std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    *temp = dir + "." + name + ".partial-XXXXXX";
    int fd = mkstemp(temp->data());
    if (fd < 0) {
        *error = "can't write in the folder of " + path + ": " + strerror(errno);
        return false;
    }
    close(fd);
    return true;
}

bool putInPlace(const std::string& temp, const std::string& path, std::string* error)
{
    // mkstemp makes the file private; the output gets the usual mode.
    mode_t mask = umask(0);
    umask(mask);
    chmod(temp.c_str(), 0666 & ~mask);
    if (rename(temp.c_str(), path.c_str()) != 0) {
        *error = "can't put " + path + " in place: " + strerror(errno);
        unlink(temp.c_str());
        return false;
    }
    return true;
}

} // namespace

bool writeAtomically(const std::string& path, const std::function<bool(const std::string&, std::string*)>& write,
                     std::string* error)
{
    std::string temp;
    if (!makeTemporaryBeside(path, &temp, error))
        return false;
    if (!write(temp, error)) {
        unlink(temp.c_str());
        // The person knows the file by its own name.
        for (size_t at = error->find(temp); at != std::string::npos; at = error->find(temp, at + path.size()))
            error->replace(at, temp.size(), path);
        return false;
    }
    return putInPlace(temp, path, error);
}

StagedOutputs::~StagedOutputs()
{
    for (const auto& f : files_)
        if (!f.placed)
            unlink(f.temp.c_str());
}

std::string StagedOutputs::stage(const std::string& path, std::string* error)
{
    for (const auto& f : files_)
        if (f.path == path)
            return f.temp;
    std::string temp;
    if (!makeTemporaryBeside(path, &temp, error))
        return "";
    files_.push_back({path, temp});
    return temp;
}

bool StagedOutputs::commit(const std::string& path, std::string* error)
{
    for (auto& f : files_)
        if (f.path == path && !f.placed) {
            f.placed = putInPlace(f.temp, f.path, error);
            return f.placed;
        }
    *error = path + " was not written";
    return false;
}

bool StagedOutputs::commitAll(std::string* error)
{
    for (auto& f : files_)
        if (!f.placed && !(f.placed = putInPlace(f.temp, f.path, error)))
            return false;
    return true;
}

} // namespace callctl
