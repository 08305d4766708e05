#!/usr/bin/env bash
# Runs one step of ./bootstrap.sh as a new user would: on a fresh Debian 12 or 13 (debootstrap
# minbase, then git), with this working tree's files copied in, as root in a chroot.
#   Usage: scripts/fresh-debian.sh 12|13 demo|test|package      (as root)
# The base system is made once per release (build/fresh/, a few minutes); every run starts from a
# new copy of it, in build/fresh/run-<release>-<step>. demo leaves its screenshot in build/fresh/,
# package its .deb in build/fresh/debian-<release>/, then installs that .deb on another fresh copy
# and starts it (scripts/package-check.sh). Steps run at nice 15 with JOBS (default 1) parallel jobs.
set -euo pipefail
# Read whole before it runs, so that an edit of this file cannot change a run in progress.
{
ROOT=$(cd "$(dirname "$0")/.." && pwd)
RELEASE=${1:-}
STEP=${2:-}
usage() { echo "usage: scripts/fresh-debian.sh 12|13 demo|test|package" >&2; exit 2; }
case "$STEP" in demo | test | package) ;; *) usage ;; esac
[ "$(id -u)" -eq 0 ] || { echo "fresh-debian: needs root (debootstrap, chroot)" >&2; exit 2; }
# shellcheck source=scripts/debian-base.sh
. "$ROOT/scripts/debian-base.sh"
debian_suite "$RELEASE" >/dev/null || usage
RUN=$ROOT/build/fresh/run-$RELEASE-$STEP
OUT=$ROOT/build/fresh
SRC=/root/velmorant
# The copy's mounts live in a namespace of their own, out of sight of /proc/mounts here, so a lock
# rather than the mount table keeps a second run of the same step off a copy in use.
mkdir -p "$OUT"
exec 9>"$RUN.lock"
flock -n 9 || { echo "fresh-debian: another run uses $RUN" >&2; exit 1; }

started=$(date +%s)
elapsed() { local s=$(($(date +%s) - started)); printf '%dm%02ds' $((s / 60)) $((s % 60)); }

debian_fresh_copy "$RELEASE" "$RUN"
echo "fresh-debian: a new Debian $RELEASE in $RUN ($(elapsed))"
# The files git knows, as they are in the working tree (uncommitted changes included).
mkdir -p "$RUN$SRC"
# shellcheck disable=SC2016  # expanded by the inner shell
git -C "$ROOT" ls-files -z --cached --others --exclude-standard |
    (cd "$ROOT" && xargs -0 -r sh -c 'for f; do [ -e "$f" ] && printf "%s\0" "$f"; done' _) |
    tar -C "$ROOT" --null -T - -cf - | tar -C "$RUN$SRC" -xf -

cat >"$RUN/tmp/step.sh" <<STEP
#!/bin/bash
set -euo pipefail
export DEBIAN_FRONTEND=noninteractive HOME=/root LANG=C.UTF-8 JOBS=${JOBS:-1}
apt-get update -qq
apt-get install -y -qq --no-install-recommends git >/tmp/git-install.log 2>&1 ||
    { tail -20 /tmp/git-install.log; exit 1; }
cd $SRC
git init -q && git add -A
echo "fresh-debian: Debian \$(cat /etc/debian_version), git \$(git --version | cut -d' ' -f3); ./bootstrap.sh $STEP"
nice -n 15 ./bootstrap.sh $STEP
STEP
chmod +x "$RUN/tmp/step.sh"

# A mount namespace of its own: the mounts go with it, whatever happens. The tests open
# pseudo-terminals (/dev/pts), Qt and the sanitizers read /proc and /sys.
status=0
# shellcheck disable=SC2016  # expanded by the inner shell
unshare --mount --propagation private bash -c '
    set -e
    mount -t proc proc "$1/proc"
    mount --rbind /dev "$1/dev"
    mount --rbind /sys "$1/sys"
    chroot "$1" /tmp/step.sh
' _ "$RUN" || status=$?
if [ "$status" -ne 0 ]; then
    echo "fresh-debian: Debian $RELEASE $STEP failed (status $status) after $(elapsed); left in $RUN" >&2
    exit "$status"
fi
echo "fresh-debian: Debian $RELEASE $STEP passed in $(elapsed)"

case "$STEP" in
demo)
    cp "$RUN$SRC/build/release/screenshot-main.png" "$OUT/screenshot-main-debian-$RELEASE.png"
    echo "fresh-debian: screenshot in $OUT/screenshot-main-debian-$RELEASE.png"
    ;;
package)
    deb=$(ls "$RUN$SRC"/build/package/*.deb)
    mkdir -p "$OUT/debian-$RELEASE"
    cp "$deb" "$OUT/debian-$RELEASE/"
    "$ROOT/scripts/package-check.sh" "$OUT/debian-$RELEASE/$(basename "$deb")" "$RELEASE"
    ;;
esac
grep -q " $RUN/" /proc/mounts || rm -rf "$RUN"
exit
}
