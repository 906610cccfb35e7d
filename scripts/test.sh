#!/usr/bin/env bash
# Sets up the machine, then builds and runs every test in the release, asan and tsan builds.
# Usage: scripts/test.sh [PRESET...]   (default: release asan tsan)
#
# Every build runs its unit and e2e tests. The slow tests (real-time schedules: the 60 s retry
# plan, the 40 s OFF diagnosis, the 30 s send stall; the soak and the chaos run) run once, in
# the release build, side by side with its other tests. The layering and include-circle checks
# run first. Phase times are printed.
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

# The release build's slow tests run beside its unit and e2e tests: they only wait, eight at
# a time, while the others take two slots. Their output follows the others'.
release_tests() {
  local log rc=0
  log=$(mktemp)
  ctest --preset release -j 8 -L slow > "$log" 2>&1 &
  local slow=$!
  ctest --preset release -j 2 -LE slow || rc=1
  wait $slow || rc=1
  echo "--- slow tests"
  cat "$log"
  rm -f "$log"
  return $rc
}

phase "layering" bash scripts/check_layers.sh
phase "include circles" bash scripts/check_include_cycles.sh
for preset in "${presets[@]}"; do
  phase "$preset: build" bash scripts/build.sh "$preset"
  if [ "$preset" = release ]; then
    phase "$preset: unit, e2e and slow tests" release_tests
  else
    # The sanitizer builds' e2e tests mostly wait on their peers: three at a time.
    phase "$preset: unit and e2e tests" ctest --preset "$preset" -j 3 -LE slow
  fi
done

echo "=== times"
printf '%s\n' "${times[@]}"
exit $status
