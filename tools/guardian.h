// What ends a run when callctl can't: a small process forked at the start
// that waits on a pipe from callctl.  If callctl ends without releasing it
// (killed with SIGKILL, say, alone or with its whole process group), the
// pipe closes and the guardian asks the daemons to end through the control
// block, stops their process groups if they don't, and removes the segment.
// A clean end of callctl releases it and it goes without touching anything.
#pragma once

#include <sys/types.h>

namespace callctl {

class Guardian {
public:
    Guardian() = default;
    ~Guardian(); // releases
    Guardian(const Guardian&) = delete;
    Guardian& operator=(const Guardian&) = delete;

    bool start(int segmentId);
    void protect(pid_t processGroup); // a daemon callctl started
    void release();

private:
    int pipe_ = -1;
    pid_t pid_ = -1;
};

} // namespace callctl
