#!/usr/bin/env bash
# The conformance suite (tests/conformance) cross-built as quillon_conformance.exe, run under Wine in a
# fresh prefix on an Xvfb display of its own (the window and menu tests need one). Wine's own output is
# the suite's: a PASS/FAIL line per test and "N passed, N failed".
#
#   tests/wine/conformance.sh [WINDOWS-BUILD-DIR]     (default: build/win)
set -uo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
repo=$(cd "$here/../.." && pwd)
# shellcheck source=tests/wine/common.bash
source "$here/common.bash"

build=${1:-$repo/build/win}
exe=$build/quillon_conformance.exe
started=$SECONDS

if [[ ! -f "$exe" ]]; then
    check "quillon_conformance.exe exists ($exe)" 1
    summary
    exit 1
fi
if ! wine_find; then
    check "wine64 found" 1 "install wine64 (scripts/install-deps.sh)"
    summary
    exit 1
fi
command -v Xvfb >/dev/null || { check "Xvfb found" 1; summary; exit 1; }

xvfb_pid=""
display_file=$(mktemp)
Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$display_file" 2>/dev/null &
xvfb_pid=$!
for _ in $(seq 50); do [[ -s "$display_file" ]] && break; sleep 0.1; done
display_number=$(head -n1 "$display_file")
rm -f "$display_file"
cleanup() {
    wine_prefix_remove
    if [[ -n "$xvfb_pid" ]]; then kill "$xvfb_pid" 2>/dev/null; wait "$xvfb_pid" 2>/dev/null; fi
}
trap cleanup EXIT
[[ -n "$display_number" ]] || { check "Xvfb runs" 1; summary; exit 1; }
export DISPLAY=":$display_number"

wine_prefix_create
wine_run 120 wineboot --init >/dev/null 2>&1
timeout -k 5 60 "$WINESERVER_BIN" -w
cp "$exe" "$WINEPREFIX/drive_c/quillon_conformance.exe"

output=$(wine_run 120 'C:\quillon_conformance.exe' 2>/dev/null | tr -d '\r')
status=${PIPESTATUS[0]}
echo "$output"
counts=$(grep -E '^[0-9]+ passed, [0-9]+ failed$' <<<"$output" | tail -n 1)
echo "Wine part took $((SECONDS - started)) s"
if [[ -z "$counts" ]]; then
    echo "the suite ended without its counts (status $status)"
    echo "0 passed, 1 failed"
    exit 1
fi
# The suite's own line is the last one, so test.sh counts every conformance test.
echo "$counts"
[[ $status == 0 ]]
