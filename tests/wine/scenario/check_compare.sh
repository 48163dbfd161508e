#!/bin/bash
# The comparison of the Wine tests, checked without Wine: the host build's own report of the
# scenario agrees with the host build's run; a report with one number changed, one cut short after
# a crash, and a report of a program that found no driver are each told apart (exit status 1, with
# the differing lines shown), and a file without a report is refused (exit status 2).
#
#   check_compare.sh VYRSIM COMPARE_HOST_SH
set -u
vyrsim=$1
compare=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failed=0

expect() { # expected-status description file
    "$compare" "$3" "$vyrsim" > "$work/out.txt" 2>&1
    local status=$?
    if [ "$status" != "$1" ]; then
        echo "FAIL: $2: compare_host exited with $status, not $1:"
        cat "$work/out.txt"
        failed=1
    else
        echo "ok: $2 (exit status $status)"
    fi
}

"$vyrsim" --drives 2 --changers 1 --paths 2 boot winscen > "$work/host.txt" 2> /dev/null < /dev/null
expect 0 "the host build's own report" "$work/host.txt"

# As a Windows console might write it: CR LF line ends, and Wine's own lines around the report.
{ echo "wine: created the configuration directory"; sed 's/$/\r/' "$work/host.txt"; } > "$work/crlf.txt"
expect 0 "the same report with CR LF line ends and other lines around it" "$work/crlf.txt"

sed 's/^  bytes verified .*/  bytes verified           3080192/' "$work/host.txt" > "$work/changed.txt"
expect 1 "a report with other verified bytes" "$work/changed.txt"
if ! grep -q '^+  bytes verified           3080192' "$work/out.txt"; then
    echo "FAIL: the difference in the verified bytes is not shown"
    failed=1
fi

sed -n '1,/^write Tape0/p' "$work/host.txt" > "$work/cut.txt"
expect 1 "a report cut short after the first write" "$work/cut.txt"

printf '%s\n' "vyrwinscen: 2 tape drive(s) with 2 path(s) each, 1 changer(s) with 2; 24 records of 65536 bytes in blocks of 16384 on every tape" \
    '\\.\VYRTpBsDvcLnk: not found (Win32 error 2): the tape bus enumerator is not running' > "$work/nodriver.txt"
expect 1 "the report of a run that found no tape bus" "$work/nodriver.txt"

echo "wine: could not load kernel32.dll" > "$work/none.txt"
expect 2 "an output without a report" "$work/none.txt"
exit $failed
