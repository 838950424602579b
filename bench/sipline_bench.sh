#!/usr/bin/env bash
# The SIP line's figures: one 60 s call (RTP send spacing, CPU of sipline
# against the voicephone daemon's), then N calls at once through one
# `sipline serve` and the real daemons (lost and late frames, CPU per line),
# then the same commands on the least a line can cost (line-probe relay).
# Runs as root inside a private network namespace with only loopback; every
# process under timeout.  Prints a Markdown section for bench/RESULTS.md.
#
#   bench/sipline_bench.sh [build folder]     (CALLS=50 SECONDS_ONE=60 SECONDS_MANY=30 KEEP=1 RT=0 FAR_RT=0)
#
# The siplines under test run as sipline@.service runs them, at real-time
# priority (SCHED_FIFO 10, normal again for the commands they start);
# RT=0 runs them as ordinary processes.  The 50 far ends stand for phones
# on machines of their own: they run at SCHED_FIFO 5, so that when the 50
# calls' commands want more than the two cores have, a far end starved of
# them does not pass for a frame sipline lost.  FAR_RT=0 runs them as
# ordinary processes.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
calls=${CALLS:-50}
one=${SECONDS_ONE:-60}
many=${SECONDS_MANY:-30}
# The middle stretch sampled starts 5 s into the one call and 8 s into the
# many, and ends as long before their ends.
if [ "$one" -lt 12 ] || [ "$many" -lt 20 ]; then
    echo "sipline_bench.sh: SECONDS_ONE must be at least 12 and SECONDS_MANY at least 20 (a middle stretch to sample)" >&2
    exit 2
fi

if [ "${SIPLINE_BENCH_INSIDE:-}" != 1 ]; then
    [ "$(id -u)" -eq 0 ] || { echo "sipline_bench.sh: needs root for a private network namespace" >&2; exit 1; }
    cmake --build "$build" -j2 --target sipline callctl voicephone-daemon line-probe >/dev/null
    exec env SIPLINE_BENCH_INSIDE=1 unshare -n "$0" "$@"
fi
ip link set lo up
case $build in /*) bin=$build/bin ;; *) bin=$PWD/$build/bin ;; esac
export ORVEX_BIN_DIR=$bin
if [ "${RT:-1}" = 0 ]; then
    rt=""
    rt_said="ordinary processes (RT=0)"
else
    rt="chrt --reset-on-fork -f 10"
    rt_said="SCHED_FIFO 10 as sipline@.service runs it (RT=0 for ordinary processes)"
fi
if [ "${FAR_RT:-1}" = 0 ]; then
    far_rt=""
    far_said="ordinary processes (FAR_RT=0)"
else
    far_rt="chrt --reset-on-fork -f 5"
    far_said="SCHED_FIFO 5, below the siplines under test, standing for machines of their own (FAR_RT=0 for ordinary processes)"
fi
work=$(mktemp -d /tmp/sipline-bench-XXXXXX)
# KEEP=1 keeps the logs of every process for a look afterwards.
if [ "${KEEP:-}" = 1 ]; then
    echo "sipline_bench.sh: logs kept in $work" >&2
else
    trap 'rm -rf "$work"' EXIT
fi

# Time a process has run, in ns (exact, unlike utime + stime in ticks).
ticks() { awk '{ print $1 }' "/proc/$1/schedstat" 2>/dev/null || echo 0; }
# "pid:ns" for every process with this name in this network namespace
# (the machine may run other people's daemons).
# Shell builtins only: with 50 calls there are hundreds of processes, and a
# fork for each would make one sweep outlast the calls it samples.
ticks_named() {
    local p comm stat
    for p in /proc/[0-9]*; do
        comm=""
        read -r comm < "$p/comm" 2>/dev/null || continue
        [ "$comm" = "$1" ] && [ "$p/ns/net" -ef /proc/$$/ns/net ] || continue
        read -r stat _ < "$p/schedstat" 2>/dev/null || continue
        echo "${p#/proc/}:$stat"
    done
    true
}
# Run time between two ticks_named samples, over the processes in both;
# empty when no process was in both.
ticks_between() {
    local -A first=()
    local entry sum=0 both=0
    for entry in $1; do first[${entry%%:*}]=${entry#*:}; done
    for entry in $2; do
        if [ -n "${first[${entry%%:*}]:-}" ]; then
            sum=$((sum + ${entry#*:} - ${first[${entry%%:*}]}))
            both=$((both + 1))
        fi
    done
    [ "$both" -gt 0 ] && echo "$sum" || echo ""
}
# The process named $2 that the background job $1 (a timeout(1)) runs.
# Its name is checked: until the job has exec'd timeout, the job's children
# are the shell's own (a command substitution in its arguments), which end
# at once and would be sampled as nothing.
child_of() {
    local c comm
    for _ in $(seq 50); do
        for c in $(cat "/proc/$1/task/$1/children" 2>/dev/null); do
            comm=""
            read -r comm < "/proc/$c/comm" 2>/dev/null || continue
            [ "$comm" = "$2" ] && { echo "$c"; return; }
        done
        sleep 0.1
    done
    echo "sipline_bench.sh: process $1 started no $2 within 5 s" >&2
}
hz=1000000000
# After $2 s, the run time of process $1 and of the daemons over the next
# $3 s: sets own_ns, daemons_ns and daemons_seen.
sample_middle() {
    local s0 d0 s1 d1
    sleep "$2"
    s0=$(ticks "$1"); d0=$(ticks_named voicephone-daem)
    sleep "$3"
    s1=$(ticks "$1"); d1=$(ticks_named voicephone-daem)
    # A process that could not be found, or was gone by the end, is not
    # measured rather than measured as 0.
    if [ "$s0" -gt 0 ] && [ "$s1" -gt "$s0" ]; then
        own_ns=$((s1 - s0))
    else
        own_ns=""
        echo "sipline_bench.sh: process '$1' not measured: run time $s0 ns, then $s1 ns" >&2
    fi
    daemons_ns=$(ticks_between "$d0" "$d1")
    daemons_seen="$(wc -w <<<"$d0") then $(wc -w <<<"$d1") processes"
}
# The share of one core for $1 s of run time over $2 s, spread over $3
# lines or calls; "not measured" when there is no reading.
share() {
    if [ -n "$1" ]; then
        awk -v t="$1" -v s="$2" -v n="$3" 'BEGIN { printf "%.4f %%", 100 * t / s / n }'
    else
        echo "not measured"
    fi
}
# The same for $1 ns of run time over the middle stretch.
per_line() { share "${1:+$(awk -v t="$1" -v hz="$hz" 'BEGIN { print t / hz }')}" "$span" "$2"; }
dots() { local n=$(( $1 * 5 )); printf '%*s' "$n" '' | tr ' ' '.'; }
one_dots=$(dots "$one")
many_dots=$(dots "$many")

# µ-law audio without DLE, as a far end's voice.  The far end reads its
# line up to the DLE ETX that ends the call and lets go, as an application
# does, so its sipline ends with the call and prints its figures.
head -c $((8000 * (many + one + 10))) /dev/urandom | tr '\020' '\021' > "$work/voice.ul"
far_cmd="exec bash -c 'cat $work/voice.ul >&\$SIPLINE_FD & exec $bin/line-probe receive /dev/null'"

# --- One call -------------------------------------------------------------
timeout $((one + 30)) $rt "$bin/sipline" --sip 127.0.0.1:5060 --rtp-ports 20000-20999 --calls 1 \
    --exec "cd $work && printf '$one_dots' | exec timeout $((one + 20)) $bin/callctl call --line fd:\$SIPLINE_FD" \
    answer > "$work/one.log" 2>&1 &
serve=$(child_of $! sipline)
sleep 0.5
timeout $((one + 30)) $rt "$bin/sipline" --sip 127.0.0.1:6000 --rtp-ports 30000-30999 --max-seconds $((one + 5)) \
    --exec "$far_cmd" call sip:line@127.0.0.1:5060 > "$work/one-far.log" 2>&1 &
# The machine's own floor beside it: an empty loop on the same schedule.
$rt "$bin/line-probe" tick "$one" > "$work/floor.log" &
floor_pid=$!
sample_middle "$serve" 5 $((one - 10))
wait
wait "$floor_pid" || true
# A process that died before its figures leaves its row "not reported"
# rather than ending the bench without a word.
spacing=$(grep -o 'spacing off 20 ms by [0-9.]* ms at p99 (worst [0-9.]* ms)' "$work/one-far.log" | head -1 || true)
floor=$(grep -o 'spacing off 20 ms by [0-9.]* ms at p99 (worst [0-9.]* ms)' "$work/floor.log" | head -1 || true)
one_line=$(grep 'call figures' "$work/one.log" | head -1 | sed 's/^sipline: line: //' || true)
span=$((one - 10))
# sipline's own CPU over its whole run (it prints it at exit), per second of call.
own_cpu() { grep -o 'cpu: [0-9.]* s in sipline' "$1" | awk '{ print $2 }' || true; }
cpu_s=$(share "$(own_cpu "$work/one.log")" "$one" 1)
# The lines' commands (callctl, its stand-ins and voicephone-daemon), as
# sipline saw them end (getrusage of its children): an upper bound for the
# daemon's own share.
app_cpu() { grep -o "s in sipline, [0-9.]* s in the lines' commands" "$1" | awk '{ print $4 }' || true; }
cpu_d=$(share "$(app_cpu "$work/one.log")" "$one" 1)
cpu_dd=$(per_line "$daemons_ns" 1)
# sipline over the same middle stretch as the daemon, from its schedstat.
cpu_ss=$(per_line "$own_ns" 1)

# --- Line to line -----------------------------------------------------------
# A marker written into the far end's line every half second, timed where
# it is written and where it comes out of the near end's line: the far
# sipline's line-to-RTP path plus the near sipline's RTP-to-line path, at
# the default playout delay.
timeout 60 $rt "$bin/sipline" --sip 127.0.0.1:5060 --rtp-ports 20000-20999 --calls 1 \
    --exec "exec $bin/line-probe receive $work/received.log" answer > "$work/near-probe.log" 2>&1 &
sleep 0.5
timeout 60 $rt "$bin/sipline" --sip 127.0.0.1:6000 --rtp-ports 30000-30999 \
    --exec "exec $bin/line-probe send $work/sent.log 20" call sip:line@127.0.0.1:5060 > "$work/far-probe.log" 2>&1 &
wait
latency=$(awk 'NR == FNR { sent[$1] = $2; next } ($1 in sent) { print ($2 - sent[$1]) / 1e6 }' \
    "$work/sent.log" "$work/received.log" | sort -n |
    awk '{ v[NR] = $1 } END { if (NR == 0) { print "not measured"; exit }
          printf "%.1f ms median, %.1f ms at p99, %.1f ms worst, over %d markers", v[int((NR + 1) / 2)], v[int(NR * 0.99 + 0.999)], v[NR], NR }')

# --- Many calls -------------------------------------------------------------
timeout $((many + 60)) $rt "$bin/sipline" --sip 127.0.0.1:5060 --rtp-ports 20000-20999 --calls "$calls" \
    --exec "cd $work && printf '$many_dots' | exec timeout $((many + 40)) $bin/callctl call --line fd:\$SIPLINE_FD --tape $work/tape-\$\$" \
    serve --lines "$calls" > "$work/many.log" 2>&1 &
serve=$(child_of $! sipline)
sleep 0.5
for k in $(seq 1 "$calls"); do
    timeout $((many + 60)) $far_rt "$bin/sipline" --sip 127.0.0.1:$((6000 + 2 * k)) --rtp-ports $((30000 + 20 * k))-$((30019 + 20 * k)) \
        --max-seconds $((many + 10)) --exec "$far_cmd" call "sip:line$k@127.0.0.1:5060" > "$work/far-$k.log" 2>&1 &
done
sample_middle "$serve" 8 $((many - 15))
msampled=$daemons_seen
wait
span=$((many - 15))
mcpu_s=$(share "$(own_cpu "$work/many.log")" "$many" "$calls")
mcpu_d=$(share "$(app_cpu "$work/many.log")" "$many" "$calls")
mcpu_dd=$(per_line "$daemons_ns" "$calls")
mcpu_ss=$(per_line "$own_ns" "$calls")
answered=$(grep -c 'answered' "$work/many.log" || true)
# The sum of the counts the logs give before TEXT, and how many calls gave
# one: "not reported" when none did.
total() {
    local text=$1
    shift
    grep -ho "[0-9]* $text" "$@" | awk '{ s += $1 } END { print NR ? s " (" NR " calls)" : "not reported" }' || true
}
missing=$(total 'samples missing' "$work/many.log")
late=$(total 'late' "$work/many.log")
under=$(total 'underruns toward' "$work/many.log")
dropped=$(total 'frames the line did not take' "$work/many.log")
far_missing=$(total 'samples missing' "$work"/far-[0-9]*.log)
far_spacing=$(cat "$work"/far-[0-9]*.log | grep -o 'by [0-9.]* ms at p99' |
    awk '{ if ($2 > m) m = $2 } END { print NR ? m " ms (" NR " far ends)" : "not reported" }' || true)

# --- The floor of a line ----------------------------------------------------
# The same commands on lines of `line-probe relay`, which does for each
# line and tick only the system calls sipline cannot do without, against a
# far relay: what a line costs before sipline does anything of its own.
timeout $((many + 60)) $rt "$bin/line-probe" relay "$calls" 20000 30000 "$many" \
    "cd $work && printf '$many_dots' | exec timeout $((many + 40)) $bin/callctl call --line fd:\$SIPLINE_FD --tape $work/floor-tape-\$\$" \
    > "$work/floor-relay.log" 2>&1 &
relay=$(child_of $! line-probe)
timeout $((many + 60)) $far_rt "$bin/line-probe" relay "$calls" 30000 20000 "$many" > "$work/floor-far.log" 2>&1 &
sample_middle "$relay" 8 $((many - 15))
wait
fcpu_r=$(per_line "$own_ns" "$calls")
fcpu_dd=$(per_line "$daemons_ns" "$calls")
over_floor=$(awk -v a="$mcpu_ss" -v b="$fcpu_r" 'BEGIN { if (a + 0 > 0 && b + 0 > 0) printf "%.2f×", a / b; else print "not measured" }')

cat <<END
## The SIP line (sipline)

Written by \`bench/sipline_bench.sh\` on $(date -u '+%Y-%m-%d %H:%M') UTC, $(nproc) cores, in a private
network namespace (loopback only).  The far ends are \`sipline call\` processes
writing µ-law noise into their socket line; the near end is \`sipline\` with
\`callctl call --line fd:\$SIPLINE_FD\` (the real voicephone daemon) per call.
The siplines under test run as ${rt_said}.
The ${calls} far ends run as ${far_said}.
CPU, in % of one core: sipline's own over its whole run (getrusage, printed at its exit), and
sipline's and the daemons' from /proc/PID/schedstat over the same middle stretch of the calls.

| figure | value |
|---|---|
| one ${one} s call: RTP send spacing of the far end's sipline | ${spacing:-not reported} |
| the machine's floor beside it: an empty loop on the same 20 ms timerfd schedule | ${floor:-not reported} |
| line to line through two siplines (line to RTP, RTP to line), default playout delay | ${latency} |
| one call: sipline's own figures | ${one_line:-not reported} |
| one call: CPU of sipline (one line) over the whole run | ${cpu_s} |
| one call: CPU of sipline sampled in the middle, beside the daemon's | ${cpu_ss} |
| one call: CPU of the line's command (callctl and voicephone-daemon) | ${cpu_d} |
| one call: CPU of voicephone-daemon's processes sampled in the middle | ${cpu_dd} |
| ${calls} calls at once: answered | ${answered} |
| ${calls} calls: CPU per line of \`sipline serve\` over the whole run (with call set-up and starting each line's command) | ${mcpu_s} |
| ${calls} calls: CPU per line of \`sipline serve\` sampled in the middle, beside the daemons' | ${mcpu_ss} |
| ${calls} calls: CPU per call of the lines' commands (callctl and voicephone-daemon) | ${mcpu_d} |
| ${calls} calls: CPU per call of voicephone-daemon's processes sampled in the middle (${msampled}) | ${mcpu_dd} |
| ${calls} calls: samples the near end missed (after each stream's start) | ${missing} |
| ${calls} calls: samples that came too late | ${late} |
| ${calls} calls: underruns toward the far ends (the daemon wrote nothing in time) | ${under} |
| ${calls} calls: frames the lines did not take | ${dropped} |
| ${calls} calls: samples the far ends missed | ${far_missing} |
| ${calls} calls: worst p99 send spacing of the far ends | ${far_spacing} |
| ${calls} lines of \`line-probe relay\` with the same commands: CPU per line sampled in the middle | ${fcpu_r} |
| ${calls} lines of \`line-probe relay\`: CPU per call of voicephone-daemon's processes, same stretch | ${fcpu_dd} |
| sipline per line ÷ the relay per line | ${over_floor} |
END
