#include "status_line.h"

#include <cstdio>

#include "control_block_view.h"

namespace callctl {

std::string formatStatus(const StatusInfo& s, size_t width)
{
    char head[96];
    snprintf(head, sizeof head, "%5.1fs %-8s tape %s/%s %s", s.elapsed, s.phase.c_str(),
             tapeTime(s.position).c_str(), tapeTime(s.length).c_str(), s.taping ? "REC" : "---");
    std::string line = head;
    if (s.hold)
        line += " HOLD";
    if (s.tapeFull)
        line += " FULL";
    if (s.error)
        line += " ERROR";
    if (!s.touchtones.empty()) {
        // The newest keys matter; older ones scroll off.
        std::string keys = s.touchtones.size() > 12 ? s.touchtones.substr(s.touchtones.size() - 12) : s.touchtones;
        line += " keys " + keys;
    }
    if (!s.remoteCode.empty())
        line += " code " + s.remoteCode;
    if (!s.lastEvent.empty())
        line += " | " + s.lastEvent;
    if (line.size() > width)
        line.resize(width);
    return line;
}

} // namespace callctl
