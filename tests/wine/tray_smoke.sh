#!/usr/bin/env bash
# The cross-built tray under Wine, in Xvfb, in a Wine virtual desktop, with no service running: it must
# put its notification icon up with the "not running" balloon, open its menu on a right click, and end
# through its own "Quit". Screenshots of the desktop with the balloon and with the menu go into the build
# folder: tray_smoke.png and tray_smoke_menu.png.
#
#   tests/wine/tray_smoke.sh [WINDOWS-BUILD-DIR]     (default: build/win)
#
# tray_probe.exe (tests/wine/tray_probe.cpp, cross-built with the programs) is the check from inside the
# prefix: it finds the tray's message-only window by its class and asks the shell about its icon.
# Prints PASS/FAIL per check and ends with "N passed, N failed"; exits non-zero on any failure.
set -uo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
repo=$(cd "$here/../.." && pwd)
# shellcheck source=tests/wine/common.bash
source "$here/common.bash"

build=${1:-$repo/build/win}
exe=$build/QuillonSystray.exe
probe=$build/tray_probe.exe
out_dir=$(cd "$build" 2>/dev/null && pwd)
shot=$out_dir/tray_smoke.png
menu_shot=$out_dir/tray_smoke_menu.png
desktop=quillon
started=$SECONDS

for file in "$exe" "$probe"; do
    if [[ ! -f "$file" ]]; then
        check "$(basename "$file") exists ($file)" 1
        summary
        exit 1
    fi
done
if ! wine_find; then
    check "wine64 found" 1 "install wine64 (scripts/install-deps.sh)"
    summary
    exit 1
fi
for tool in Xvfb import; do
    if ! command -v "$tool" >/dev/null; then
        check "$tool found" 1 "install xvfb and imagemagick (scripts/install-deps.sh)"
        summary
        exit 1
    fi
done

# An X server of our own, on the first free display number it finds.
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
[[ -n "$display_number" ]]
check "Xvfb runs (display :${display_number:-?})" $?
[[ -n "$display_number" ]] || { summary; exit 1; }
export DISPLAY=":$display_number"

wine_prefix_create
echo "Wine: $WINE; prefix: $WINEPREFIX; display: $DISPLAY"
wine_run 120 wineboot --init >/dev/null 2>&1
check "wineboot creates the prefix" $?
timeout -k 5 60 "$WINESERVER_BIN" -w
"$WINESERVER_BIN" -p
mkdir -p "$WINEPREFIX/drive_c/Quillon"
cp "$exe" "$WINEPREFIX/drive_c/Quillon/QuillonSystray.exe"
cp "$probe" "$WINEPREFIX/drive_c/Quillon/tray_probe.exe"

# probe STEP SECONDS: the probe in the tray's desktop; its output indented, its status returned.
probe() {
    local output status
    output=$(wine_run $(($2 + 30)) 'C:\Quillon\tray_probe.exe' --desktop "$desktop" "$@" 2>/dev/null | tr -d '\r')
    status=${PIPESTATUS[0]}
    [[ -n "$output" ]] && echo "$output" | sed 's/^/  /'
    return "$status"
}

# The tray's process (not the explorer that started it, whose command line names it too), told apart from
# other prefixes' by its environment.
tray_alive() {
    local pid
    for pid in $(pgrep -f '^C:.Quillon.QuillonSystray\.exe' || true); do
        [[ "$(ps -o stat= -p "$pid" 2>/dev/null)" == Z* ]] && continue
        if tr '\0' '\n' 2>/dev/null <"/proc/$pid/environ" | grep -qxF "WINEPREFIX=$WINEPREFIX"; then return 0; fi
    done
    return 1
}

# The tray in a Wine virtual desktop, as a user's logon would start it; the service is not installed.
timeout -k 5 150 "$WINE" explorer "/desktop=$desktop,800x600" 'C:\Quillon\QuillonSystray.exe' \
    </dev/null >/dev/null 2>&1 &

probe wait 60
check "tray window and notification icon are there" $?

# The balloon comes a moment after the icon and fades after some seconds: photograph it while it shows.
not_running="The Virtual Device Driver Service is not running, extended audio functions are not available."
balloon=$(probe balloon 20)
echo "$balloon"
grep -qxF "  balloon: $not_running" <<<"$balloon"
check "the \"not running\" balloon is shown" $?
rm -f "$shot"
timeout 30 import -window root "$shot" 2>/dev/null
[[ "$(head -c 8 "$shot" 2>/dev/null | od -An -tx1 | tr -d ' \n')" == 89504e470d0a1a0a ]]
check "screenshot written: $shot" $?

tray_alive
check "tray process is alive" $?

probe menu 20
check "right click on the icon opens the menu" $?
sleep 0.5
rm -f "$menu_shot"
timeout 30 import -window root "$menu_shot" 2>/dev/null
[[ -s "$menu_shot" ]]
check "menu screenshot written: $menu_shot" $?

# "Quit" is the menu's last item; if picking it fails, end the loop directly so the rest still runs.
if probe pick 20; then
    check "choosing Quit ends the tray with code 0 and removes its icon" 0
else
    check "choosing Quit ends the tray with code 0 and removes its icon" 1
    probe quit 20 || true
fi

deadline=$((SECONDS + 15))
while tray_alive && ((SECONDS < deadline)); do sleep 0.5; done
! tray_alive
check "tray process is gone" $?

"$WINESERVER_BIN" -k >/dev/null 2>&1
echo "Wine part took $((SECONDS - started)) s"
summary
