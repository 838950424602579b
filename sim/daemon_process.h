// A daemon started the way the controlling application starts it: the
// descriptors inherited under their own numbers, the decimal command line,
// its standard output and error read from pipes as lines.  The daemon runs
// in its own process group, which is killed and reaped when this object
// goes, so no test leaves a process behind.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <thread>
#include <vector>

namespace sim {

using namespace std::chrono_literals;

class Line;
class Segment;
class SoundDevice;

// Where the programs are: $ORVEX_BIN_DIR, else the build's bin folder.
std::string programPath(std::string_view name);

struct Lines {
    std::vector<std::string> out; // standard output, in order
    std::vector<std::string> err; // standard error, in order
};

class DaemonProcess {
public:
    DaemonProcess() = default;
    ~DaemonProcess(); // kills the process group (SIGKILL) if it still runs, and reaps
    DaemonProcess(const DaemonProcess&) = delete;
    DaemonProcess& operator=(const DaemonProcess&) = delete;
    DaemonProcess(DaemonProcess&&) = delete;

    // Starts program with arguments (argv[0] is the program path); the listed
    // descriptors are inherited, every other one of ours is not.  `env`
    // entries ("NAME=value") are added to the environment.
    bool start(const std::string& program, const std::vector<std::string>& args,
               const std::vector<int>& inheritFds, const std::vector<std::string>& env = {});

    // Before start: the program gets `signal` when the thread that starts it
    // ends, however it ends (the kernel's parent-death signal, kept across
    // the exec of a program that is not set-user-ID).
    void endWithParent(int signal) { deathSignal_ = signal; }

    pid_t pid() const { return pid_; }
    bool running() const;

    // Waits for the exit; returns the exit status, or nullopt when it did not
    // end in time (the group is then killed) or ended by a signal.
    std::optional<int> wait(std::chrono::milliseconds timeout = 5000ms);
    int termSignal() const { return signal_; } // the signal that ended it, or 0

    Lines lines() const; // every complete line so far, without the '\n'
    std::string output() const; // standard output as one text
    std::string errors() const; // standard error as one text
    // Waits for a complete line, on either stream, that contains `text`.
    bool waitForLine(std::string_view text, std::chrono::milliseconds timeout = 10s) const;
    // Kills the whole group now.
    void kill(int signal = 9);

private:
    void readOutput(int fd, bool isErr);
    void recordStatus(int status);
    void killGroup();
    void reapOrphans();

    pid_t pid_ = -1;
    int deathSignal_ = 0;
    int signal_ = 0;
    std::optional<int> exitStatus_;
    bool reaped_ = false;
    int readersDone_ = 0;
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::string out_, err_;
    std::thread outReader_, errReader_;
};

// The three command lines.
bool startVoicePhone(DaemonProcess& d, const Line& line, const SoundDevice& sound, int chunkSize, const Segment& seg,
                     const std::vector<std::string>& env = {});
bool startPlayback(DaemonProcess& d, const SoundDevice& sound, int chunkSize, const Segment& seg,
                   const std::vector<std::string>& env = {});
bool startRecord(DaemonProcess& d, const SoundDevice& sound, int chunkSize, const Segment& seg,
                 const std::vector<std::string>& env = {});

} // namespace sim
