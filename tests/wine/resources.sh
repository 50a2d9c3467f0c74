#!/usr/bin/env bash
# What the cross-built programs carry, read back from the .exe files (the service, the tray and the
# console program QuillonDiag): subsystem, the DLLs they import
# (no mingw runtime DLLs: the runtimes are linked in), the version block with the project version from
# CMakeLists.txt, and the tray's icon group with its four sizes; each program, and the installer, signed
# (the version blocks are read from the signed files: signing must leave them as they were).
#
#   tests/wine/resources.sh [WINDOWS-BUILD-DIR]     (default: build/win)
#
# Prints PASS/FAIL per check and ends with "N passed, N failed"; exits non-zero on any failure.
set -uo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
repo=$(cd "$here/../.." && pwd)
# shellcheck source=tests/wine/common.bash
source "$here/common.bash"

build=${1:-$repo/build/win}
windres=x86_64-w64-mingw32-windres
objdump=x86_64-w64-mingw32-objdump

version=$(sed -n 's/^project(Quillon VERSION \([0-9.]*\).*/\1/p' "$repo/CMakeLists.txt")
IFS=. read -r v_major v_minor v_patch v_tweak <<<"$version"
version_numbers="${v_major:-0}, ${v_minor:-0}, ${v_patch:-0}, ${v_tweak:-0}"
echo "project version: $version"

# check_program EXE [SUBSYSTEM]: the checks every program shares (GUI subsystem, 2, unless told 3 for a
# console program); leaves the decompiled resources in $rc.
check_program() {
    local exe=$1 subsystem=${2:-2} name
    name=$(basename "$exe")
    if [[ ! -f "$exe" ]]; then
        check "$name exists" 1 "$exe"
        return 1
    fi
    local headers imports
    headers=$("$objdump" -p "$exe")
    grep -Eq "^Subsystem[[:space:]]+0+$subsystem[[:space:]]" <<<"$headers"
    check "$name: $( ((subsystem == 3)) && echo console || echo GUI) subsystem" $?
    imports=$(sed -n 's/^[[:space:]]*DLL Name: //p' <<<"$headers" | tr '[:upper:]' '[:lower:]' | sort -u | tr '\n' ' ')
    echo "  $name imports: $imports"
    ! grep -Eq 'libstdc\+\+|libgcc|libwinpthread' <<<"$imports"
    check "$name: runtimes linked in (no mingw runtime DLL imports)" $? "$imports"

    rc=$("$windres" -J coff -i "$exe" -O rc 2>&1)
    grep -q '^1 VERSIONINFO' <<<"$rc"
    check "$name: version resource 1" $?
    grep -q "^ FILEVERSION $version_numbers\$" <<<"$rc" && grep -q "^ PRODUCTVERSION $version_numbers\$" <<<"$rc"
    check "$name: FILEVERSION and PRODUCTVERSION are $version" $? \
        "$(grep -E '^ (FILE|PRODUCT)VERSION' <<<"$rc" | tr '\n' ' ')"
    grep -q "VALUE \"ProductVersion\", \"$version\"" <<<"$rc" && grep -q "VALUE \"FileVersion\", \"$version\"" <<<"$rc"
    check "$name: version strings are $version" $?
    check_signature "$exe" "$name" "$build"
}

service=$build/QuillonVADService.exe
if check_program "$service"; then
    ! "$objdump" -p "$service" | grep -qi 'DLL Name: ksuser.dll'
    check "QuillonVADService.exe: ksuser.dll loaded at run time, not imported" $?
fi

tray=$build/QuillonSystray.exe
if [[ -f "$tray" ]] || compgen -G "$repo/Service/QuillonSystray/*.cpp" >/dev/null; then
    if check_program "$tray"; then
        # The group's entries, as windres prints them: "\020\020\000\000", 1, 32, ... (width, height in octal).
        sizes=$(awk '/^103 14 / { inside = 1; next } inside && /^END/ { exit }
                     inside && /Element no/ { split($0, q, "\""); split(q[2], b, "\\"); print b[2] }' <<<"$rc" |
            while read -r octal; do size=$((8#$octal)); echo $((size == 0 ? 256 : size)); done | sort -n |
            tr '\n' ' ')
        [[ "$sizes" == "16 32 48 256 " ]]
        check "QuillonSystray.exe: icon group 103 holds 16, 32, 48 and 256 px images" $? "sizes: ${sizes:-none}"
    fi
    ico=$build/generated/QuillonSystray.ico
    if [[ -f "$ico" ]]; then
        python3 "$repo/tools/icon/make_icon.py" --check "$ico" >/dev/null
        check "QuillonSystray.ico is a well-formed icon file" $?
    fi
else
    echo "  (no tray sources yet: QuillonSystray.exe not built)"
fi

check_program "$build/QuillonDiag.exe" 3

setup=$build/QuillonSetup-$version.exe
if [[ -f "$setup" ]]; then
    check_signature "$setup" "$(basename "$setup")" "$build"
fi

summary
