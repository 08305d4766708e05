#!/usr/bin/env bash
# The program connected to a simulated board.   Usage: scripts/demo.sh <build dir>
# With a display it runs until the window is closed. Without one it runs under Xvfb, takes a
# screenshot once the board is connected (<build dir>/screenshot-main.png, or $VELMORANT_SCREENSHOT)
# and ends by itself.
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=$(cd "${1:?usage: scripts/demo.sh <build dir>}" && pwd)
SIM=$BUILD/sim/velmorant-sim
APP=$BUILD/velmorant
SHOT=${VELMORANT_SCREENSHOT:-$BUILD/screenshot-main.png}
for f in "$SIM" "$APP"; do
    [ -x "$f" ] || { echo "demo: $f is missing; build first" >&2; exit 1; }
done

# The folder the program keeps its user data in: <documents>/Velmorant.
documents_dir() {
    if [ -n "${XDG_DOCUMENTS_DIR:-}" ]; then echo "$XDG_DOCUMENTS_DIR"; return; fi
    local dirs="${XDG_CONFIG_HOME:-$HOME/.config}/user-dirs.dirs"
    if [ -r "$dirs" ]; then
        local d
        d=$(. "$dirs" >/dev/null 2>&1; echo "${XDG_DOCUMENTS_DIR:-}")
        if [ -n "$d" ]; then echo "$d"; return; fi
    fi
    echo "$HOME/Documents"
}
USERDATA="$(documents_dir)/Velmorant"
mkdir -p "$USERDATA"

WORK=$(mktemp -d)
SIM_PID="" APP_PID="" XVFB_PID=""
cleanup() {
    for pid in "$APP_PID" "$SIM_PID" "$XVFB_PID"; do
        if [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null; then
            kill -TERM "$pid" 2>/dev/null || true
            wait "$pid" 2>/dev/null || true
        fi
    done
    rm -rf "$WORK"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# Polls Condition (a command) every 0.2 s for up to Seconds; false when it never held.
wait_for() {
    local seconds=$1; shift
    local tries=$((seconds * 5))
    while ! "$@"; do
        tries=$((tries - 1))
        [ "$tries" -gt 0 ] || return 1
        sleep 0.2
    done
}

"$SIM" --com COM7 --baud 19200 --eeprom "$USERDATA/demo-board.eeprom" >"$WORK/sim.out" 2>&1 &
SIM_PID=$!
if ! wait_for 10 grep -q "Serving" "$WORK/sim.out"; then
    cat "$WORK/sim.out" >&2
    echo "demo: the simulator did not start" >&2
    exit 1
fi
cat "$WORK/sim.out"
PTY=$(sed -n 's/.*(\(\/dev\/[^)]*\)).*/\1/p' "$WORK/sim.out" | head -n1)

if [ -n "${DISPLAY:-}" ]; then
    echo "Starting the program; close its window to end the demo."
    "$APP" &
    APP_PID=$!
    wait "$APP_PID" || true
    APP_PID=""
    exit 0
fi

for n in $(seq 99 130); do
    if [ ! -e "/tmp/.X11-unix/X$n" ] && [ ! -e "/tmp/.X$n-lock" ]; then break; fi
done
Xvfb ":$n" -screen 0 1024x860x24 -nolisten tcp >"$WORK/xvfb.log" 2>&1 &
XVFB_PID=$!
if ! wait_for 10 test -e "/tmp/.X11-unix/X$n"; then
    cat "$WORK/xvfb.log" >&2
    echo "demo: Xvfb did not start" >&2
    exit 1
fi
export DISPLAY=":$n"

QT_QPA_PLATFORM=xcb "$APP" >"$WORK/app.log" 2>&1 &
APP_PID=$!
# Connected once the program holds the simulator's terminal open.
holds_port() { ls -l "/proc/$APP_PID/fd" 2>/dev/null | grep -q -- "-> $PTY\$"; }
if ! wait_for 20 holds_port; then
    cat "$WORK/app.log" >&2
    echo "demo: the program did not connect to the simulated board" >&2
    exit 1
fi
# A few status ticks, so that the live values are on the screen.
sleep 3
mkdir -p "$(dirname "$SHOT")"
import -window root "$WORK/screen.png"
# Only the window: Xvfb's background around it is black.
convert "$WORK/screen.png" -trim +repage "$SHOT"
echo "Screenshot: $SHOT"
kill -TERM "$APP_PID"
wait "$APP_PID" || true
APP_PID=""
