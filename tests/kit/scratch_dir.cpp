#include "scratch_dir.h"

#include <cstdio>
#include <cstdlib>
#include <ftw.h>
#include <sys/stat.h>

namespace kit {

ScratchDir::ScratchDir()
{
    char pattern[] = "/tmp/orvex-test-XXXXXX";
    if (mkdtemp(pattern))
        path_ = pattern;
    // The daemons may run as another owner in a test: they must reach in.
    chmod(path_.c_str(), 0755);
}

ScratchDir::~ScratchDir()
{
    if (path_.empty())
        return;
    // Depth first and without following links: a link a test planted points
    // out of the folder and only the link goes.
    nftw(
        path_.c_str(), [](const char* p, const struct stat*, int, struct FTW*) { return remove(p); }, 16,
        FTW_DEPTH | FTW_PHYS);
}

} // namespace kit
