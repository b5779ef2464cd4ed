#!/usr/bin/env bash
# Builds the fuzz targets and runs each for the given number of seconds
# (default 30), starting from its seed corpus in fuzz/corpus/. Inputs the
# fuzzer finds go to a scratch folder, not into the project; an input that
# breaks a target is left in the scratch folder and the script fails.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-30}"
scripts/install-deps.sh

cmake --preset fuzz >/dev/null
targets=(fuzz_record_walk fuzz_text_list fuzz_name_conversion fuzz_event_translator fuzz_fanotify_records
         fuzz_settings_values fuzz_change_records fuzz_process_events fuzz_helper_requests)
cmake --build --preset fuzz --target "${targets[@]}"

scratch="$(mktemp -d)"
export LSAN_OPTIONS="suppressions=$PWD/tests/lsan.supp"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
for target in "${targets[@]}"; do
  name="${target#fuzz_}"
  mkdir -p "$scratch/$name"
  echo "== $target, $seconds s"
  if ! build/fuzz/fuzz/"$target" -max_total_time="$seconds" -print_final_stats=1 \
       -artifact_prefix="$scratch/" "$scratch/$name" "fuzz/corpus/$name" 2>"$scratch/$name.log"; then
    tail -n 40 "$scratch/$name.log"
    echo "$target broke a property; the input is in $scratch" >&2
    exit 1
  fi
  grep -E "^stat::number_of_executed_units|^#[0-9]+ *DONE" "$scratch/$name.log" || true
done
rm -rf "$scratch"
