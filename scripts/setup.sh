#!/usr/bin/env bash
# Installs what the project needs on Debian 12 (run as root). It only installs packages: it
# never stops, disables or reconfigures a service of the machine.
#   scripts/setup.sh             building and running (compiler, CMake, Ninja, libraries)
#   scripts/setup.sh --package   also building the Debian package (debhelper)
#   scripts/setup.sh --test      also running the tests and checks (GoogleTest, Google
#                                Benchmark, lighttpd, rsyslog, lintian, socat, ...)
set -euo pipefail
packages=(build-essential cmake ninja-build pkg-config libsystemd-dev
          libmicrohttpd-dev nlohmann-json3-dev)
package_packages=(debhelper dpkg-dev)
test_packages=(libgtest-dev libgmock-dev libbenchmark-dev clang-format iproute2 procps
               lighttpd rsyslog lintian socat groff-base man-db)
for arg in "$@"; do
  case "$arg" in
    --package) packages+=("${package_packages[@]}") ;;
    --test) packages+=("${package_packages[@]}" "${test_packages[@]}") ;;
    *) echo "usage: $0 [--package] [--test]" >&2; exit 2 ;;
  esac
done
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update
  apt-get install -y --no-install-recommends "${missing[@]}"
fi
