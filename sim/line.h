// The ttyI stand-in: the far end of an ISDN voice line.
//
// The daemon gets one end of a pseudo-terminal pair in raw mode (or of a
// stream socket pair); the far end sends µ-law audio with DLE doubling and
// DLE codes, and collects what the daemon sends with the doubling undone.  A
// background thread drains the daemon's output as fast as it comes, so the
// daemon never blocks on a full line unless a test asks for it (pause()).
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <span>
#include <thread>
#include <vector>

namespace sim {

using namespace std::chrono_literals;

inline constexpr uint8_t DLE = 0x10;
inline constexpr uint8_t ETX = 0x03;
inline constexpr uint8_t DC4 = 0x14;

// The line's framing as pure functions: every DLE in audio is sent twice.
// Written apart from voicephone_core's doubleDleBytes on purpose: the far
// end checks the daemon's framing against its own reading of the format, so
// a fault shared by both could not hide.
std::vector<uint8_t> doubleDle(std::span<const uint8_t> audio);
// Undoes doubleDle; a DLE followed by anything but DLE is not audio and is
// counted in *stray (the daemon never sends codes of its own).  `pendingDle`
// carries a DLE that ended the previous piece.
void undoubleDle(std::span<const uint8_t> in, std::vector<uint8_t>& out, bool& pendingDle, size_t* stray);

class Line {
public:
    enum class Kind { Pty, SocketPair };
    explicit Line(Kind kind = Kind::Pty);
    ~Line();
    Line(const Line&) = delete;
    Line& operator=(const Line&) = delete;

    int daemonFd() const { return daemonFd_; } // inherited by the daemon
    void closeDaemonEnd();                     // our copy, once the daemon has it

    // Far end to daemon.  Each call is one write (or several, if the line is
    // full), so a test controls where reads may split.
    bool sendAudio(std::span<const uint8_t> audio); // DLE-doubled
    bool sendCode(uint8_t code);                    // DLE + code
    bool sendEnd() { return sendCode(ETX); }        // DLE ETX: end of data
    bool sendRaw(std::span<const uint8_t> bytes);   // exactly these bytes
    // Sends give up (false) after 5 s without progress: a daemon that
    // stopped reading fails the test instead of hanging it.

    // Bytes sent that the daemon has not read yet, and a wait for none.
    size_t unread() const;
    bool waitTaken(std::chrono::milliseconds timeout = 10s) const;

    // Daemon to far end, doubling undone.
    std::vector<uint8_t> received() const;
    size_t receivedCount() const;
    std::vector<uint8_t> receivedRaw() const; // as it crossed the line
    size_t strayCodes() const;
    bool waitForReceived(size_t count, std::chrono::milliseconds timeout = 10s) const;

    // Stops draining the daemon's output (the line "stops taking data") and
    // starts again.
    void pause(bool paused);
    // Closes the far end now.  On a pty the kernel hangs the slave up: what
    // the daemon has not read yet is discarded (waitTaken() first to hang up
    // after the audio), its reads then return 0 and its writes fail with EIO.
    // On a socket pair the daemon reads what is left, then 0.
    void hangUp();

private:
    void drain();
    void stopReader();
    bool readAvailable();

    Kind kind_;
    int farFd_ = -1;
    int daemonFd_ = -1;
    int probeFd_ = -1; // our copy of the daemon's end, only for unread()
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::vector<uint8_t> received_;
    std::vector<uint8_t> raw_;
    bool pendingDle_ = false;
    size_t stray_ = 0;
    bool paused_ = false;
    bool pauseSeen_ = false;     // paused_ as the reader last acted on it
    bool readerRunning_ = true;
    bool stopping_ = false;
    int wakeFd_[2] = {-1, -1};
    std::thread reader_;
};

} // namespace sim
