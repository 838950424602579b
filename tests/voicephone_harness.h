// A call for the voicephone tests: the record, the line, the sound device,
// a folder with the tape files, and the daemon started the way the
// application starts it.
#pragma once

#include <cstdlib>
#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "daemon_process.h"
#include "line.h"
#include "scratch_dir.h"
#include "segment.h"
#include "sound_device.h"
#include "whole_file.h"

namespace voicetest {

using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;
using sim::Lines;

inline constexpr const char* supervisorPrefix = "Orvex VoicePhone daemon: ";
inline constexpr const char* t2aPrefix = "Orvex ttyI2Audio daemon: ";
inline constexpr const char* a2tPrefix = "Orvex Audio2ttyI daemon: ";

// Audio without DLE, so a byte count on the line is a byte count of audio.
inline Bytes audio(size_t n, uint8_t seed = 0)
{
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) {
        b[i] = static_cast<uint8_t>(0x20 + (i * 7 + seed) % 0xC0);
    }
    return b;
}

using kit::readFile;
using kit::writeFile;

inline Bytes slice(const Bytes& b, size_t from, size_t n)
{
    from = std::min(from, b.size());
    n = std::min(n, b.size() - from);
    return Bytes(b.begin() + static_cast<long>(from), b.begin() + static_cast<long>(from + n));
}

inline size_t countLines(const std::vector<std::string>& lines, const std::string& text)
{
    return static_cast<size_t>(std::count(lines.begin(), lines.end(), text));
}

// voicephone-daemon on a line and a sound device of its own, for tests
// that fill the record themselves.
struct Phone {
    sim::Line line;
    sim::SoundDevice sound;
    sim::DaemonProcess daemon;

    // Starts the daemon with our copies of its ends closed, so each stand-in
    // sees its end when the daemon's workers are gone; true once phoneUp says
    // the start-up is behind it.
    bool start(sim::Segment& seg, int chunkSize, const std::vector<std::string>& env = {})
    {
        bool ok = sim::startVoicePhone(daemon, line, sound, chunkSize, seg, env);
        line.closeDaemonEnd();
        sound.closeDaemonEnd();
        return ok && seg.waitFor(seg->phoneUp, 1);
    }
};

class Call {
public:
    explicit Call(int wrapMode = 1, sim::Line::Kind lineKind = sim::Line::Kind::Pty)
        : line(lineKind), sound(sim::SoundDevice::Kind::Socket, wrapMode)
    {
        sim::Segment::setPath(cb().ingoingPath, ingoingPath);
        sim::Segment::setPath(cb().outgoingPath, outgoingPath);
        sim::Segment::setPath(cb().messagePath, messagePath);
        sim::Segment::setPath(cb().responsePath, responsePath);
        writeWord(cb().wrapMode, static_cast<uint32_t>(wrapMode));
        writeWord(cb().ownerUid, getuid());
        writeWord(cb().ownerGid, getgid());
        writeWord(cb().tapeLimit, 8000 * 60);
        writeWord(cb().responseLimit, 8000 * 60);
    }

    ~Call()
    {
        if (daemon.running())
            daemon.kill();
    }

    ControlBlock& cb() { return seg.block(); }

    void makeTape(const Bytes& in, const Bytes& out)
    {
        writeFile(ingoingPath, in);
        writeFile(outgoingPath, out);
    }

    // Starts the daemon and waits until its start-up is behind it.
    bool start(int chunkSize, const std::vector<std::string>& env = {})
    {
        if (!sim::startVoicePhone(daemon, line, sound, chunkSize, seg, env)) {
            ADD_FAILURE() << "could not start voicephone-daemon";
            return false;
        }
        // The pid line follows phoneUp; a phoneUp left at 1 from before
        // the start would say nothing.
        if (!daemon.waitForLine("PID (ttyI -> audio)", 10s)) {
            ADD_FAILURE() << "waited 10 s for the PID line of voicephone-daemon";
            return false;
        }
        return readWord(cb().phoneUp) == 1;
    }

    // Ends the call the way the application does; the exit status.
    std::optional<int> stop()
    {
        writeWord(cb().stopRequest, 1);
        return daemon.wait(5000ms);
    }

    // Waits until `word` holds `value`; false on time-out.
    bool waitFor(const Word& word, uint32_t value, std::chrono::milliseconds timeout = 10s)
    {
        return seg.waitFor(word, value, timeout);
    }

    sim::Segment seg;
    sim::Line line;
    sim::SoundDevice sound;
    sim::DaemonProcess daemon;
    kit::ScratchDir dir;
    std::string ingoingPath = dir / "in.tape", outgoingPath = dir / "out.tape", messagePath = dir / "greeting.ul",
                responsePath = dir / "response.ul";
};

} // namespace voicetest
