#!/usr/bin/env bash
# Prints the tests of the last ctest run in a build folder that were
# skipped, grouped by the reason each gave, with the count: a green run
# says plainly what it did not run. With CI set, a skip whose reason the
# README does not list as expected fails.
set -euo pipefail
cd "$(dirname "$0")/.."
build="${1:?a build folder}"
log="$build/Testing/Temporary/LastTest.log"
[ -f "$log" ] || { echo "no test run in $build" >&2; exit 1; }
expected="$(sed -n '/<!-- expected skips -->/,/<!-- end of expected skips -->/p' README.md |
  sed -n 's/^- `\([^`]*\)`.*/\1/p')"
awk -v expected="$expected" -v strict="${CI:-}" '
  BEGIN { count_expected = split(expected, known, "\n") }
  /^[0-9]+\/[0-9]+ Test: / { test = $3; next }
  /: Skipped$/ {
    getline reason
    if (count[reason]++ < 3) named[reason] = named[reason] " " test
    total++
  }
  function is_expected(reason,   i) {
    for (i = 1; i <= count_expected; i++)
      if (known[i] != "" && index(reason, known[i]) == 1) return 1
    return 0
  }
  END {
    printf "%d tests skipped", total
    if (total == 0) { print "."; exit }
    print ":"
    unexpected = 0
    for (reason in count) {
      more = count[reason] > 3 ? sprintf(" and %d more", count[reason] - 3) : ""
      mark = is_expected(reason) ? "" : "  (not expected: the README does not list it)"
      if (mark != "") unexpected++
      printf "  %3d  %s%s\n       %s%s\n", count[reason], reason, mark, named[reason], more
    }
    if (unexpected > 0 && strict == "true") {
      printf "%d reasons of skipping are not expected in this run\n", unexpected > "/dev/stderr"
      exit 1
    }
  }' "$log"
