// What the tests of callctl share: running it and a scratch folder per test
// (whole files are read and written with the test kit's helpers).
#pragma once

#include <chrono>
#include <cstdlib>
#include <gtest/gtest.h>
#include <optional>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

#include "daemon_process.h"
#include "scratch_dir.h"
#include "whole_file.h"

namespace callctl_kit {

using namespace std::chrono_literals;

struct Outcome {
    std::optional<int> status;
    std::string out, err;
};

inline Outcome callctl(const std::vector<std::string>& args, std::chrono::milliseconds timeout = 10000ms)
{
    sim::DaemonProcess p;
    std::string program = sim::programPath("callctl");
    std::vector<std::string> argv{program};
    argv.insert(argv.end(), args.begin(), args.end());
    Outcome r;
    if (!p.start(program, argv, {}))
        return r;
    r.status = p.wait(timeout);
    r.out = p.output();
    r.err = p.errors();
    return r;
}

// A shell line, for the commands that read keys from a pipe.
inline Outcome shell(const std::string& line, std::chrono::milliseconds timeout = 15000ms)
{
    sim::DaemonProcess p;
    Outcome r;
    if (!p.start("/bin/sh", {"/bin/sh", "-c", line}, {}))
        return r;
    r.status = p.wait(timeout);
    r.out = p.output();
    r.err = p.errors();
    return r;
}

// The processes a process started, from /proc.
inline std::vector<pid_t> childrenOf(pid_t pid)
{
    std::string id = std::to_string(pid);
    std::vector<uint8_t> text = kit::readFile("/proc/" + id + "/task/" + id + "/children");
    std::istringstream words(std::string(text.begin(), text.end()));
    std::vector<pid_t> out;
    for (pid_t child; words >> child;)
        out.push_back(child);
    return out;
}

inline std::string commandOf(pid_t pid) // its name, as ps shows it
{
    std::vector<uint8_t> text = kit::readFile("/proc/" + std::to_string(pid) + "/comm");
    return std::string(text.begin(), text.end());
}

// A scratch folder per test; dir_ is its path, for shell lines.
class ScratchTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_FALSE(scratch_.path().empty());
        dir_ = scratch_.path();
    }
    std::string path(const std::string& name) const { return scratch_ / name; }
    kit::ScratchDir scratch_;
    std::string dir_;
};

} // namespace callctl_kit
