#!/usr/bin/env bash
# The main job: a simulated console session. Builds the Linux simulator command (the real service and
# tray code on a simulated Windows machine) and runs it; every argument goes to quillon-sim
# (`bash scripts/run.sh --help` lists its options; `--record DIR` writes the session's audio as WAVE files).
# QUILLON_BUILD_DIR picks another build folder (default build/linux).
set -euo pipefail

cd "$(dirname "${BASH_SOURCE[0]}")/.."
bash scripts/install-deps.sh --linux >&2

if ! compgen -G "tools/quillon-sim/*.cpp" >/dev/null; then
    echo "run.sh: the simulator command is not in this tree yet (no tools/quillon-sim/*.cpp)." >&2
    exit 1
fi

build="${QUILLON_BUILD_DIR:-build/linux}"
mkdir -p "$build"
# By default the same folder and options as the Linux stage of scripts/test.sh, so the two share one build.
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_FLAGS_RELEASE=-O2 >"$build.configure.log" 2>&1 ||
    { cat "$build.configure.log" >&2; exit 1; }
ninja -C "$build" -j "${QUILLON_JOBS:-2}" quillon-sim >&2
exec "$build/quillon-sim" "$@"
