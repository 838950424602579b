// Many calls at once: N bridges, each fed by its own line and sound-device
// stand-in at 8000 bytes a second each way in marked chunks, all driven by
// one single-threaded epoll loop (load_run).  For each N the same streams go
// through the floor bridge, socat, and the voicephone daemon with taping off
// and on; the report is one Markdown section.
//
//   load-bench [--calls 1,10,50] [--seconds 8] [--warmup 2] [--rounds 2]
//              [--chunk 160] [--bridges floor,socat,off,on]
#include <algorithm>
#include <cinttypes>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "load_run.h"

using namespace bench;

namespace {

struct Options {
    std::vector<int> calls{1, 10, 50, 100, 200};
    LoadOptions run;
    int rounds = 2;
    std::vector<Bridge> bridges{Bridge::Floor, Bridge::Socat, Bridge::DaemonTapeOff, Bridge::DaemonTapeOn};
};

std::vector<std::string> split(const std::string& s)
{
    std::vector<std::string> parts;
    size_t at = 0;
    while (at <= s.size()) {
        size_t comma = s.find(',', at);
        if (comma == std::string::npos)
            comma = s.size();
        if (comma > at)
            parts.push_back(s.substr(at, comma - at));
        at = comma + 1;
    }
    return parts;
}

bool parseOptions(int argc, char** argv, Options& o)
{
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string key = argv[i], value = argv[i + 1];
        if (key == "--calls") {
            o.calls.clear();
            for (auto& p : split(value))
                o.calls.push_back(atoi(p.c_str()));
        } else if (key == "--seconds") {
            o.run.seconds = atof(value.c_str());
        } else if (key == "--warmup") {
            o.run.warmup = atof(value.c_str());
        } else if (key == "--rounds") {
            o.rounds = atoi(value.c_str());
        } else if (key == "--chunk") {
            o.run.chunk = atoi(value.c_str());
        } else if (key == "--bridges") {
            o.bridges.clear();
            for (auto& p : split(value)) {
                if (p == "floor")
                    o.bridges.push_back(Bridge::Floor);
                else if (p == "socat")
                    o.bridges.push_back(Bridge::Socat);
                else if (p == "off")
                    o.bridges.push_back(Bridge::DaemonTapeOff);
                else if (p == "on")
                    o.bridges.push_back(Bridge::DaemonTapeOn);
                else
                    return false;
            }
        } else {
            return false;
        }
    }
    return (argc % 2) == 1 && o.run.chunk >= static_cast<int>(minMarkedChunk) && o.run.seconds > 0.5 && o.rounds >= 1;
}

std::string ratio(double a, double b) { return a > 0 && b > 0 ? std::to_string(a / b).substr(0, 4) + "×" : "—"; }

} // namespace

int main(int argc, char** argv)
{
    Options opt;
    if (!parseOptions(argc, argv, opt)) {
        fprintf(stderr, "usage: load-bench [--calls 1,10,50] [--seconds 8] [--warmup 2] [--rounds 2] [--chunk 160] "
                        "[--bridges floor,socat,off,on]\n");
        return 2;
    }
    signal(SIGPIPE, SIG_IGN);

    // Every bridge runs once per round, in turn and in the reverse order in
    // the next round, so a change in what else the machine does falls on all
    // of them alike.  Costs are averaged over the rounds; delays and counts
    // are pooled.
    std::vector<LoadResult> all;
    for (int n : opt.calls) {
        std::vector<LoadResult> pooled;
        for (Bridge b : opt.bridges) {
            pooled.emplace_back();
            pooled.back().bridge = b;
            pooled.back().calls = n;
        }
        for (int round = 0; round < opt.rounds; ++round) {
            for (size_t k = 0; k < opt.bridges.size(); ++k) {
                size_t i = round % 2 == 0 ? k : opt.bridges.size() - 1 - k;
                Bridge b = opt.bridges[i];
                fprintf(stderr, "load-bench: %d calls, %s, round %d...\n", n, bridgeName(b), round + 1);
                LoadResult r = runLoad(opt.run, b, n);
                if (!r.ok)
                    fprintf(stderr, "load-bench: %d calls, %s: %s\n", n, bridgeName(b), r.problem.c_str());
                pool(pooled[i], r, opt.rounds);
            }
        }
        for (auto& r : pooled) {
            r.toSound = summarize(r.delayToSound);
            r.toLine = summarize(r.delayToLine);
            all.push_back(std::move(r));
        }
    }

    printf("### Many calls at once\n\n");
    printf("Each call: a pty line and a socket sound device, paced at 8000 bytes/s each way in %d-byte chunks, "
           "phases spread over the %d ms period; %g s measured after %g s of warm-up. CPU from "
           "/proc/PID/schedstat, summed over the processes of a call, in %% of one core. Delay: from a chunk "
           "having wholly entered one stand-in to its last byte leaving at the other, i.e. beyond its own fill "
           "time. Late: delay > 20 ms. Every bridge ran %d time(s) per number of calls, in turn (reversed in every "
           "other round); CPU is the mean of the rounds, delays and counts are pooled.\n\n",
           opt.run.chunk, opt.run.chunk * 1000 / 8000, opt.run.seconds, opt.run.warmup, opt.rounds);
    printf("| calls | bridge | CPU per call | wake-ups per call per s | run-queue wait per wake-up (µs) "
           "| line→sound p50 / p99 / max (ms) | sound→line p50 / p99 / max (ms) "
           "| chunks counted | late | lost | tape bytes checked (bad chunks) | driver CPU |\n");
    printf("|---:|---|---:|---:|---:|---|---|---:|---:|---:|---|---:|\n");
    for (auto& r : all) {
        if (!r.ok) {
            printf("| %d | %s | failed: %s | | | | | | | | | |\n", r.calls, bridgeName(r.bridge), r.problem.c_str());
            continue;
        }
        std::string tape = r.bridge == Bridge::DaemonTapeOn
                               ? std::to_string(r.tapeBytes) + " (" + std::to_string(r.tapeBad) + ")"
                               : "—";
        printf("| %d | %s | %.3f %% | %.0f | %.1f | %.2f / %.2f / %.2f | %.2f / %.2f / %.2f | %" PRIu64 " | %" PRIu64
               " | %" PRIu64 " | %s | %.1f %% |\n",
               r.calls, bridgeName(r.bridge), r.cpuPerCallPct, r.wakeupsPerCall, r.queueWaitUs, r.toSound.p50, r.toSound.p99, r.toSound.max,
               r.toLine.p50, r.toLine.p99, r.toLine.max, r.counted, r.late, r.lost, tape.c_str(), r.driverCpuPct);
    }
    bool oddities = false;
    for (auto& r : all)
        if (r.ok && (r.badBytes || r.stalls || r.strayCodes || r.earlyEnds)) {
            if (!oddities)
                printf("\nIrregularities seen by the stand-ins:\n\n");
            oddities = true;
            printf("- %d calls, %s: %" PRIu64 " bytes skipped to resynchronise, %" PRIu64
                   " chunks not taken at once, %" PRIu64 " stray DLE codes, %" PRIu64 " processes ended early\n",
                   r.calls, bridgeName(r.bridge), r.badBytes, r.stalls, r.strayCodes, r.earlyEnds);
        }

    printf("\n### Cost per call against the floor and socat\n\n");
    printf("Targets: taping off ≤ 1.2 × floor, taping on ≤ 1.5 × floor.\n\n");
    printf("| calls | floor | socat | taping off | ÷ floor | ÷ socat | taping on | ÷ floor | ÷ socat |\n");
    printf("|---:|---:|---:|---:|---:|---:|---:|---:|---:|\n");
    for (int n : opt.calls) {
        double cost[4] = {0, 0, 0, 0};
        for (auto& r : all)
            if (r.calls == n && r.ok)
                cost[static_cast<int>(r.bridge)] = r.cpuPerCallPct;
        auto cell = [](double v) { return v > 0 ? std::to_string(v).substr(0, 5) + " %" : std::string("—"); };
        printf("| %d | %s | %s | %s | %s | %s | %s | %s | %s |\n", n, cell(cost[0]).c_str(), cell(cost[1]).c_str(),
               cell(cost[2]).c_str(), ratio(cost[2], cost[0]).c_str(), ratio(cost[2], cost[1]).c_str(),
               cell(cost[3]).c_str(), ratio(cost[3], cost[0]).c_str(), ratio(cost[3], cost[1]).c_str());
    }
    printf("\n");
    bool allOk = std::all_of(all.begin(), all.end(), [](const LoadResult& r) { return r.ok; });
    return allOk ? 0 : 1;
}

