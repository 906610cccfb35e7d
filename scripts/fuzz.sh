#!/usr/bin/env bash
# Builds the libFuzzer targets (preset `fuzz`: clang, ASan+UBSan, -O1) and runs them, one
# process per core, each for a bounded time. Exits non-zero on a finding (the crashing input is
# left in build/fuzz/findings/<target>/) or when a target does not run.
#
#   bash scripts/fuzz.sh                      # every target, about 20 s each
#   bash scripts/fuzz.sh --seconds 600 fuzz_csv
#   bash scripts/fuzz.sh --no-build ...       # use the targets already built
#   bash scripts/fuzz.sh --build-only         # build the targets, run nothing
#   bash scripts/fuzz.sh --preset asan ...    # the targets of the asan build (-O0, built with
#                                             # its tests; CI runs these)
#
# Each run starts from the seeds in fuzz/corpus/<target>/ and from what earlier runs on this
# machine kept in build/fuzz/corpus/<target>/; new inputs go only to the latter.
set -euo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
seconds=20
build=1
build_only=0
preset=fuzz
targets=()
while [[ $# -gt 0 ]]; do
  case "$1" in
    --seconds) seconds="$2"; shift 2 ;;
    --no-build) build=0; shift ;;
    --build-only) build_only=1; shift ;;
    --preset) preset="$2"; shift 2 ;;
    -h|--help) sed -n '2,14p' "$0"; exit 0 ;;
    -*) echo "fuzz.sh: unknown option $1" >&2; exit 2 ;;
    *) targets+=("$1"); shift ;;
  esac
done
all=(fuzz_address fuzz_profile fuzz_pvsim_request fuzz_csv fuzz_http_answer fuzz_command
     fuzz_kel_journal)
[[ ${#targets[@]} -gt 0 ]] || targets=("${all[@]}")

case "$preset" in
  fuzz|asan) ;;
  *) echo "fuzz.sh: --preset is fuzz or asan, not $preset" >&2; exit 2 ;;
esac
out="$root/build/fuzz"
bin="$root/build/$preset/bin"
if [[ $build -eq 1 ]]; then
  cd "$root"
  cmake --preset "$preset" > /dev/null
  # One build at a time on this machine.
  flock /tmp/vokel-build.lock cmake --build --preset "$preset" -j2 --target "${targets[@]}"
fi
[[ $build_only -eq 0 ]] || exit 0

# One target: its run, its status line; nonzero when it found a fault.
fuzz_one() {
  local target=$1 binary seeds work findings log dict start rc summary execs
  binary="$bin/$target"
  seeds="$root/fuzz/corpus/$target"
  work="$out/corpus/$target"
  findings="$out/findings/$target"
  log="$out/logs/$target.log"
  if [[ ! -x "$binary" || ! -d "$seeds" ]]; then
    echo "fuzz.sh: $target is not built or has no seeds" >&2
    return 2
  fi
  mkdir -p "$work" "$findings" "$(dirname "$log")"
  dict=()
  [[ -f "$root/fuzz/$target.dict" ]] && dict=(-dict="$root/fuzz/$target.dict")
  start=$(date +%s)
  set +e
  # Paths are absolute: the targets work in a scratch folder of their own.
  "$binary" "${dict[@]}" -max_total_time="$seconds" -max_len=16384 -timeout=25 \
    -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$findings/" \
    "$work" "$seeds" > "$log" 2>&1
  rc=$?
  set -e
  summary=$(grep -E '^#[0-9]+' "$log" | tail -1 || true)
  execs=$(grep -E '^stat::number_of_executed_units' "$log" | awk '{print $2}' || true)
  echo "$target: ${summary:-no status line} (executions ${execs:-?}, $(( $(date +%s) - start )) s)"
  if [[ $rc -ne 0 ]]; then
    echo "fuzz.sh: $target found a fault (exit $rc); see $log and $findings/" >&2
    grep -E 'ERROR|SUMMARY|Test unit written' "$log" >&2 || true
    return 1
  fi
}

# As many targets at once as there are processors: each is one process of its own.
status=0
running=()
for target in "${targets[@]}"; do
  if [[ ${#running[@]} -ge $(nproc) ]]; then
    wait "${running[0]}" || status=1
    running=("${running[@]:1}")
  fi
  fuzz_one "$target" &
  running+=($!)
done
for pid in "${running[@]}"; do
  wait "$pid" || status=1
done
exit $status
