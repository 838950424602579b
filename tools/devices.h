// The line and the sound device a command hands to a daemon: a real tty or
// OSS device, a command on a pipe, or a stand-in from the kit.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <sys/types.h>
#include <thread>
#include <vector>

#include "alsa_bridge.h"
#include "sound_device.h"

namespace callctl {

struct SoundChoice {
    enum class Kind { Sim, Wav, Oss, Command, Alsa };
    Kind kind = Kind::Sim;
    std::string value; // path, command or ALSA device name
    // Command, for a call: a second command whose standard output is the
    // microphone; `value` then only plays.
    std::string micCommand;
};

// --sound sim|FILE.wav|alsa[:DEVICE]|OSS-DEVICE, --sound-cmd "CMD" (one of
// them; sim by default).
bool soundChoiceFrom(const std::string& sound, const std::string& command, SoundChoice* out, std::string* error);

enum class SoundUse {
    Call,   // read (microphone) and written (speaker)
    Play,   // written only
    Record, // read only
};

class SoundEndpoint {
public:
    SoundEndpoint() = default;
    ~SoundEndpoint();
    SoundEndpoint(const SoundEndpoint&) = delete;
    SoundEndpoint& operator=(const SoundEndpoint&) = delete;

    // A stand-in speaker (play, call) takes the audio at real time unless
    // told to take it as fast as it comes.  Before open().
    void setFast(bool fast) { fast_ = fast; }

    // `microphone` is what a stand-in captures: µ-law bytes, played in a
    // loop unless `loop` is false (then the source ends with them).
    bool open(const SoundChoice& choice, SoundUse use, int wrapMode, std::vector<uint8_t> microphone, bool loop,
              std::string* error);
    int daemonFd() const;
    void closeDaemonEnd();
    // Whether a stand-in microphone that does not loop has been taken in
    // full, or a microphone command has ended well.
    bool sourceDone();
    // What went wrong with the device while it runs: a sound command that
    // ended before the daemon did, with its status and what it printed.
    // Empty while all is well.
    std::string problem();
    // After the daemon ended: wait for the stand-in to take everything and
    // write the WAV of it, or wait for the sound command to play what it
    // has and end (at once on Ctrl-C).  False with *error when the command
    // failed.
    bool finish(std::string* error);
    std::string describe() const;
    size_t playedCount() const;
    // Underruns and overruns of an ALSA device, for the summary ("" if none).
    std::string xrunNote() const;

private:
    // A command run through sh in a process group of its own, its standard
    // error collected.
    struct Command {
        std::string text;
        const char* role; // "sound command", "microphone command"
        pid_t pid = -1;
        bool ended = false;
        int status = 0;
        int errFd = -1;
        mutable std::mutex errMutex;
        std::string errText;
        std::thread errReader;
    };
    // `in` and `out` become the command's standard input and output:
    // keepStream leaves callctl's, noStream gives it /dev/null.
    static constexpr int keepStream = -1, noStream = -2;
    std::unique_ptr<Command> startCommand(const std::string& text, const char* role, int in, int out,
                                          std::string* error);
    static void collectCommandErrors(Command& c);
    static bool noticeEnd(Command& c);
    // SIGTERM to the command's group, SIGKILL when it is still there after
    // two seconds; `drain` (when not -1) is read meanwhile, so a command
    // that writes what it has before it ends is not held up by a full socket.
    static void stopCommand(Command& c, int drain = -1);
    void feedLoop();
    bool commandEndedWell() const;
    // Playing: whether the player, now ended, took all the daemon wrote.
    void judgePlayer();
    static std::string commandErrors(const Command& c);
    std::string commandOutcome(const Command& c, bool early) const;

    SoundChoice choice_;
    SoundUse use_ = SoundUse::Call;
    std::unique_ptr<sim::SoundDevice> sim_;
    std::unique_ptr<AlsaBridge> alsa_;
    int fd_ = -1;
    std::unique_ptr<Command> command_; // --sound-cmd
    std::unique_ptr<Command> mic_;     // --mic-cmd
    // With a microphone command, our copy of the daemon's end: see finish().
    int held_ = -1;
    // Playing, our copy of the player's input: whether it ended having
    // taken all there was (see judgePlayer()).  While it is open the
    // daemon's writes wait instead of failing when a player quits early,
    // until the daemon is stopped.
    int playerInput_ = -1;
    bool playerJudged_ = false, playerTookAll_ = false;
    bool fast_ = false;
    std::vector<uint8_t> microphone_;
    bool loop_ = true;
    size_t fed_ = 0;
    std::atomic<bool> feeding_{false};
    std::thread feeder_;
};

// Opens a tty for the line: read and write, no controlling terminal, raw.
int openLine(const std::string& path, std::string* error);

// --line sim | fd:N | TTY.  fd:N is a descriptor callctl inherited (a stream
// socket or a tty) that a program starting callctl hands over as the line.
struct LineChoice {
    enum class Kind { Sim, Inherited, Tty };
    Kind kind = Kind::Sim;
    int fd = -1;      // Inherited
    std::string path; // Tty
};
bool lineChoiceFrom(const std::string& text, LineChoice* out, std::string* error);

// The descriptor for an Inherited or Tty line, ready for the daemon: a tty
// is put in raw mode, a socket is taken as it is.  -1 with *error on failure.
int openLineChoice(const LineChoice& choice, std::string* error);

} // namespace callctl
