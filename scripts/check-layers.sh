#!/usr/bin/env bash
# Keeps the shape of the house: every folder includes only the folders it
# may (and those may not, in turn, reach back to it), a few headers are
# spoken by their own folders alone, and no unit (a source file with its
# header) grows past 600 lines. Tests, benchmarks and fuzz targets stand
# above everything and may include anything, but their units keep the
# line rule too.
set -euo pipefail
cd "$(dirname "$0")/.."

# What each folder may include besides itself, bottom up. "*": any folder
# (the windows, which reach each other and everything below).
declare -A may=(
  [runtime]=""
  [platform/system]="runtime"
  [platform/loop]="runtime platform/system"
  [platform/files]="runtime platform/system"
  [platform/processes]="runtime platform/system"
  [platform/output]="runtime platform/system"
  [platform/desktop]="runtime platform/system"
  [platform/journal]="runtime platform/system"
  [platform/changes]="runtime platform/system platform/processes"
  [platform/changes/tree]="runtime platform/system platform/changes"
  [platform/changes/windows]="runtime platform/system platform/changes"
  [platform/changes/inotify]="runtime platform/system platform/files platform/changes platform/changes/tree"
  [platform/changes/fanotify]="runtime platform/system platform/files platform/processes platform/changes platform/changes/tree"
  [platform/changes/polling]="runtime platform/system platform/changes platform/changes/tree"
  [platform/changes/linux]="runtime platform/system platform/files platform/changes platform/changes/tree
                            platform/changes/inotify platform/changes/fanotify platform/changes/polling"
  [platform/helper]="runtime platform/system platform/changes platform/changes/tree"
  [toolkit]="runtime platform/system platform/loop"
  [watch]="runtime platform/system platform/loop platform/changes"
  [util]="runtime platform/system platform/files toolkit"
  [helper]="runtime platform/system platform/processes platform/changes platform/changes/fanotify platform/changes/linux
          platform/helper"
  [settings]="runtime platform/system platform/files toolkit"
  [records]="runtime platform/system platform/processes platform/changes platform/journal watch util"
  [history]="runtime platform/system platform/files platform/loop records settings"
  [tray]="runtime toolkit"
  [about]="runtime platform/desktop toolkit"
  [dialogs]="*"
  [app]="*"
)

# Headers only their own folders may include: what the program and its
# privileged helper say to each other is spoken by those two alone.
declare -A spokenBy=(
  [platform/helper/HelperProtocol.h]="platform/helper helper"
)

status=0
fail() {
  echo "$1" >&2
  status=1
}

allows() { # allows LIST FOLDER
  [ "$1" = "*" ] && return 0
  case " $(echo $1) " in *" $2 "*) return 0 ;; esac
  return 1
}

# The table itself must stand on floors: no folder may reach back to one
# that may include it, however far round.
declare -A state=()
visit() { # visit FOLDER PATH
  local folder=$1 path=$2 target
  [ "${state[$folder]:-}" = done ] && return 0
  if [ "${state[$folder]:-}" = visiting ]; then
    fail "scripts/check-layers.sh: the folders include each other round: $path"
    return 0
  fi
  state[$folder]=visiting
  [ "${may[$folder]}" = "*" ] || for target in ${may[$folder]}; do
    [ -n "${may[$target]+set}" ] || fail "scripts/check-layers.sh: $folder may include $target, which has no line"
    [ -n "${may[$target]+set}" ] && visit "$target" "$path -> $target"
  done
  state[$folder]=done
}
for folder in "${!may[@]}"; do visit "$folder" "$folder"; done

# Every include of a project file against the table.
while IFS= read -r file; do
  folder=$(dirname "$file")
  case "$folder" in tests | tests/* | bench | bench/* | fuzz | fuzz/*) continue ;; esac
  if [ -z "${may[$folder]+set}" ]; then
    fail "$file: its folder $folder/ has no line in scripts/check-layers.sh: say what it may include"
    continue
  fi
  while IFS=: read -r line target; do
    included=$(dirname "$target")
    [ -f "$target" ] || continue # not a file of the project's (a library's header)
    if [ -z "${may[$included]+set}" ]; then
      fail "$file:$line: $target is in $included/, which has no line in scripts/check-layers.sh"
    elif [ -n "${spokenBy[$target]+set}" ] && ! allows "${spokenBy[$target]}" "$folder"; then
      fail "$file:$line: $folder/ may not include $target (spoken by ${spokenBy[$target]} alone)"
    elif [ "$included" != "$folder" ] && ! allows "${may[$folder]}" "$included"; then
      fail "$file:$line: $folder/ may not include $target"
    fi
  done < <(grep -n -o -E '#include "[a-z]+/[^"]+"' "$file" | sed -E 's/^([0-9]+):#include "(.*)"$/\1:\2/')
done < <(git ls-files '*.h' '*.cpp')

# No unit over 600 lines, its source and header together.
while read -r lines unit; do
  [ "$lines" -gt 600 ] && fail "$unit: $lines lines with its header; split it along its jobs (at most 600)"
done < <(git ls-files '*.h' '*.cpp' | sed -E 's/\.(h|cpp)$//' | sort -u |
         while read -r unit; do
           echo "$(cat "$unit.h" "$unit.cpp" 2>/dev/null | wc -l) $unit"
         done)

[ "$status" -eq 0 ] && echo "Every include points to a folder it may; no unit is over 600 lines."
exit "$status"
