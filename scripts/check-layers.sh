#!/usr/bin/env bash
# Fails when a file includes a file of a higher floor. The floors, bottom up:
# runtime, platform, toolkit, then watch, util and history (and the privileged helper), then tray and about, then
# the windows (dialogs and app), which reach each other. Tests, benchmarks
# and fuzz targets stand above everything.
set -euo pipefail
cd "$(dirname "$0")/.."

declare -A floor=([runtime]=0 [platform]=1 [toolkit]=2 [watch]=3 [util]=3 [history]=3 [helper]=3 [tray]=4 [about]=4 [dialogs]=5 [app]=5)

status=0
for folder in "${!floor[@]}"; do
  [ -d "$folder" ] || continue
  while IFS=: read -r file line target; do
    included="${target%%/*}"
    [ -n "${floor[$included]+set}" ] || continue
    if [ "${floor[$included]}" -gt "${floor[$folder]}" ]; then
      echo "$file:$line: $folder/ may not include $target (a higher floor)" >&2
      status=1
    fi
  done < <(grep -n -o -E '#include "[a-z]+/[^"]+"' "$folder"/*.h "$folder"/*.cpp 2>/dev/null |
           sed -E 's/^([^:]+):([0-9]+):#include "(.*)"$/\1:\2:\3/')
done
[ "$status" -eq 0 ] && echo "Every include points down or sideways."
exit "$status"
