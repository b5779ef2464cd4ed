#!/usr/bin/env bash
# The Windows console program under Wine, as a user runs it: each case
# starts sentrel-console.exe on a folder of its own, makes changes from
# Linux (which Wine's reader reports as Windows would) and checks the lines
# and messages, then ends it as Ctrl-C does (Wine turns SIGINT into it).
# Usage: console-under-wine.sh WINE-RUN CONSOLE-EXE
set -uo pipefail
wine_run=$1
console=$2
root=$(mktemp -d "${TMPDIR:-/tmp}/sentrel-console-wine.XXXXXX")
trap 'rm -rf "$root"' EXIT
failures=0

windows_path() { printf 'Z:%s' "${1//\//\\}"; }
fail() { echo "FAIL: $case_name: $*" >&2; failures=$((failures + 1)); }

# Waits until file holds text (fixed string), at most 20 s.
wait_for() {
  local file=$1 text=$2
  for _ in $(seq 200); do
    grep -qF -- "$text" "$file" 2>/dev/null && return 0
    sleep 0.1
  done
  return 1
}

# run_case NAME SETTINGS OPTIONS MAKE EXPECTED UNEXPECTED
#   SETTINGS: the settings file's text; OPTIONS: more arguments;
#   MAKE: shell commands run in the watched folder once it is watched;
#   EXPECTED / UNEXPECTED: text the standard output must / must not hold,
#   with @ for the watched folder's Windows path.
run_case() {
  case_name=$1
  local settings=$2 options=$3 make=$4 expected=$5 unexpected=$6
  local dir="$root/$case_name"
  mkdir -p "$dir/watched"
  printf '%s' "$settings" > "$dir/settings.ini"
  local watched
  watched=$(windows_path "$dir/watched")
  # shellcheck disable=SC2086
  "$wine_run" "$console" --settings "$(windows_path "$dir/settings.ini")" $options "$watched" \
    > "$dir/out" 2> "$dir/err" &
  local pid=$!
  if ! wait_for "$dir/err" "watching $watched"; then
    fail "never said it was watching: $(cat "$dir/err")"
    kill "$pid" 2>/dev/null
    return
  fi
  (cd "$dir/watched" && eval "$make")
  expected=${expected//@/$watched}
  unexpected=${unexpected//@/$watched}
  wait_for "$dir/out" "$expected" || fail "no line with '$expected' in: $(cat "$dir/out")"
  sleep 0.5
  [ -z "$unexpected" ] || ! grep -qF -- "$unexpected" "$dir/out" || fail "a line with '$unexpected'"
  pkill -INT -f "$(basename "$console").*$case_name" || true
  wait "$pid"
  local status=$?
  [ "$status" -eq 0 ] || fail "ended with $status after Ctrl-C: $(cat "$dir/err")"
}

run_case text '' '' 'echo hi > a.txt; mv a.txt b.txt' ' - Renamed_new_name - @\b.txt' ''
run_case json '' '--format json --no-catch-up' 'touch "ü x"' 'watched\\ü x","folder":"Z:' ''
run_case filtered $'[ExcludedFileTypes]\n0=*.TMP\n' '--no-catch-up' 'touch skip.tmp; touch last' ' - Added - @\last' 'skip.tmp'

# A reader that takes nothing holds neither the stop nor the exit code.
case_name=stuck_reader
dir="$root/$case_name"
mkdir -p "$dir/watched"
( "$wine_run" "$console" --no-catch-up "$(windows_path "$dir/watched")" 2> "$dir/err"; echo $? > "$dir/status" ) |
  sleep 60 &
reader=$!
if wait_for "$dir/err" "watching"; then
  for i in $(seq 3000); do : > "$dir/watched/f$i"; done
  sleep 1
  pkill -INT -f "$(basename "$console").*$case_name" || true
  for _ in $(seq 50); do [ -s "$dir/status" ] && break; sleep 0.1; done
  [ "$(cat "$dir/status" 2>/dev/null)" = 0 ] || fail "not ended within 5 s of Ctrl-C: $(cat "$dir/err")"
else
  fail "never said it was watching: $(cat "$dir/err")"
fi
kill "$reader" 2>/dev/null
pkill -f "$(basename "$console").*$case_name" || true

# Mistakes end at once with their exit codes.
case_name=mistakes
"$wine_run" "$console" 'Z:\no\such\folder' > /dev/null 2> "$root/err"
[ $? -eq 2 ] && grep -qF "there is no folder" "$root/err" || fail "a missing folder: $(cat "$root/err")"
"$wine_run" "$console" --history > /dev/null 2> "$root/err"
[ $? -eq 1 ] && grep -qF "keeps no history" "$root/err" || fail "--history: $(cat "$root/err")"
mkdir -p "$root/journal"
"$wine_run" "$console" --journal "$(windows_path "$root/journal")" > /dev/null 2> "$root/err"
[ $? -eq 1 ] && grep -qF "Windows has no system journal" "$root/err" || fail "--journal: $(cat "$root/err")"

[ "$failures" -eq 0 ] && echo "console under Wine: every case passed"
exit $((failures > 0))

