// A play for the playback tests: the record filled as the application fills
// it, a pipe as the speaker, and the daemon started the way the application
// starts it.
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
#include "whole_file.h"

namespace playtest {

using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;

inline const std::string server = "Orvex Playback daemon (server): ";
inline const std::string slave = "Orvex Playback daemon (slave): ";

// Names the two tape files, sets the wrap mode and asks for a start; the
// owner words are left to the test.
inline void fillRecord(sim::Segment& seg, const std::string& ingoing, const std::string& outgoing,
                       uint32_t wrapMode = WrapUlaw)
{
    sim::Segment::setPath(seg->ingoingPath, ingoing);
    sim::Segment::setPath(seg->outgoingPath, outgoing);
    writeWord(seg->wrapMode, wrapMode);
    writeWord(seg->playFlags, FlagStartRequest);
}

// playback-daemon and the pipe it plays into.
struct Player {
    sim::SoundDevice sound{sim::SoundDevice::Kind::PlaybackPipe};
    sim::DaemonProcess daemon;

    // Our copy of the daemon's end of the pipe is closed at once, so the
    // speaker sees the end of the play when the daemon's workers are gone.
    bool start(const sim::Segment& seg, int chunk, const std::vector<std::string>& env = {})
    {
        bool ok = sim::startPlayback(daemon, sound, chunk, seg, env);
        sound.closeDaemonEnd();
        return ok;
    }

    // The exit status; nullopt when the daemon did not end in time.
    std::optional<int> wait(std::chrono::milliseconds timeout = 10s) { return daemon.wait(timeout); }
};

// A folder with the two tape files, and a record that names them.
struct Tapes {
    kit::ScratchDir dir;
    std::string inTape = dir / "in.tape";
    std::string outTape = dir / "out.tape";
    sim::Segment seg;
};

// A whole play: in.tape and out.tape hold the given audio.  The player comes
// after the tapes, so the daemon is gone before its record and files are.
struct Play : Tapes, Player {
    Play(const Bytes& in, const Bytes& out, uint32_t wrapMode = WrapUlaw)
    {
        kit::writeFile(inTape, in);
        kit::writeFile(outTape, out);
        fillRecord(seg, inTape, outTape, wrapMode);
    }

    bool start(int chunk, const std::vector<std::string>& env = {}) { return Player::start(seg, chunk, env); }
};

} // namespace playtest
