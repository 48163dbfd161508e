#!/bin/bash
# Compares what vyrwinscen.exe reported under Wine with the host build's run of the same scenario
# (vyrsim's `winscen` step, the same scenario source on the host kernel): the paths tables before
# and after, every step's result, the failovers, the changer moves and the summary must agree line
# for line. Nothing needs normalising: the report holds no times, handles or addresses, and the
# Windows program writes LF line ends (a CR is stripped all the same, should a console add one).
#
#   compare_host.sh WINE_OUTPUT VYRSIM
#
# The topology is read from the Wine report's first line. Exit status: 0 the two runs agree; 1 they
# differ (the differences are printed, host first); 2 a report is missing or vyrsim could not run.
set -u

if [ $# -ne 2 ]; then
    echo "usage: $0 WINE_OUTPUT VYRSIM" >&2
    exit 2
fi
wine_output=$1
vyrsim=$2

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The report: from the scenario's first line to its result line.
extract() {
    tr -d '\r' < "$1" | sed -n '/^vyrwinscen: /,/^  result /p'
}

if [ ! -r "$wine_output" ]; then
    echo "compare_host: cannot read the Wine run's output $wine_output" >&2
    exit 2
fi
extract "$wine_output" > "$work/wine.txt"
header=$(head -n 1 "$work/wine.txt")
if [ -z "$header" ]; then
    echo "compare_host: $wine_output holds no scenario report; it begins:" >&2
    head -n 20 "$wine_output" >&2
    exit 2
fi

# "vyrwinscen: 2 tape drive(s) with 2 path(s) each, 1 changer(s) with 2; ..."
pattern='^vyrwinscen: ([0-9]+) tape drive\(s\) with ([0-9]+) path\(s\) each, ([0-9]+) changer\(s\) with ([0-9]+);'
if [[ ! $header =~ $pattern ]]; then
    echo "compare_host: the report's first line does not name a topology: $header" >&2
    exit 2
fi
drives=${BASH_REMATCH[1]} paths=${BASH_REMATCH[2]} changers=${BASH_REMATCH[3]} changer_paths=${BASH_REMATCH[4]}
if [ "$changers" != 0 ] && [ "$paths" != "$changer_paths" ]; then
    echo "compare_host: vyrsim gives drives and changers the same number of paths ($paths, $changer_paths)" >&2
    exit 2
fi

timeout 900 "$vyrsim" --drives "$drives" --changers "$changers" --paths "$paths" boot winscen \
    > "$work/host-run.txt" 2> "$work/host-errors.txt" < /dev/null
host_status=$?
extract "$work/host-run.txt" > "$work/host.txt"
if [ ! -s "$work/host.txt" ]; then
    echo "compare_host: vyrsim (exit status $host_status) printed no scenario report:" >&2
    cat "$work/host-run.txt" "$work/host-errors.txt" >&2
    exit 2
fi

if ! diff -u --label "host build (vyrsim winscen, exit status $host_status)" --label "Wine ($wine_output)" \
    "$work/host.txt" "$work/wine.txt"; then
    echo "compare_host: the Wine run and the host build's run differ (above)" >&2
    exit 1
fi
echo "compare_host: the Wine run agrees with the host build's run ($(wc -l < "$work/host.txt") lines;" \
    "host $(grep -m1 '^  result ' "$work/host.txt" | awk '{print $2}'))"
exit 0
