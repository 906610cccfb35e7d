#!/usr/bin/env bash
# The chaos soak: one SYNC=state site with five pvsim routers under random faults and commands
# for MINUTES minutes (default 3), then per router expected, present, missing, extra and
# duplicate lines and how long it took to converge after the last fault. Run as root from the
# repository top after a release build:
#   bench/chaos/chaos_soak.sh [--minutes N] [--seed N] [--settle SECONDS]
# The seed is printed; give it again to replay the same faults and commands. The program ends
# by itself (a guard kills it at minutes + settle + 2 min) and takes its children with it.
set -uo pipefail
cd "$(dirname "$0")/../.."
bin=build/release/bin/chaos_soak
[ -x "$bin" ] || { echo "build the release preset first" >&2; exit 2; }
[ "$(id -u)" -eq 0 ] || { echo "run as root (the soak makes its own private network)" >&2; exit 2; }
exec "$bin" "$@"
