#!/usr/bin/env bash
# One entry point for a fresh Debian 12 or 13 machine: installs what is missing, builds, runs.
#   ./bootstrap.sh demo    the program connected to the simulated board
#   ./bootstrap.sh test    the formatting check, then every test, in a normal build and in an
#                          ASan+UBSan build; the threaded tests (label "threads") also under
#                          ThreadSanitizer
#   ./bootstrap.sh bench   the benchmarks (release build)
#   ./bootstrap.sh fuzz TARGET [SECONDS]   one fuzz target under libFuzzer (clang), 60 s by default
#   ./bootstrap.sh package [check]  the Debian package (build/package/*.deb), checked by lintian; with
#                          check, also tried in a chroot of this machine's release
#   ./bootstrap.sh deps    only install the packages
set -euo pipefail
cd "$(dirname "$0")"
ROOT=$PWD
JOBS=${JOBS:-$(nproc)}

PACKAGES=(build-essential cmake ninja-build pkg-config
          qt6-base-dev qt6-base-dev-tools qt6-qpa-plugins libgl-dev libqcustomplot-dev
          libgtest-dev libgmock-dev libbenchmark-dev
          xvfb xauth imagemagick fonts-dejavu-core
          clang python3-serial ser2net faketime
          dpkg-dev debootstrap lintian help2man
          libmosquitto-dev mosquitto mosquitto-clients libmodbus-dev python3-pymodbus python3-serial-asyncio)
# What differs between releases: the sanitizer and libFuzzer runtimes of the release's clang (only
# recommended by it), and the one clang-format whose layout scripts/check-format holds the tree to.
release_packages() {
    local id="" version=""
    # shellcheck disable=SC1091
    [ -r /etc/os-release ] && { . /etc/os-release; id=${ID:-}; version=${VERSION_ID:-}; }
    case "$id $version" in
    "debian 12") PACKAGES+=(libclang-rt-14-dev clang-format-14) ;;
    "debian 13") PACKAGES+=(libclang-rt-19-dev) ;;
    *)
        echo "bootstrap: this is ${PRETTY_NAME:-an unknown system}; it knows Debian 12 and Debian 13." >&2
        echo "It would need: ${PACKAGES[*]}; the runtime of that release's clang" \
             "(libclang-rt-14-dev on 12, libclang-rt-19-dev on 13); and, for the formatting check," \
             "clang-format-14 (Debian 12 has it)." >&2
        exit 2 ;;
    esac
}

install_deps() {
    release_packages
    local missing=()
    for p in "${PACKAGES[@]}"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "Installing: ${missing[*]}"
    local sudo=""
    [ "$(id -u)" -ne 0 ] && sudo=sudo
    export DEBIAN_FRONTEND=noninteractive
    $sudo apt-get update -qq
    $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
}

configure_build() { # dir, build type, extra cmake args...
    local dir=$1 type=$2; shift 2
    cmake -S "$ROOT" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE="$type" "$@" >/dev/null
    cmake --build "$dir" -j "$JOBS"
}

configure_targets() { # dir, build type, targets...: only those are built
    local dir=$1 type=$2; shift 2
    # Installing (and so packaging) then needs only what it installs, not every test.
    cmake -S "$ROOT" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE="$type" -DCMAKE_SKIP_INSTALL_ALL_DEPENDENCY=ON >/dev/null
    cmake --build "$dir" -j "$JOBS" --target "$@"
}

run_tests() { # dir, extra ctest args...
    local dir=$1; shift
    (cd "$dir" && QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j "$JOBS" --timeout 600 "$@")
}

cmd=${1:-help}
case "$cmd" in
deps) install_deps ;;
test)
    install_deps
    scripts/check-format
    configure_build build/normal Debug
    run_tests build/normal
    configure_build build/sanitize Debug -DVELMORANT_SANITIZE=ON
    ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
        run_tests build/sanitize
    # Only the threaded tests, and only what they need, so the third build stays cheap.
    cmake -S "$ROOT" -B build/tsan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DVELMORANT_TSAN=ON >/dev/null
    cmake --build build/tsan -j "$JOBS" --target threaded_tests
    # die_after_fork=0: a test starts itself again as a child through QProcess.
    TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 die_after_fork=0 suppressions=$ROOT/tsan.supp" \
        run_tests build/tsan -L threads
    echo "All tests passed in all three builds."
    ;;
bench)
    install_deps
    configure_build build/release Release
    shift
    "$ROOT/build/release/bench/velmorant-bench" "$@"
    ;;
fuzz)
    install_deps
    target=${2:?usage: ./bootstrap.sh fuzz program_line_text|plcrd_reply|ini_settings|device_replies|data_log|net_stream|modbus_request [seconds]}
    seconds=${3:-60}
    [ -d "$ROOT/fuzz/corpus/$target" ] || { echo "No fuzz target $target"; exit 2; }
    CC=clang CXX=clang++ cmake -S "$ROOT" -B build/fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DVELMORANT_LIBFUZZER=ON -DVELMORANT_GUI=OFF >/dev/null
    cmake --build build/fuzz --target "fuzz_$target" -j "$JOBS"
    # Work on a copy: the run adds what it finds, and the repository keeps only the small seeds.
    corpus=build/fuzz/corpus-$target
    mkdir -p "$corpus"
    cp -n "$ROOT/fuzz/corpus/$target/"* "$corpus/" 2>/dev/null || true
    dict=()
    [ -f "$ROOT/fuzz/$target.dict" ] && dict=(-dict="$ROOT/fuzz/$target.dict")
    cd build/fuzz
    exec "./fuzz/fuzz_$target" -max_total_time="$seconds" -print_final_stats=1 "${dict[@]}" \
        -artifact_prefix="$ROOT/build/fuzz/$target-" "corpus-$target"
    ;;
demo)
    install_deps
    configure_targets build/release Release velmorant velmorant-sim
    exec "$ROOT/scripts/demo.sh" "$ROOT/build/release"
    ;;
package)
    install_deps
    configure_targets build/package Release velmorant velmorant-cli velmorant-sim velmorant-docs
    (cd build/package && rm -f ./*.deb && cpack -G DEB >/dev/null)
    deb=$(ls "$ROOT"/build/package/*.deb)
    echo "Package: $deb"
    lintian --fail-on error,warning "$deb"
    if [ "${2:-}" = check ]; then exec "$ROOT/scripts/package-check.sh" "$deb"; fi
    ;;
*)
    sed -n '2,10p' "$0"; exit 2 ;;
esac
