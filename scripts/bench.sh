#!/usr/bin/env bash
# Builds and runs every benchmark, each holding its figures to the goals
# bench/README.md states: a figure that misses its goal, or a run that
# lost a change, fails that benchmark. Prints each benchmark's figures and,
# at the end, the benchmarks that missed a goal; exits non-zero when any
# did. Arguments go to every benchmark program (e.g. --benchmark_filter=).
# Some benchmarks need root (fanotify, the privileged helper, FUSE); run
# as root to have them all.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake --preset default >/dev/null
cmake --build --preset default

benchmarks=(watch_bench console_bench history_bench findtext_bench window_bench catchup_bench attribution_bench helper_bench)
missed=()
for benchmark in "${benchmarks[@]}"; do
  echo "== $benchmark"
  if ! "build/default/bench/$benchmark" "$@"; then
    missed+=("$benchmark")
  fi
done
if [ ${#missed[@]} -gt 0 ]; then
  echo "Goals missed (or a benchmark failed) in: ${missed[*]}" >&2
  exit 1
fi
echo "Every goal met."
