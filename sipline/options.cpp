#include "options.h"

#include <cstdlib>

namespace sipline {

const char usageText[] =
    "usage: sipline [--sip ADDR:PORT] [--rtp-ports LO-HI] [--from SIP-URI]\n"
    "               [--register SIP-URI --user NAME --auth-file FILE] [--outbound-proxy SIP-URI]\n"
    "               [--link PATH] [--exec CMD [--pty]] [--codecs pcmu,pcma] [--jitter MS]\n"
    "               [--rtp-timeout S] [--max-seconds S] [--calls N] [--verbose]\n"
    "               [--impair-rx LOSS%,MAXDELAY_MS]\n"
    "               answer | call SIP-URI | serve --lines N | serve --config FILE\n";

bool parseUnsigned(const std::string& text, uint32_t max, uint32_t& out)
{
    if (text.empty() || text.size() > 10)
        return false;
    uint64_t v = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
        v = v * 10 + static_cast<uint64_t>(c - '0');
    }
    if (v > max)
        return false;
    out = static_cast<uint32_t>(v);
    return true;
}

bool parsePortRange(const std::string& text, uint16_t& low, uint16_t& high)
{
    auto dash = text.find('-');
    uint32_t lo, hi;
    if (dash == std::string::npos || !parseUnsigned(text.substr(0, dash), 65535, lo) ||
        !parseUnsigned(text.substr(dash + 1), 65535, hi))
        return false;
    // RTP takes an even port and the odd one above it for RTCP.
    if (lo == 0 || hi < lo + 1)
        return false;
    low = static_cast<uint16_t>(lo);
    high = static_cast<uint16_t>(hi);
    return true;
}

bool parseImpairment(const std::string& text, double& lossPercent, uint32_t& maxDelayMs)
{
    auto comma = text.find(',');
    if (comma == std::string::npos || comma == 0)
        return false;
    std::string loss = text.substr(0, comma);
    if (loss.back() == '%')
        loss.pop_back();
    char* end = nullptr;
    double l = std::strtod(loss.c_str(), &end);
    if (loss.empty() || *end != '\0' || !(l >= 0 && l <= 100))
        return false;
    if (!parseUnsigned(text.substr(comma + 1), 10000, maxDelayMs))
        return false;
    lossPercent = l;
    return true;
}

bool parseCodecs(const std::string& text, std::vector<std::string>& out)
{
    out.clear();
    size_t start = 0;
    while (start <= text.size()) {
        size_t comma = text.find(',', start);
        std::string name = text.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        for (char& c : name)
            c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        if (name != "PCMU" && name != "PCMA")
            return false;
        for (const auto& seen : out)
            if (seen == name)
                return false;
        out.push_back(name);
        if (comma == std::string::npos)
            break;
        start = comma + 1;
    }
    return !out.empty();
}

bool parseOptions(const std::vector<std::string>& args, Options& o, std::string& error)
{
    size_t i = 0;
    auto value = [&](const std::string& name, std::string& into) {
        if (i + 1 >= args.size()) {
            error = name + " needs a value";
            return false;
        }
        into = args[++i];
        return true;
    };
    auto number = [&](const std::string& name, uint32_t max, uint32_t& into) {
        std::string v;
        if (!value(name, v))
            return false;
        if (!parseUnsigned(v, max, into)) {
            error = name + ": not a number up to " + std::to_string(max) + ": " + v;
            return false;
        }
        return true;
    };
    bool haveMode = false;
    for (; i < args.size(); i++) {
        const std::string& a = args[i];
        std::string v;
        if (a == "--sip") {
            if (!value(a, o.sip))
                return false;
        } else if (a == "--rtp-ports") {
            if (!value(a, v))
                return false;
            if (!parsePortRange(v, o.rtpLow, o.rtpHigh)) {
                error = "--rtp-ports: expected LO-HI with at least two ports: " + v;
                return false;
            }
        } else if (a == "--from") {
            if (!value(a, o.from))
                return false;
        } else if (a == "--register") {
            if (!value(a, o.registrar))
                return false;
        } else if (a == "--user") {
            if (!value(a, o.user))
                return false;
        } else if (a == "--auth-file") {
            if (!value(a, o.authFile))
                return false;
        } else if (a == "--outbound-proxy") {
            if (!value(a, o.outboundProxy))
                return false;
        } else if (a == "--link") {
            if (!value(a, o.link))
                return false;
        } else if (a == "--exec") {
            if (!value(a, o.exec))
                return false;
        } else if (a == "--pty") {
            o.pty = true;
        } else if (a == "--codecs") {
            if (!value(a, v))
                return false;
            if (!parseCodecs(v, o.codecs)) {
                error = "--codecs: expected pcmu, pcma or both, comma-separated: " + v;
                return false;
            }
        } else if (a == "--jitter") {
            if (!number(a, 1000, o.jitterMs))
                return false;
        } else if (a == "--rtp-timeout") {
            if (!number(a, 86400, o.rtpTimeoutS))
                return false;
        } else if (a == "--max-seconds") {
            if (!number(a, 86400 * 7, o.maxSeconds))
                return false;
        } else if (a == "--calls") {
            if (!number(a, 1000000000, o.calls))
                return false;
        } else if (a == "--help" || a == "-h") {
            o.help = true; // nothing else is checked: the usage is all that is wanted
            return true;
        } else if (a == "--verbose") {
            o.verbose = true;
        } else if (a == "--impair-rx") {
            if (!value(a, v))
                return false;
            if (!parseImpairment(v, o.lossPercent, o.maxDelayMs)) {
                error = "--impair-rx: expected LOSS%,MAXDELAY_MS: " + v;
                return false;
            }
            o.impair = true;
        } else if (a == "--lines") {
            if (!number(a, 1000, o.lines))
                return false;
            if (o.lines == 0) {
                error = "--lines: at least 1";
                return false;
            }
        } else if (a == "--config") {
            if (!value(a, o.config))
                return false;
        } else if (!haveMode && a == "answer") {
            o.mode = Mode::Answer;
            haveMode = true;
        } else if (!haveMode && a == "serve") {
            o.mode = Mode::Serve;
            haveMode = true;
        } else if (!haveMode && a == "call") {
            if (i + 1 >= args.size()) {
                error = "call needs a SIP URI";
                return false;
            }
            o.mode = Mode::Call;
            o.target = args[++i];
            haveMode = true;
        } else {
            error = "unexpected argument: " + a;
            return false;
        }
    }
    if (!haveMode) {
        error = "missing command: answer, call SIP-URI or serve";
        return false;
    }
    if (o.pty && o.exec.empty()) {
        error = "--pty goes with --exec";
        return false;
    }
    if (!o.exec.empty() && !o.link.empty()) {
        error = "--link and --exec are two ways to hand over the line: choose one";
        return false;
    }
    if (o.mode != Mode::Serve && o.exec.empty() && o.link.empty()) {
        error = "no line: give --link PATH or --exec CMD";
        return false;
    }
    if (o.mode == Mode::Serve && o.exec.empty() && o.link.empty() && o.config.empty()) {
        error = "serve needs --config FILE, or --lines N with --link or --exec";
        return false;
    }
    if (!o.registrar.empty() && (o.user.empty() || o.authFile.empty())) {
        error = "--register needs --user and --auth-file";
        return false;
    }
    return true;
}

} // namespace sipline
