// The shared record between the controlling application and the daemons.
//
// The application creates a System V segment holding one ControlBlock and
// starts a daemon with the segment id; every process of the daemon maps the
// same memory.  The layout is a binary interface with that application: every
// offset below is fixed, and checked at compile time.
//
// Another process may change any word at any moment, so no word is read or
// written as a plain member: each is a lock-free 32-bit atomic (lock-free
// atomics are address-free and work across processes).  Ordinary fields use
// relaxed loads and stores through readWord()/writeWord(), which the compiler
// cannot keep in a register.  A store that tells another process "the data is
// ready" is a release store (publishWord) read with acquire (acquireWord).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

using Word = std::atomic<uint32_t>;
static_assert(Word::is_always_lock_free, "shared words must be lock-free to work across processes");
static_assert(sizeof(Word) == 4);
static_assert(std::atomic<uint8_t>::is_always_lock_free);

inline constexpr std::size_t controlBlockSize = 2688;
inline constexpr std::size_t pathFieldSize = 128;
inline constexpr std::size_t dtmfToneSize = 2000;
inline constexpr std::size_t remoteCodeSize = 17;   // 16 digits and the NUL
inline constexpr unsigned remoteCodeMaxDigits = 16;
inline constexpr uint32_t bytesPerSecond = 8000;    // one µ-law byte per sample

// Bits of the flag bytes (low 8 bits of playFlags and recordFlags).
inline constexpr uint32_t FlagStartRequest = 0x01;  // application: start taping or playing
inline constexpr uint32_t FlagStarted = 0x02;       // set with FlagActive when a start is carried out
inline constexpr uint32_t FlagActive = 0x04;        // taping or playing is in progress
inline constexpr uint32_t FlagStopRequest = 0x08;   // application: stop taping or playing
inline constexpr uint32_t FlagStopped = 0x10;       // a stop request has been carried out

struct ControlBlock {
    Word a2tRunning;        // audio-to-ttyI pump runs while nonzero
    Word t2aRunning;        // ttyI-to-audio pump runs while nonzero
    Word phoneUp;           // 1 once both pumps are started (start-up clearing done)
    Word playRunning;       // playback daemon runs while nonzero
    Word recordRunning;     // record daemon runs while nonzero
    Word stopRequest;       // application: end the voicephone daemon
    Word holdAudio;         // no audio passed or taped while nonzero (normal mode)
    Word rewindRequest;     // request: tape to its start
    Word endRequest;        // request: tape to its end
    Word rewindDone;        // a rewind has been carried out
    Word endDone;           // a move to the end has been carried out
    Word playFlags;         // flag byte of the playback daemon
    Word recordFlags;       // flag byte of taping (voicephone and record daemons)
    Word errorFlag;         // a file could not be opened, measured or written
    Word tapeFull;          // taping stopped at tapeLimit
    Word answerMode;        // voicephone runs as an answering machine
    Word messageStart;      // request: play the greeting
    Word messagePlaying;    // the greeting is playing
    Word messageStop;       // request: stop the greeting
    Word responseStop;      // request: stop recording the response (never cleared by a daemon)
    Word messageDone;       // the greeting ended
    Word responseStart;     // request: record the response file
    Word responseRecording; // the response file is being recorded
    Word responseDone;      // the response recording ended on a stop or at its limit
    Word codeComplete;      // remoteCode holds a complete code
    Word dtmfPending;       // dtmfTone holds a tone to send
    Word outgoingOnly;      // playback plays the outgoing file alone
    Word audioFd;           // application's own sound descriptor (closed in answer mode)
    Word wrapMode;          // sound device format: 1 µ-law, 16 signed 16-bit LE
    Word skipBack;          // request: seconds to move back (0 = none)
    Word skipForward;       // request: seconds to move forward (0 = none)
    std::atomic<uint8_t> dtmfKey;             // request: key to send, 0 = none
    uint8_t dtmfTone[dtmfToneSize];           // rendered tone; published by dtmfPending
    char remoteCode[remoteCodeSize];          // digits after '*', NUL-terminated; published by codeComplete
    uint8_t reserved[2];                      // alignment; never read or written
    Word tapePosition;      // current tape position (bytes)
    Word responseLimit;     // largest response file (bytes)
    Word tapeLimit;         // largest size of each tape file (bytes)
    Word tapeLength;        // length of the tape (bytes)
    Word ingoingPosition;   // byte position in the ingoing tape file
    Word outgoingPosition;  // byte position in the outgoing tape file
    char ingoingPath[pathFieldSize];   // remote party's tape file
    char outgoingPath[pathFieldSize];  // local user's tape file
    char messagePath[pathFieldSize];   // greeting played in answer mode
    char responsePath[pathFieldSize];  // caller's message recorded in answer mode
    Word ownerUid;          // owner given to every file a daemon opens
    Word ownerGid;          // group given to every file a daemon opens
};

static_assert(sizeof(ControlBlock) == controlBlockSize);
#define ORVEX_CHECK_OFFSET(field, offset) static_assert(offsetof(ControlBlock, field) == (offset), #field)
ORVEX_CHECK_OFFSET(a2tRunning, 0);
ORVEX_CHECK_OFFSET(t2aRunning, 4);
ORVEX_CHECK_OFFSET(phoneUp, 8);
ORVEX_CHECK_OFFSET(playRunning, 12);
ORVEX_CHECK_OFFSET(recordRunning, 16);
ORVEX_CHECK_OFFSET(stopRequest, 20);
ORVEX_CHECK_OFFSET(holdAudio, 24);
ORVEX_CHECK_OFFSET(rewindRequest, 28);
ORVEX_CHECK_OFFSET(endRequest, 32);
ORVEX_CHECK_OFFSET(rewindDone, 36);
ORVEX_CHECK_OFFSET(endDone, 40);
ORVEX_CHECK_OFFSET(playFlags, 44);
ORVEX_CHECK_OFFSET(recordFlags, 48);
ORVEX_CHECK_OFFSET(errorFlag, 52);
ORVEX_CHECK_OFFSET(tapeFull, 56);
ORVEX_CHECK_OFFSET(answerMode, 60);
ORVEX_CHECK_OFFSET(messageStart, 64);
ORVEX_CHECK_OFFSET(messagePlaying, 68);
ORVEX_CHECK_OFFSET(messageStop, 72);
ORVEX_CHECK_OFFSET(responseStop, 76);
ORVEX_CHECK_OFFSET(messageDone, 80);
ORVEX_CHECK_OFFSET(responseStart, 84);
ORVEX_CHECK_OFFSET(responseRecording, 88);
ORVEX_CHECK_OFFSET(responseDone, 92);
ORVEX_CHECK_OFFSET(codeComplete, 96);
ORVEX_CHECK_OFFSET(dtmfPending, 100);
ORVEX_CHECK_OFFSET(outgoingOnly, 104);
ORVEX_CHECK_OFFSET(audioFd, 108);
ORVEX_CHECK_OFFSET(wrapMode, 112);
ORVEX_CHECK_OFFSET(skipBack, 116);
ORVEX_CHECK_OFFSET(skipForward, 120);
ORVEX_CHECK_OFFSET(dtmfKey, 124);
ORVEX_CHECK_OFFSET(dtmfTone, 125);
ORVEX_CHECK_OFFSET(remoteCode, 2125);
ORVEX_CHECK_OFFSET(reserved, 2142);
ORVEX_CHECK_OFFSET(tapePosition, 2144);
ORVEX_CHECK_OFFSET(responseLimit, 2148);
ORVEX_CHECK_OFFSET(tapeLimit, 2152);
ORVEX_CHECK_OFFSET(tapeLength, 2156);
ORVEX_CHECK_OFFSET(ingoingPosition, 2160);
ORVEX_CHECK_OFFSET(outgoingPosition, 2164);
ORVEX_CHECK_OFFSET(ingoingPath, 2168);
ORVEX_CHECK_OFFSET(outgoingPath, 2296);
ORVEX_CHECK_OFFSET(messagePath, 2424);
ORVEX_CHECK_OFFSET(responsePath, 2552);
ORVEX_CHECK_OFFSET(ownerUid, 2680);
ORVEX_CHECK_OFFSET(ownerGid, 2684);
#undef ORVEX_CHECK_OFFSET

// Ordinary fields: re-read and re-written every time, no ordering implied.
inline uint32_t readWord(const Word& w) { return w.load(std::memory_order_relaxed); }
inline void writeWord(Word& w, uint32_t v) { w.store(v, std::memory_order_relaxed); }
inline uint8_t readByte(const std::atomic<uint8_t>& b) { return b.load(std::memory_order_relaxed); }
inline void writeByte(std::atomic<uint8_t>& b, uint8_t v) { b.store(v, std::memory_order_relaxed); }

// A store that makes earlier stores (tone bytes, digits, positions) visible
// to a process that reads the word with acquireWord().
inline void publishWord(Word& w, uint32_t v) { w.store(v, std::memory_order_release); }
inline uint32_t acquireWord(const Word& w) { return w.load(std::memory_order_acquire); }

// Two processes that each may start one of two things that must never run
// at once (the greeting and the response recording), each shown by its own
// word: a process sets its word only while the other's is 0.  It claims its
// word, then looks at the other's and backs off if that is set; both steps
// sequentially consistent, so of two claims made in the same instant at
// least one sees the other (both may back off; each tries again later).
// False, and `mine` left 0, when the other runs or `mine` is already set.
inline bool claimExclusive(Word& mine, const Word& other)
{
    if (readWord(mine) != 0 || readWord(other) != 0)
        return false;
    mine.store(1, std::memory_order_seq_cst);
    if (other.load(std::memory_order_seq_cst) != 0) {
        mine.store(0, std::memory_order_seq_cst);
        return false;
    }
    return true;
}

inline bool flagSet(const Word& flags, uint32_t bit) { return (readWord(flags) & bit) != 0; }

// The flag-byte handshake.  Each is one atomic read-modify-write of the whole
// word that changes only its low 8 bits, so a bit the application sets at the
// same moment is never lost.  Each returns whether it changed the word.

// FlagStartRequest set: consume it and set FlagStarted | FlagActive (0x01 -> 0x06).
bool markStarted(Word& flags);
// FlagStopRequest set: consume it, clear FlagActive, set FlagStopped (0x0E -> 0x12).
bool markStopped(Word& flags);
// A writer whose taping ends by itself (tape full, write error): clear
// FlagActive if it is set.
bool clearActive(Word& flags);
