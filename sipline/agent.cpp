#include "agent.h"

#define HAVE_STDBOOL_H 1
#include <re/re.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <netinet/in.h>
#include <optional>
#include <random>
#include <sstream>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/timerfd.h>
#include <sys/wait.h>
#include <unistd.h>
#include <time.h>

#include "catch_up.h"
#include "framing.h"
#include "g711.h"
#include "line_end.h"
#include "playout.h"
#include "send_spacing.h"
#include "source_gate.h"
#include "telephone_event.h"
#include "tx_queue.h"

namespace sipline {

namespace {

constexpr uint64_t tickMs = 20;
constexpr int telephoneEventPt = 101;
// What waits for a line that does not read: 2 s of framed audio, then
// whole frames are dropped.
constexpr size_t lineOutCap = 2 * 8000 * 2;
// Audio read from the line ahead of its packet: three frames, so the line
// holds the writer back; after an underrun two must wait before sending
// resumes, room for a writer's jitter against the tick.
constexpr size_t txCapacity = 3 * frameSamples;
constexpr size_t txResume = 2 * frameSamples;
constexpr uint32_t maxDelayMs = 200;
// After a hold-up, the frames one tick sends at most, and serves at most
// (2 s; a longer stall starts the far end's stream anew).
constexpr uint64_t maxBurstFrames = 5;
constexpr uint64_t maxCatchUpFrames = 100;

struct Agent;

struct Delayed {
    uint64_t due;
    rtp_header hdr;
    std::vector<uint8_t> payload;
};

struct Line {
    enum class State { Idle, Ringing, Dialing, Talking, Draining };

    Agent* agent = nullptr;
    LineConfig conf;
    State state = State::Idle;
    std::unique_ptr<LineEnd> end;

    sipsess* sess = nullptr;
    sdp_session* sdp = nullptr;
    sdp_media* media = nullptr;
    struct rtp_sock* rtp = nullptr;
    sa laddr{};

    Codec codec = Codec::Pcmu;
    int txPt = 0;
    int rxEventPt = telephoneEventPt;
    bool mayReceive = true; // the far end sends (not on hold)
    bool maySend = true;    // the far end takes audio
    sa remote{};
    bool haveRemote = false;
    SourceGate sources; // whose RTP is the far end's

    std::unique_ptr<Playout> playout;
    std::unique_ptr<TxQueue> tx;
    Undoubler undoubler;
    KeyPresses presses;
    std::vector<uint8_t> lineOut;
    std::vector<uint8_t> readBuf;
    std::vector<uint8_t> audioBuf; // readBuf without its framing
    std::vector<Delayed> delayed;
    uint32_t txTs = 0;
    bool firstPacket = true;
    uint64_t callStart = 0;
    uint64_t lastRx = 0;
    uint64_t droppedFrames = 0;
    SendSpacing spacing;
    std::string caller;
    std::string called;
    bool answered = false;
    std::vector<pid_t> commands; // started for this line's calls, not yet reaped
};

struct Agent {
    Options opt;
    sip* sipStack = nullptr;
    sipsess_sock* sock = nullptr;
    sip_lsnr* options = nullptr;
    sipreg* reg = nullptr;
    dnsc* dns = nullptr;
    sa sipAddr{};
    int tickFd = -1;
    std::vector<std::unique_ptr<Line>> lines;
    uint32_t callsEnded = 0;
    int status = 0;
    bool stopping = false;
    bool closing = false; // the last call is over; what was sent last is being answered
    tmr closeTimer{};
    std::string password;
    std::mt19937 rng{12345};
};

volatile sig_atomic_t stopSignal = 0; // how many stop signals came
bool verboseTrace = false;

void say(const Line& line, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
void say(const Line& line, const char* fmt, ...)
{
    char text[512];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(text, sizeof text, fmt, ap);
    va_end(ap);
    printf("sipline: %s: %s\n", line.conf.name.c_str(), text);
    fflush(stdout);
}

void complain(const Line& line, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
void complain(const Line& line, const char* fmt, ...)
{
    char text[512];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(text, sizeof text, fmt, ap);
    va_end(ap);
    fprintf(stderr, "sipline: %s: %s\n", line.conf.name.c_str(), text);
}

std::string plText(const pl& p)
{
    return std::string(p.p ? p.p : "", p.p ? p.l : 0);
}

void traceHandler(bool tx, enum sip_transp, const sa* src, const sa* dst, const uint8_t* pkt, size_t len, void*)
{
    if (!verboseTrace)
        return;
    size_t n = 0;
    while (n < len && pkt[n] != '\r' && pkt[n] != '\n')
        n++;
    re_printf("sipline: sip %s %J: %b\n", tx ? "to" : "from", tx ? dst : src, pkt, n);
    fflush(stdout);
}

// The bodies an INFO may carry: a key, in either of the two ways far ends
// send one (infoHandler).
constexpr const char* infoTypes = "application/dtmf-relay, application/dtmf";

// A request for our capabilities (RFC 3261, 11), which proxies also send to
// learn whether a destination is up: what a call could use, and 200.
bool optionsHandler(const sip_msg* msg, void* arg)
{
    if (pl_strcmp(&msg->met, "OPTIONS") != 0)
        return false;
    Agent& a = *static_cast<Agent*>(arg);
    sip_treplyf(nullptr, nullptr, a.sipStack, msg, false, 200, "OK",
                "Allow: INVITE, ACK, BYE, CANCEL, OPTIONS, INFO\r\n"
                "Accept: application/sdp, %s\r\n"
                "Content-Length: 0\r\n"
                "\r\n",
                infoTypes);
    return true;
}

// Media ------------------------------------------------------------------

void releaseMedia(Line& line)
{
    line.rtp = static_cast<struct rtp_sock*>(mem_deref(line.rtp));
    line.sdp = static_cast<sdp_session*>(mem_deref(line.sdp)); // also frees the media
    line.media = nullptr;
    line.haveRemote = false;
    line.delayed.clear();
    if (line.sources.refused() > 0)
        say(line, "refused %llu RTP packets from others than the far end",
            static_cast<unsigned long long>(line.sources.refused()));
    line.sources = SourceGate();
}

void rtpReceived(const sa* src, const rtp_header* hdr, mbuf* mb, void* arg);

bool prepareMedia(Line& line, const sa& laddr)
{
    Agent& a = *line.agent;
    line.laddr = laddr;
    line.mayReceive = line.maySend = true;
    int err = rtp_listen(&line.rtp, IPPROTO_UDP, &laddr, a.opt.rtpLow, a.opt.rtpHigh, true, rtpReceived, nullptr, &line);
    if (err) {
        complain(line, "no RTP port free in %u-%u: %s", a.opt.rtpLow, a.opt.rtpHigh, strerror(err));
        return false;
    }
    // The tick takes the packets (takeRtp), so the event loop does not
    // wake for each of them.
    udp_thread_detach(static_cast<udp_sock*>(rtp_sock(line.rtp)));
    err = sdp_session_alloc(&line.sdp, &laddr);
    if (!err)
        err = sdp_media_add(&line.media, line.sdp, "audio", sa_port(rtp_local(line.rtp)), "RTP/AVP");
    for (const auto& c : a.opt.codecs) {
        if (err)
            break;
        err = sdp_format_add(nullptr, line.media, false, c == "PCMU" ? "0" : "8", c.c_str(), 8000, 1, nullptr,
                             nullptr, nullptr, false, nullptr);
    }
    if (!err)
        err = sdp_format_add(nullptr, line.media, false, "101", "telephone-event", 8000, 1, nullptr, nullptr, nullptr,
                             false, "0-15");
    if (!err)
        sdp_media_set_lattr(line.media, true, "ptime", "20");
    if (err) {
        complain(line, "SDP: %s", strerror(err));
        releaseMedia(line);
        return false;
    }
    return true;
}

// Takes what the far end's description says; false when no codec of ours
// is in it.
bool applyRemote(Line& line)
{
    const sdp_format* chosen = nullptr;
    for (const auto& c : line.agent->opt.codecs) {
        chosen = sdp_media_rformat(line.media, c.c_str());
        if (chosen)
            break;
    }
    if (!chosen || !sa_isset(sdp_media_raddr(line.media), SA_ALL))
        return false;
    line.codec = strcasecmp(chosen->name, "PCMA") == 0 ? Codec::Pcma : Codec::Pcmu;
    line.txPt = chosen->pt;
    if (const sdp_format* ev = sdp_media_rformat(line.media, "telephone-event"))
        line.rxEventPt = ev->pt;
    sa_cpy(&line.remote, sdp_media_raddr(line.media));
    line.haveRemote = true;
    line.sources.expect(Endpoint::of(&line.remote.u.sa));
    enum sdp_dir dir = sdp_media_rdir(line.media);
    bool wasReceiving = line.mayReceive;
    line.mayReceive = (dir & SDP_SENDONLY) != 0;
    line.maySend = (dir & SDP_RECVONLY) != 0 && !sa_is_any(&line.remote);
    if (line.mayReceive != wasReceiving)
        say(line, "%s", line.mayReceive ? "far end resumes" : "far end holds the call");
    return true;
}

void deliver(Line& line, const rtp_header& hdr, std::span<uint8_t> payload)
{
    if (hdr.pt == line.rxEventPt) {
        auto ev = parseTelephoneEvent(payload);
        if (!ev)
            return;
        if (auto key = line.presses.onPacket(hdr.ssrc, hdr.ts, *ev)) {
            line.playout->putKey(hdr.ssrc, hdr.ts, *key);
            say(line, "touchtone '%c' from the far end", *key);
        }
    } else if (hdr.pt == 0 || hdr.pt == 8) {
        toUlaw(hdr.pt == 8 ? Codec::Pcma : Codec::Pcmu, payload);
        line.playout->put(hdr.ssrc, hdr.ts, payload);
    }
}

void rtpReceived(const sa*, const rtp_header* hdr, mbuf* mb, void* arg)
{
    Line& line = *static_cast<Line*>(arg);
    if (line.state != Line::State::Talking || !line.playout)
        return;
    line.lastRx = tmr_jiffies();
    std::span<uint8_t> payload(mbuf_buf(mb), mbuf_get_left(mb));
    Agent& a = *line.agent;
    if (a.opt.impair) {
        std::uniform_real_distribution<double> chance(0, 100);
        if (chance(a.rng) < a.opt.lossPercent)
            return;
        std::uniform_int_distribution<uint32_t> wait(0, a.opt.maxDelayMs);
        line.delayed.push_back({line.lastRx + wait(a.rng), *hdr, std::vector<uint8_t>(payload.begin(), payload.end())});
        return;
    }
    deliver(line, *hdr, payload);
}

// Every packet waiting on the line's RTP socket, taken at the tick rather
// than on arrival: with many lines the process then wakes once per 20 ms
// for all of them instead of once per packet.  Nothing is late for it, as
// the playout buffer is read only at the tick, just after this.
void takeRtp(Line& line)
{
    if (!line.rtp)
        return;
    int fd = udp_sock_fd(static_cast<udp_sock*>(rtp_sock(line.rtp)), sa_af(&line.laddr));
    constexpr unsigned batch = 8;
    constexpr size_t packetMax = 2048;
    static std::array<std::array<uint8_t, packetMax>, batch> packets;
    std::array<iovec, batch> iov;
    std::array<sockaddr_storage, batch> from;
    std::array<mmsghdr, batch> msgs;
    for (;;) {
        for (unsigned i = 0; i < batch; i++) {
            iov[i] = {packets[i].data(), packetMax};
            msgs[i] = {};
            msgs[i].msg_hdr.msg_iov = &iov[i];
            msgs[i].msg_hdr.msg_iovlen = 1;
            msgs[i].msg_hdr.msg_name = &from[i];
            msgs[i].msg_hdr.msg_namelen = sizeof from[i];
        }
        int n = recvmmsg(fd, msgs.data(), batch, MSG_DONTWAIT, nullptr);
        if (n <= 0)
            return;
        for (int i = 0; i < n; i++) {
            // A stranger's packets are dropped unread: they neither play
            // nor keep a call alive whose far end has gone quiet.
            if (!line.sources.admit(Endpoint::of(reinterpret_cast<const sockaddr*>(&from[i]))))
                continue;
            mbuf mb{packets[i].data(), packetMax, 0, msgs[i].msg_len};
            rtp_header hdr;
            if (rtp_decode(line.rtp, &mb, &hdr) == 0)
                rtpReceived(nullptr, &hdr, &mb, &line);
        }
        // A short batch has emptied the socket.
        if (static_cast<unsigned>(n) < batch)
            return;
    }
}

// A frame of a hold-up that is not sent: its audio is dropped and its
// timestamp passes, as when the network loses a packet.
bool dropFrame(Line& line)
{
    std::array<uint8_t, frameSamples> frame;
    bool audio = line.tx->takeFrame(frame);
    line.txTs += frameSamples;
    return audio;
}

// Sends the next frame; true when it carried the application's audio.
bool sendFrame(Line& line)
{
    // The packet is built in place, room left for the header in front: the
    // stack sends it at once and keeps no reference to it.
    std::array<uint8_t, RTP_HEADER_SIZE + frameSamples> packet;
    std::span<uint8_t, frameSamples> frame(packet.data() + RTP_HEADER_SIZE, frameSamples);
    bool audio = line.tx->takeFrame(frame);
    if (!line.haveRemote || !line.maySend) {
        line.txTs += frameSamples;
        line.spacing.skipped();
        return audio;
    }
    fromUlaw(line.codec, frame);
    mbuf mb{packet.data(), packet.size(), RTP_HEADER_SIZE, packet.size()};
    rtp_send(line.rtp, &line.remote, false, line.firstPacket, static_cast<uint8_t>(line.txPt), line.txTs, &mb);
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    line.spacing.sent(static_cast<int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec);
    line.firstPacket = false;
    line.txTs += frameSamples;
    return audio;
}

// Calls ------------------------------------------------------------------

void finishCall(Line& line);

void startTalking(Line& line)
{
    const Options& o = line.agent->opt;
    uint32_t delay = o.jitterMs * 8;
    line.playout = std::make_unique<Playout>(delay, std::max(delay, maxDelayMs * 8));
    line.tx = std::make_unique<TxQueue>(txCapacity, txResume);
    line.undoubler = Undoubler();
    line.presses = KeyPresses();
    line.lineOut.clear();
    line.txTs = static_cast<uint32_t>(line.agent->rng());
    line.firstPacket = true;
    line.callStart = line.lastRx = tmr_jiffies();
    line.droppedFrames = 0;
    line.spacing = SendSpacing();
    line.state = Line::State::Talking;
    line.answered = true;
}

// The far end or a limit ended the call: the application hears DLE ETX,
// then the line is drained until it lets go.
void takeRtp(Line& line);

void endTowardApp(Line& line, const char* why)
{
    say(line, "call ended: %s", why);
    if (line.state == Line::State::Talking && line.playout) {
        // What the far end said before it hung up is played before the end:
        // packets still waiting for the tick, and the playout's delay.
        takeRtp(line);
        for (int frames = 0; line.playout->buffered() > 0 && frames < 100; frames++)
            line.playout->takeFrame(line.lineOut);
    }
    line.sess = static_cast<sipsess*>(mem_deref(line.sess));
    releaseMedia(line);
    if (!line.end || line.state == Line::State::Ringing || line.state == Line::State::Dialing) {
        finishCall(line);
        return;
    }
    appendCode(ETX, line.lineOut);
    line.state = Line::State::Draining;
}

void finishCall(Line& line)
{
    Agent& a = *line.agent;
    if (line.playout) {
        // What the call's figures were, for the benchmarks and for anyone
        // asking why a call sounded bad.
        say(line,
            "call figures: %llu packets sent, spacing off 20 ms by %.1f ms at p99 (worst %.1f ms); "
            "far end's audio: %llu samples missing, %llu late, delay %u ms; %llu underruns toward the far end; "
            "%llu frames the line did not take",
            static_cast<unsigned long long>(line.spacing.sends()), line.spacing.percentileMs(0.99),
            line.spacing.worstMs(), static_cast<unsigned long long>(line.playout->missingSamples()),
            static_cast<unsigned long long>(line.playout->lateSamples()), line.playout->delay() / 8,
            static_cast<unsigned long long>(line.tx->underruns()), static_cast<unsigned long long>(line.droppedFrames));
    }
    line.sess = static_cast<sipsess*>(mem_deref(line.sess));
    releaseMedia(line);
    line.playout.reset();
    line.tx.reset();
    line.lineOut.clear();
    if (line.end && line.end->kind() == LineEnd::Kind::Pty && line.conf.exec.empty()) {
        line.end->flush();
    } else {
        line.end.reset();
    }
    line.state = Line::State::Idle;
    if (a.opt.mode == Mode::Call) {
        if (!line.answered)
            a.status = 1;
        a.stopping = true;
    } else if (++a.callsEnded == a.opt.calls && a.opt.calls != 0) {
        a.stopping = true;
    }
    line.answered = false;
}

// The application let go of the line while the call was up.
void hangUp(Line& line, const char* why)
{
    say(line, "hanging up: %s", why);
    // Freeing an established session sends BYE (CANCEL while unanswered).
    finishCall(line);
}

bool giveLine(Line& line)
{
    std::string error;
    if (!line.conf.exec.empty()) {
        line.end = std::make_unique<LineEnd>();
        bool ok = line.conf.pty ? line.end->openPty("", error) : line.end->openSocket(error);
        if (!ok || !line.end->spawn(line.conf.exec, line.caller, line.called, error)) {
            complain(line, "%s", error.c_str());
            line.end.reset();
            return false;
        }
        line.commands.push_back(line.end->command());
    }
    return true;
}

bool answerNow(Line& line)
{
    // An INVITE without a description gets our offer here, and the far
    // end's answer comes with its ACK.
    mbuf* desc = nullptr;
    int err = sdp_encode(&desc, line.sdp, !line.haveRemote);
    if (!err)
        err = sipsess_answer(line.sess, 200, "OK", desc, nullptr);
    mem_deref(desc);
    if (err) {
        complain(line, "answer: %s", strerror(err));
        return false;
    }
    say(line, "answered %s", line.caller.c_str());
    startTalking(line);
    return true;
}

int offerHandler(mbuf** descp, const sip_msg* msg, void* arg)
{
    Line& line = *static_cast<Line*>(arg);
    if (!line.sdp)
        return EINVAL;
    // A re-INVITE without a description asks for our offer; the answer
    // comes with the ACK.
    if (mbuf_get_left(msg->mb) == 0)
        return sdp_encode(descp, line.sdp, true);
    int err = sdp_decode(line.sdp, msg->mb, true);
    if (err)
        return err;
    if (!applyRemote(line))
        return EPROTO;
    return sdp_encode(descp, line.sdp, false);
}

int answerHandler(const sip_msg* msg, void* arg)
{
    Line& line = *static_cast<Line*>(arg);
    if (!line.sdp)
        return EINVAL;
    int err = sdp_decode(line.sdp, msg->mb, false);
    if (err)
        return err;
    if (!applyRemote(line)) {
        complain(line, "the far end's answer names no codec of ours");
        return EPROTO;
    }
    return 0;
}

void progressHandler(const sip_msg* msg, void* arg)
{
    Line& line = *static_cast<Line*>(arg);
    say(line, "far end: %u %s", msg->scode, plText(msg->reason).c_str());
}

void establishedHandler(const sip_msg*, void* arg)
{
    Line& line = *static_cast<Line*>(arg);
    if (line.state == Line::State::Dialing) {
        if (!line.haveRemote) {
            complain(line, "answered without a usable description");
            hangUp(line, "no media");
            return;
        }
        say(line, "far end answered %s", line.called.c_str());
        if (!giveLine(line)) {
            hangUp(line, "no line for the application");
            return;
        }
        startTalking(line);
    }
}

// Keys some far ends send as SIP INFO rather than as RFC 4733 events: on
// the line after what it has been given so far, as a key pressed now.
void infoHandler(sip* stack, const sip_msg* msg, void* arg)
{
    Line& line = *static_cast<Line*>(arg);
    bool relay = msg_ctype_cmp(&msg->ctyp, "application", "dtmf-relay");
    if (!relay && !msg_ctype_cmp(&msg->ctyp, "application", "dtmf")) {
        sip_treplyf(nullptr, nullptr, stack, msg, false, 415, "Unsupported Media Type",
                    "Accept: %s\r\n"
                    "Content-Length: 0\r\n"
                    "\r\n",
                    infoTypes);
        return;
    }
    std::string_view body(reinterpret_cast<const char*>(mbuf_buf(msg->mb)), mbuf_get_left(msg->mb));
    auto key = keyFromInfo(relay, body);
    if (!key) {
        sip_treply(nullptr, stack, msg, 400, "No Key In The Body");
        return;
    }
    if (line.state == Line::State::Talking) {
        appendCode(*key, line.lineOut);
        say(line, "touchtone '%c' from the far end (INFO)", *key);
    }
    sip_treply(nullptr, stack, msg, 200, "OK");
}

void closeHandler(int err, const sip_msg* msg, void* arg)
{
    Line& line = *static_cast<Line*>(arg);
    char why[256];
    // libre reports both a BYE and a CANCEL as ECONNRESET.
    if (err == ECONNRESET)
        snprintf(why, sizeof why, "%s",
                 line.state == Line::State::Ringing ? "cancelled by the far end" : "far end hung up");
    else if (err == EPROTO) // answerHandler refused the far end's answer
        snprintf(why, sizeof why, "no codec in common");
    else if (err)
        snprintf(why, sizeof why, "%s", strerror(err));
    else if (msg && msg->scode)
        snprintf(why, sizeof why, "far end replied %u %s", msg->scode, plText(msg->reason).c_str());
    else
        snprintf(why, sizeof why, "far end hung up");
    endTowardApp(line, why);
}

Line* routeCall(Agent& a, const sip_msg* msg)
{
    std::string user = plText(msg->uri.user);
    for (auto& l : a.lines)
        if (!l->conf.user.empty() && l->conf.user == user)
            return l.get();
    for (auto& l : a.lines)
        if (l->conf.user.empty())
            return l.get();
    return nullptr;
}

void connectHandler(const sip_msg* msg, void* arg)
{
    Agent& a = *static_cast<Agent*>(arg);
    Line* found = routeCall(a, msg);
    if (!found) {
        sip_treply(nullptr, a.sipStack, msg, 404, "Not Found");
        return;
    }
    Line& line = *found;
    if (line.state != Line::State::Idle || a.stopping || a.opt.mode == Mode::Call) {
        say(line, "busy: refused a call from %s", plText(msg->from.auri).c_str());
        sip_treply(nullptr, a.sipStack, msg, 486, "Busy Here");
        return;
    }
    line.caller = plText(msg->from.auri);
    line.called = plText(msg->ruri);
    say(line, "incoming call from %s to %s", line.caller.c_str(), line.called.c_str());
    sa laddr = a.sipAddr;
    if (sa_is_any(&laddr))
        sa_cpy(&laddr, &msg->dst);
    sa_set_port(&laddr, 0);
    if (!prepareMedia(line, laddr)) {
        sip_treply(nullptr, a.sipStack, msg, 500, "Server Internal Error");
        return;
    }
    // An INVITE without a description is answered with our offer (answerNow).
    if (mbuf_get_left(msg->mb) != 0 && (sdp_decode(line.sdp, msg->mb, true) != 0 || !applyRemote(line))) {
        say(line, "refused: no usable codec offered");
        sip_treply(nullptr, a.sipStack, msg, 488, "Not Acceptable Here");
        releaseMedia(line);
        return;
    }
    int err = sipsess_accept(&line.sess, a.sock, msg, 180, "Ringing", line.conf.name.c_str(), "application/sdp", nullptr,
                             nullptr, nullptr, false, offerHandler, answerHandler, establishedHandler, infoHandler,
                             nullptr, closeHandler, &line, nullptr);
    if (err) {
        complain(line, "accept: %s", strerror(err));
        releaseMedia(line);
        return;
    }
    line.state = Line::State::Ringing;
    line.answered = false;
    if (!line.conf.exec.empty()) {
        if (!giveLine(line) || !answerNow(line))
            endTowardApp(line, "no line for the application");
    }
    // A pty line answers in the tick, once an application has opened it.
}

int authHandler(char** user, char** pass, const char*, void* arg)
{
    Agent& a = *static_cast<Agent*>(arg);
    if (a.opt.user.empty())
        return EAUTH;
    int err = str_dup(user, a.opt.user.c_str());
    if (!err)
        err = str_dup(pass, a.password.c_str());
    return err;
}

bool dial(Agent& a, Line& line)
{
    sa laddr = a.sipAddr;
    if (sa_is_any(&laddr) && net_default_source_addr_get(AF_INET, &laddr) != 0) {
        complain(line, "no local address to offer media on");
        return false;
    }
    sa_set_port(&laddr, 0);
    if (!prepareMedia(line, laddr))
        return false;
    mbuf* offer = nullptr;
    int err = sdp_encode(&offer, line.sdp, true);
    std::string from = a.opt.from;
    if (from.empty()) {
        char buf[128];
        re_snprintf(buf, sizeof buf, "sip:%s@%J", line.conf.name.c_str(), &a.sipAddr);
        from = buf;
    }
    const char* routes[1] = {a.opt.outboundProxy.c_str()};
    line.called = a.opt.target;
    line.caller = from;
    if (!err)
        err = sipsess_connect(&line.sess, a.sock, a.opt.target.c_str(), nullptr, from.c_str(), line.conf.name.c_str(),
                              a.opt.outboundProxy.empty() ? nullptr : routes, a.opt.outboundProxy.empty() ? 0 : 1,
                              "application/sdp", offer, authHandler, &a, false, offerHandler, answerHandler,
                              progressHandler, establishedHandler, infoHandler, nullptr, closeHandler, &line, nullptr);
    mem_deref(offer);
    if (err) {
        complain(line, "cannot call %s: %s", a.opt.target.c_str(), strerror(err));
        releaseMedia(line);
        return false;
    }
    say(line, "calling %s", a.opt.target.c_str());
    line.state = Line::State::Dialing;
    return true;
}

// The tick --------------------------------------------------------------

void serveLine(Line& line, uint64_t now, bool send)
{
    const Options& o = line.agent->opt;
    switch (line.state) {
    case Line::State::Idle:
    case Line::State::Dialing:
        // Whatever an application writes with no call up goes nowhere.
        if (line.end) {
            line.readBuf.clear();
            line.end->read(4096, line.readBuf);
        }
        return;
    case Line::State::Ringing:
        if (line.end && line.end->appPresent())
            answerNow(line);
        return;
    case Line::State::Draining:
        line.end->write(line.lineOut);
        line.readBuf.clear();
        line.end->read(4096, line.readBuf);
        if (line.end->appGone()) {
            say(line, "the application let go of the line");
            finishCall(line);
        }
        return;
    case Line::State::Talking:
        break;
    }

    if (!line.delayed.empty()) {
        // Released in arrival order of their due times, as a network would.
        std::stable_sort(line.delayed.begin(), line.delayed.end(),
                         [](const Delayed& x, const Delayed& y) { return x.due < y.due; });
        size_t n = 0;
        while (n < line.delayed.size() && line.delayed[n].due <= now) {
            deliver(line, line.delayed[n].hdr, line.delayed[n].payload);
            n++;
        }
        line.delayed.erase(line.delayed.begin(), line.delayed.begin() + n);
    }
    if (o.maxSeconds && now - line.callStart >= o.maxSeconds * 1000ull) {
        // Both ends are told: BYE to the far end, DLE ETX to the application.
        endTowardApp(line, "--max-seconds reached");
        return;
    }
    if (!line.mayReceive)
        line.lastRx = now;
    if (o.rtpTimeoutS && now - line.lastRx >= o.rtpTimeoutS * 1000ull) {
        endTowardApp(line, "no RTP from the far end (--rtp-timeout)");
        return;
    }

    // The packet goes out first: writing to the line wakes the application,
    // which costs more than the send and would make its time wander.
    line.readBuf.clear();
    line.end->read(line.tx->room(), line.readBuf);
    if (!line.readBuf.empty()) {
        line.audioBuf.clear();
        line.undoubler.feed(line.readBuf, line.audioBuf);
        line.tx->push(line.audioBuf);
    }
    bool sentAudio = send ? sendFrame(line) : dropFrame(line);

    size_t before = line.lineOut.size();
    line.playout->takeFrame(line.lineOut);
    if (line.lineOut.size() > lineOutCap) {
        line.lineOut.resize(before);
        line.droppedFrames++;
    }
    line.end->write(line.lineOut);
    // What the application wrote before it let go is sent first.
    if (line.readBuf.empty() && !sentAudio && line.end->appGone())
        hangUp(line, "the application let go of the line");
}

// A command that failed is told on standard error.  sipline's own status
// stays the call's (a `timeout N cat` that holds a line ends with 124 and
// is no failure of the call); one we hung up on is not judged.  The
// command of the line's call in progress is its line end's to see ending
// first.
void collectCommands(Line& line)
{
    auto& pids = line.commands;
    for (auto it = pids.begin(); it != pids.end();) {
        auto ended = line.end && line.end->command() == *it ? std::nullopt : LineEnd::takeEnded(*it);
        if (!ended) {
            ++it;
            continue;
        }
        it = pids.erase(it);
        int st = ended->status;
        if (ended->hungUp || (WIFEXITED(st) && WEXITSTATUS(st) == 0))
            continue;
        if (WIFEXITED(st))
            complain(line, "the command ended with exit status %d", WEXITSTATUS(st));
        else
            complain(line, "the command was killed by signal %d (%s)", WTERMSIG(st), strsignal(WTERMSIG(st)));
    }
}

void childHandler(int)
{
    LineEnd::childSignalled();
}

// When the last call is over, what sipline sent last is given time to be
// answered before it ends: a BYE that UDP lost is sent again (a far end
// that never hears it holds the call), and a registration is taken back.
// The stack says when nothing is left in flight; a far end that never
// answers holds sipline up for closePatienceMs at most, and a second stop
// signal ends it at once.
constexpr uint64_t closePatienceMs = 4000;

void stopLoop(void*)
{
    re_cancel();
}

void closeSip(Agent& a)
{
    if (a.closing)
        return;
    a.closing = true;
    a.reg = static_cast<sipreg*>(mem_deref(a.reg));
    tmr_start(&a.closeTimer, closePatienceMs, stopLoop, nullptr);
    sip_close(a.sipStack, false);
}

// The kernel keeps the 20 ms schedule (an absolute periodic timerfd), so
// nothing drifts and no rounding to milliseconds adds jitter.  A late
// wake-up serves every frame it missed and sends the newest of them
// (planCatchUp).
void tickReady(int, void* arg)
{
    Agent& a = *static_cast<Agent*>(arg);
    uint64_t expirations = 0;
    if (read(a.tickFd, &expirations, sizeof expirations) != sizeof expirations)
        return;
    if (stopSignal && !a.stopping) {
        a.stopping = true;
        for (auto& l : a.lines)
            if (l->state != Line::State::Idle)
                hangUp(*l, "signal");
    }
    for (auto& l : a.lines)
        takeRtp(*l);
    uint64_t now = tmr_jiffies();
    CatchUp plan = planCatchUp(expirations, maxBurstFrames, maxCatchUpFrames);
    for (auto& l : a.lines) {
        for (uint64_t i = 0; i < plan.served; i++) {
            serveLine(*l, now, i >= plan.sendFrom);
            // Only a call in progress has frames to catch up on.
            if (l->state != Line::State::Talking)
                break;
        }
        if (l->state == Line::State::Talking)
            l->txTs += static_cast<uint32_t>(plan.skipped * frameSamples);
    }
    LineEnd::reapChildren();
    for (auto& l : a.lines)
        collectCommands(*l);
    bool busy = false;
    for (auto& l : a.lines)
        busy = busy || l->state != Line::State::Idle;
    if (a.stopping && !busy)
        closeSip(a);
    if (stopSignal > 1)
        re_cancel();
}

bool startTick(Agent& a)
{
    a.tickFd = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    if (a.tickFd < 0)
        return false;
    itimerspec schedule{};
    clock_gettime(CLOCK_MONOTONIC, &schedule.it_value);
    schedule.it_value.tv_nsec += static_cast<long>(tickMs) * 1000000;
    if (schedule.it_value.tv_nsec >= 1000000000) {
        schedule.it_value.tv_sec++;
        schedule.it_value.tv_nsec -= 1000000000;
    }
    schedule.it_interval.tv_nsec = static_cast<long>(tickMs) * 1000000;
    return timerfd_settime(a.tickFd, TFD_TIMER_ABSTIME, &schedule, nullptr) == 0 &&
           fd_listen(a.tickFd, FD_READ, tickReady, &a) == 0;
}

void signalHandler(int)
{
    if (stopSignal < 2)
        stopSignal = stopSignal + 1;
}

// The lines' commands that let go of their lines may still be at work (a
// summary to print, a file to write): sipline ends after them, as a shell
// after its jobs.  Once stopped by a signal it waits 5 s at most, by the
// clock (signals cut the sleeps short); a command that still held its line
// then has had its SIGHUP.
void waitForCommands(Agent& a)
{
    using Clock = std::chrono::steady_clock;
    std::optional<Clock::time_point> giveUpAt;
    for (;;) {
        bool left = LineEnd::childrenLeft();
        for (auto& l : a.lines)
            collectCommands(*l);
        if (!left)
            return;
        if (stopSignal && !giveUpAt)
            giveUpAt = Clock::now() + std::chrono::seconds(5);
        if (giveUpAt && Clock::now() >= *giveUpAt)
            return;
        usleep(20000);
    }
}

bool readPassword(Agent& a, std::string& error)
{
    std::ifstream in(a.opt.authFile);
    if (!in) {
        error = "cannot read --auth-file " + a.opt.authFile + ": " + strerror(errno);
        return false;
    }
    struct stat st;
    if (stat(a.opt.authFile.c_str(), &st) == 0 && (st.st_mode & (S_IRGRP | S_IROTH)))
        fprintf(stderr, "sipline: warning: --auth-file %s can be read by others (mode %04o); chmod 600 it\n",
                a.opt.authFile.c_str(), static_cast<unsigned>(st.st_mode & 07777));
    std::getline(in, a.password);
    while (!a.password.empty() && (a.password.back() == '\r' || a.password.back() == ' '))
        a.password.pop_back();
    if (a.password.empty()) {
        error = "--auth-file " + a.opt.authFile + " holds no password";
        return false;
    }
    return true;
}

void registerHandler(int err, const sip_msg* msg, void* arg)
{
    Agent& a = *static_cast<Agent*>(arg);
    if (err)
        fprintf(stderr, "sipline: registration with %s failed: %s\n", a.opt.registrar.c_str(), strerror(err));
    else if (msg->scode >= 300)
        fprintf(stderr, "sipline: registration with %s refused: %u %s\n", a.opt.registrar.c_str(), msg->scode,
                plText(msg->reason).c_str());
    else if (msg->scode >= 200)
        printf("sipline: registered with %s\n", a.opt.registrar.c_str());
    fflush(stdout);
}

} // namespace

int runAgent(const Options& options, const std::vector<LineConfig>& configs)
{
    // SIGINT, SIGTERM and a hang-up of the terminal sipline was started from
    // stop it in order (BYEs sent, the link removed); the tick sees them.
    // The handlers are ours and stay installed: the event loop's own are
    // reset on delivery until they install themselves again, and a second
    // signal in between (timeout(1) signals its child, then its group)
    // killed sipline with its calls up and nothing said.
    struct sigaction stop{};
    stop.sa_handler = signalHandler;
    stop.sa_flags = SA_RESTART;
    sigemptyset(&stop.sa_mask);
    for (int s : {SIGINT, SIGTERM, SIGHUP})
        sigaction(s, &stop, nullptr);
    struct sigaction child{};
    child.sa_handler = childHandler;
    child.sa_flags = SA_RESTART | SA_NOCLDSTOP;
    sigemptyset(&child.sa_mask);
    sigaction(SIGCHLD, &child, nullptr);
    auto agent = std::make_unique<Agent>();
    Agent& a = *agent;
    a.opt = options;
    verboseTrace = options.verbose;
    if (!options.authFile.empty()) {
        std::string error;
        if (!readPassword(a, error)) {
            fprintf(stderr, "sipline: %s\n", error.c_str());
            return 1;
        }
    }
    if (libre_init() != 0) {
        fprintf(stderr, "sipline: libre_init failed\n");
        return 1;
    }
    // After libre_init, which puts a handler of its own on SIGPIPE: a write
    // to a line whose application has gone fails with EPIPE, no signal.
    signal(SIGPIPE, SIG_IGN);
    int status = 1;
    int err = sa_decode(&a.sipAddr, options.sip.c_str(), options.sip.size());
    if (err) {
        fprintf(stderr, "sipline: --sip %s: expected ADDR:PORT with a numeric address\n", options.sip.c_str());
        libre_close();
        return 2;
    }
    sa nsv[8];
    uint32_t nsn = 8;
    char domain[64] = "";
    if (dns_srv_get(domain, sizeof domain, nsv, &nsn) == 0 && nsn > 0)
        dnsc_alloc(&a.dns, nullptr, nsv, nsn);
    err = sip_alloc(&a.sipStack, a.dns, 32, 32, 32, "sipline", stopLoop, nullptr);
    if (!err)
        err = sip_transp_add(a.sipStack, SIP_TRANSP_UDP, &a.sipAddr);
    if (!err)
        err = sip_transp_add(a.sipStack, SIP_TRANSP_TCP, &a.sipAddr);
    if (!err)
        err = sipsess_listen(&a.sock, a.sipStack, 32, connectHandler, &a);
    if (!err)
        err = sip_listen(&a.options, a.sipStack, true, optionsHandler, &a);
    if (err) {
        fprintf(stderr, "sipline: SIP on %s: %s\n", options.sip.c_str(), strerror(err));
        goto out;
    }
    sip_set_trace_handler(a.sipStack, traceHandler);

    for (const auto& c : configs) {
        auto line = std::make_unique<Line>();
        line->agent = &a;
        line->conf = c;
        if (c.exec.empty()) {
            std::string error;
            line->end = std::make_unique<LineEnd>();
            if (!line->end->openPty(c.link, error)) {
                fprintf(stderr, "sipline: %s: %s\n", c.name.c_str(), error.c_str());
                goto out;
            }
            say(*line, "line at %s", c.link.c_str());
        }
        a.lines.push_back(std::move(line));
    }
    if (!options.registrar.empty()) {
        std::string aor = options.from.empty() ? "sip:" + options.user + "@" : options.from;
        if (options.from.empty())
            aor += options.registrar.substr(options.registrar.find(':') + 1);
        const char* routes[1] = {options.outboundProxy.c_str()};
        err = sipreg_register(&a.reg, a.sipStack, options.registrar.c_str(), aor.c_str(), nullptr, aor.c_str(), 600,
                              options.user.c_str(), options.outboundProxy.empty() ? nullptr : routes,
                              options.outboundProxy.empty() ? 0 : 1, 0, authHandler, &a, false, registerHandler, &a,
                              nullptr, nullptr);
        if (err) {
            fprintf(stderr, "sipline: cannot register with %s: %s\n", options.registrar.c_str(), strerror(err));
            goto out;
        }
    }
    printf("sipline: listening for SIP on %s\n", options.sip.c_str());
    fflush(stdout);
    if (options.mode == Mode::Call && !dial(a, *a.lines.front())) {
        status = 1;
        goto out;
    }
    if (!startTick(a)) {
        fprintf(stderr, "sipline: timerfd: %s\n", strerror(errno));
        goto out;
    }
    re_main(nullptr);
    waitForCommands(a);
    status = a.status;
    {
        rusage self, children;
        getrusage(RUSAGE_SELF, &self);
        getrusage(RUSAGE_CHILDREN, &children);
        auto seconds = [](const rusage& r) {
            return static_cast<double>(r.ru_utime.tv_sec + r.ru_stime.tv_sec) +
                   static_cast<double>(r.ru_utime.tv_usec + r.ru_stime.tv_usec) / 1e6;
        };
        printf("sipline: cpu: %.3f s in sipline, %.3f s in the lines' commands\n", seconds(self), seconds(children));
        fflush(stdout);
    }
out:
    tmr_cancel(&a.closeTimer);
    if (a.tickFd >= 0) {
        fd_close(a.tickFd);
        close(a.tickFd);
    }
    for (auto& l : a.lines) {
        l->sess = static_cast<sipsess*>(mem_deref(l->sess));
        releaseMedia(*l);
        l->end.reset();
    }
    a.lines.clear();
    a.reg = static_cast<sipreg*>(mem_deref(a.reg));
    if (a.sipStack)
        sip_close(a.sipStack, true);
    a.sock = static_cast<sipsess_sock*>(mem_deref(a.sock));
    a.options = static_cast<sip_lsnr*>(mem_deref(a.options));
    a.sipStack = static_cast<sip*>(mem_deref(a.sipStack));
    a.dns = static_cast<dnsc*>(mem_deref(a.dns));
    libre_close();
    return status;
}

} // namespace sipline
