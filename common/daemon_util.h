// What the three daemons share about being started, introducing themselves,
// labelling their lines, attaching the record and opening files for the user.
#pragma once

#include <cstdint>
#include <cstdio>
#include <sys/types.h>

#include "control_block.h"

// Every line a process prints begins with its prefix.
inline constexpr const char* voicePhonePrefix = "Orvex VoicePhone daemon: ";
inline constexpr const char* audioToTtyPrefix = "Orvex Audio2ttyI daemon: ";
inline constexpr const char* ttyToAudioPrefix = "Orvex ttyI2Audio daemon: ";
inline constexpr const char* playbackServerPrefix = "Orvex Playback daemon (server): ";
inline constexpr const char* playbackSlavePrefix = "Orvex Playback daemon (slave): ";
inline constexpr const char* recordServerPrefix = "Orvex Record daemon (server): ";
inline constexpr const char* recordSlavePrefix = "Orvex Record daemon (slave): ";

// Arguments are decimal numbers with strtol semantics: text that is not a
// number gives 0; values beyond int are clamped.
int argumentValue(const char* text);

// First act of every daemon: standard output line-buffered (the application
// reads it from a pipe and must see each line when it is printed), SIGPIPE
// ignored (a reader that goes away gives EPIPE, not a dead worker), SIGXFSZ
// ignored (a full file size limit is a failed write, not a kill), and
// SIGTERM, SIGINT and SIGHUP caught: their handler only notes the request,
// the loops see it through shutdownRequested() and end as on a stop.  The
// handlers do not restart system calls, so a wait they interrupt returns.
void prepareDaemonProcess();

// A SIGTERM, SIGINT or SIGHUP arrived, or (in a worker) the parent is gone.
bool shutdownRequested();

// Bounds the blocking write that follows: after `microseconds` a caught
// SIGALRM interrupts it, and it returns what it wrote so far (or fails with
// EINTR having written nothing).  0 turns the bound off again.  A device
// that takes data keeps its own pace and is never cut short; one that takes
// none cannot hold a worker past a stop.  The descriptor's own flags (the
// application's) are left alone.
void boundNextWrite(long microseconds);

void printBanner(const char* prefix, unsigned major, unsigned minor, unsigned patch, unsigned build);
void printDying(const char* prefix);

// Attaches the segment and checks that it holds a whole ControlBlock.  On
// failure prints one line naming the segment on standard error and returns
// nullptr; the caller exits with status 1 without touching anything.
// A daemon running privileged (effective ids that are root or not the real
// ones) first checks that the segment is its caller's own and that nobody
// else can write it; see segmentDistrust.
ControlBlock* attachControlBlock(int segmentId, const char* prefix);

// Whether a process runs with more rights than whoever started it.
bool runningPrivileged();

// Why a privileged daemon must not act on a segment owned by `owner`, made
// by `creator`, with permission bits `mode`, for a caller of `realUid`; nullptr
// when it may.  Whoever can write the record chooses the files the daemon
// opens, truncates and hands over, so only the caller (or root, for the
// creator) may be able to.
const char* segmentDistrust(uid_t owner, uid_t creator, unsigned mode, uid_t realUid);

// chunkSize must be 1 ... 65536; otherwise one line on standard error, false.
bool chunkSizeValid(int chunkSize, const char* prefix);

// Flushes every stdio stream, then forks, so nothing buffered is printed or
// written twice.  The child asks for SIGTERM when its parent dies and
// checks that the parent has not died already, so a worker never outlives
// the process that waits for it.
pid_t forkWorker();

// One look at a worker without waiting: true when it has ended, with its
// wait status in *status; *pid is then 0, so nobody waits for it again.
bool workerEnded(pid_t* pid, int* status);

// Waits for a worker (a pid of 0 or less returns at once); *pid becomes 0.
void waitForWorker(pid_t* pid);

// The same for a worker that may sit in a blocking device write (the
// playback slave, paced by its speaker): once its running word is cleared
// it is sent SIGALRM every few milliseconds until it has ended.  The
// signal is caught and does nothing but end the write, after which the
// worker sees its running word; repeating it closes the gap between the
// worker's look at the word and the start of its write.
void stopWorker(pid_t* pid);

// A worker that ended while its running word was still set: errorFlag, and
// one line on standard error naming the worker and how it ended.
void reportLostWorker(const char* prefix, const char* worker, int status, ControlBlock& cb);

// A path field of the record, copied within its 128 bytes.  A field with no
// NUL is not a valid path; its text is cut at 128 bytes for messages.
struct PathName {
    char text[pathFieldSize + 1];
    bool valid;
};
PathName pathFrom(const char (&field)[pathFieldSize]);

enum class FileMode {
    Read,   // "rb": read only, must exist
    Update, // "r+b": read and write, must exist, not truncated
    Create, // "wb": write only, created or truncated
};

// Opens a file the daemon works on, never through a symbolic link.  Streams
// opened for writing are unbuffered, so every fwrite reaches the file at once
// at the offset the tape positions name.  The descriptor stays non-blocking:
// a FIFO or device that has nothing to give or take fails a read or write
// with EAGAIN instead of holding the daemon (a regular file is unaffected).
// nullptr with errno on failure.
FILE* openFile(const PathName& path, FileMode mode);

// What a file being taped into is like under its writer, looked at before
// every chunk: someone may delete or truncate it while the daemon runs.  A
// file cut below `needed` bytes would get a hole of 0x00 bytes (full-scale
// noise in µ-law) from the next write.  Only regular files are judged; *size
// is their size, or -1.
enum class TapeFileState { Usable, Deleted, CutShort };
TapeFileState tapeFileState(int fd, uint64_t needed, long long* size);
const char* describeTapeFileState(TapeFileState state); // "was deleted", "was cut short"

// After a tape write at `offset` that stored only `stored` bytes (a full
// disk takes part of a chunk): nothing past the file's old end (`sizeBefore`
// from tapeFileState, -1 for no regular file) stays behind, and the stream
// goes back to `offset`, error indicator cleared.  Should the truncation
// fail too, the position words still never count what is there.
void undoShortTapeWrite(FILE* file, long long sizeBefore, uint64_t offset, size_t stored);

// Hands an opened file to the user named in the record (owner, then mode
// 0600), through its descriptor and only for a regular file.  Prints the
// outcome with the daemon's parent prefix.
bool setFileOwnership(const char* prefix, const ControlBlock& cb, FILE* file, const PathName& path);
