#!/usr/bin/env bash
# Runs a negative test of vyrpecheck: optionally makes a damaged copy of an image, then runs the
# check, which must fail with exit status 1 (a failed check -- not 2, a usage error or a missing
# file) and print a line matching each given pattern.
#
#   expect_fail.sh -e REGEX [-e REGEX ...] -- [MUTATE COMMAND ...] -- CHECK COMMAND ...
set -u

patterns=()
while [[ $# -gt 0 && $1 == -e ]]; do
  patterns+=("$2")
  shift 2
done
if [[ $# -eq 0 || $1 != -- || ${#patterns[@]} -eq 0 ]]; then
  echo "usage: expect_fail.sh -e REGEX [-e REGEX ...] -- [MUTATE ...] -- CHECK ..." >&2
  exit 1
fi
shift
mutate=()
while [[ $# -gt 0 && $1 != -- ]]; do
  mutate+=("$1")
  shift
done
if [[ $# -lt 2 ]]; then
  echo "expect_fail: no check command" >&2
  exit 1
fi
shift

if [[ ${#mutate[@]} -gt 0 ]]; then
  if ! "${mutate[@]}"; then
    echo "expect_fail: could not make the damaged image: ${mutate[*]}"
    exit 1
  fi
fi

output=$("$@" 2>&1)
status=$?
printf '%s\n' "$output"
if [[ $status -ne 1 ]]; then
  echo "expect_fail: the check exited with status $status; a detected fault exits with 1"
  exit 1
fi
for pattern in "${patterns[@]}"; do
  if ! grep -Eq -- "$pattern" <<<"$output"; then
    echo "expect_fail: no line matches: $pattern"
    exit 1
  fi
done
echo "expect_fail: the check failed as expected"
