#!/usr/bin/env bash
# The command-port soak for longer: the hostile mix of ten clients (overlong lines, lines of
# 300 words, binary garbage, unknown words, two clients that never read, two that half-close)
# against the real service, for MINUTES minutes (default 10). Prints commands per second, RSS
# and descriptors, and whether the service kept serving. Run as root from the repository top
# after a release build: bench/soak/soak.sh [MINUTES]
set -uo pipefail
cd "$(dirname "$0")/../.."
minutes=${1:-10}
bin=build/release/bin/e2e_reliability_test
[ -x "$bin" ] || { echo "build the release preset first" >&2; exit 2; }
out=$(VOKEL_SOAK_SECONDS=$((minutes * 60)) "$bin" \
        --gtest_filter='ReliabilityTest.SoakUnderTheHostileMixKeepsServingAndReturnsItsResources' 2>&1)
status=$?
grep '^soak:' <<<"$out"
if [ $status -eq 0 ]; then
  echo "target (service serves for $minutes min, resources back within 10 %): met"
else
  grep -E 'Failure|ended after|Expected|Which is' <<<"$out" | head -20
  echo "target (service serves for $minutes min, resources back within 10 %): not met"
fi
