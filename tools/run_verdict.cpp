#include "run_verdict.h"

#include "record_view.h"

namespace callctl {

std::vector<std::string> complaintsAmong(const std::vector<std::string>& errorLines)
{
    std::vector<std::string> out;
    for (const auto& l : errorLines) {
        bool dying = l.size() >= 5 && l.compare(l.size() - 5, 5, "Dying") == 0;
        if (!dying && !l.empty())
            out.push_back(l);
    }
    return out;
}

Verdict judgeRun(const RunFacts& f)
{
    Verdict v;
    std::vector<std::string> said = complaintsAmong(f.errorLines);
    auto quoted = [&] {
        // A warning may come before the cause, so the first few are quoted.
        std::string q;
        for (size_t i = 0; i < said.size() && i < 3; ++i)
            q += (i ? ", \"" : "\"") + said[i] + "\"";
        if (said.size() > 3)
            q += " (and " + std::to_string(said.size() - 3) + " more line" + (said.size() > 4 ? "s" : "") + ")";
        return q;
    };
    if (!f.exitStatus) {
        v.ok = false;
        v.problem = f.program + (f.termSignal ? " was killed by signal " + std::to_string(f.termSignal)
                                              : std::string(" did not end"));
    } else if (*f.exitStatus != 0) {
        v.ok = false;
        v.problem = f.program + " ended with status " + std::to_string(*f.exitStatus);
    }
    if (!v.ok) {
        if (!said.empty())
            v.problem += ": " + quoted();
        return v;
    }
    if (!said.empty()) {
        v.ok = false;
        v.problem = f.program + " said " + quoted();
        return v;
    }
    if (f.errorFlag && !f.cutOffByHangUp) {
        v.ok = false;
        v.problem = f.program + " set errorFlag without saying why";
        return v;
    }
    // A full tape is the asked end when the next chunk would not have fit
    // within the limit; any earlier, the tape stopped short of it.
    if (f.tapeFull && uint64_t(f.tapeLength) + f.chunkSize <= f.tapeLimit) {
        v.ok = false;
        v.problem = f.program + " reported the tape full at " + tapeTime(f.tapeLength, true) + ", before the limit of " +
                    tapeTime(f.tapeLimit, true);
    }
    return v;
}

} // namespace callctl
