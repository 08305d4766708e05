#!/usr/bin/env bash
# The performance figures: builds the release, runs every benchmark PERF_REPS times and prints the
# medians with their spreads as Markdown tables (also kept in <out>/report.md with the raw JSON).
#   scripts/perf.sh [build dir]        default: build/release
# Environment: PERF_REPS (9), PERF_IDLE_SECONDS (60), PERF_IDLE_REPS (3), PERF_OUT (<build>/perf).
# The window runs under Xvfb when it is installed and no DISPLAY is set (as well as offscreen).
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${1:-$ROOT/build/release}
REPS=${PERF_REPS:-9}
IDLE_SECONDS=${PERF_IDLE_SECONDS:-60}
IDLE_REPS=${PERF_IDLE_REPS:-3}
OUT=${PERF_OUT:-$BUILD/perf}
mkdir -p "$BUILD" "$OUT"
BUILD=$(cd "$BUILD" && pwd)
OUT=$(cd "$OUT" && pwd)

# Several builds may share this machine; take the team's build lock when flock is there.
locked() { if command -v flock >/dev/null; then flock /tmp/velmorant-build.lock "$@"; else "$@"; fi; }
if [ ! -f "$BUILD/CMakeCache.txt" ]; then
    cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
fi
locked cmake --build "$BUILD" --target velmorant-bench velmorant-sim velmorant -j "${JOBS:-2}" >"$OUT/build.log"
BENCH=$BUILD/bench/velmorant-bench

XVFB_PID=""
cleanup() {
    if [ -n "$XVFB_PID" ] && kill -0 "$XVFB_PID" 2>/dev/null; then
        kill -TERM "$XVFB_PID"
        wait "$XVFB_PID" 2>/dev/null || true
    fi
}
trap cleanup EXIT

{
    echo "date: $(date -u '+%Y-%m-%d %H:%M UTC')"
    echo "cpu: $(lscpu | sed -n 's/^Model name: *//p') ($(nproc) cores online)"
    echo "memory: $(awk '/MemTotal/ {printf "%.1f GiB", $2 / 1048576}' /proc/meminfo)"
    echo "kernel: $(uname -r)"
    echo "compiler: $(c++ --version | head -n1)"
    echo "qt: $(dpkg-query -W -f='${Version}' qt6-base-dev 2>/dev/null || echo unknown)"
    echo "serial nodes: $(ls /dev/ttyACM* /dev/ttyUSB* /dev/ttyS* 2>/dev/null | tr '\n' ' ')"
} >"$OUT/machine.txt"
: >"$OUT/alongside.txt"

# What else ran: the load, the busiest processes of the moment, and how busy the whole machine
# was during each phase (all cores, this script's own work included).
cpu_times() { awk '/^cpu / {print $2 + $3 + $4 + $7 + $8, $2 + $3 + $4 + $5 + $6 + $7 + $8}' /proc/stat; }
snapshot() {
    {
        echo "== $1: load $(cut -d' ' -f1-3 /proc/loadavg)"
        top -b -w 200 -n 2 -d 0.5 -o %CPU | awk '/^top -/ {frame++} frame == 2 && /^ *[0-9]+ / && $9 > 1 {print "   ", $9 "%", $12}' | head -n 6
    } >>"$OUT/alongside.txt"
}
begin_phase() { snapshot "before $1"; PHASE_CPU=$(cpu_times); }
end_phase() {
    local busy total busy0 total0
    read -r busy total <<<"$(cpu_times)"
    read -r busy0 total0 <<<"$PHASE_CPU"
    echo "== $1: the machine was $(( 100 * (busy - busy0) / (total - total0) ))% busy over $(nproc) cores" >>"$OUT/alongside.txt"
    snapshot "after $1"
}

run() { # name, then arguments for the benchmark binary
    local name=$1
    shift
    begin_phase "$name"
    echo "-- $name" >&2
    nice -n 0 "$BENCH" --benchmark_repetitions="$REPS" --benchmark_display_aggregates_only=true \
        --benchmark_out="$OUT/$name.json" --benchmark_out_format=json "$@" >&2
    end_phase "$name"
}

# Repetitions in random order, so that a burst of load elsewhere does not fall on one benchmark
# alone (the program's tick and its peer above all).
run core --benchmark_enable_random_interleaving=true \
    --benchmark_filter='^BM_(Exchange|MonitorTick|PeerTick|FullRetrieval|Save|Recall|Enumerate)'
DISPLAY='' run window-offscreen --benchmark_filter='^BM_WindowStart'

IDLE_DISPLAY=""
if [ -z "${DISPLAY:-}" ] && command -v Xvfb >/dev/null; then
    for n in $(seq 140 180); do
        if [ ! -e "/tmp/.X11-unix/X$n" ] && [ ! -e "/tmp/.X$n-lock" ]; then break; fi
    done
    Xvfb ":$n" -screen 0 1024x860x24 -nolisten tcp >"$OUT/xvfb.log" 2>&1 &
    XVFB_PID=$!
    # Xvfb makes its socket once it accepts clients.
    for _ in $(seq 50); do [ -e "/tmp/.X11-unix/X$n" ] && break; sleep 0.1; done
    IDLE_DISPLAY=":$n"
    DISPLAY=":$n" run window-xvfb --benchmark_filter='^BM_WindowStart'
elif [ -n "${DISPLAY:-}" ]; then
    IDLE_DISPLAY=$DISPLAY
    run window-display --benchmark_filter='^BM_WindowStart'
fi

REPS=$IDLE_REPS DISPLAY=$IDLE_DISPLAY VELMORANT_IDLE_SECONDS=$IDLE_SECONDS VELMORANT_XSERVER_PID=$XVFB_PID \
    run idle --benchmark_filter='^BM_WindowIdleCpu'

python3 - "$OUT" >"$OUT/report.md" <<'EOF'
import json, os, statistics, sys

out = sys.argv[1]
KNOWN = {"name", "family_index", "per_family_instance_index", "run_name", "run_type", "repetitions",
         "repetition_index", "threads", "iterations", "real_time", "cpu_time", "time_unit",
         "aggregate_name", "aggregate_unit", "error_occurred", "error_message", "label"}


def load(name):
    path = os.path.join(out, name + ".json")
    if not os.path.exists(path):
        return {}
    runs = {}
    for b in json.load(open(path))["benchmarks"]:
        if b.get("run_type") != "iteration" or b.get("error_occurred"):
            continue
        r = runs.setdefault(b["run_name"], {"unit": b["time_unit"], "time": [], "counters": {}})
        r["time"].append(b["real_time"])
        for k, v in b.items():
            if k not in KNOWN and isinstance(v, (int, float)):
                r["counters"].setdefault(k, []).append(v)
    return runs


def stats(values):
    med = statistics.median(values)
    mean = statistics.fmean(values)
    sd = statistics.stdev(values) if len(values) > 1 else 0.0
    return med, mean, sd, (100 * sd / mean if mean else 0.0), min(values), max(values)


def fmt(v):
    if abs(v) < 1e-6:
        return "0"
    return "%.3g" % v if abs(v) < 100 else "%.0f" % v


def spread(values, unit=""):
    med, mean, sd, cv, lo, hi = stats(values)
    return "%s%s" % (fmt(med), unit), "%s%s (cv %.1f%%), %s..%s" % (fmt(sd), unit, cv, fmt(lo), fmt(hi))


def find(runs, prefix):
    for k, v in runs.items():
        if k.startswith(prefix):
            return v
    return None


core = load("core")
print("## Exchanges against the wire (n = %d each)\n" % len(next(iter(core.values()))["time"]) if core else "")
print("| Benchmark | median | stddev (cv), min..max | thread CPU (median) | wire bytes | wire time | median / wire |")
print("|---|---|---|---|---|---|---|")
medians = {}
for label, prefix in [("one exchange (VER)", "BM_Exchange"), ("monitor tick, 12 exchanges", "BM_MonitorTick"),
                      ("peer tick, pyserial", "BM_PeerTick"), ("full retrieval, 77 exchanges", "BM_FullRetrieval")]:
    r = find(core, prefix)
    if not r:
        continue
    unit = " " + r["unit"]
    med, sp = spread(r["time"], unit)
    medians[prefix] = statistics.median(r["time"]) * {"us": 1e-3, "ms": 1.0, "ns": 1e-6, "s": 1e3}[r["unit"]]
    c = r["counters"]
    wire_ms = statistics.median(c["wire_ms"])
    print("| %s | %s | %s | %s us | %s | %s ms | %.2f%% |" % (
        label, med, sp, fmt(statistics.median(c["thread_cpu_us"])), fmt(statistics.median(c["wire_bytes"])),
        fmt(wire_ms), 100 * medians[prefix] / wire_ms))
if "BM_PeerTick" in medians and "BM_MonitorTick" in medians:
    print("\nPeer / program, ratio of the tick medians: %.2f" % (medians["BM_PeerTick"] / medians["BM_MonitorTick"]))

print("\n## Settings files and port listing\n")
print("| Benchmark | median | stddev (cv), min..max | extra |")
print("|---|---|---|---|")
for name, r in core.items():
    if not (name.startswith("BM_Save") or name.startswith("BM_Recall") or name.startswith("BM_Enumerate")):
        continue
    med, sp = spread(r["time"], " " + r["unit"])
    extra = ", ".join("%s=%s" % (k, fmt(statistics.median(v))) for k, v in r["counters"].items())
    print("| %s | %s | %s | %s |" % (name.replace("/real_time", ""), med, sp, extra))

for platform in ["offscreen", "xvfb", "display"]:
    runs = load("window-" + platform)
    r = find(runs, "BM_WindowStart")
    if not r:
        continue
    print("\n## Window start, %s (n = %d)\n" % (platform, len(r["time"])))
    print("| Milestone | median | stddev (cv), min..max |")
    print("|---|---|---|")
    for key in ["ident_ms", "shown_ms", "map_ms", "tick_ms", "rss_MiB", "hwm_MiB"]:
        if key in r["counters"]:
            med, sp = spread(r["counters"][key])
            print("| %s | %s | %s |" % (key, med, sp))

r = find(load("idle"), "BM_WindowIdleCpu")
if r:
    print("\n## Idle CPU while connected (n = %d, %.0f s each)\n" % (len(r["time"]), statistics.median(r["time"])))
    print("| Counter | median | stddev (cv), min..max |")
    print("|---|---|---|")
    for key in ["cpu_pct", "cpu_ms", "ticks", "xserver_cpu_pct", "rss_MiB"]:
        if key in r["counters"]:
            med, sp = spread(r["counters"][key])
            print("| %s | %s | %s |" % (key, med, sp))

print("\n## Machine\n")
print("```\n" + open(os.path.join(out, "machine.txt")).read() + "```")
print("\n## Alongside\n")
print("```\n" + open(os.path.join(out, "alongside.txt")).read() + "```")
EOF
cat "$OUT/report.md"
echo
echo "What ran alongside: $OUT/alongside.txt; raw results: $OUT/*.json" >&2
