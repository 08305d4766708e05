# Sourced by the scripts that try the project on a fresh Debian (fresh-debian.sh, package-check.sh).
# A minimal system (debootstrap --variant=minbase) is made once per release and kept as a tarball
# under build/fresh/; every run unpacks a new copy of it, so only the first run waits for debootstrap.
# Needs ROOT (the repository) and root rights.

DEBIAN_MIRROR=${DEBIAN_MIRROR:-http://deb.debian.org/debian}
DEBIAN_SECURITY_MIRROR=${DEBIAN_SECURITY_MIRROR:-http://deb.debian.org/debian-security}

# Release number -> code name; fails naming the releases it knows.
debian_suite() {
    case "$1" in
    12) echo bookworm ;;
    13) echo trixie ;;
    *) echo "unknown Debian release '$1': known are 12 (bookworm) and 13 (trixie)" >&2; return 2 ;;
    esac
}

# Prints the tarball of release $1's base system, making it first when it is missing.
debian_base_tarball() {
    local release=$1 suite dir tarball
    suite=$(debian_suite "$release") || return
    dir=$ROOT/build/fresh
    tarball=$dir/debian-$release-minbase.tar.gz
    if [ ! -s "$tarball" ]; then
        mkdir -p "$dir"
        rm -rf "$dir/debootstrap-$release"
        echo "Making a Debian $release base system (debootstrap, once; a few minutes)" >&2
        if ! debootstrap --variant=minbase "$suite" "$dir/debootstrap-$release" "$DEBIAN_MIRROR" \
            >"$dir/debootstrap-$release.log" 2>&1; then
            tail -20 "$dir/debootstrap-$release.log" >&2
            return 1
        fi
        # As an installed system has them: the release's updates and its security archive.
        cat >"$dir/debootstrap-$release/etc/apt/sources.list" <<EOF
deb $DEBIAN_MIRROR $suite main
deb $DEBIAN_MIRROR $suite-updates main
deb $DEBIAN_SECURITY_MIRROR $suite-security main
EOF
        rm -rf "$dir/debootstrap-$release/var/cache/apt/archives/"*.deb
        tar -C "$dir/debootstrap-$release" -czf "$tarball.part" . && mv "$tarball.part" "$tarball"
        rm -rf "$dir/debootstrap-$release"
    fi
    echo "$tarball"
}

# Unpacks a new copy of release $1's base system into $2 (which must not hold mounts).
debian_fresh_copy() {
    local tarball
    tarball=$(debian_base_tarball "$1") || return
    if grep -q " $2/" /proc/mounts; then
        echo "$2 still has mounts; not replaced" >&2
        return 1
    fi
    rm -rf "$2"
    mkdir -p "$2"
    tar -C "$2" -xzf "$tarball"
    cp /etc/resolv.conf "$2/etc/resolv.conf"
}
