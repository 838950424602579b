#include "status_line.h"

#include <cstdio>

#include "control_block_view.h"

namespace callctl {

size_t statusWidth(int columns)
{
    return columns > 1 ? static_cast<size_t>(columns - 1) : 79;
}

std::string formatStatus(const StatusInfo& s, size_t width)
{
    char head[160];
    if (s.progress.empty())
        snprintf(head, sizeof head, "%5.1fs %-8s tape %s/%s %s", s.elapsed, s.phase.c_str(),
                 tapeTime(s.position).c_str(), tapeTime(s.length).c_str(), s.taping ? "REC" : "---");
    else
        snprintf(head, sizeof head, "%5.1fs %s", s.elapsed, s.progress.c_str());
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
    size_t columns = 0, at = 0;
    for (; at < line.size(); ++at) {
        bool continuation = (static_cast<unsigned char>(line[at]) & 0xC0) == 0x80;
        if (!continuation && ++columns > width)
            break;
    }
    line.resize(at);
    return line;
}

void LiveLine::enable(bool on)
{
    std::lock_guard lock(mutex_);
    enabled_ = on;
    if (!on && shown_) {
        fputs("\r\x1b[K", out_);
        fflush(out_);
        shown_ = false;
    }
}

bool LiveLine::enabled() const
{
    std::lock_guard lock(mutex_);
    return enabled_;
}

void LiveLine::draw(const std::string& status)
{
    std::lock_guard lock(mutex_);
    if (!enabled_)
        return;
    fprintf(out_, "\r%s\x1b[K", status.c_str());
    fflush(out_);
    shown_ = true;
}

void LiveLine::print(const std::string& line)
{
    std::lock_guard lock(mutex_);
    fprintf(out_, "%s%s\n", shown_ ? "\r\x1b[K" : "", line.c_str());
    fflush(out_);
    shown_ = false;
}

} // namespace callctl
