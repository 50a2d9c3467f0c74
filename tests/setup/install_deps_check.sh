#!/usr/bin/env bash
# scripts/install-deps.sh against a mirror that fails: apt is pointed (through QUILLON_APT_OPTIONS) at a
# sources list holding only a local file source whose index is missing, with its own lists and cache
# folders and no locking, so the machine's apt state is neither used nor touched. One package that no
# source has is asked for, first as needed, then as optional:
#   needed:   the failed index is reported, the run goes on, and it fails naming the package;
#   optional: the failed index is reported, the package is reported with what its absence leaves out,
#             and the run succeeds.
#
#   tests/setup/install_deps_check.sh
#
# Prints PASS/FAIL per check and ends with "N passed, N failed"; exits non-zero on any failure.
set -uo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
repo=$(cd "$here/../.." && pwd)
# shellcheck source=tests/wine/common.bash
source "$repo/tests/wine/common.bash"

if ((EUID != 0)) && ! sudo -n true 2>/dev/null; then
    echo "SKIP  install-deps.sh with a broken source: needs root or sudo without a password (apt-get install)"
    summary
    exit $?
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/parts" "$work/lists/partial" "$work/cache/archives/partial" "$work/broken"
# A flat repository with no Packages file: its index cannot be fetched.
echo "deb [trusted=yes] file:$work/broken ./" >"$work/sources.list"
export QUILLON_APT_OPTIONS="-o Dir::Etc::SourceList=$work/sources.list -o Dir::Etc::SourceParts=$work/parts
    -o Dir::State::Lists=$work/lists -o Dir::Cache=$work/cache -o Debug::NoLocking=true -o APT::Sandbox::User=root"
absent=quillon-check-no-such-package

# Every package of --linux must be present for the script to get past its first look; that is what
# the check relies on, not what it checks.
if ! bash "$repo/scripts/install-deps.sh" --linux >/dev/null 2>&1; then
    echo "SKIP  install-deps.sh with a broken source: the Linux packages are not all installed here"
    summary
    exit $?
fi

output=$(QUILLON_DEPS_EXTRA=$absent timeout 300 bash "$repo/scripts/install-deps.sh" --linux 2>&1)
status=$?
echo "$output" | sed 's/^/  | /'
grep -q 'apt-get update could not refresh every index' <<<"$output" && grep -qF "file:$work/broken" <<<"$output"
check "needed: the failed index is reported, naming its source" $?
grep -q "^install-deps: installing $absent\$" <<<"$output" && grep -q "FAILED, still missing: $absent\$" <<<"$output"
check "needed: the run goes on past the failed update and fails naming the missing package" $?
((status == 1))
check "needed: exit status 1" $? "status $status"

output=$(QUILLON_DEPS_EXTRA="$absent?" timeout 300 bash "$repo/scripts/install-deps.sh" --linux 2>&1)
status=$?
echo "$output" | sed 's/^/  | /'
grep -q 'apt-get update could not refresh every index' <<<"$output"
check "optional: the failed index is reported" $?
grep -q "optional package $absent not installed (.*[Uu]nable to locate.*): asked for as optional" <<<"$output" &&
    grep -q '^install-deps: done$' <<<"$output"
check "optional: reported with apt's reason and what it leaves out; the run completes" $?
((status == 0))
check "optional: exit status 0" $? "status $status"

summary
