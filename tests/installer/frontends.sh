#!/bin/bash
# The host front ends on a machine kept in files: each passes its words (without the program name)
# to the library and returns the library's result.
set -u
bin=$1 package=$2 images=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export VYR_SANDBOX=$work/machine VYR_HIVE=$work/hive.txt VYR_CURRENT_DIRECTORY='C:\install'
mkdir -p "$VYR_SANDBOX/C/install/drivers"
cp "$package"/*.inf "$VYR_SANDBOX/C/install/drivers/"
cp "$images"/vyrtpbs2k16.sys "$images"/vyrcgbs2k16.sys "$VYR_SANDBOX/C/install/drivers/"
fail() { echo "FAIL: $*"; exit 1; }

out=$("$bin/setup_locked" -h) || fail "setup_locked -h returned $?"
grep -q '^   setup_locked.exe | setup_shared.exe' <<<"$out" || fail "no usage text: $out"

out=$("$bin/setup_locked" -s -t 2>&1) || fail "setup_locked -s -t returned $?: $out"
grep -q '^Successfully installed drivers. Please reboot' <<<"$out" || fail "no success line: $out"
# setup_locked asks for exclusive access.
grep -q '^"ExclusiveAccess"=dword:00000001$' "$VYR_HIVE" || fail "ExclusiveAccess is not 1 in the hive"
[ -f "$VYR_SANDBOX/C/Windows/System32/drivers/vyrtpbs2k16.sys" ] || fail "bus image not placed"

out=$("$bin/uninst" -s -v:2 2>&1) || fail "uninst returned $?: $out"
grep -q '^Uninstall successful. $' <<<"$out" || fail "no uninstall line: $out"
[ ! -f "$VYR_SANDBOX/C/Windows/System32/drivers/vyrtpbs2k16.sys" ] || fail "bus image left behind"

"$bin/uninst" -d extra.txt >/dev/null || fail "uninst usage should return 0"
out=$("$bin/setup_shared" -s 2>&1) || fail "setup_shared -s returned $?: $out"
grep -q '^"ExclusiveAccess"=dword:00000000$' "$VYR_HIVE" || fail "setup_shared left ExclusiveAccess on"
echo PASS
