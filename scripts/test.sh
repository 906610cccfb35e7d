#!/usr/bin/env bash
# Sets up the machine, then builds and runs every test in the release, asan and tsan builds.
# Usage: scripts/test.sh [PRESET...]   (default: release asan tsan)
#
# Every build runs its unit and e2e tests. The slow tests (real-time schedules: the 60 s retry
# plan, the 40 s OFF diagnosis, the 30 s send stall) only wait, so they run once, in the
# release build, side by side. The layering check runs first. Phase times are printed.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh --test
presets=("$@")
[ ${#presets[@]} -gt 0 ] || presets=(release asan tsan)
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1

status=0
times=()
phase() {  # phase NAME COMMAND...: runs it, notes its time, keeps going on failure
  local name=$1 start=$SECONDS
  shift
  echo "=== $name"
  "$@" || status=1
  times+=("$name: $((SECONDS - start)) s")
}

phase "layering" bash scripts/check_layers.sh
for preset in "${presets[@]}"; do
  phase "$preset: build" bash scripts/build.sh "$preset"
  phase "$preset: unit and e2e tests" ctest --preset "$preset" -j 2 -LE slow
  if [ "$preset" = release ]; then
    phase "$preset: slow tests" ctest --preset "$preset" -j 8 -L slow
  fi
done

echo "=== times"
printf '%s\n' "${times[@]}"
exit $status
