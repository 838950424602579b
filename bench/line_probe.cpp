// line-probe: what sipline's timing is measured against.
//
//   line-probe tick SECONDS          the machine's own floor: an empty loop on
//                                    the same absolute 20 ms timerfd schedule
//                                    as sipline's sends, its wake-ups measured
//                                    as sipline measures its sends
//   line-probe send LOG SECONDS      on the line in $SIPLINE_FD: 20 ms frames of
//                                    silence on an absolute schedule, every
//                                    25th a numbered marker; LOG gets
//                                    "INDEX NS" per marker written
//   line-probe receive LOG           reads the line in $SIPLINE_FD to its end;
//                                    LOG gets "INDEX NS" per marker as it
//                                    arrives
//
// NS is CLOCK_MONOTONIC, shared by every process on the machine, so a
// marker's receive time less its send time is the time it took from one
// line through the SIP call to the other.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <sys/timerfd.h>
#include <unistd.h>
#include <vector>

#include "send_spacing.h"

namespace {

constexpr size_t frameBytes = 160;
constexpr int markerEvery = 25;
// A marker: a run of full-scale µ-law (0x00), then its index as four
// nibbles in 0x20..0x2f (never DLE, never 0x00, never the silence codes).
constexpr size_t markerRun = 8;
constexpr uint8_t silence = 0xFF;

int64_t nowNs()
{
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<int64_t>(t.tv_sec) * 1'000'000'000 + t.tv_nsec;
}

int lineFd()
{
    const char* fd = getenv("SIPLINE_FD");
    if (!fd) {
        fprintf(stderr, "line-probe: no SIPLINE_FD\n");
        exit(2);
    }
    return atoi(fd);
}

int startTick()
{
    int fd = timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC);
    itimerspec schedule{};
    schedule.it_interval.tv_nsec = 20'000'000;
    clock_gettime(CLOCK_MONOTONIC, &schedule.it_value);
    if (fd < 0 || timerfd_settime(fd, TFD_TIMER_ABSTIME, &schedule, nullptr) != 0) {
        perror("line-probe: timerfd");
        exit(1);
    }
    return fd;
}

bool waitTick(int fd)
{
    uint64_t expirations;
    return read(fd, &expirations, sizeof expirations) == sizeof expirations;
}

int tick(int seconds)
{
    int fd = startTick();
    sipline::SendSpacing spacing;
    for (int i = 0; i < seconds * 50 && waitTick(fd); i++)
        spacing.sent(nowNs());
    printf("spacing off 20 ms by %.1f ms at p99 (worst %.1f ms) over %llu gaps\n", spacing.percentileMs(0.99),
           spacing.worstMs(), static_cast<unsigned long long>(spacing.gaps()));
    return 0;
}

int send(const char* log, int seconds)
{
    FILE* out = fopen(log, "w");
    if (!out)
        return 1;
    int line = lineFd();
    int fd = startTick();
    uint8_t frame[frameBytes];
    for (int i = 0; i < seconds * 50 && waitTick(fd); i++) {
        memset(frame, silence, sizeof frame);
        bool marker = i % markerEvery == markerEvery - 1;
        unsigned index = static_cast<unsigned>(i / markerEvery);
        if (marker) {
            memset(frame, 0x00, markerRun);
            for (int n = 0; n < 4; n++)
                frame[markerRun + n] = static_cast<uint8_t>(0x20 | ((index >> (12 - 4 * n)) & 0xF));
        }
        int64_t at = nowNs();
        if (write(line, frame, sizeof frame) != static_cast<ssize_t>(sizeof frame))
            break;
        if (marker)
            fprintf(out, "%u %lld\n", index, static_cast<long long>(at));
    }
    fclose(out);
    return 0;
}

int receive(const char* log)
{
    FILE* out = fopen(log, "w");
    if (!out)
        return 1;
    setvbuf(out, nullptr, _IOLBF, 0); // the line's end may come as a signal
    int line = lineFd();
    // Where we are in a marker: the run of 0x00 seen so far, then the
    // nibbles of its index; its time is when its first byte arrived.
    size_t run = 0;
    int nibbles = -1;
    unsigned index = 0;
    int64_t since = 0;
    bool dle = false;
    uint8_t buf[4096];
    for (;;) {
        ssize_t n = read(line, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        int64_t at = nowNs();
        for (ssize_t i = 0; i < n; i++) {
            uint8_t b = buf[i];
            // The markers hold no DLE, so a DLE starts a code; DLE ETX is
            // the end of the call.
            if (dle) {
                dle = false;
                if (b == 0x03) {
                    fclose(out);
                    return 0;
                }
                continue;
            }
            if (b == 0x10) {
                dle = true;
                continue;
            }
            if (nibbles >= 0) {
                if ((b & 0xF0) != 0x20) {
                    nibbles = -1;
                    run = 0;
                    continue;
                }
                index = index << 4 | (b & 0xF);
                if (++nibbles == 4) {
                    fprintf(out, "%u %lld\n", index, static_cast<long long>(since));
                    nibbles = -1;
                    run = 0;
                }
            } else if (b == 0x00) {
                if (run++ == 0)
                    since = at;
                if (run == markerRun) {
                    nibbles = 0;
                    index = 0;
                }
            } else {
                run = 0;
            }
        }
    }
    fclose(out);
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "tick" && argc == 3)
        return tick(atoi(argv[2]));
    if (mode == "send" && argc == 4)
        return send(argv[2], atoi(argv[3]));
    if (mode == "receive" && argc == 3)
        return receive(argv[2]);
    fprintf(stderr, "usage: line-probe tick SECONDS | send LOG SECONDS | receive LOG\n");
    return 2;
}
