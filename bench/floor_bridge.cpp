// The least a call bridge with the voicephone daemon's wake-up pattern can
// cost: the same processes, descriptors and waits (a parent polling every
// 10 ms; a worker selecting on the line with 16 ms time-outs and writing
// whole chunks to the sound device; a worker reading the sound device and
// writing to the line), the line framing undone and redone so the same bytes
// arrive, and nothing else.  The load benchmark divides the daemon's cost per
// call by this program's.
//
//   floor-bridge <line fd> <sound fd> <chunk size>     ends on SIGTERM
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <sys/select.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

constexpr uint8_t dle = 0x10;

volatile sig_atomic_t stopping = 0;

void onTerm(int) { stopping = 1; }

[[noreturn]] void lineToSound(int lineFd, int soundFd, int chunkSize)
{
    auto* readBuffer = static_cast<uint8_t*>(malloc(chunkSize));
    auto* chunk = static_cast<uint8_t*>(malloc(chunkSize));
    int fill = 0;
    bool dlePending = false;
    while (!stopping) {
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(lineFd, &readable);
        timeval timeout{0, 16000};
        int r = select(lineFd + 1, &readable, nullptr, nullptr, &timeout);
        if (r <= 0 || !FD_ISSET(lineFd, &readable))
            continue;
        ssize_t n = read(lineFd, readBuffer, chunkSize);
        if (n < 0 && errno != EAGAIN && errno != EINTR)
            break;
        for (ssize_t i = 0; i < n; ++i) {
            uint8_t b = readBuffer[i];
            if (dlePending) {
                dlePending = false;
                if (b != dle)
                    continue;
            } else if (b == dle) {
                dlePending = true;
                continue;
            }
            chunk[fill++] = b;
            if (fill == chunkSize) {
                (void)!write(soundFd, chunk, chunkSize);
                fill = 0;
            }
        }
    }
    exit(0);
}

[[noreturn]] void soundToLine(int lineFd, int soundFd, int chunkSize)
{
    auto* chunk = static_cast<uint8_t*>(malloc(chunkSize));
    auto* lineBuffer = static_cast<uint8_t*>(malloc(2 * chunkSize));
    while (!stopping) {
        ssize_t n = read(soundFd, chunk, chunkSize);
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR))
            break;
        int length = 0;
        for (ssize_t i = 0; i < n; ++i) {
            if (chunk[i] == dle)
                lineBuffer[length++] = dle;
            lineBuffer[length++] = chunk[i];
        }
        if (length > 0)
            (void)!write(lineFd, lineBuffer, length);
    }
    exit(0);
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 4)
        return 2;
    int lineFd = atoi(argv[1]);
    int soundFd = atoi(argv[2]);
    int chunkSize = atoi(argv[3]);
    if (chunkSize < 1 || chunkSize > 65536)
        return 2;
    struct sigaction sa{};
    sa.sa_handler = onTerm; // no SA_RESTART: a blocked read returns and sees the flag
    sigaction(SIGTERM, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);

    pid_t workers[2];
    workers[0] = fork();
    if (workers[0] == 0)
        lineToSound(lineFd, soundFd, chunkSize);
    workers[1] = fork();
    if (workers[1] == 0)
        soundToLine(lineFd, soundFd, chunkSize);
    while (!stopping)
        usleep(10000);
    // A worker can take the signal just before it blocks in read; repeat it
    // until the worker has gone.
    for (pid_t w : workers) {
        while (w > 0 && waitpid(w, nullptr, WNOHANG) == 0) {
            kill(w, SIGTERM);
            usleep(2000);
        }
    }
    return 0;
}
