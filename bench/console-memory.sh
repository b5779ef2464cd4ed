#!/usr/bin/env bash
# The console's resident memory, of two builds in one run: each program
# (bench/console-memory.sh PROGRAM...) watches an empty folder of its own
# with inotify, without catch-up or history; its VmRSS is read after 2 s,
# then after 10,000 files were made there, with its peak (VmHWM).
set -euo pipefail
rounds=${ROUNDS:-3}
echo "program | rss idle KiB | rss after 10,000 KiB | peak KiB"
for round in $(seq "$rounds"); do
  for program in "$@"; do
    folder=$(mktemp -d) home=$(mktemp -d)
    HOME=$home XDG_CONFIG_HOME=$home/config XDG_STATE_HOME=$home/state SENTREL_CHANGE_BACKEND=inotify \
      "$program" --console --no-catch-up "$folder" >/dev/null 2>&1 &
    pid=$!
    sleep 2
    idle=$(awk '/^VmRSS/ {print $2}' "/proc/$pid/status")
    for i in $(seq 10000); do : >"$folder/f$i"; done
    sleep 2
    after=$(awk '/^VmRSS/ {print $2}' "/proc/$pid/status")
    peak=$(awk '/^VmHWM/ {print $2}' "/proc/$pid/status")
    kill "$pid"; wait "$pid" 2>/dev/null || true
    rm -rf "$folder" "$home"
    echo "$program | $idle | $after | $peak"
  done
done
