// sipline's command line, parsed into plain values.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace sipline {

enum class Mode { Answer, Call, Serve };

struct Options {
    Mode mode = Mode::Answer;
    std::string target;            // call: the SIP URI to dial
    std::string sip = "0.0.0.0:5060";
    uint16_t rtpLow = 10000;
    uint16_t rtpHigh = 20000;
    std::string from;
    std::string registrar;         // --register
    std::string user;
    std::string authFile;
    std::string outboundProxy;
    std::string link;
    std::string exec;
    bool pty = false;
    std::vector<std::string> codecs = {"PCMU", "PCMA"}; // in order of preference
    uint32_t jitterMs = 40;
    uint32_t rtpTimeoutS = 60;     // 0: never
    uint32_t maxSeconds = 0;       // 0: no limit
    uint32_t calls = 0;            // answer: 0 is forever
    bool verbose = false;
    bool help = false;             // --help: print the usage, do nothing else
    bool impair = false;
    double lossPercent = 0;
    uint32_t maxDelayMs = 0;
    uint32_t lines = 1;            // serve --lines
    std::string config;            // serve --config
};

// Parses argv (without the program name).  On a usage fault returns false
// with a one-line reason in `error`.
bool parseOptions(const std::vector<std::string>& args, Options& out, std::string& error);

// "LO-HI", "L,D" and decimal numbers, strictly: no sign, no trailing junk.
bool parseUnsigned(const std::string& text, uint32_t max, uint32_t& out);
bool parsePortRange(const std::string& text, uint16_t& low, uint16_t& high);
bool parseImpairment(const std::string& text, double& lossPercent, uint32_t& maxDelayMs);
bool parseCodecs(const std::string& text, std::vector<std::string>& out);

extern const char usageText[];

} // namespace sipline
