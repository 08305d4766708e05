#!/usr/bin/env bash
# Installs the Debian package on a fresh Debian 12 (a debootstrap chroot under build/) and tries
# what it installed: velmorant-cli --help, velmorant-cli read against velmorant-sim, and the window
# started offscreen from /usr/bin until it has connected to the simulated board.
#   Usage: scripts/package-check.sh build/package/velmorant_<version>_<arch>.deb     (as root)
# The base system is made once (build/chroot/base, a few minutes); every check runs in a new copy.
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
DEB=$(realpath "${1:?usage: scripts/package-check.sh PACKAGE.deb}")
MIRROR=${DEBIAN_MIRROR:-http://deb.debian.org/debian}
BASE=$ROOT/build/chroot/base
RUN=$ROOT/build/chroot/run
[ "$(id -u)" -eq 0 ] || { echo "package-check: needs root (debootstrap, chroot)" >&2; exit 2; }

if [ ! -x "$BASE/usr/bin/apt-get" ]; then
    echo "Making a Debian 12 base system in $BASE"
    rm -rf "$BASE"
    debootstrap --variant=minbase bookworm "$BASE" "$MIRROR" >"$ROOT/build/chroot-debootstrap.log" 2>&1 ||
        { tail -20 "$ROOT/build/chroot-debootstrap.log" >&2; exit 1; }
fi
# Removes the used copy, never while anything is mounted inside it (its dev/ would be the host's).
remove_run() {
    if grep -q " $RUN/" /proc/mounts; then
        echo "package-check: $RUN still has mounts; not removed" >&2
        return 1
    fi
    rm -rf "$RUN"
}
remove_run
cp -a "$BASE" "$RUN"
cp "$DEB" "$RUN/tmp/"
cp /etc/resolv.conf "$RUN/etc/resolv.conf"

# Runs inside the chroot. Each check prints one line; the first failure ends it.
cat >"$RUN/tmp/check.sh" <<'EOF'
#!/bin/bash
set -uo pipefail
export DEBIAN_FRONTEND=noninteractive HOME=/root XDG_CONFIG_HOME=/tmp/config XDG_DOCUMENTS_DIR=/tmp/documents
fail() { echo "FAIL: $*"; exit 1; }
pass() { echo "ok: $*"; }
wait_for() { # seconds, command...: polls every 0.2 s
    local tries=$(($1 * 5)); shift
    until "$@"; do tries=$((tries - 1)); [ "$tries" -gt 0 ] || return 1; sleep 0.2; done
}

apt-get update -qq >/tmp/apt.log 2>&1 || { cat /tmp/apt.log; fail "apt-get update"; }
apt-get install -y -qq --no-install-recommends /tmp/*.deb >>/tmp/apt.log 2>&1 || { tail -20 /tmp/apt.log; fail "install"; }
pass "installed: $(dpkg-query -W -f='${Package} ${Version}; Depends: ${Depends}' velmorant)"
for f in /usr/bin/velmorant /usr/bin/velmorant-cli /usr/bin/velmorant-sim \
         /usr/share/applications/com.tarnwick.Velmorant.desktop \
         /usr/share/metainfo/com.tarnwick.Velmorant.metainfo.xml \
         /usr/share/icons/hicolor/scalable/apps/velmorant.svg \
         /usr/lib/udev/rules.d/70-velmorant.rules /usr/lib/Tarnwick/Velmorant/Firmware/README \
         /usr/share/doc/velmorant/LICENSE; do
    [ -e "$f" ] || fail "missing $f"
done
pass "files in place"

velmorant-cli --help >/tmp/help.txt || fail "velmorant-cli --help"
grep -q '^Usage: velmorant-cli' /tmp/help.txt || fail "velmorant-cli --help printed no usage"
pass "velmorant-cli --help"

velmorant-sim --com COM4 >/tmp/sim.out 2>&1 &
SIM=$!
trap 'kill $SIM $APP 2>/dev/null' EXIT
APP=""
wait_for 10 grep -q Serving /tmp/sim.out || { cat /tmp/sim.out; fail "velmorant-sim did not start"; }
PTY=$(sed -n 's/.*(\(\/dev\/[^)]*\)).*/\1/p' /tmp/sim.out)
velmorant-cli --port COM4 read >/tmp/read.txt || fail "velmorant-cli read: $(cat /tmp/read.txt)"
grep -q '^Temp	[0-9]' /tmp/read.txt || fail "velmorant-cli read printed no temperature"
pass "velmorant-cli read: $(tr '\t\n' '= ' </tmp/read.txt)"

QT_QPA_PLATFORM=offscreen /usr/bin/velmorant >/tmp/app.log 2>&1 &
APP=$!
holds_port() { ls -l /proc/$APP/fd 2>/dev/null | grep -q -- "-> $PTY\$"; }
wait_for 30 holds_port || { cat /tmp/app.log; fail "the window did not connect to the simulated board"; }
kill -0 "$APP" || fail "the window ended"
pass "the window started offscreen from /usr/bin/velmorant and connected to $PTY"
EOF
chmod +x "$RUN/tmp/check.sh"

# A mount namespace of its own: the mounts go with it, whatever happens.
# shellcheck disable=SC2016  # expanded by the inner shell
unshare --mount --propagation private bash -c '
    set -e
    mount -t proc proc "$1/proc"
    mount --rbind /dev "$1/dev"
    chroot "$1" /tmp/check.sh
' _ "$RUN"
remove_run  # the base stays for the next check
echo "package-check: all passed"
