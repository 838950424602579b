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
// ignored (a reader that goes away gives EPIPE, not a dead worker), and
// SIGXFSZ ignored (a full file size limit is a failed write, not a kill).
void prepareDaemonProcess();

void printBanner(const char* prefix, unsigned major, unsigned minor, unsigned patch, unsigned build);
void printDying(const char* prefix);

// Attaches the segment and checks that it holds a whole ControlBlock.  On
// failure prints one line naming the segment on standard error and returns
// nullptr; the caller exits with status 1 without touching anything.
ControlBlock* attachControlBlock(int segmentId, const char* prefix);

// chunkSize must be 1 ... 65536; otherwise one line on standard error, false.
bool chunkSizeValid(int chunkSize, const char* prefix);

// Flushes every stdio stream, then forks, so nothing buffered is printed or
// written twice.
pid_t forkWorker();

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
// at the offset the tape positions name.  nullptr with errno on failure.
FILE* openFile(const PathName& path, FileMode mode);

// Hands an opened file to the user named in the record (owner, then mode
// 0600), through its descriptor and only for a regular file.  Prints the
// outcome with the daemon's parent prefix.
bool setFileOwnership(const char* prefix, const ControlBlock& cb, FILE* file, const PathName& path);
