// Whether a daemon's run did what was asked, judged from what callctl saw:
// its exit, the error words of the control block and the lines it printed
// on standard error.  A run is only a success when nothing says otherwise.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace callctl {

struct RunFacts {
    std::string program;             // "record-daemon"
    std::optional<int> exitStatus;   // nullopt: killed or did not end
    int termSignal = 0;
    bool errorFlag = false;
    bool tapeFull = false;
    // For tapeFull: how long the tape came to and the limit asked for (bytes).
    uint32_t tapeLength = 0;
    uint32_t tapeLimit = 0;
    uint32_t chunkSize = 0;
    // errorFlag set by the end of a call while the caller was recorded: the
    // daemon's way to say the recording was cut off by the hang-up.
    bool cutOffByHangUp = false;
    std::vector<std::string> errorLines; // what it printed on standard error
};

struct Verdict {
    bool ok = true;
    std::string problem; // one line: what went wrong, the daemon's words quoted
};

Verdict judgeRun(const RunFacts& f);

// Every line a daemon printed on standard error counts as a complaint,
// except the "Dying" lines some builds print there.
std::vector<std::string> complaintsAmong(const std::vector<std::string>& errorLines);

} // namespace callctl
