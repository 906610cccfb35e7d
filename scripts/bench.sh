#!/usr/bin/env bash
# Builds the release programs and runs every benchmark of bench/, one after another, as root:
# each C++ benchmark makes its own private network namespace; scripts that do not are run in a
# new one. Prints each benchmark's output as it comes and, at the end, every "target (...)" line
# collected. Exits non-zero when the build fails or a benchmark fails to run (ends with an error
# status or is stopped by its time limit); a target "not met" is a figure, not a failure.
#   bash scripts/bench.sh            # about ten minutes
#   bash scripts/bench.sh --no-build # the release programs already built
set -uo pipefail
cd "$(dirname "$0")/.."

build=1
for arg in "$@"; do
  case "$arg" in
    --no-build) build=0 ;;
    *) echo "usage: scripts/bench.sh [--no-build]" >&2; exit 2 ;;
  esac
done
if [ "$(id -u)" -ne 0 ]; then
  echo "bench.sh: run as root (the benchmarks make private networks and loopback addresses)" >&2
  exit 2
fi

if [ $build -eq 1 ]; then
  echo "== build (release)"
  # One build at a time on this machine: the shared lock every build takes.
  if ! flock /tmp/vokel-build.lock bash scripts/build.sh release all benchmarks; then
    echo "bench.sh: the release build failed" >&2
    exit 1
  fi
fi

bin=build/release/bin
log=$(mktemp /tmp/vokel-bench.XXXXXX)
trap 'rm -f "$log"' EXIT
failed=()
started=$SECONDS

# run NAME LIMIT_SECONDS COMMAND...: the command under a time limit (SIGTERM, SIGKILL 15 s later),
# its output shown and kept for the target lines.
run() {
  local name=$1 limit=$2
  shift 2
  echo
  echo "== $name (limit ${limit} s)"
  local t0=$SECONDS
  timeout --kill-after=15 "$limit" "$@" 2>&1 | tee -a "$log"
  local status=${PIPESTATUS[0]}
  echo "== $name: exit status $status, $((SECONDS - t0)) s"
  if [ "$status" -ne 0 ]; then
    failed+=("$name (status $status)")
  fi
}

# A C++ benchmark that must exist in the release build.
run_bin() {
  local name=$1 limit=$2
  shift 2
  if [ ! -x "$bin/$name" ]; then
    echo "== $name: missing from $bin" | tee -a "$log"
    failed+=("$name (missing)")
    return
  fi
  run "$name" "$limit" "$bin/$name" "$@"
}

run_bin command_roundtrip_bench 120
run_bin delivery_bench 120
run_bin keepalive_bench 120
run_bin planning_bench 300
run_bin api_bench 120
# The campus: /metrics, /routers and /status at 1,000 routers, and the command port meanwhile.
run_bin api_bench 180 --routers 1000 --pcs 100000 --entries 1000 --servers 2
run_bin registry_bench 150
run_bin scale_bench 300
run_bin recovery_bench 480 --max-seconds 450
# The campus: 1,000 routers x 4 routes x 100 PCs, coming back at once, and a burst of 10,000 kel add.
run_bin recovery_bench 600 --max-seconds 570 --routers 1000 --routes 4 --pcs 100 --kel-every 100 \
  --senders 64
run_bin recovery_bench 600 --max-seconds 570 --routers 1000 --routes 4 --pcs 100 --kel-every 100 \
  --delay 1 --burst 10000

# ---- Benchmarks added later by other work; each runs only once it exists. ----
if [ -x "$bin/kel_store_bench" ]; then
  run_bin kel_store_bench 90
fi
run_bin cluster_bench 300
if [ -f bench/chaos/chaos_soak.sh ]; then
  # Two minutes of faults instead of its default three keep the whole within about ten minutes;
  # it makes its own private network and ends by itself.
  run chaos_soak 360 bash bench/chaos/chaos_soak.sh --minutes 2
fi
# ---- end of the place for later benchmarks ----

echo
echo "== targets ($((SECONDS - started)) s in all)"
grep -h '^target (' "$log" || echo "(no target lines)"
if [ ${#failed[@]} -gt 0 ]; then
  echo
  echo "benchmarks that failed to run: ${failed[*]}"
  exit 1
fi
exit 0
