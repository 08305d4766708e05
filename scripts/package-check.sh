#!/usr/bin/env bash
# Installs the Debian package on a fresh Debian (a debootstrap chroot under build/) and tries what
# it installed: velmorant-cli --help, velmorant-cli read against velmorant-sim, and the window
# started offscreen from /usr/bin until it has connected to the simulated board.
#   Usage: scripts/package-check.sh build/package/velmorant_<version>_<arch>.deb [12|13]   (as root)
# The release is this machine's unless given. The base system is made once
# (build/fresh/debian-<release>-minbase.tar.gz, a few minutes); every check runs in a new copy.
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
DEB=$(realpath "${1:?usage: scripts/package-check.sh PACKAGE.deb [12|13]}")
RELEASE=${2:-$(. /etc/os-release && echo "${VERSION_ID:-}")}
RUN=$ROOT/build/fresh/package-check-$RELEASE
[ "$(id -u)" -eq 0 ] || { echo "package-check: needs root (debootstrap, chroot)" >&2; exit 2; }
# shellcheck source=scripts/debian-base.sh
. "$ROOT/scripts/debian-base.sh"
debian_suite "$RELEASE" >/dev/null
# The copy's mounts are out of sight of /proc/mounts here (a namespace of their own): a lock keeps a
# second check off a copy in use.
mkdir -p "$ROOT/build/fresh"
exec 9>"$RUN.lock"
flock -n 9 || { echo "package-check: another check uses $RUN" >&2; exit 1; }

debian_fresh_copy "$RELEASE" "$RUN"
cp "$DEB" "$RUN/tmp/"

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
         /usr/share/doc/velmorant/copyright; do
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
# The base stays for the next check; the copy goes, never while anything is mounted inside it.
grep -q " $RUN/" /proc/mounts || rm -rf "$RUN"
echo "package-check: all passed on Debian $RELEASE"
