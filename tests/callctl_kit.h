// What the tests of callctl share: running it, reading and writing whole
// files, and a scratch folder per test.
#pragma once

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <gtest/gtest.h>
#include <optional>
#include <string>
#include <unistd.h>
#include <vector>

#include "daemon_process.h"

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

inline std::vector<uint8_t> fileBytes(const std::string& path)
{
    std::ifstream f(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(f), {});
}

inline void writeBytes(const std::string& path, const std::vector<uint8_t>& bytes)
{
    std::ofstream f(path, std::ios::binary);
    f.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

class ScratchTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/callctl-cli-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
    }
    void TearDown() override { std::system(("rm -rf '" + dir_ + "'").c_str()); }
    std::string path(const std::string& name) const { return dir_ + "/" + name; }
    std::string dir_;
};

} // namespace callctl_kit
