#!/usr/bin/env bash
# How long the console's next start takes to list what was made while it
# was not running, with its history on, of several builds in one run,
# alternating: each console program (bench/console-catch-up.sh PROGRAM...)
# watches a folder of its own with inotify, history kept in a state folder
# of its own; it is started and stopped once on the empty folder, then
# 150,000 files are made there (FILES sets how many), and the next start
# is timed until its last Found_added line is out: the seconds from its
# start, its processor time by then (clock ticks) and its peak resident
# memory.
set -euo pipefail
source "$(dirname "$0")/console-process.sh"
rounds=${ROUNDS:-5} files=${FILES:-150000}
echo "program | seconds to list all | processor ticks | peak KiB"
for round in $(seq "$rounds"); do
  for program in "$@"; do
    fresh_console "$program"
    stop_console
    (cd "$folder" && seq -f "f%.0f" "$files" | xargs touch)
    start=$(date +%s.%N)
    start_console "$program" "$home" "$folder"
    until [ "$(grep -c Found_added "$home/out" || true)" -ge "$files" ]; do sleep 0.05; done
    end=$(date +%s.%N)
    peak_and_ticks
    stop_console
    echo "$program | $(awk -v s="$start" -v e="$end" 'BEGIN {printf "%.2f", e - s}') | $ticks | $peak"
    rm -rf "$folder" "$home"
  done
done
