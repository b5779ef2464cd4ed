# Shared by the console's benchmark scripts (sourced, not run).

# start_console PROGRAM HOME FOLDER: the console program watching FOLDER
# with inotify, its settings, history and output in HOME; its pid in $pid.
start_console() {
  HOME=$2 XDG_STATE_HOME=$2/state SENTREL_CHANGE_BACKEND=inotify \
    "$1" --settings "$2/settings.ini" "$3" >"$2/out" 2>"$2/err" &
  pid=$!
}

# fresh_console PROGRAM: a folder and a home of their own in $folder and
# $home, the program started on them and watching, settled for a second.
fresh_console() {
  folder=$(mktemp -d) home=$(mktemp -d)
  : >"$home/settings.ini"
  start_console "$1" "$home" "$folder"
  until grep -qs watching "$home/err"; do sleep 0.1; done
  sleep 1
}

# peak_and_ticks: its peak resident memory (KiB) in $peak, the processor
# time it used (clock ticks) in $ticks.
peak_and_ticks() {
  peak=$(awk '/^VmHWM/ {print $2}' "/proc/$pid/status")
  ticks=$(awk '{print $14 + $15}' "/proc/$pid/stat")
}

stop_console() {
  kill -INT "$pid"
  wait "$pid" || true
}
