#!/usr/bin/env bash
# The console's peak memory over a burst with its history on, of several
# builds in one run, alternating: each console program
# (bench/console-burst-peak.sh PROGRAM...) watches an empty folder of its
# own with inotify, history kept in a state folder of its own; its VmRSS
# is read once it is watching (idle), then 100,000 files are made and
# removed there (FILES sets how many), and once the last line is out its
# peak (VmHWM), the peak over idle, and the processor time it used in all
# (clock ticks).
set -euo pipefail
source "$(dirname "$0")/console-process.sh"
rounds=${ROUNDS:-5} files=${FILES:-100000}
echo "program | idle KiB | peak KiB | peak / idle | processor ticks"
for round in $(seq "$rounds"); do
  for program in "$@"; do
    fresh_console "$program"
    idle=$(awk '/^VmRSS/ {print $2}' "/proc/$pid/status")
    (cd "$folder" && for i in $(seq "$files"); do : >"f$i"; done && find . -name 'f*' -delete && : >last)
    until grep -qs "Added - $folder/last" "$home/out"; do sleep 0.1; done
    sleep 2
    peak_and_ticks
    stop_console
    echo "$program | $idle | $peak | $(awk -v p="$peak" -v i="$idle" 'BEGIN {printf "%.2f", p / i}') | $ticks"
    rm -rf "$folder" "$home"
  done
done
