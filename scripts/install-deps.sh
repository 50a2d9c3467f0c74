#!/usr/bin/env bash
# Installs what building and testing Quillon needs on Debian 12, and nothing when it is all there.
#
#   scripts/install-deps.sh             everything: Linux build and tests, Windows cross build, Wine tests
#   scripts/install-deps.sh --linux     only the Linux build (the simulator and the unit tests)
#   scripts/install-deps.sh STAGE...    what the stages of scripts/test.sh need (linux asan tsan soak fuzz
#                                       windows wine setup); only the Linux packages unless windows or wine
#
# A mirror that fails to serve an index (a sync in progress, a broken extra source) does not stop the
# run: apt-get update's errors are reported and the install goes on with the indexes that are there. The
# script fails only when a package the chosen stages need is still missing after the install, and names
# it. The optional packages (below) are reported when they cannot be installed, and the checks that use
# them say SKIP with the reason.
#
# QUILLON_APT_OPTIONS: more options for every apt-get call (word-split), for instance another sources
# list; the script's own check (tests/setup/install_deps_check.sh) points apt at a broken one.
# QUILLON_DEPS_EXTRA: more packages to require, space-separated; a name ending in "?" is optional.
set -euo pipefail

linux_packages=(
    cmake ninja-build g++ python3
    googletest libgtest-dev libbenchmark-dev
    # the simulated machine's fibers
    libboost-context-dev
    # the fuzz stage: clang with libFuzzer and the sanitizers' runtimes
    clang-14 libfuzzer-14-dev
    # quillon-sim's recording test opens every file with sox and libsndfile too
    sox sndfile-programs
)
windows_packages=(
    g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 mingw-w64-x86-64-dev
    wine wine64 fonts-wine
    # what Wine's X11 driver loads at run time, for the tray program under Xvfb
    libx11-6 libxext6 libxrender1 libxrandr2 libxi6 libxcursor1 libxcomposite1 libxinerama1 libxfixes3
    libfreetype6 libfontconfig1 libgnutls30
    xvfb xauth x11-utils xdotool imagemagick procps
    # the installer (NSIS, a 64-bit setup) and its Authenticode signatures
    nsis osslsigncode
)
# Packages the build and the other checks do without, and what their absence leaves out.
declare -A optional_packages=(
    [libbenchmark-dev]="the benchmarks (bench/) are not built"
    [xdotool]="the tray's checks with real input under Wine SKIP"
    [imagemagick]="the tray's screenshot checks under Wine SKIP"
    [sox]="quillon-sim's recording test checks the files with its own reader and libsndfile only"
    [sndfile-programs]="quillon-sim's recording test checks the files with its own reader and sox only"
)

with_windows=0
case "${1:-}" in
    "") with_windows=1 ;;
    --linux) ;;
    *)
        for stage in "$@"; do
            case "$stage" in
                linux | asan | tsan | soak | fuzz | setup) ;;
                windows | wine) with_windows=1 ;;
                *) echo "usage: $0 [--linux | STAGE...]" >&2; exit 2 ;;
            esac
        done
        ;;
esac
packages=("${linux_packages[@]}")
((with_windows)) && packages+=("${windows_packages[@]}")
for extra in ${QUILLON_DEPS_EXTRA:-}; do
    if [[ $extra == *'?' ]]; then
        extra=${extra%'?'}
        optional_packages[$extra]="asked for as optional in QUILLON_DEPS_EXTRA"
    fi
    packages+=("$extra")
done
read -r -a apt_options <<<"${QUILLON_APT_OPTIONS:-}"

# not_installed PACKAGE...: those of the packages dpkg does not hold installed, one a line.
not_installed() {
    local installed package
    installed=$(dpkg-query -W -f='${Package} ${Status}\n' "$@" 2>/dev/null |
        awk '/ install ok installed$/ { sub(/:.*/, "", $1); print $1 }' || true)
    for package in "$@"; do
        grep -qxF "${package%%:*}" <<<"$installed" || echo "$package"
    done
}

mapfile -t missing < <(not_installed "${packages[@]}")
if ((${#missing[@]} == 0)); then
    echo "install-deps: all ${#packages[@]} packages present"
    exit 0
fi

sudo=()
if ((EUID != 0)); then
    command -v sudo >/dev/null || {
        echo "install-deps: missing ${missing[*]}; run as root or install sudo" >&2
        exit 1
    }
    sudo=(sudo)
fi
echo "install-deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
log=$(mktemp)
trap 'rm -f "$log"' EXIT

# One index that fails (apt-get update then exits non-zero) leaves the others refreshed and the lists
# of the last good update in place: say which failed and go on.
if ! "${sudo[@]}" apt-get "${apt_options[@]}" update -qq >"$log" 2>&1; then
    echo "install-deps: apt-get update could not refresh every index; going on with those it has:"
    grep -E '^(E|W|Err):' "$log" | sed 's/^/    /' | head -n 20
fi

# All at once; when that fails (one package apt cannot install makes it install none), one by one, so
# that every package that can be installed is, and each that cannot has its reason.
declare -A reason=()
if ! "${sudo[@]}" apt-get "${apt_options[@]}" install -y -qq --no-install-recommends "${missing[@]}" >"$log" 2>&1; then
    for package in "${missing[@]}"; do
        if ! "${sudo[@]}" apt-get "${apt_options[@]}" install -y -qq --no-install-recommends "$package" >"$log" 2>&1; then
            reason[$package]=$(grep -E '^E:' "$log" | head -n 1 | sed 's/^E: //')
        fi
    done
fi

mapfile -t still_missing < <(not_installed "${missing[@]}")
required_missing=()
for package in "${still_missing[@]}"; do
    why=${reason[$package]:-apt-get did not install it}
    if [[ -n "${optional_packages[$package]:-}" ]]; then
        echo "install-deps: optional package $package not installed ($why): ${optional_packages[$package]}"
    else
        echo "install-deps: needed package $package not installed ($why)" >&2
        required_missing+=("$package")
    fi
done
if ((${#required_missing[@]})); then
    echo "install-deps: FAILED, still missing: ${required_missing[*]}" >&2
    exit 1
fi
echo "install-deps: done"
