#!/usr/bin/env bash
# Sets up the machine, then builds and runs every test in the release, asan and tsan builds.
# Usage: scripts/test.sh [PRESET...]   (default: release asan tsan)
#
# Every build runs its own tests (unit, and e2e tests that run in-process). The black-box tests
# of tests/e2e are built once, in release, and run the programs of each build in turn
# (VOKEL_BIN_DIR): the release programs, then the asan and tsan ones. The slow tests
# (real-time schedules: the 60 s retry plan, the 40 s OFF diagnosis, the 30 s send stall; the
# soak and the chaos runs) run once, against the release programs, side by side with the
# release tests.
#
# The tests mostly wait on their peers, so the next build runs during a build's tests, at the
# lowest priority (nice 19): the tests keep the processor whenever they want it. With
# VOKEL_BESIDE_LAST_TESTS set, that command (a build, say) runs the same way beside the last
# build's tests. The layering and include-circle checks run first. Phase times are printed.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh --test-without-browser
# The browser for the dashboard's test is a large download: it installs beside the first build
# and is waited for before the first tests.
browser_log=$(mktemp)
bash scripts/setup.sh --browser >"$browser_log" 2>&1 &
browser_pid=$!
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

# The tests of one build. The black-box tests come from the release build; a sanitizer build
# lends them its programs. The release build's slow tests run beside the others: they only wait,
# eight at a time, while the others take two slots (three for a sanitizer build's).
preset_tests() {
  local preset=$1 rc=0 slow_log="" slow=""
  local blackbox=build/release/tests/e2e
  if [ "$preset" = release ]; then
    slow_log=$(mktemp)
    ctest --preset release -j 8 -L slow > "$slow_log" 2>&1 &
    slow=$!
    ctest --preset release -j 2 -LE slow || rc=1
  else
    ctest --preset "$preset" -j 3 -LE slow || rc=1
    # Run alone (scripts/test.sh asan), a sanitizer build still needs the release build's.
    [ -d "$blackbox" ] || bash scripts/build.sh release || rc=1
    # The browser test reads the page through a browser: the sanitizers' programs serve the
    # same bytes, which api_handle_test checks in this build already.
    VOKEL_BIN_DIR="$PWD/build/$preset/bin" ctest --test-dir "$blackbox" -j 3 -LE slow --output-on-failure \
      -E DashboardTest || rc=1
  fi
  if [ -n "$slow" ]; then
    wait "$slow" || rc=1
    echo "--- slow tests"
    cat "$slow_log"
    rm -f "$slow_log"
  fi
  return $rc
}

# Runs a preset's tests in the background, their output to a file; collect_tests prints it
# and notes the phase.
tests_pid=""
tests_log=""
tests_name=""
tests_start=0
start_tests() {
  tests_name="$1: tests"
  tests_log=$(mktemp)
  tests_start=$SECONDS
  preset_tests "$1" > "$tests_log" 2>&1 &
  tests_pid=$!
}
collect_tests() {
  [ -n "$tests_pid" ] || return 0
  local rc=0
  wait "$tests_pid" || rc=1
  echo "=== $tests_name"
  cat "$tests_log"
  rm -f "$tests_log"
  [ $rc -eq 0 ] || status=1
  times+=("$tests_name: $((SECONDS - tests_start)) s (beside the build that followed)")
  tests_pid=""
}

phase "layering" bash scripts/check_layers.sh
phase "include circles" bash scripts/check_include_cycles.sh
for preset in "${presets[@]}"; do
  if [ -n "$tests_pid" ]; then
    phase "$preset: build (nice 19)" nice -n 19 bash scripts/build.sh "$preset"
  else
    phase "$preset: build" bash scripts/build.sh "$preset"
  fi
  collect_tests
  if [ -n "$browser_pid" ]; then
    if ! wait "$browser_pid"; then
      echo "=== the browser's installation failed"
      cat "$browser_log"
      status=1
    fi
    browser_pid=""
    rm -f "$browser_log"
  fi
  start_tests "$preset"
done
if [ -n "${VOKEL_BESIDE_LAST_TESTS:-}" ]; then
  phase "beside the last tests (nice 19): $VOKEL_BESIDE_LAST_TESTS" \
    nice -n 19 bash -c "$VOKEL_BESIDE_LAST_TESTS"
fi
collect_tests

echo "=== times"
printf '%s\n' "${times[@]}"
exit $status
