#!/usr/bin/env bash
# Builds one preset (release, debug, asan, tsan): scripts/build.sh PRESET [TARGET...]
# Without targets, the default build: programs and tests (scripts/bench.sh adds `benchmarks`).
set -euo pipefail
cd "$(dirname "$0")/.."
preset=${1:-release}
shift || true
targets=()
[ $# -eq 0 ] || targets=(--target "$@")
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset" -j "$(nproc)" "${targets[@]}"
