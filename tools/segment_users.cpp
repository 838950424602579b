#include "segment_users.h"

#include <cstdlib>
#include <dirent.h>
#include <fstream>
#include <sstream>
#include <unistd.h>

namespace callctl {

bool mapsLineIsSegment(const std::string& line, int id)
{
    // address perms offset dev inode path
    std::istringstream in(line);
    std::string address, perms, offset, dev, path;
    unsigned long inode = 0;
    if (!(in >> address >> perms >> offset >> dev >> inode >> path))
        return false;
    return path.rfind("/SYSV", 0) == 0 && inode == static_cast<unsigned long>(id);
}

std::vector<pid_t> processesAttachedTo(int id)
{
    std::vector<pid_t> found;
    DIR* proc = opendir("/proc");
    if (!proc)
        return found;
    while (dirent* e = readdir(proc)) {
        char* end = nullptr;
        long pid = strtol(e->d_name, &end, 10);
        if (pid <= 0 || *end != '\0' || pid == getpid())
            continue;
        std::ifstream maps(std::string("/proc/") + e->d_name + "/maps");
        std::string line;
        while (std::getline(maps, line))
            if (mapsLineIsSegment(line, id)) {
                found.push_back(static_cast<pid_t>(pid));
                break;
            }
    }
    closedir(proc);
    return found;
}

} // namespace callctl
