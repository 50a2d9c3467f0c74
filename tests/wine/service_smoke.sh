#!/usr/bin/env bash
# The cross-built service under Wine's service control manager: install it with sc, start it, see it
# run, stop it, and check the settings it keeps in the registry; then run it outside the service
# manager, where its dispatcher must fail with ERROR_FAILED_SERVICE_CONTROLLER_CONNECT (1063).
#
#   tests/wine/service_smoke.sh [WINDOWS-BUILD-DIR]     (default: build/win)
#
# Prints PASS/FAIL per check and ends with "N passed, N failed"; exits non-zero on any failure.
set -uo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
repo=$(cd "$here/../.." && pwd)
# shellcheck source=tests/wine/common.bash
source "$here/common.bash"

exe=${1:-$repo/build/win}/QuillonVADService.exe
service="Quillon Virtual Device Driver"
settings_key='HKLM\SOFTWARE\Arvel Rozezezezed\Quillon Virtual Device Driver'
install_dir='C:\Program Files\Quillon'
install_path="$install_dir\\QuillonVADService.exe"

if [[ ! -f "$exe" ]]; then
    check "service executable exists ($exe)" 1
    summary
    exit 1
fi
if ! wine_find; then
    check "wine64 found" 1 "install wine64 (scripts/install-deps.sh)"
    summary
    exit 1
fi
unset DISPLAY  # the service has no windows; nothing may depend on an X server here

wine_prefix_create
trap wine_prefix_remove EXIT
echo "Wine: $WINE; prefix: $WINEPREFIX"

# The prefix. wineboot returns while the first boot still goes on in services.exe (the service
# database stays locked for a while), so wait for that Wine session to end, then keep a server alive
# for the whole run so each command doesn't start and stop one.
wine_run 300 wineboot --init >/dev/null 2>&1
check "wineboot creates the prefix" $?
timeout -k 5 120 "$WINESERVER_BIN" -w
"$WINESERVER_BIN" -p
mkdir -p "$WINEPREFIX/drive_c/Program Files/Quillon"
cp "$exe" "$WINEPREFIX/drive_c/Program Files/Quillon/QuillonVADService.exe"
diag_exe=$(dirname "$exe")/QuillonDiag.exe
cp "$diag_exe" "$WINEPREFIX/drive_c/Program Files/Quillon/QuillonDiag.exe" 2>/dev/null
check "QuillonDiag.exe exists ($diag_exe)" $?
# A console program's full exit code, through a batch file; its output (both streams) before "exit=".
printf '@echo off\r\n"%s\\QuillonDiag.exe" --once 2>&1\r\necho exit=%%ERRORLEVEL%%\r\n' "$install_dir" \
    >"$WINEPREFIX/drive_c/run_diag.cmd"
diag_once() { wine_run 60 cmd /c 'C:\run_diag.cmd' 2>/dev/null | tr -d '\r'; }

# service_state: the STATE word sc query prints (RUNNING, STOPPED, ...), or nothing.
service_state() {
    wine_run 30 sc query "$service" 2>/dev/null | tr -d '\r' | awk '$1 == "STATE" { print $4; exit }'
}

# wait_for_state STATE SECONDS: polls sc query every half second; status 0 once the state is reached.
wait_for_state() {
    local wanted=$1 deadline=$((SECONDS + $2)) state
    while ((SECONDS < deadline)); do
        state=$(service_state)
        [[ "$state" == "$wanted" ]] && return 0
        sleep 0.5
    done
    echo "  last state: ${state:-none}"
    return 1
}

# Quoted, as the path has a space in it.
wine_run 60 sc create "$service" binPath= "\"$install_path\"" >/dev/null
check "sc create" $?

diag=$(diag_once)
echo "$diag" | sed 's/^/  | /'
grep -q '^The Quillon service is not running' <<<"$diag" && grep -q 'sc start' <<<"$diag" &&
    grep -qx 'exit=1' <<<"$diag"
check "QuillonDiag --once without the service: says it is not running, exit code 1" $?

wine_run 60 sc start "$service" >/dev/null
check "sc start" $?
wait_for_state RUNNING 30
check "service reaches RUNNING" $?

# The diagnostics block lives as long as the service, also while it rebuilds its supervisor without the
# driver every second.
sleep 1.5
diag=$(diag_once)
echo "$diag" | sed 's/^/  | /'
grep -q '^Quillon bridge: no console$' <<<"$diag" && grep -q '^15 playback  -  idle' <<<"$diag" &&
    grep -qx 'exit=0' <<<"$diag"
check "QuillonDiag --once with the service running: the table, state \"no console\", exit code 0" $?

# Let it run a few of its one-second supervisor rounds; it must still be running afterwards.
sleep 3
state=$(service_state)
[[ "$state" == RUNNING ]]
check "service still RUNNING after 3 s" $? "state ${state:-none}"

wine_run 60 sc stop "$service" >/dev/null
check "sc stop" $?
wait_for_state STOPPED 30
check "service reaches STOPPED after sc stop" $?

# The service's process is gone once it reports STOPPED (only processes of this prefix count).
service_process_alive() {
    local pid
    for pid in $(pgrep -f 'QuillonVADService\.exe' || true); do
        if tr '\0' '\n' 2>/dev/null <"/proc/$pid/environ" | grep -qxF "WINEPREFIX=$WINEPREFIX"; then return 0; fi
    done
    return 1
}
deadline=$((SECONDS + 15))
while service_process_alive && ((SECONDS < deadline)); do sleep 0.5; done
! service_process_alive
check "service process exits after STOPPED" $?

settings=$(wine_run 60 reg query "$settings_key" 2>&1 | tr -d '\r')
echo "$settings" | sed -n '/REG_/s/^/  /p'
echo "$settings" | grep -Eq '^[[:space:]]+Enable[[:space:]]+REG_DWORD[[:space:]]+0x1$'
check "registry: Enable = REG_DWORD 0x1" $?
echo "$settings" | grep -Eq '^[[:space:]]+Latency[[:space:]]+REG_DWORD[[:space:]]+0x0$'
check "registry: Latency = REG_DWORD 0x0" $?

# Outside the service manager. A Unix exit status keeps only the low 8 bits, so read the full code
# through a batch file (cmd waits for GUI programs in batch mode).
printf '@echo off\r\n"%s"\r\necho exit=%%ERRORLEVEL%%\r\n' "$install_path" >"$WINEPREFIX/drive_c/run_direct.cmd"
direct=$(wine_run 60 cmd /c 'C:\run_direct.cmd' 2>/dev/null | tr -d '\r' | sed -n 's/^exit=//p')
[[ "$direct" == 1063 ]]
check "run directly: exits with 1063 (ERROR_FAILED_SERVICE_CONTROLLER_CONNECT)" $? "exit code ${direct:-none}"

summary
