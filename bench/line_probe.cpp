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
//   line-probe relay LINES PORT PEER SECONDS [CMD]
//                                    the CPU floor of a line: per line a UDP
//                                    socket on 127.0.0.1:PORT+2k sending to
//                                    PEER+2k and, with CMD, a socket line
//                                    given to `sh -c CMD` in $SIPLINE_FD; each
//                                    20 ms tick it does for every line only
//                                    the system calls sipline cannot do
//                                    without (take the packets, read the
//                                    line, send one packet, write one frame)
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
#include <fcntl.h>
#include <csignal>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
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

struct RelayLine {
    int udp = -1;
    sockaddr_in peer{};
    int line = -1; // our end of the application's line, -1 without one
    pid_t app = -1;
};

// One line's sockets and application, set up as sipline sets up a call's.
bool openRelayLine(RelayLine& l, int port, int peerPort, const char* cmd)
{
    l.udp = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_in here{};
    here.sin_family = AF_INET;
    here.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    here.sin_port = htons(static_cast<uint16_t>(port));
    l.peer = here;
    l.peer.sin_port = htons(static_cast<uint16_t>(peerPort));
    if (l.udp < 0 || bind(l.udp, reinterpret_cast<sockaddr*>(&here), sizeof here) != 0) {
        perror("line-probe: udp");
        return false;
    }
    if (!cmd)
        return true;
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) {
        perror("line-probe: socketpair");
        return false;
    }
    l.line = pair[0];
    fcntl(l.line, F_SETFL, fcntl(l.line, F_GETFL) | O_NONBLOCK);
    int size = 4096;
    setsockopt(pair[1], SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
    l.app = fork();
    if (l.app == 0) {
        signal(SIGPIPE, SIG_DFL);
        int fd = dup(pair[1]); // without close-on-exec
        setenv("SIPLINE_FD", std::to_string(fd).c_str(), 1);
        execl("/bin/sh", "sh", "-c", cmd, static_cast<char*>(nullptr));
        _exit(127);
    }
    close(pair[1]);
    return l.app > 0;
}

int relay(int lines, int port, int peerPort, int seconds, const char* cmd)
{
    signal(SIGPIPE, SIG_IGN);
    std::vector<RelayLine> all(static_cast<size_t>(lines));
    for (int k = 0; k < lines; k++)
        if (!openRelayLine(all[static_cast<size_t>(k)], port + 2 * k, peerPort + 2 * k, cmd))
            return 1;
    // An RTP packet: a 12-byte header and 160 samples of silence.
    uint8_t packet[12 + frameBytes];
    memset(packet, silence, sizeof packet);
    packet[0] = 0x80;
    packet[1] = 0;
    uint8_t frame[frameBytes];
    memset(frame, silence, sizeof frame);
    constexpr unsigned batch = 8;
    static uint8_t taken[batch][2048];
    iovec iov[batch];
    mmsghdr msgs[batch];
    uint8_t fromLine[frameBytes];
    int fd = startTick();
    for (int i = 0; i < seconds * 50 && waitTick(fd); i++) {
        for (auto& l : all) {
            for (unsigned m = 0; m < batch; m++) {
                iov[m] = {taken[m], sizeof taken[m]};
                msgs[m] = {};
                msgs[m].msg_hdr.msg_iov = &iov[m];
                msgs[m].msg_hdr.msg_iovlen = 1;
            }
            recvmmsg(l.udp, msgs, batch, MSG_DONTWAIT, nullptr);
            if (l.line >= 0 && read(l.line, fromLine, frameBytes) < 0 && errno != EAGAIN)
                return 1;
            sendto(l.udp, packet, sizeof packet, 0, reinterpret_cast<sockaddr*>(&l.peer), sizeof l.peer);
            if (l.line >= 0 && write(l.line, frame, sizeof frame) < 0 && errno != EAGAIN)
                return 1;
        }
    }
    for (auto& l : all) {
        if (l.line >= 0)
            close(l.line);
        if (l.app > 0)
            waitpid(l.app, nullptr, 0);
    }
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
    if (mode == "relay" && (argc == 6 || argc == 7))
        return relay(atoi(argv[2]), atoi(argv[3]), atoi(argv[4]), atoi(argv[5]), argc == 7 ? argv[6] : nullptr);
    fprintf(stderr, "usage: line-probe tick SECONDS | send LOG SECONDS | receive LOG | relay LINES PORT PEER SECONDS [CMD]\n");
    return 2;
}
