#include "devices.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <linux/soundcard.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include "audio_io.h"
#include "output_file.h"
#include "session.h"
#include "tape_wav.h"

namespace callctl {

namespace {

bool endsWith(const std::string& s, const char* suffix)
{
    size_t n = strlen(suffix);
    if (s.size() < n)
        return false;
    for (size_t i = 0; i < n; ++i)
        if (tolower(static_cast<unsigned char>(s[s.size() - n + i])) != suffix[i])
            return false;
    return true;
}

// The format the wrap mode names, one channel, 8000 samples a second.
bool configureOss(int fd, const std::string& path, int wrapMode, std::string* error)
{
    int format = wrapMode == WrapUlaw ? AFMT_MU_LAW : AFMT_S16_LE;
    int wanted = format;
    int channels = 1, rate = 8000;
    if (ioctl(fd, SNDCTL_DSP_SETFMT, &format) < 0 || format != wanted) {
        *error = path + " does not take " + (wrapMode == WrapUlaw ? "mu-law" : "16-bit") + " samples" +
                 (errno ? std::string(": ") + strerror(errno) : "");
        return false;
    }
    if (ioctl(fd, SNDCTL_DSP_CHANNELS, &channels) < 0 || channels != 1) {
        *error = path + " can't do one channel";
        return false;
    }
    if (ioctl(fd, SNDCTL_DSP_SPEED, &rate) < 0 || rate != 8000) {
        *error = path + " can't run at 8000 samples a second (offers " + std::to_string(rate) + ")";
        return false;
    }
    return true;
}

} // namespace

bool soundChoiceFrom(const std::string& sound, const std::string& command, SoundChoice* out, std::string* error)
{
    if (!sound.empty() && !command.empty()) {
        *error = "give --sound or --sound-cmd, not both";
        return false;
    }
    if (!command.empty()) {
        *out = {SoundChoice::Kind::Command, command, ""};
        return true;
    }
    if (sound.empty() || sound == "sim") {
        *out = {SoundChoice::Kind::Sim, "", ""};
        return true;
    }
    if (sound == "alsa" || sound.rfind("alsa:", 0) == 0) {
        std::string device = sound.size() > 5 ? sound.substr(5) : "default";
        if (device.empty()) {
            *error = "--sound alsa: give a device after the colon, or just alsa for the default";
            return false;
        }
        *out = {SoundChoice::Kind::Alsa, device, ""};
        return true;
    }
    if (endsWith(sound, ".wav")) {
        *out = {SoundChoice::Kind::Wav, sound, ""};
        return true;
    }
    *out = {SoundChoice::Kind::Oss, sound, ""};
    return true;
}

SoundEndpoint::~SoundEndpoint()
{
    feeding_ = false;
    if (feeder_.joinable())
        feeder_.join();
    if (fd_ >= 0)
        close(fd_);
    if (held_ >= 0)
        close(held_);
    if (playerInput_ >= 0)
        close(playerInput_);
    for (Command* c : {command_.get(), mic_.get()}) {
        if (!c)
            continue;
        if (!c->ended)
            stopCommand(*c);
        if (c->errReader.joinable())
            c->errReader.join();
        if (c->errFd >= 0)
            close(c->errFd);
    }
}

std::unique_ptr<SoundEndpoint::Command> SoundEndpoint::startCommand(const std::string& text, const char* role,
                                                                    int in, int out, std::string* error)
{
    auto c = std::make_unique<Command>();
    c->text = text;
    c->role = role;
    int errPipe[2];
    if (pipe2(errPipe, O_CLOEXEC) != 0) {
        *error = std::string("can't make a pipe for the ") + role + ": " + strerror(errno);
        return nullptr;
    }
    c->pid = fork();
    if (c->pid < 0) {
        *error = std::string("can't start the ") + role + ": " + strerror(errno);
        close(errPipe[0]);
        close(errPipe[1]);
        return nullptr;
    }
    if (c->pid == 0) {
        setpgid(0, 0); // Ctrl-C is ours to handle, not the player's
        int nothing = ::open("/dev/null", O_RDWR);
        if (in != keepStream)
            dup2(in == noStream ? nothing : in, 0);
        if (out != keepStream)
            dup2(out == noStream ? nothing : out, 1);
        dup2(errPipe[1], 2);
        execl("/bin/sh", "sh", "-c", text.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    setpgid(c->pid, c->pid); // also here, so a kill of the group can't miss it
    close(errPipe[1]);
    c->errFd = errPipe[0];
    Command* raw = c.get();
    c->errReader = std::thread([raw] { collectCommandErrors(*raw); });
    return c;
}

bool SoundEndpoint::noticeEnd(Command& c)
{
    if (!c.ended && waitpid(c.pid, &c.status, WNOHANG) == c.pid)
        c.ended = true;
    return c.ended;
}

void SoundEndpoint::stopCommand(Command& c, int drain)
{
    // The command runs in its own group: the player a shell started goes
    // with it.
    kill(-c.pid, SIGTERM);
    if (drain >= 0)
        fcntl(drain, F_SETFL, fcntl(drain, F_GETFL) | O_NONBLOCK);
    auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    for (;;) {
        char unread[4096];
        while (drain >= 0 && read(drain, unread, sizeof unread) > 0) {
        }
        pid_t r = waitpid(c.pid, &c.status, WNOHANG);
        if (r == c.pid || (r < 0 && errno != EINTR))
            break;
        if (std::chrono::steady_clock::now() > giveUp) {
            kill(-c.pid, SIGKILL);
            waitpid(c.pid, &c.status, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    // What a shell started may outlive the shell itself.
    kill(-c.pid, SIGKILL);
    c.ended = true;
}

bool SoundEndpoint::open(const SoundChoice& choice, SoundUse use, int wrapMode, std::vector<uint8_t> microphone,
                         bool loop, std::string* error)
{
    choice_ = choice;
    use_ = use;
    microphone_ = std::move(microphone);
    loop_ = loop;
    switch (choice.kind) {
    case SoundChoice::Kind::Sim:
    case SoundChoice::Kind::Wav: {
        using K = sim::SoundDevice::Kind;
        K kind = use == SoundUse::Play ? K::PlaybackPipe : use == SoundUse::Record ? K::RecordPipe : K::Socket;
        sim_ = std::make_unique<sim::SoundDevice>(kind, wrapMode);
        if (use != SoundUse::Record && !fast_)
            sim_->setSinkPaced(true);
        if (use != SoundUse::Play && !microphone_.empty()) {
            sim_->setPaced(true);
            feeding_ = true;
            feeder_ = std::thread([this] { feedLoop(); });
        }
        return true;
    }
    case SoundChoice::Kind::Alsa:
        alsa_ = std::make_unique<AlsaBridge>();
        return alsa_->open(choice.value, use != SoundUse::Record, use != SoundUse::Play, wrapMode, error);
    case SoundChoice::Kind::Oss: {
        int flags = use == SoundUse::Play ? O_WRONLY : use == SoundUse::Record ? O_RDONLY : O_RDWR;
        fd_ = ::open(choice.value.c_str(), flags | O_NOCTTY);
        if (fd_ < 0) {
            *error = "can't open sound device " + choice.value + ": " + strerror(errno);
            return false;
        }
        return configureOss(fd_, choice.value, wrapMode, error);
    }
    case SoundChoice::Kind::Command: {
        // The daemon's end of a pipe (play, record) or of a socket pair
        // (call), the command's standard input and output on the other.
        // With a microphone command the player reads that end and the
        // microphone command writes it.
        int pair[2];
        bool ok = use == SoundUse::Call ? socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) == 0
                                        : pipe2(pair, O_CLOEXEC) == 0;
        if (!ok) {
            *error = std::string("can't make a pipe for the sound command: ") + strerror(errno);
            return false;
        }
        int daemonEnd = use == SoundUse::Play ? pair[1] : pair[0];
        int commandEnd = use == SoundUse::Play ? pair[0] : pair[1];
        // A pipe or socket holds up to 64 KiB (8 s of mu-law) ahead of what
        // is heard; the least the kernel allows keeps a stop audible within
        // a fraction of a second.
        if (use == SoundUse::Call) {
            int small = bytesPerSecond / 10;
            setsockopt(daemonEnd, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
            setsockopt(commandEnd, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
        } else {
            fcntl(daemonEnd, F_SETPIPE_SZ, 4096);
        }
        bool split = use == SoundUse::Call && !choice.micCommand.empty();
        int in = use == SoundUse::Record ? keepStream : commandEnd;
        int out = use == SoundUse::Play ? keepStream : split ? noStream : commandEnd;
        command_ = startCommand(choice.value, "sound command", in, out, error);
        if (command_ && split)
            mic_ = startCommand(choice.micCommand, "microphone command", noStream, commandEnd, error);
        if (use == SoundUse::Play)
            playerInput_ = fcntl(commandEnd, F_DUPFD_CLOEXEC, 3);
        close(commandEnd);
        if (!command_ || (split && !mic_)) {
            close(daemonEnd);
            return false;
        }
        fd_ = daemonEnd;
        if (split)
            held_ = fcntl(daemonEnd, F_DUPFD_CLOEXEC, 3);
        return true;
    }
    }
    return false;
}

void SoundEndpoint::feedLoop()
{
    // Keep about a second queued ahead of the paced stand-in.
    while (feeding_) {
        if (sim_->pendingFeed() < 8000 && (loop_ || fed_ < microphone_.size())) {
            size_t n = std::min<size_t>(8000, loop_ ? 8000 : microphone_.size() - fed_);
            std::vector<uint8_t> piece(n);
            for (size_t i = 0; i < n; ++i)
                piece[i] = microphone_[(fed_ + i) % microphone_.size()];
            fed_ += n;
            sim_->feed(piece);
            // The daemon then reads the end of data instead of waiting for
            // more that never comes.
            if (!loop_ && fed_ >= microphone_.size())
                sim_->endSource();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

int SoundEndpoint::daemonFd() const
{
    return sim_ ? sim_->daemonFd() : alsa_ ? alsa_->daemonFd() : fd_;
}

void SoundEndpoint::closeDaemonEnd()
{
    if (sim_) {
        sim_->closeDaemonEnd();
    } else if (alsa_) {
        alsa_->closeDaemonEnd();
    } else if (command_ && fd_ >= 0) {
        // The command sees its end of data only when every copy is closed.
        close(fd_);
        fd_ = -1;
    }
}

bool SoundEndpoint::commandEndedWell() const
{
    if (!command_ || !command_->ended || !WIFEXITED(command_->status) || WEXITSTATUS(command_->status) != 0)
        return false;
    return use_ == SoundUse::Record || (use_ == SoundUse::Play && playerTookAll_);
}

void SoundEndpoint::judgePlayer()
{
    // A player ends well at the end of its input: the daemon has closed the
    // pipe and nothing is left in it.  Callctl may notice that before it
    // notices the daemon's own end.  Judged once, as the end is first seen:
    // the daemon's close that follows a player's early end must not make it
    // look like a good one.
    if (use_ != SoundUse::Play || playerJudged_)
        return;
    playerJudged_ = true;
    int unread = 0;
    pollfd p{playerInput_, POLLIN, 0};
    playerTookAll_ = playerInput_ >= 0 && ioctl(playerInput_, FIONREAD, &unread) == 0 && unread == 0 &&
                     poll(&p, 1, 0) == 1 && (p.revents & POLLHUP) != 0;
}

bool SoundEndpoint::sourceDone()
{
    if (command_) {
        problem(); // notices the end
        return commandEndedWell();
    }
    return sim_ && !loop_ && fed_ >= microphone_.size() && sim_->pendingFeed() == 0;
}

size_t SoundEndpoint::playedCount() const
{
    return sim_ ? sim_->playedCount() : alsa_ ? alsa_->framesPlayed() : 0;
}

std::string SoundEndpoint::xrunNote() const
{
    if (!alsa_ || (alsa_->underruns() == 0 && alsa_->overruns() == 0))
        return "";
    return std::to_string(alsa_->underruns()) + " underruns, " + std::to_string(alsa_->overruns()) + " overruns";
}

void SoundEndpoint::collectCommandErrors(Command& c)
{
    char buffer[512];
    for (;;) {
        ssize_t n = read(c.errFd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        std::lock_guard lock(c.errMutex);
        // The first lines say why; a chatty player must not fill memory.
        if (c.errText.size() < 4096)
            c.errText.append(buffer, static_cast<size_t>(n));
    }
}

std::string SoundEndpoint::commandErrors(const Command& c)
{
    std::lock_guard lock(c.errMutex);
    std::string text = c.errText;
    while (!text.empty() && (text.back() == '\n' || text.back() == ' '))
        text.pop_back();
    for (auto& ch : text)
        if (ch == '\n')
            ch = ' ';
    return text;
}

std::string SoundEndpoint::commandOutcome(const Command& c, bool early) const
{
    std::string how = WIFEXITED(c.status) ? "status " + std::to_string(WEXITSTATUS(c.status))
                                          : "signal " + std::to_string(WIFSIGNALED(c.status) ? WTERMSIG(c.status) : 0);
    std::string said = commandErrors(c);
    return std::string("the ") + c.role + " '" + c.text + "' ended" + (early ? " before the sound did," : "") +
           " with " + how + (said.empty() ? "" : ": " + said);
}

std::string SoundEndpoint::problem()
{
    if (alsa_)
        return alsa_->problem();
    for (Command* c : {command_.get(), mic_.get()}) {
        if (!c || !noticeEnd(*c))
            continue;
        if (c == command_.get())
            judgePlayer();
        // A microphone command that ends well is the end of what it had to
        // say; a player that ends well has played it all.
        if (c == command_.get() && commandEndedWell())
            continue;
        // Output went nowhere from here on, input stopped: the daemon can't
        // have been heard or have heard anything since.
        if (c->errReader.joinable())
            c->errReader.join();
        return commandOutcome(*c, true);
    }
    return "";
}

bool SoundEndpoint::finish(std::string* error)
{
    feeding_ = false;
    if (feeder_.joinable())
        feeder_.join();
    if (alsa_)
        return alsa_->finish(interrupted, error);
    if (command_) {
        bool early = command_->ended;
        bool micEarly = mic_ && mic_->ended;
        if (fd_ >= 0)
            close(fd_);
        fd_ = -1;
        // A microphone goes on for ever; it ends with the call.  A socket
        // closed with unread data resets its peer, and the player would read
        // an error instead of its end: what the microphone said after the
        // daemon's last read is dropped, until the microphone has ended, and
        // the player is given its end by a shutdown; our end is closed only
        // once the player has gone, whatever the microphone wrote last.
        if (mic_ && !mic_->ended)
            stopCommand(*mic_, held_);
        if (mic_ && mic_->errReader.joinable())
            mic_->errReader.join();
        if (held_ >= 0)
            shutdown(held_, SHUT_WR);
        // A player drains what it has and ends at the end of its input;
        // Ctrl-C stops it at once.  A call's speaker holds a tenth of a
        // second, so a command still running well after is stuck.
        auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(2);
        while (!command_->ended) {
            pid_t r = waitpid(command_->pid, &command_->status, WNOHANG);
            if (r == command_->pid || (r < 0 && errno != EINTR)) {
                command_->ended = true;
                break;
            }
            if (interrupted || (use_ == SoundUse::Call && std::chrono::steady_clock::now() > giveUp)) {
                stopCommand(*command_);
                if (command_->errReader.joinable())
                    command_->errReader.join();
                if (micEarly) {
                    *error = commandOutcome(*mic_, true);
                    return false;
                }
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        if (command_->errReader.joinable())
            command_->errReader.join();
        if (held_ >= 0) {
            close(held_);
            held_ = -1;
        }
        bool clean = WIFEXITED(command_->status) && WEXITSTATUS(command_->status) == 0;
        // A player whose end is first seen now, after the daemon's, is
        // judged the same way.
        judgePlayer();
        bool leftUnplayed = use_ == SoundUse::Play && !playerTookAll_;
        if ((early && !commandEndedWell()) || !clean || leftUnplayed) {
            *error = commandOutcome(*command_, early || leftUnplayed);
            return false;
        }
        if (micEarly) {
            *error = commandOutcome(*mic_, true);
            return false;
        }
        return true;
    }
    if (sim_ && use_ != SoundUse::Record && !interrupted) {
        // The daemon has ended; what it wrote last may still be in the pipe
        // or socket.  The stand-in plays it at real time, so allow for the
        // buffer's worth.
        sim_->daemonEnded();
        if (!sim_->waitSinkClosed(std::chrono::milliseconds(30000))) {
            *error = "the stand-in sound device did not take all the daemon played";
            return false;
        }
    }
    if (choice_.kind == SoundChoice::Kind::Wav && use_ != SoundUse::Record) {
        std::vector<uint8_t> played = sim_->played();
        return writeAtomically(
            choice_.value,
            [&](const std::string& temp, std::string* e) { return writeUlawWav(temp, 1, played, WavEncoding::Ulaw, e); },
            error);
    }
    return true;
}

std::string SoundEndpoint::describe() const
{
    switch (choice_.kind) {
    case SoundChoice::Kind::Sim:
        return "stand-in sound device";
    case SoundChoice::Kind::Wav:
        return use_ == SoundUse::Record ? "stand-in microphone playing " + choice_.value
                                        : "stand-in speaker writing " + choice_.value;
    case SoundChoice::Kind::Oss:
        return "sound device " + choice_.value;
    case SoundChoice::Kind::Command:
        return "sound command '" + choice_.value + "'" +
               (choice_.micCommand.empty() ? "" : ", microphone command '" + choice_.micCommand + "'");
    case SoundChoice::Kind::Alsa:
        return "ALSA device " + choice_.value;
    }
    return "";
}

namespace {

bool makeRaw(int fd, const std::string& path, std::string* error)
{
    struct termios t;
    if (tcgetattr(fd, &t) != 0) {
        *error = path + " is not a tty: " + strerror(errno);
        return false;
    }
    cfmakeraw(&t);
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    if (tcsetattr(fd, TCSANOW, &t) != 0) {
        *error = "can't put " + path + " in raw mode: " + strerror(errno);
        return false;
    }
    return true;
}

} // namespace

bool lineChoiceFrom(const std::string& text, LineChoice* out, std::string* error)
{
    if (text.empty() || text == "sim") {
        *out = {LineChoice::Kind::Sim, -1, ""};
        return true;
    }
    if (text.rfind("fd:", 0) == 0) {
        std::string digits = text.substr(3);
        long n = -1;
        if (digits.empty() || digits.size() > 9 || digits.find_first_not_of("0123456789") != std::string::npos ||
            (n = std::stol(digits)) < 3) {
            // 0, 1 and 2 are callctl's own keys, output and messages.
            *error = "--line: '" + text + "' is not fd:N with a descriptor number of 3 or more";
            return false;
        }
        *out = {LineChoice::Kind::Inherited, static_cast<int>(n), ""};
        return true;
    }
    *out = {LineChoice::Kind::Tty, -1, text};
    return true;
}

int openLineChoice(const LineChoice& choice, std::string* error)
{
    if (choice.kind == LineChoice::Kind::Tty)
        return openLine(choice.path, error);
    if (choice.kind != LineChoice::Kind::Inherited) {
        *error = "the stand-in line has no descriptor to open";
        return -1;
    }
    std::string name = "fd:" + std::to_string(choice.fd);
    int flags = fcntl(choice.fd, F_GETFL);
    if (flags < 0) {
        *error = "--line " + name + ": no such descriptor was inherited";
        return -1;
    }
    if ((flags & O_ACCMODE) != O_RDWR) {
        *error = "--line " + name + ": the descriptor is not open for reading and writing";
        return -1;
    }
    struct stat st;
    if (fstat(choice.fd, &st) != 0) {
        *error = "--line " + name + ": " + strerror(errno);
        return -1;
    }
    // Ours to pass to the daemon alone: a sound command started later must
    // not hold the line open after the daemon has closed it.
    fcntl(choice.fd, F_SETFD, FD_CLOEXEC);
    if (S_ISSOCK(st.st_mode)) {
        int type = 0;
        socklen_t len = sizeof type;
        if (getsockopt(choice.fd, SOL_SOCKET, SO_TYPE, &type, &len) != 0 || type != SOCK_STREAM) {
            *error = "--line " + name + ": a socket line must be a stream socket";
            return -1;
        }
    } else if (!isatty(choice.fd)) {
        *error = "--line " + name + ": neither a stream socket nor a tty";
        return -1;
    } else if (!makeRaw(choice.fd, name, error)) {
        return -1;
    }
    return choice.fd;
}

int openLine(const std::string& path, std::string* error)
{
    int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        *error = "can't open line " + path + ": " + strerror(errno);
        return -1;
    }
    if (!makeRaw(fd, path, error)) {
        close(fd);
        return -1;
    }
    return fd;
}


} // namespace callctl
