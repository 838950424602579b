// One run of the many-calls benchmark: N calls through one kind of bridge,
// every stand-in paced at 8000 bytes a second each way in marked chunks and
// driven by one single-threaded epoll loop.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "marks.h"

namespace bench {

enum class Bridge { Floor, Socat, DaemonTapeOff, DaemonTapeOn };
const char* bridgeName(Bridge b);

struct LoadOptions {
    double seconds = 8; // measured
    double warmup = 2;  // before the measured window
    int chunk = 160;    // chunkSize, and the size of a marked chunk
};

struct LoadResult {
    Bridge bridge{};
    int calls = 0;
    bool ok = true;
    std::string problem;
    double cpuPerCallPct = 0; // of one core, every process of a call
    double driverCpuPct = 0;  // of one core, this process
    double wakeupsPerCall = 0; // per second: times the processes of a call were put on a processor
    double queueWaitUs = 0;    // mean wait on a run queue per such time
    std::vector<double> delayToSound, delayToLine; // ms, chunks sent in the measured window
    Summary toSound, toLine;                       // filled in by the caller
    uint64_t late = 0, lost = 0, counted = 0;      // of the chunks sent in the measured window
    uint64_t badBytes = 0, stalls = 0, strayCodes = 0;
    uint64_t tapeBytes = 0, tapeChunks = 0, tapeBad = 0; // taping on only
    uint64_t earlyEnds = 0;                               // processes gone before the window ended
};

LoadResult runLoad(const LoadOptions& options, Bridge bridge, int calls);

// Adds one round's result to the pooled one: costs averaged over `rounds`,
// delays and counts pooled.  A failed round fails the pool.
void pool(LoadResult& into, const LoadResult& r, int rounds);

} // namespace bench
