// Sound device reads and writes, the output-space check and the µ-law codec.
//
// The daemons always hand µ-law bytes to writeAudio and get µ-law bytes from
// readAudio; in wrap mode 16 the device takes signed 16-bit little-endian
// samples and the conversion happens here.  Each call makes at most one
// system call and allocates nothing.
#pragma once

#include <cstdint>

inline constexpr int WrapUlaw = 1;      // device takes µ-law bytes
inline constexpr int WrapLinear16 = 16; // device takes signed 16-bit little-endian
inline constexpr int maxChunkSize = 65536;

// The process-wide wrap mode, copied once from the control block at start.
void setWrapMode(int mode);
int wrapMode();

// "Wrap mode %i not implemented\n" on standard error.
void reportWrapMode();
// Whether the process-wide wrap mode is one readAudio/writeAudio know.
bool wrapModeSupported();

// How long a worker waits for its sound device before it looks at its
// running word again: a chunk's time plus a little, so a device that keeps
// time is never timed out on, at most 116 ms, so a device that delivers or
// takes nothing cannot hold up a stop.
int soundWaitMilliseconds(int chunkSize);

// One such wait for the sound device to deliver (or, forWriting, to take
// data): > 0 ready, 0 on time-out, < 0 with errno (EINTR: a signal came).  A
// descriptor that cannot be waited on counts as ready: the read or write
// that follows reports it.
int waitForSound(int fd, bool forWriting, int chunkSize);

// Reads up to count samples; returns samples read, 0, or -1 with errno set.
// In wrap mode 16 a read that ends inside a sample keeps its odd byte and
// puts it in front of the next read from the same descriptor, so no sample
// is ever split.
int readAudio(int fd, uint8_t* buffer, int count);
// Writes count samples; returns samples written or -1 with errno set.
int writeAudio(int fd, const uint8_t* buffer, int count);
// True when the device has room for count samples right now.
bool audioSpaceFor(int fd, int count);

uint8_t linearToUlaw(int sample);
int ulawToLinear(uint8_t code);

// The 16-bit little-endian conversions readAudio/writeAudio use, exposed for
// the stand-ins and the benchmarks.  count is in samples.
void ulawToLinear16(const uint8_t* in, uint8_t* out, int count);
void linear16ToUlaw(const uint8_t* in, uint8_t* out, int count);
