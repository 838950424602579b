#include "audio_io.h"

#include <array>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <fcntl.h>
#include <linux/sockios.h>
#include <poll.h>
#include <unistd.h>

#include "control_block.h"

namespace {

int processWrapMode = WrapUlaw;

// SNDCTL_DSP_GETOSPACE and its result record, as the OSS interface defines them.
constexpr unsigned long dspGetOutputSpace = 0x8010500c;
struct AudioBufferInfo {
    int32_t fragments;
    int32_t fragstotal;
    int32_t fragsize;
    int32_t bytes;
};
static_assert(sizeof(AudioBufferInfo) == 16);

constexpr unsigned ossCharMajor = 14; // character devices of the OSS sound driver

// One conversion buffer for the life of the process: two bytes per sample of
// the largest chunk.  Pages are only touched up to the chunk size in use.
uint8_t scratch[2 * maxChunkSize];

// The first byte of a sample whose second byte has not been read yet.
int pendingFd = -1;
uint8_t pendingByte = 0;

constexpr std::array<uint8_t, 256> segmentTable = [] {
    std::array<uint8_t, 256> t{};
    for (int i = 0; i < 256; ++i) {
        uint8_t bit = 0;
        for (int v = i; v > 1; v >>= 1)
            ++bit;
        t[i] = bit;
    }
    return t;
}();

constexpr std::array<int16_t, 256> decodeTable = [] {
    constexpr int base[8] = {0, 132, 396, 924, 1980, 4092, 8316, 16764};
    std::array<int16_t, 256> t{};
    for (int b = 0; b < 256; ++b) {
        int v = ~b & 0xFF;
        int exponent = (v >> 4) & 7;
        int sample = base[exponent] + ((v & 0x0F) << (exponent + 3));
        t[b] = static_cast<int16_t>((v & 0x80) ? -sample : sample);
    }
    return t;
}();

// Free output bytes of a descriptor that is not a sound device: the stand-ins
// (a pipe or a stream socket to a player or a test) and plain files.
bool descriptorSpace(int fd, long& freeBytes)
{
    struct stat st;
    if (fstat(fd, &st) < 0)
        return false;
    if (S_ISFIFO(st.st_mode)) {
        int capacity = fcntl(fd, F_GETPIPE_SZ);
        int queued = 0;
        if (capacity < 0 || ioctl(fd, FIONREAD, &queued) < 0)
            return false;
        freeBytes = static_cast<long>(capacity) - queued;
        return true;
    }
    if (S_ISSOCK(st.st_mode)) {
        int sendBuffer = 0;
        socklen_t len = sizeof sendBuffer;
        int unsent = 0;
        if (getsockopt(fd, SOL_SOCKET, SO_SNDBUF, &sendBuffer, &len) < 0 || ioctl(fd, SIOCOUTQ, &unsent) < 0)
            return false;
        freeBytes = static_cast<long>(sendBuffer) - unsent;
        return true;
    }
    if (S_ISREG(st.st_mode) || (S_ISCHR(st.st_mode) && major(st.st_rdev) != ossCharMajor)) {
        freeBytes = LONG_MAX; // never full, whatever the count
        return true;
    }
    return false; // a real sound device whose request failed
}

} // namespace

void setWrapMode(int mode) { processWrapMode = mode; }
int wrapMode() { return processWrapMode; }

void reportWrapMode() { fprintf(stderr, "Wrap mode %i not implemented\n", processWrapMode); }

bool wrapModeSupported() { return processWrapMode == WrapUlaw || processWrapMode == WrapLinear16; }

int soundWaitMilliseconds(int chunkSize)
{
    constexpr long slack = 16;
    constexpr long longest = 116;
    long chunkMilliseconds = (static_cast<long>(chunkSize) * 1000 + bytesPerSecond - 1) / bytesPerSecond;
    long wait = slack + chunkMilliseconds;
    return static_cast<int>(wait < longest ? wait : longest);
}

uint8_t linearToUlaw(int sample)
{
    constexpr int clip = 32635;
    constexpr int bias = 0x84;
    int sign = 0;
    long magnitude = sample;
    if (magnitude < 0) {
        sign = 0x80;
        magnitude = -magnitude;
    }
    if (magnitude > clip)
        magnitude = clip;
    magnitude += bias;
    int exponent = segmentTable[(magnitude >> 7) & 0xFF];
    int mantissa = static_cast<int>(magnitude >> (exponent + 3)) & 0x0F;
    uint8_t code = static_cast<uint8_t>(~(sign | (exponent << 4) | mantissa));
    return code == 0 ? 0x02 : code;
}

int ulawToLinear(uint8_t code) { return decodeTable[code]; }

void ulawToLinear16(const uint8_t* in, uint8_t* out, int count)
{
    for (int i = 0; i < count; ++i) {
        auto s = static_cast<uint16_t>(decodeTable[in[i]]);
        out[2 * i] = static_cast<uint8_t>(s & 0xFF);
        out[2 * i + 1] = static_cast<uint8_t>(s >> 8);
    }
}

void linear16ToUlaw(const uint8_t* in, uint8_t* out, int count)
{
    for (int i = 0; i < count; ++i) {
        auto s = static_cast<int16_t>(static_cast<uint16_t>(in[2 * i] | (in[2 * i + 1] << 8)));
        out[i] = linearToUlaw(s);
    }
}

int waitForSound(int fd, bool forWriting, int chunkSize)
{
    if (fd < 0)
        return 1; // poll would skip it and wait the whole time
    pollfd device{fd, static_cast<short>(forWriting ? POLLOUT : POLLIN), 0};
    return poll(&device, 1, soundWaitMilliseconds(chunkSize));
}

int readAudio(int fd, uint8_t* buffer, int count)
{
    switch (processWrapMode) {
    case WrapUlaw:
        return static_cast<int>(read(fd, buffer, count > 0 ? static_cast<size_t>(count) : 0));
    case WrapLinear16: {
        if (count > maxChunkSize)
            count = maxChunkSize;
        if (count <= 0)
            return static_cast<int>(read(fd, scratch, 0));
        size_t held = 0;
        if (pendingFd == fd) {
            scratch[0] = pendingByte;
            held = 1;
        }
        ssize_t n = read(fd, scratch + held, 2 * static_cast<size_t>(count) - held);
        if (n <= 0)
            return static_cast<int>(n);
        size_t total = held + static_cast<size_t>(n);
        if (held)
            pendingFd = -1;
        if (total % 2 != 0) { // one slot: a process reads one device
            pendingFd = fd;
            pendingByte = scratch[total - 1];
        }
        int samples = static_cast<int>(total / 2);
        if (samples == 0) {
            errno = EAGAIN; // half a sample so far: not the end of the device
            return -1;
        }
        linear16ToUlaw(scratch, buffer, samples);
        return samples;
    }
    default:
        reportWrapMode();
        errno = EINVAL;
        return -1;
    }
}

int writeAudio(int fd, const uint8_t* buffer, int count)
{
    switch (processWrapMode) {
    case WrapUlaw:
        return static_cast<int>(write(fd, buffer, count > 0 ? static_cast<size_t>(count) : 0));
    case WrapLinear16: {
        if (count <= 0)
            return 0;
        if (count > maxChunkSize)
            count = maxChunkSize;
        ulawToLinear16(buffer, scratch, count);
        ssize_t n = write(fd, scratch, 2 * static_cast<size_t>(count));
        if (n < 0)
            return static_cast<int>(n);
        return static_cast<int>(n / 2);
    }
    default:
        reportWrapMode();
        errno = EINVAL;
        return -1;
    }
}

bool audioSpaceFor(int fd, int count)
{
    long needed;
    switch (processWrapMode) {
    case WrapUlaw:
        needed = count;
        break;
    case WrapLinear16:
        needed = 2L * count;
        break;
    default:
        reportWrapMode();
        return false;
    }
    AudioBufferInfo info{};
    if (ioctl(fd, dspGetOutputSpace, &info) == 0)
        return info.bytes >= needed;
    if (errno != ENOTTY && errno != EINVAL)
        return false;
    long freeBytes = 0;
    return descriptorSpace(fd, freeBytes) && freeBytes >= needed;
}
