#!/usr/bin/env bash
# The cross-built tray under Wine, in Xvfb, in a Wine virtual desktop, with no service running: it must
# put its notification icon up with the "not running" balloon, open its menu on a right click, and, driven
# by real input (xdotool), open its menu once per left click, close it on Escape and on a click elsewhere,
# and end through its own "Quit" chosen with the arrow keys and Enter. Screenshots of the desktop go into
# the build folder: tray_smoke.png (balloon), tray_smoke_menu.png (menu), tray_smoke_left.png (menu of a
# left click) and tray_smoke_closed.png (after Escape).
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

shown=$(probe menu 20)
status=$?
echo "$shown"
check "right click on the icon opens the menu" $status
right_rect=$(sed -nE 's/.*menu open at ([-0-9]+,[-0-9]+-[-0-9]+,[-0-9]+).*/\1/p' <<<"$shown")
sleep 0.5
rm -f "$menu_shot"
timeout 30 import -window root "$menu_shot" 2>/dev/null
[[ -s "$menu_shot" ]]
check "menu screenshot written: $menu_shot" $?

# Real input from here on (xdotool into the virtual desktop, which starts at the screen's top left): the
# menu must take the keyboard, close on Escape and on a click elsewhere, and open once per left click.
# The icon is the notification area's only one, at the desktop's bottom right corner.
icon_x=790 icon_y=590
elsewhere_x=300 elsewhere_y=200
left_shot=$out_dir/tray_smoke_left.png
closed_shot=$out_dir/tray_smoke_closed.png
menu_rect=""

# shoot FILE: a screenshot of the whole screen.
shoot() { rm -f "$1"; timeout 30 import -window root "$1" 2>/dev/null && [[ -s "$1" ]]; }

# crop FILE RECT OUT: the rectangle "left,top-right,bottom" of a screenshot.
crop() {
    local left top right bottom
    IFS=',-' read -r left top right bottom <<<"$2"
    convert "$1" -crop "$((right - left))x$((bottom - top))+$left+$top" +repage "$3" 2>/dev/null
}

# differing_pixels A B: how many pixels differ between two images of one size (a little fuzz for
# anti-aliasing); empty when they cannot be compared.
differing_pixels() {
    compare -metric AE -fuzz 5% "$1" "$2" null: 2>&1 | sed -nE 's/^([0-9]+).*/\1/p'
}

if command -v xdotool >/dev/null && command -v compare >/dev/null; then
    # No window manager runs on the display, so the keyboard goes to the X window under the pointer: the
    # virtual desktop, which hands it to the foreground window of its own. (Setting the X focus to it
    # explicitly would make Wine activate the desktop itself and take the foreground from the menu.)
    xdotool key Escape
    probe gone 5
    check "Escape closes the menu" $?

    xdotool mousemove "$icon_x" "$icon_y" click 1
    # The pointer leaves the icon (whose tooltip would cover the menu) without touching the menu.
    xdotool mousemove "$elsewhere_x" "$elsewhere_y"
    shown=$(probe shown 10)
    status=$?
    echo "$shown"
    check "a left click on the icon opens the menu" $status
    menu_rect=$(sed -nE 's/.*menu open at ([-0-9]+,[-0-9]+-[-0-9]+,[-0-9]+).*/\1/p' <<<"$shown")
    sleep 0.3
    shoot "$left_shot"
    check "screenshot of the menu a left click opened: $left_shot" $?

    xdotool key Escape
    probe gone 5
    check "Escape closes it, and the one left click does not open it a second time" $?
    sleep 0.3
    shoot "$closed_shot"
    if [[ -n "$menu_rect" && -n "$right_rect" && -s "$left_shot" && -s "$closed_shot" ]]; then
        crops=$(mktemp -d)
        crop "$menu_shot" "$right_rect" "$crops/right.png"
        crop "$left_shot" "$menu_rect" "$crops/left.png"
        crop "$closed_shot" "$menu_rect" "$crops/closed.png"
        same=$(differing_pixels "$crops/right.png" "$crops/left.png")
        gone=$(differing_pixels "$crops/left.png" "$crops/closed.png")
        rm -rf "$crops"
        echo "  the right click's menu and the left click's differ in ${same:-?} pixels;" \
            "the left click's menu area before and after Escape in ${gone:-?}"
        # The same menu both times; gone from the screen after Escape.
        [[ "$same" =~ ^[0-9]+$ && "$gone" =~ ^[0-9]+$ ]] && ((same < 200 && gone > 1000))
        check "the screenshots show the same menu for both clicks and none after Escape" $?
    else
        check "the screenshots show the same menu for both clicks and none after Escape" 1 "no menu area or screenshot"
    fi

    xdotool mousemove "$icon_x" "$icon_y" click 3
    probe shown 10 >/dev/null
    check "a right click opens it again" $?
    xdotool mousemove "$elsewhere_x" "$elsewhere_y" click 1
    probe gone 5
    check "a click elsewhere closes it" $?

    # A second start in the same session (the Start-menu entry, say) ends at once: still one tray.
    timeout -k 5 60 "$WINE" explorer "/desktop=$desktop,800x600" 'C:\Quillon\QuillonSystray.exe' </dev/null >/dev/null 2>&1
    sleep 2
    probe count 5
    check "a second start leaves one tray and one icon" $?

    # Explorer restarts: the tray's icon must come back (it listens for "TaskbarCreated" on its top-level
    # window). Wine ends a virtual desktop with its explorer, taking every window with it, so the restart is
    # played as Windows' Explorer plays it on the tray: the icon goes, then the broadcast.
    shoot "$out_dir/tray_smoke_before_restart.png"
    probe restart 20
    check "after the taskbar's restart the notification icon is there again" $?
    sleep 1
    restart_shot=$out_dir/tray_smoke_after_restart.png
    shoot "$restart_shot"
    crops=$(mktemp -d)
    crop "$out_dir/tray_smoke_before_restart.png" "760,570-800,600" "$crops/before.png"
    crop "$restart_shot" "760,570-800,600" "$crops/after.png"
    differ=$(differing_pixels "$crops/before.png" "$crops/after.png")
    rm -rf "$crops"
    echo "  the notification area before and after the restart differs in ${differ:-?} pixels"
    [[ "$differ" =~ ^[0-9]+$ ]] && ((differ < 60))
    check "the screenshot after the restart shows the icon where it was: $restart_shot" $?

    # Shift+F10 on the focused icon. Wine's notification area takes no keyboard focus of its own: the probe
    # gives it, as the tray itself does after Escape.
    xdotool mousemove "$elsewhere_x" "$elsewhere_y"
    if probe focus 5 >/dev/null; then
        xdotool key shift+F10
        if probe shown 5 >/dev/null; then
            check "Shift+F10 on the focused icon opens the menu" 0
            xdotool key Escape
            probe gone 5 >/dev/null
        else
            echo "SKIP  Shift+F10 on the focused icon: this Wine's notification area sends no WM_CONTEXTMENU for keys"
        fi
    else
        echo "SKIP  Shift+F10 on the focused icon: this Wine's notification area refuses NIM_SETFOCUS"
    fi

    # "Quit" is the last item: Up from no selection selects it, Enter chooses it.
    xdotool mousemove "$icon_x" "$icon_y" click 3
    probe shown 10 >/dev/null
    exit_log=$(mktemp)
    probe exit 30 >"$exit_log" &  # holds the tray's process before the keys end it
    exit_probe=$!
    sleep 3
    xdotool key Up
    sleep 0.2
    xdotool key Return
    wait "$exit_probe"
    status=$?
    cat "$exit_log"
    rm -f "$exit_log"
    if ((status == 0)); then
        check "the arrow keys and Enter choose Quit: the tray ends with code 0 and removes its icon" 0
    else
        check "the arrow keys and Enter choose Quit: the tray ends with code 0 and removes its icon" 1
        probe quit 20 || true
    fi
else
    check "xdotool and imagemagick's compare found" 1 "install xdotool and imagemagick (scripts/install-deps.sh)"
    # "Quit" is the menu's last item; if picking it fails, end the loop directly so the rest still runs.
    if probe pick 20; then
        check "choosing Quit ends the tray with code 0 and removes its icon" 0
    else
        check "choosing Quit ends the tray with code 0 and removes its icon" 1
        probe quit 20 || true
    fi
fi

deadline=$((SECONDS + 15))
while tray_alive && ((SECONDS < deadline)); do sleep 0.5; done
! tray_alive
check "tray process is gone" $?

"$WINESERVER_BIN" -k >/dev/null 2>&1
echo "Wine part took $((SECONDS - started)) s"
summary
