// A recording for the record tests: the record filled as the application
// fills it, a pipe as the microphone, and the daemon started the way the
// application starts it.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "audio_io.h"
#include "control_block.h"
#include "daemon_process.h"
#include "scratch_dir.h"
#include "segment.h"
#include "sound_device.h"

namespace rectest {

using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;

inline const std::string server = "Orvex Record daemon (server): ";
inline const std::string slave = "Orvex Record daemon (slave): ";

// Names the tape file, sets the wrap mode and the limit (none by default)
// and asks for a start; the owner words are left to the test.
inline void fillRecord(ControlBlock& cb, const std::string& tape, uint32_t wrapMode = WrapUlaw,
                       uint32_t limit = 0xFFFFFFFFu)
{
    sim::Segment::setPath(cb.outgoingPath, tape);
    writeWord(cb.wrapMode, wrapMode);
    writeWord(cb.tapeLimit, limit);
    writeWord(cb.recordFlags, FlagStartRequest);
}

inline void fillRecord(sim::Segment& seg, const std::string& tape, uint32_t wrapMode = WrapUlaw,
                       uint32_t limit = 0xFFFFFFFFu)
{
    fillRecord(seg.block(), tape, wrapMode, limit);
}

// record-daemon and the pipe it reads from.  What is fed before the start
// waits in the pipe for the slave.
struct Recorder {
    sim::SoundDevice sound;
    sim::DaemonProcess daemon;

    explicit Recorder(int deviceWrapMode = WrapUlaw) : sound(sim::SoundDevice::Kind::RecordPipe, deviceWrapMode) {}

    // Our copy of the daemon's end of the pipe is closed at once: only the
    // daemon's workers then hold it.
    bool start(const sim::Segment& seg, int chunk, const std::vector<std::string>& env = {})
    {
        bool ok = sim::startRecord(daemon, sound, chunk, seg, env);
        sound.closeDaemonEnd();
        return ok;
    }

    // The exit status; nullopt when the daemon did not end in time.
    std::optional<int> wait(std::chrono::milliseconds timeout = 10s) { return daemon.wait(timeout); }
};

// A folder for the tape, and a record.
struct Tape {
    kit::ScratchDir dir;
    std::string tape = dir / "out.tape";
    sim::Segment seg;
};

// A whole recording, taped to out.tape.  The recorder comes after the tape,
// so the daemon is gone before its record and file are.
struct Recording : Tape, Recorder {
    explicit Recording(uint32_t wrapMode = WrapUlaw, uint32_t limit = 0xFFFFFFFFu)
    {
        fillRecord(seg, tape, wrapMode, limit);
    }

    bool start(int chunk, const std::vector<std::string>& env = {}) { return Recorder::start(seg, chunk, env); }
};

} // namespace rectest
