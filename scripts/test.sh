#!/usr/bin/env bash
# Sets up the machine, then builds and runs every test in the release, asan and tsan builds.
# Usage: scripts/test.sh [PRESET...]   (default: release asan tsan)
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh --test
presets=("$@")
[ ${#presets[@]} -gt 0 ] || presets=(release asan tsan)
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1
status=0
for preset in "${presets[@]}"; do
  echo "=== $preset: build"
  bash scripts/build.sh "$preset"
  echo "=== $preset: test"
  ctest --preset "$preset" -j 2 || status=1
done
exit $status
