// The processes that have a System V shared-memory segment attached, found
// by their memory maps: the kernel lists a SysV segment as "/SYSV<key>"
// with the segment id as the inode number.
#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

namespace callctl {

// Whether one line of /proc/PID/maps maps segment `id`.
bool mapsLineIsSegment(const std::string& line, int id);

// Every process (but this one) with segment `id` attached, as far as this
// user may look.
std::vector<pid_t> processesAttachedTo(int id);

} // namespace callctl
