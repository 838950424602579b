// End-to-end calls through sipline: a private network namespace with only
// loopback, Debian's baresip as the far end, and voicephone-daemon as the
// application on the line.  Every process runs under timeout(1).
#pragma once

#include <arpa/inet.h>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <deque>
#include <dirent.h>
#include <fstream>
#include <gtest/gtest.h>
#include <iterator>
#include <netinet/in.h>
#include <sched.h>
#include <string>
#include <utility>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "audio_io.h"
#include "daemon_process.h"
#include "scratch_dir.h"
#include "wait_until.h"
#include "segment.h"
#include "sound_device.h"
#include "whole_file.h"

namespace siptest {

using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;

// Moves this test process (and so everything it starts) into a network
// namespace of its own with loopback up.  Empty when done, else the reason
// the test cannot run here.
inline std::string enterPrivateNetwork()
{
    if (geteuid() != 0)
        return "needs root for a private network namespace";
    if (unshare(CLONE_NEWNET) != 0)
        return "unshare(CLONE_NEWNET) failed";
    if (std::system("ip link set lo up") != 0)
        return "cannot bring loopback up";
    return "";
}

#define SIPLINE_PRIVATE_NETWORK()                                    \
    do {                                                             \
        std::string why = siptest::enterPrivateNetwork();            \
        if (!why.empty())                                            \
            GTEST_SKIP() << why;                                     \
    } while (0)

using kit::readFile;
using kit::writeFile;

// Every byte value once, in a scrambled order (so 0x10 sits among others),
// as many times as asked.
inline Bytes everyByte(int rounds)
{
    Bytes b;
    for (int r = 0; r < rounds; r++)
        for (int i = 0; i < 256; i++)
            b.push_back(static_cast<uint8_t>((i * 73 + r * 31 + 5) & 0xFF));
    return b;
}

// µ-law has two codes for zero; a far end encoding the linear value sends
// 0xFF for both.
inline uint8_t canonical(uint8_t u)
{
    return u == 0x7F ? 0xFF : u;
}

inline Bytes canonicalAll(Bytes b)
{
    for (auto& u : b)
        u = canonical(u);
    return b;
}

inline std::vector<int16_t> silence(size_t n)
{
    return std::vector<int16_t>(n, 0);
}

// Stretches of audio one after another, as a far end's microphone says them.
inline std::vector<int16_t> operator+(std::vector<int16_t> a, const std::vector<int16_t>& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

inline std::vector<int16_t> linear(const Bytes& ulaw)
{
    std::vector<int16_t> v;
    for (uint8_t u : ulaw)
        v.push_back(static_cast<int16_t>(ulawToLinear(u)));
    return v;
}

// What baresip writes for µ-law it receives: librem's decoding table, which
// tells the two zero codes apart as +2 (0xFF) and -2 (0x7F).
inline std::vector<int16_t> linearAsHeard(const Bytes& ulaw)
{
    std::vector<int16_t> v = linear(ulaw);
    for (size_t i = 0; i < ulaw.size(); i++)
        if (ulaw[i] == 0xFF || ulaw[i] == 0x7F)
            v[i] = ulaw[i] == 0xFF ? 2 : -2;
    return v;
}

// Where `want` first appears whole in `got`, or npos.
template <typename T>
size_t find(const std::vector<T>& got, const std::vector<T>& want)
{
    if (want.empty() || got.size() < want.size())
        return std::string::npos;
    auto it = std::search(got.begin(), got.end(), want.begin(), want.end());
    return it == got.end() ? std::string::npos : static_cast<size_t>(it - got.begin());
}

inline void writeWav(const std::string& path, const std::vector<int16_t>& samples)
{
    Bytes b;
    auto u32 = [&](uint32_t v) {
        for (int i = 0; i < 4; i++)
            b.push_back(static_cast<uint8_t>(v >> (8 * i)));
    };
    auto u16 = [&](uint16_t v) {
        b.push_back(static_cast<uint8_t>(v));
        b.push_back(static_cast<uint8_t>(v >> 8));
    };
    uint32_t data = static_cast<uint32_t>(samples.size() * 2);
    b.insert(b.end(), {'R', 'I', 'F', 'F'});
    u32(36 + data);
    b.insert(b.end(), {'W', 'A', 'V', 'E', 'f', 'm', 't', ' '});
    u32(16);
    u16(1);
    u16(1);
    u32(8000);
    u32(16000);
    u16(2);
    u16(16);
    b.insert(b.end(), {'d', 'a', 't', 'a'});
    u32(data);
    for (int16_t s : samples)
        u16(static_cast<uint16_t>(s));
    writeFile(path, b);
}

// The samples of a 16-bit mono WAV file, header skipped.
inline std::vector<int16_t> readWav(const std::string& path)
{
    Bytes b = readFile(path);
    std::vector<int16_t> out;
    size_t at = 12;
    while (at + 8 <= b.size()) {
        uint32_t size = b[at + 4] | b[at + 5] << 8 | b[at + 6] << 16 | static_cast<uint32_t>(b[at + 7]) << 24;
        if (std::equal(b.begin() + at, b.begin() + at + 4, "data")) {
            for (size_t i = at + 8; i + 1 < b.size(); i += 2)
                out.push_back(static_cast<int16_t>(b[i] | b[i + 1] << 8));
            return out;
        }
        at += 8 + size;
    }
    return out;
}

// baresip, headless: a WAV file as its microphone (it hangs up at the
// file's end), what it hears dumped to a WAV file, commands over ctrl_tcp.
class FarEnd {
public:
    FarEnd(uint16_t sipPort, const std::vector<int16_t>& mic, const std::string& codecs = "PCMU")
        : sipPort_(sipPort), ctrlPort_(static_cast<uint16_t>(sipPort + 1000))
    {
        writeWav(dir_ + "/mic.wav", mic);
        std::string snd = dir_ + "/snd";
        mkdir(snd.c_str(), 0700);
        std::ofstream config(dir_ + "/config");
        config << "poll_method epoll\n"
               << "sip_listen 127.0.0.1:" << sipPort << "\n"
               << "net_interface 127.0.0.1\n"
               << "audio_player aubridge,nil\n"
               << "audio_alert aubridge,nil\n"
               << "audio_source aufile," << dir_ << "/mic.wav\n"
               << "module_path /usr/lib/baresip/modules\n"
               << "module g711.so\nmodule g722.so\nmodule aufile.so\nmodule sndfile.so\nmodule aubridge.so\n"
               << "module_app account.so\nmodule_app menu.so\nmodule_app ctrl_tcp.so\n"
               << "ctrl_tcp_listen 127.0.0.1:" << ctrlPort_ << "\n"
               << "snd_path " << snd << "\n";
        std::ofstream accounts(dir_ + "/accounts");
        accounts << "<sip:far@127.0.0.1:" << sipPort << ">;answermode=auto;regint=0;audio_codecs=" << codecs << "\n";
    }

    ~FarEnd()
    {
        process.kill();
    }

    bool start(const std::string& dial, int seconds)
    {
        std::vector<std::string> args{"/usr/bin/timeout", std::to_string(seconds + 10), "baresip", "-f", dir_,
                                      "-t", std::to_string(seconds)};
        if (!dial.empty()) {
            args.push_back("-e");
            args.push_back("/dial " + dial);
        }
        return process.start(args[0], args, {}) && waitForLine("baresip is ready", 10000ms);
    }

    bool waitForLine(std::string_view text, std::chrono::milliseconds timeout) const
    {
        return process.waitForLine(text, timeout);
    }

    // One ctrl_tcp command, as a netstring of JSON.
    bool command(const std::string& name, const std::string& params = "")
    {
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(ctrlPort_);
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (fd < 0 || connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
            if (fd >= 0)
                close(fd);
            return false;
        }
        std::string json = "{\"command\":\"" + name + "\",\"params\":\"" + params + "\",\"token\":\"t\"}";
        std::string net = std::to_string(json.size()) + ":" + json + ",";
        bool ok = write(fd, net.data(), net.size()) == static_cast<ssize_t>(net.size());
        char reply[512];
        // The reply says the command was taken; wait for it a while.
        timeval tv{10, 0};
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        ok = ok && read(fd, reply, sizeof reply) > 0;
        close(fd);
        return ok;
    }

    // What it heard, from sndfile's dump (complete once the call is over).
    std::vector<int16_t> heard() const
    {
        std::string snd = dir_ + "/snd";
        DIR* d = opendir(snd.c_str());
        std::vector<int16_t> out;
        if (!d)
            return out;
        while (dirent* e = readdir(d)) {
            std::string name = e->d_name;
            if (name.size() > 8 && name.substr(name.size() - 8) == "-dec.wav")
                out = readWav(snd + "/" + name);
        }
        closedir(d);
        return out;
    }

    // What it heard, once its call has ended and it has quit: its recording
    // is complete then, and it would otherwise stay up for its whole -t.
    std::vector<int16_t> heardAfterTheCall()
    {
        if (!waitForLine("terminated", 10000ms))
            ADD_FAILURE() << "the far end's call did not end: " << process.output();
        command("quit");
        process.wait(20000ms);
        return heard();
    }

    sim::DaemonProcess process;

private:
    uint16_t sipPort_;
    uint16_t ctrlPort_;
    kit::ScratchDir scratch_;
    std::string dir_ = scratch_.path();
};

// A record and tape folder for voicephone-daemon, started by sipline per
// call with the line sipline gives it.
struct Application {
    Application()
    {
        auto& cb = seg.block();
        sim::Segment::setPath(cb.ingoingPath, dir + "/in.tape");
        sim::Segment::setPath(cb.outgoingPath, dir + "/out.tape");
        sim::Segment::setPath(cb.messagePath, dir + "/greeting.ul");
        sim::Segment::setPath(cb.responsePath, dir + "/response.ul");
        writeWord(cb.wrapMode, 1);
        writeWord(cb.ownerUid, getuid());
        writeWord(cb.ownerGid, getgid());
        writeWord(cb.tapeLimit, 8000 * 60);
        writeWord(cb.responseLimit, 8000 * 60);
    }

    // The --exec command: the daemon on the socket line, or on the pty
    // (opened as descriptor 3) with `pty`.
    std::string command(bool pty) const
    {
        std::string daemon = "exec /usr/bin/timeout 60 " + sim::programPath("voicephone-daemon");
        std::string rest = " " + std::to_string(sound.daemonFd()) + " 160 " + std::to_string(seg.id());
        if (pty)
            return daemon + " 3" + rest + " 3<>\"$SIPLINE_TTY\"";
        return daemon + " \"$SIPLINE_FD\"" + rest;
    }

    ControlBlock& cb() { return seg.block(); }

    sim::Segment seg;
    sim::SoundDevice sound{sim::SoundDevice::Kind::Socket, 1};
    kit::ScratchDir scratch;
    std::string dir = scratch.path();
};

// What the kamailio cases start from: one UDP listener on 127.0.0.1:5090, a
// registrar with digest authentication (password "s3cret"), INVITEs
// record-routed and relayed to the registered user.
inline const char* const kamailioConfig = R"(#!KAMAILIO
log_stderror=yes
fork=yes
children=1
listen=udp:127.0.0.1:5090
mpath="/usr/lib/x86_64-linux-gnu/kamailio/modules/"
loadmodule "tm.so"
loadmodule "sl.so"
loadmodule "rr.so"
loadmodule "pv.so"
loadmodule "maxfwd.so"
loadmodule "usrloc.so"
loadmodule "registrar.so"
loadmodule "textops.so"
loadmodule "siputils.so"
loadmodule "xlog.so"
loadmodule "auth.so"
loadmodule "kex.so"
modparam("usrloc", "db_mode", 0)
request_route {
    if (!mf_process_maxfwd_header("10")) { sl_send_reply("483", "Too Many Hops"); exit; }
    if (has_totag()) {
        if (loose_route() || is_method("ACK")) { t_relay(); exit; }
        sl_send_reply("404", "Not here"); exit;
    }
    if (is_method("REGISTER")) {
        if (!pv_auth_check("$fd", "s3cret", "0", "1")) { auth_challenge("$fd", "0"); exit; }
        if (!save("location")) sl_reply_error();
        exit;
    }
    if (is_method("INVITE")) record_route();
    if (!lookup("location")) { sl_send_reply("404", "Not Found"); exit; }
    t_relay();
}
)";

// kamailioConfig with, for each pair, the first text replaced by the second.
// A text it lacks fails the test: the case would run on a configuration it
// did not mean.
inline std::string kamailioConfigWith(const std::vector<std::pair<std::string, std::string>>& edits)
{
    std::string cfg = kamailioConfig;
    for (const auto& [what, with] : edits) {
        size_t at = cfg.find(what);
        if (at == std::string::npos)
            ADD_FAILURE() << "the kamailio configuration has no '" << what << "'";
        else
            cfg.replace(at, what.size(), with);
    }
    return cfg;
}

// An --exec command that keeps what the call's line carries in `path` for
// `seconds`, after the shell line `first` when one is given.
inline std::string lineToFile(const std::string& path, int seconds, const std::string& first = "")
{
    return "exec /usr/bin/timeout " + std::to_string(seconds) + " bash -c '" + (first.empty() ? "" : first + "; ") +
           "cat <&$SIPLINE_FD > " + path + "'";
}

// What the kamailio cases share: a scratch folder, kamailio on a
// configuration of the case's own, and a line that keeps what a call
// carries in line.raw.  The kamailios it started end with it.
class KamailioScene {
public:
    ~KamailioScene()
    {
        for (sim::DaemonProcess& p : started_)
            p.kill(SIGTERM);
    }

    // Writes `config` as dir/name and runs kamailio on it in the foreground,
    // logging to its standard error, for a minute at the most.  Null when
    // it could not be started.
    sim::DaemonProcess* start(const std::string& name, const std::string& config)
    {
        std::ofstream(dir + "/" + name) << config;
        sim::DaemonProcess& p = started_.emplace_back();
        if (!p.start("/usr/bin/timeout", {"/usr/bin/timeout", "60", "kamailio", "-DD", "-E", "-f", dir + "/" + name}, {}))
            return nullptr;
        return &p;
    }

    std::string lineCommand(int seconds, const std::string& first = "") const
    {
        return lineToFile(dir + "/line.raw", seconds, first);
    }
    Bytes line() const { return readFile(dir + "/line.raw"); }

    kit::ScratchDir scratch;
    const std::string dir = scratch.path();

private:
    std::deque<sim::DaemonProcess> started_; // a deque: the pointers given out stay good
};

using kit::waitUntil;

// sipline itself, with the sound device's descriptor to pass down.
inline bool startSipline(sim::DaemonProcess& p, const std::vector<std::string>& args, const std::vector<int>& fds,
                         int seconds = 60)
{
    std::vector<std::string> all{"/usr/bin/timeout", std::to_string(seconds), sim::programPath("sipline")};
    all.insert(all.end(), args.begin(), args.end());
    return p.start(all[0], all, fds);
}

} // namespace siptest
