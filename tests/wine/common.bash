# Shared by the Wine smoke tests: finding Wine, a throw-away prefix, time-boxed Wine commands and the
# PASS/FAIL tally. Source it; it defines functions and variables only.

# Debian's wine64 package installs the 64-bit loader outside PATH (/usr/lib/wine/wine64); the `wine`
# wrapper from the `wine` package picks a 32-bit loader first and complains when there is none. Use the
# 64-bit loader and its server directly; fall back to whatever PATH has.
wine_find() {
    local candidate
    WINE=""
    for candidate in /usr/lib/wine/wine64 /usr/lib64/wine/wine64 "$(command -v wine64 || true)" \
        "$(command -v wine || true)"; do
        if [[ -n "$candidate" && -x "$candidate" ]]; then WINE=$candidate; break; fi
    done
    WINESERVER_BIN=""
    for candidate in /usr/lib/wine/wineserver64 /usr/lib64/wine/wineserver64 "$(command -v wineserver64 || true)" \
        "$(command -v wineserver || true)"; do
        if [[ -n "$candidate" && -x "$candidate" ]]; then WINESERVER_BIN=$candidate; break; fi
    done
    [[ -n "$WINE" && -n "$WINESERVER_BIN" ]] || return 1
    export WINELOADER=$WINE WINESERVER=$WINESERVER_BIN
}

# A fresh prefix in a temporary folder, removed (with its server) by wine_prefix_remove.
wine_prefix_create() {
    # Wine wants a home folder even with its prefix elsewhere (CI may start without HOME).
    if [[ -z "${HOME:-}" ]]; then
        HOME=$(getent passwd "$(id -u)" | cut -d: -f6)
        export HOME
    fi
    WINEPREFIX=$(mktemp -d "${TMPDIR:-/tmp}/quillon-wine.XXXXXX")
    export WINEPREFIX
    export WINEDEBUG=-all
    export WINEARCH=win64
    # No Mono or Gecko installer dialogs: nothing here needs .NET or the HTML engine.
    export WINEDLLOVERRIDES="mscoree,mshtml="
}

wine_prefix_remove() {
    [[ -n "${WINEPREFIX:-}" && -d "$WINEPREFIX" ]] || return 0
    timeout -k 5 30 "$WINESERVER_BIN" -k >/dev/null 2>&1 || true
    timeout -k 5 30 "$WINESERVER_BIN" -w >/dev/null 2>&1 || true
    rm -rf "$WINEPREFIX"
}

# wine_run SECONDS PROGRAM ARGS...: a Wine command, killed after SECONDS; its status is the command's.
wine_run() {
    local seconds=$1
    shift
    timeout -k 5 "$seconds" "$WINE" "$@" </dev/null
}

PASSED=0
FAILED=0

check() {  # check NAME CONDITION-STATUS [DETAIL]
    local name=$1 status=$2 detail=${3:-}
    if [[ "$status" == 0 ]]; then
        PASSED=$((PASSED + 1))
        echo "PASS  $name"
    else
        FAILED=$((FAILED + 1))
        echo "FAIL  $name${detail:+ -- $detail}"
    fi
}

summary() {
    echo "$PASSED passed, $FAILED failed"
    [[ "$FAILED" == 0 ]]
}

# xvfb_start: an X server of our own on the first free display number; sets DISPLAY and XVFB_PID
# (status 1 when it does not come up). xvfb_stop ends it.
XVFB_PID=""
xvfb_start() {
    local display_file display_number
    display_file=$(mktemp)
    Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$display_file" 2>/dev/null &
    XVFB_PID=$!
    for _ in $(seq 50); do [[ -s "$display_file" ]] && break; sleep 0.1; done
    display_number=$(head -n1 "$display_file")
    rm -f "$display_file"
    [[ -n "$display_number" ]] || return 1
    export DISPLAY=":$display_number"
}
xvfb_stop() {
    [[ -n "$XVFB_PID" ]] || return 0
    kill "$XVFB_PID" 2>/dev/null
    wait "$XVFB_PID" 2>/dev/null
    XVFB_PID=""
}

# check_signature FILE NAME BUILD-DIR: osslsigncode verifies FILE's Authenticode signature (SHA-256)
# against the build's throw-away test certificate, or, when the build was signed with a certificate
# from QUILLON_SIGN_PFX, against the system's trusted roots. SKIP without osslsigncode.
check_signature() {
    local file=$1 name=$2 build=$3 output trust=()
    if ! command -v osslsigncode >/dev/null; then
        echo "SKIP  $name: signature (osslsigncode not installed, so the build did not sign either)"
        return 0
    fi
    [[ -z "${QUILLON_SIGN_PFX:-}" ]] && trust=(-CAfile "$build/signing/quillon-test-signing.pem")
    output=$(osslsigncode verify "${trust[@]}" -in "$file" 2>&1)
    grep -q '^Signature verification: ok' <<<"$output" && grep -q 'Message digest algorithm *: SHA256' <<<"$output"
    check "$name: Authenticode signature (SHA-256) verifies" $? \
        "$(grep -E 'Signature verification|No signature|Failed|error' <<<"$output" | head -n 3 | tr '\n' ' ')"
}
