#include "far_end.h"

#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "tape_wav.h"

namespace callctl {

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto step = std::chrono::milliseconds(20);
constexpr size_t stepBytes = 160;
constexpr int stepsPerKey = 5;

} // namespace

FarEnd::FarEnd(sim::Line& line, std::function<std::vector<uint8_t>(size_t)> voice)
    : line_(&line), voice_(std::move(voice))
{
}

FarEnd::FarEnd(std::function<std::vector<uint8_t>(size_t)> voice) : voice_(std::move(voice))
{
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0)
        return;
    farFd_ = pair[0];
    daemonFd_ = pair[1];
    // The smallest send buffer the kernel allows holds a few chunks, about
    // 0.1 s: the daemon's paced writer then waits for us.
    int small = 1;
    setsockopt(daemonFd_, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    fcntl(farFd_, F_SETFL, fcntl(farFd_, F_GETFL) | O_NONBLOCK);
}

FarEnd::~FarEnd()
{
    stop();
    if (farFd_ >= 0)
        close(farFd_);
    closeDaemonEnd();
}

void FarEnd::closeDaemonEnd()
{
    if (daemonFd_ >= 0)
        close(daemonFd_);
    daemonFd_ = -1;
}

std::vector<uint8_t> FarEnd::received() const
{
    if (line_)
        return line_->received();
    std::lock_guard lock(mutex_);
    return received_;
}

size_t FarEnd::receivedCount() const
{
    if (line_)
        return line_->receivedCount();
    std::lock_guard lock(mutex_);
    return received_.size();
}

void FarEnd::start()
{
    if (running_.exchange(true))
        return;
    thread_ = std::thread([this] { run(); });
}

void FarEnd::talk(bool on)
{
    std::lock_guard lock(mutex_);
    talking_ = on;
}

void FarEnd::key(const std::string& codes)
{
    std::lock_guard lock(mutex_);
    keys_.insert(keys_.end(), codes.begin(), codes.end());
}

bool FarEnd::keysSent() const
{
    std::lock_guard lock(mutex_);
    return keys_.empty();
}

void FarEnd::hangUp()
{
    std::lock_guard lock(mutex_);
    hangUp_ = true;
}

void FarEnd::stop()
{
    running_ = false;
    if (thread_.joinable())
        thread_.join();
}

bool FarEnd::send(const std::vector<uint8_t>& bytes)
{
    if (line_)
        return line_->sendRaw(bytes);
    size_t done = 0;
    auto deadline = Clock::now() + std::chrono::seconds(5);
    while (done < bytes.size()) {
        ssize_t n = write(farFd_, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
        } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
            return false;
        } else if (Clock::now() > deadline) {
            return false; // the daemon stopped reading
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
    return true;
}

void FarEnd::takeFromLine()
{
    // One tick's worth as it crosses the line (doubled DLEs included).
    uint8_t buffer[stepBytes];
    ssize_t n = read(farFd_, buffer, sizeof buffer);
    if (n <= 0)
        return;
    std::lock_guard lock(mutex_);
    sim::undoubleDle(std::span<const uint8_t>(buffer, static_cast<size_t>(n)), received_, pendingDle_, nullptr);
}

void FarEnd::run()
{
    // A fixed grid of deadlines, so late wake-ups do not add up.
    auto next = Clock::now();
    int untilKey = 0;
    while (running_) {
        bool talking, hangUp;
        uint8_t code = 0;
        {
            std::lock_guard lock(mutex_);
            talking = talking_;
            hangUp = hangUp_ && keys_.empty();
            if (!keys_.empty() && untilKey <= 0) {
                code = keys_.front();
                keys_.pop_front();
                untilKey = stepsPerKey;
            }
        }
        --untilKey;
        if (hangUp) {
            send({sim::DLE, sim::ETX});
            running_ = false;
            return;
        }
        std::vector<uint8_t> audio = talking ? voice_(stepBytes) : std::vector<uint8_t>(stepBytes, ulawSilence);
        std::vector<uint8_t> bytes = sim::doubleDle(audio);
        if (code) {
            bytes.push_back(sim::DLE);
            bytes.push_back(code);
        }
        if (!send(bytes))
            return;
        sent_ += audio.size();
        if (!line_)
            takeFromLine();
        next += step;
        std::this_thread::sleep_until(next);
    }
}

} // namespace callctl
