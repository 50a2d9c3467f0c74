#!/usr/bin/env bash
# The installer, QuillonSetup-<version>.exe, in a fresh Wine prefix whose session has a desktop with a
# taskbar (a Wine virtual desktop in Xvfb): install through the wizard's pages (tray_probe presses Next
# and reads the last page, which must say that the virtual audio driver is missing: the prefix has
# none), install the same version again over it silently (/S: the upgrade path, with the service and the
# tray running), uninstall silently; each step is followed by a look at the files, the service with its
# recovery actions, the Start-menu entry, the tray and the registry. Also what the installer carries: a
# 64-bit program with the project version and the tray's icon, signed, as is the uninstaller it writes.
#
#   tests/wine/installer.sh [WINDOWS-BUILD-DIR]     (default: build/win)
#
# Prints PASS/FAIL per check and ends with "N passed, N failed"; exits non-zero on any failure.
set -uo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
repo=$(cd "$here/../.." && pwd)
# shellcheck source=tests/wine/common.bash
source "$here/common.bash"

build=${1:-$repo/build/win}
version=$(sed -n 's/^project(Quillon VERSION \([0-9.]*\).*/\1/p' "$repo/CMakeLists.txt")
setup=$build/QuillonSetup-$version.exe
service="Quillon Virtual Device Driver"
service_key="HKLM\\System\\CurrentControlSet\\Services\\$service"
settings_key='HKLM\SOFTWARE\Arvel Rozezezezed\Quillon Virtual Device Driver'
uninstall_key='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\Quillon'
run_key='HKLM\Software\Microsoft\Windows\CurrentVersion\Run'
install_dir='C:\Program Files\Quillon'
programs=(QuillonVADService.exe QuillonSystray.exe QuillonDiag.exe)
started=$SECONDS

echo "project version: $version"
if [[ ! -f "$setup" ]]; then
    check "installer exists ($setup)" 1 "built by the Windows build when makensis (package nsis) is there"
    summary
    exit 1
fi
echo "installer: $setup ($(stat -c %s "$setup") bytes)"
if ! wine_find; then
    check "wine64 found" 1 "install wine64 (scripts/install-deps.sh)"
    summary
    exit 1
fi

# What it carries, read back from the file: a 64-bit program, the version block, and the very icon
# images of the tray.
windres=x86_64-w64-mingw32-windres
format=$(x86_64-w64-mingw32-objdump -f "$setup" 2>/dev/null | sed -n 's/.*file format //p')
echo "installer architecture: $format"
[[ "$format" == pei-x86-64 ]]
check "installer: a 64-bit (x64) program" $? "format ${format:-unknown}"
rc=$("$windres" -F pe-x86-64 -i "$setup" -O rc 2>/dev/null)
IFS=. read -r v1 v2 v3 v4 <<<"$version"
grep -q "^ FILEVERSION ${v1:-0}, ${v2:-0}, ${v3:-0}, ${v4:-0}\$" <<<"$rc" &&
    grep -q "VALUE \"ProductVersion\", \"$version\"" <<<"$rc" && grep -q 'VALUE "CompanyName", "Arvel Rozezezezed"' <<<"$rc"
check "installer: version resource with $version and the publisher" $?
# icon_images: the RT_ICON images of a decompiled .rc, one line each, in a stable order (the resource
# numbers and order are each linker's own).
icon_images() {
    awk '/^[0-9]+ 3 / { inside = 1; image = ""; next }
         inside && /^END/ { inside = 0; print image; next }
         inside { gsub(/[[:space:]]/, ""); image = image $0 }' | sort
}
tray_icons=$("$windres" -J coff -i "$build/QuillonSystray.exe" -O rc 2>/dev/null | icon_images)
[[ -n "$tray_icons" && "$(icon_images <<<"$rc")" == "$tray_icons" ]]
check "installer: its icon images are the tray's" $?

if ! command -v Xvfb >/dev/null; then
    check "Xvfb found" 1 "install xvfb (scripts/install-deps.sh)"
    summary
    exit 1
fi
xvfb_start
check "Xvfb runs (display ${DISPLAY:-?})" $?
cleanup() {
    wine_prefix_remove
    xvfb_stop
}
trap cleanup EXIT
wine_prefix_create
echo "Wine: $WINE; prefix: $WINEPREFIX"
wine_run 300 wineboot --init >/dev/null 2>&1
check "wineboot creates the prefix" $?
timeout -k 5 120 "$WINESERVER_BIN" -w
# Every program of the session in one virtual desktop, with its taskbar and notification area, as a
# user's logon has it: the installer starts the tray there.
wine_run 30 reg add 'HKCU\Software\Wine\Explorer' /v Desktop /d Default /f >/dev/null 2>&1
wine_run 30 reg add 'HKCU\Software\Wine\Explorer\Desktops' /v Default /d 800x600 /f >/dev/null 2>&1
timeout -k 5 60 "$WINESERVER_BIN" -w
"$WINESERVER_BIN" -p
cp "$setup" "$WINEPREFIX/drive_c/QuillonSetup.exe"
cp "$build/tray_probe.exe" "$WINEPREFIX/drive_c/tray_probe.exe"
installed=$WINEPREFIX/drive_c/Program\ Files/Quillon
start_menu_link=$WINEPREFIX/drive_c/ProgramData/Microsoft/Windows/Start\ Menu/Programs/Quillon.lnk
diag_link=$WINEPREFIX/drive_c/ProgramData/Microsoft/Windows/Start\ Menu/Programs/Quillon\ Diagnostics.lnk

# reg_value KEY NAME: the data of one value as reg query prints it ("REG_DWORD 0x1" -> "0x1"), or nothing.
reg_value() {
    wine_run 30 reg query "$1" /v "$2" 2>/dev/null | tr -d '\r' |
        awk -v name="$2" '$1 == name { sub(/^[[:space:]]*[^[:space:]]+[[:space:]]+REG_[A-Z_]+[[:space:]]+/, ""); print; exit }'
}
reg_key_exists() { wine_run 30 reg query "$1" >/dev/null 2>&1; }

service_state() {
    wine_run 30 sc query "$service" 2>/dev/null | tr -d '\r' | awk '$1 == "STATE" { print $4; exit }'
}
wait_for_state() {  # wait_for_state STATE SECONDS
    local deadline=$((SECONDS + $2)) state
    while ((SECONDS < deadline)); do
        state=$(service_state)
        [[ "$state" == "$1" ]] && return 0
        sleep 0.5
    done
    echo "  last state: ${state:-none}"
    return 1
}

# tray_pids: the tray's processes in this prefix (the program itself, by its Windows command line).
tray_pids() {
    local pid
    for pid in $(pgrep -f '^"?C:.Program Files.Quillon.QuillonSystray\.exe' || true); do
        [[ "$(ps -o stat= -p "$pid" 2>/dev/null)" == Z* ]] && continue
        if tr '\0' '\n' 2>/dev/null <"/proc/$pid/environ" | grep -qxF "WINEPREFIX=$WINEPREFIX"; then echo "$pid"; fi
    done
}
wait_tray_up() {
    local deadline=$((SECONDS + 20))
    while [[ -z "$(tray_pids)" ]] && ((SECONDS < deadline)); do sleep 0.3; done
    [[ -n "$(tray_pids)" ]]
}
wait_tray_gone() {
    local deadline=$((SECONDS + 15))
    while [[ -n "$(tray_pids)" ]] && ((SECONDS < deadline)); do sleep 0.3; done
    [[ -z "$(tray_pids)" ]]
}

# setup ARGS...: the installer, silent; its exit status.
setup() { wine_run 180 'C:\QuillonSetup.exe' /S "$@"; }

# ---- install, through the wizard
step=$SECONDS
wine_run 180 'C:\QuillonSetup.exe' >/dev/null 2>&1 &
setup_pid=$!
pages=$(wine_run 150 'C:\tray_probe.exe' setup 120 2>/dev/null | tr -d '\r')
echo "$pages" | sed 's/^/  | /'
wait "$setup_pid"
status=$?
check "install through the wizard exits with 0" "$status" "exit status $status"
echo "  install took $((SECONDS - step)) s"
grep -q 'Root\\Quillon_VirtualAudio) is not installed' <<<"$pages" && grep -q "console's audio channels" <<<"$pages"
check "without the virtual audio driver the last page says the console's audio needs it" $?
missing=""
for file in "${programs[@]}" Uninstall.exe; do [[ -f "$installed/$file" ]] || missing+=" $file"; done
for file in "${programs[@]}"; do cmp -s "$build/$file" "$installed/$file" || missing+=" $file(differs)"; done
[[ -z "$missing" ]]
check "files in $install_dir: the programs as built, Uninstall.exe" $? "missing:$missing"
# The uninstaller is written by the installer on the target machine, from the copy signed at build time.
check_signature "$installed/Uninstall.exe" "installed Uninstall.exe" "$build"
uninstaller_rc=$("$windres" -J coff -i "$installed/Uninstall.exe" -O rc 2>/dev/null)
grep -q "VALUE \"ProductVersion\", \"$version\"" <<<"$uninstaller_rc"
check "installed Uninstall.exe: version resource with $version" $?
wait_for_state RUNNING 30
check "service is RUNNING (sc query)" $?
# Wine's sc has no "qc": the service manager's own database says how the service starts.
[[ "$(reg_value "$service_key" Start)" == 0x2 && "$(reg_value "$service_key" Type)" == 0x10 &&
    "$(reg_value "$service_key" ImagePath)" == "\"$install_dir\\QuillonVADService.exe\"" &&
    -n "$(reg_value "$service_key" Description)" ]]
check "service: AUTO_START, own process, the installed program, with a description" $? \
    "$(wine_run 30 reg query "$service_key" 2>/dev/null | tr -d '\r' | grep REG_ | tr -s ' ' | tr '\n' ';')"
# The recovery actions as "sc qfailure" and "sc qfailureflag" show them (Wine's sc knows neither: the
# probe asks the service manager the same questions). Wine 8 takes the actions and keeps nothing: its
# QueryServiceConfig2W answers both with ERROR_INVALID_LEVEL (124); that is said, not counted.
if wine_run 30 sc qfailure "$service" >/dev/null 2>&1; then
    failure=$(wine_run 30 sc qfailure "$service" 2>&1; wine_run 30 sc qfailureflag "$service" 2>&1)
else
    failure=$(wine_run 30 'C:\tray_probe.exe' qfailure 10 "$service" 2>&1)
fi
failure=$(tr -d '\r' <<<"$failure")
echo "$failure" | sed 's/^/  | /'
if grep -q 'QueryServiceConfig2 (failure actions) FAILED 124$' <<<"$failure"; then
    echo "SKIP  service recovery actions read back: this Wine does not keep them (ERROR_INVALID_LEVEL)"
else
    [[ "$(grep -c 'RESTART -- Delay = 5000 milliseconds' <<<"$failure")" == 3 ]] &&
        grep -Eq 'RESET_PERIOD \(in seconds\) +: 86400$' <<<"$failure" &&
        grep -Eq 'FAILURE_ACTIONS_ON_NONCRASH_FAILURES: TRUE$' <<<"$failure"
    check "service recovery: restart after 5 s three times, reset after a day, also on non-crash failures" $?
fi
link_text=$(iconv -f UTF-16LE -t UTF-8 "$start_menu_link" 2>/dev/null | tr -c '[:print:]' '\n')
[[ -f "$start_menu_link" ]] && grep -qi 'Quillon.QuillonSystray\.exe' <<<"$link_text$(strings "$start_menu_link" 2>/dev/null)"
check "Start menu (all users): Quillon.lnk starts the installed tray" $?
# Its target is cmd.exe; the program is in the arguments, which a link keeps in UTF-16 only.
[[ -f "$diag_link" ]] && strings -e l "$diag_link" | grep -qi '/k ""C:.Program Files.Quillon.QuillonDiag\.exe""'
check "Start menu (all users): Quillon Diagnostics.lnk opens QuillonDiag in a console that stays open" $?
run_value=$(reg_value "$run_key" Quillon)
[[ "$run_value" == "\"$install_dir\\QuillonSystray.exe\"" ]]
check "Run value starts the installed tray" $? "Quillon = ${run_value:-none}"
size=$(reg_value "$uninstall_key" EstimatedSize)
[[ "$(reg_value "$uninstall_key" DisplayVersion)" == "$version" &&
    "$(reg_value "$uninstall_key" Publisher)" == "Arvel Rozezezezed" &&
    "$(reg_value "$uninstall_key" DisplayIcon)" == "$install_dir\\QuillonSystray.exe,0" &&
    "$(reg_value "$uninstall_key" UninstallString)" == "\"$install_dir\\Uninstall.exe\"" &&
    -n "$size" && $((size)) -gt 1000 ]]
check "uninstall entry: version, publisher, icon, uninstaller, size" $? \
    "$(wine_run 30 reg query "$uninstall_key" 2>/dev/null | tr -d '\r' | grep REG_ | tr -s ' ' | tr '\n' ';')"
wait_tray_up
check "the installer started the tray" $?

# ---- the same version again, over the running service and tray, with a setting of the user's
# The service reads its settings when it builds a supervisor and writes them back when it discards one
# (about once a second without the virtual driver here): write, then see the value settle.
for _ in 1 2 3; do
    wine_run 30 reg add "$settings_key" /v Latency /t REG_DWORD /d 1 /f >/dev/null 2>&1
    sleep 1.5
    [[ "$(reg_value "$settings_key" Latency)" == 0x1 ]] && break
done
tray_before=$(tray_pids)
# Changed installed copies show whether the upgrade really puts the programs back.
for file in "${programs[@]}"; do printf 'changed' >>"$installed/$file"; done
step=$SECONDS
setup
status=$?
check "silent upgrade exits with 0" "$status" "exit status $status"
echo "  upgrade took $((SECONDS - step)) s"
replaced=1
for file in "${programs[@]}"; do cmp -s "$build/$file" "$installed/$file" || replaced=0; done
((replaced))
check "upgrade replaced the programs" $?
wait_tray_up
tray_after=$(tray_pids)
[[ -n "$tray_before" && -n "$tray_after" && -z "$(comm -12 <(sort <<<"$tray_before") <(sort <<<"$tray_after"))" ]]
check "upgrade ended the running tray and started it again" $? "before: ${tray_before:-none}; after: ${tray_after:-none}"
wait_for_state RUNNING 30
check "service is RUNNING again after the upgrade" $?
[[ "$(reg_value "$settings_key" Latency)" == 0x1 && "$(reg_value "$settings_key" Enable)" == 0x1 ]]
check "settings kept: Latency = 1 (and Enable = 1)" $? \
    "Latency $(reg_value "$settings_key" Latency), Enable $(reg_value "$settings_key" Enable)"
reg_key_exists "$uninstall_key"
check "uninstall entry still there" $?

# ---- uninstall
tray_before=$(tray_pids)
step=$SECONDS
wine_run 60 "$install_dir\\Uninstall.exe" /S
status=$?
check "silent uninstall starts (exit 0)" "$status" "exit status $status"
# The uninstaller goes on from a copy of itself in the temporary folder; its last act is the entry.
deadline=$((SECONDS + 60))
while { reg_key_exists "$uninstall_key" || [[ -e "$installed" ]]; } && ((SECONDS < deadline)); do sleep 0.5; done
echo "  uninstall took $((SECONDS - step)) s"
! reg_key_exists "$uninstall_key"
check "uninstall entry removed" $?
[[ ! -e "$installed" ]]
check "installed files and folder removed" $? "$(ls "$installed" 2>/dev/null | tr '\n' ' ')"
! reg_key_exists "$service_key" && [[ -z "$(service_state)" ]]
check "service deleted" $?
[[ -z "$(reg_value "$run_key" Quillon)" ]]
check "Run value removed" $?
[[ ! -e "$start_menu_link" && ! -e "$diag_link" ]]
check "Start-menu entries removed" $?
[[ -n "$tray_before" ]] && wait_tray_gone
check "uninstall ended the running tray" $?
[[ "$(reg_value "$settings_key" Latency)" == 0x1 ]]
check "settings key kept (silent uninstall)" $?
wine_prefix_remove

echo "installer checks took $((SECONDS - started)) s"
summary
