#!/usr/bin/env bash
# Installs what is missing, then builds and runs every test: once in the
# optimised build, once under AddressSanitizer with UndefinedBehaviorSanitizer,
# and the engine tests once more under ThreadSanitizer; checks what the
# optimised build installs and packages; builds the engine and its tests for
# Windows and runs them under Wine; then runs every fuzz target for a short
# while.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
scripts/check-layers.sh
# The daemons pkexec needs, where this run starts them, end with it.
polkit_daemons="$(scripts/start-polkit.sh)"
trap '[ -z "$polkit_daemons" ] || kill $polkit_daemons 2>/dev/null || true' EXIT

export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
export LSAN_OPTIONS="suppressions=$PWD/tests/lsan.supp"
export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1"

for preset in default asan tsan; do
  echo "== $preset build"
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset"
  ctest --preset "$preset" || { scripts/skipped-tests.sh "build/$preset"; exit 1; }
  scripts/skipped-tests.sh "build/$preset"
  if [ "$preset" = default ]; then
    scripts/check-install.sh build/default
  fi
done

echo "== windows-cross build (its tests run under Wine)"
cmake --preset windows-cross >/dev/null
cmake --build --preset windows-cross
ctest --preset windows-cross || { scripts/wine-run.sh --end; scripts/skipped-tests.sh build/windows-cross; exit 1; }
scripts/wine-run.sh --end
scripts/skipped-tests.sh build/windows-cross

# A short run of every fuzz target, to catch a regression in what the
# program reads from outside.
scripts/fuzz.sh 30
