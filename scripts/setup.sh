#!/usr/bin/env bash
# Installs what building and running need on Debian 12 (run as root); with --package, also
# what building the Debian package needs; with --test, also what the tests, benchmarks and
# packaging checks need (--test-without-browser and --browser split it in two, Chromium being
# the second, for scripts/test.sh to install it beside a build). Installed daemons (lighttpd, rsyslog, etcd, prometheus) are
# not started: the tests run their own instances, and no service of the machine is stopped,
# disabled or reconfigured, except that etcd and prometheus, when this script installs them, are
# left disabled (etcd's package enables a system member on port 2379, the tests start their own
# members; prometheus's a server on port 9090, the tests use only its promtool).
set -euo pipefail
packages=(build-essential cmake ninja-build pkg-config libsystemd-dev libmicrohttpd-dev
          nlohmann-json3-dev libcurl4-openssl-dev libssl-dev)
# --package: building the Debian package (scripts/package.sh); --test includes it.
package_packages=(debhelper dpkg-dev)
test_packages=(libgtest-dev libgmock-dev libbenchmark-dev clang clang-format iproute2 lighttpd
               rsyslog procps util-linux lintian socat groff-base systemd man-db prometheus strace
               mmdebstrap etcd-server etcd-client lld)
# The dashboard's browser test: Chromium driven through its WebDriver from Python.
browser_packages=(chromium chromium-driver python3-selenium)
case "${1:-}" in
  --package) packages+=("${package_packages[@]}") ;;
  --test) packages+=("${package_packages[@]}" "${test_packages[@]}" "${browser_packages[@]}") ;;
  # scripts/test.sh installs the browser (the largest download) beside the first build.
  --test-without-browser) packages+=("${package_packages[@]}" "${test_packages[@]}") ;;
  --browser) packages+=("${browser_packages[@]}") ;;
esac
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -gt 0 ] || exit 0
export DEBIAN_FRONTEND=noninteractive
# A package's own start scripts are held back while installing (policy-rc.d, exit 101).
policy=/usr/sbin/policy-rc.d
made_policy=0
if [ ! -e "$policy" ]; then
  printf '#!/bin/sh\nexit 101\n' > "$policy"
  chmod 755 "$policy"
  made_policy=1
fi
trap '[ $made_policy = 1 ] && rm -f "$policy"' EXIT
apt-get update
apt-get install -y --no-install-recommends "${missing[@]}"
for p in "${missing[@]}"; do
  command -v systemctl >/dev/null || break
  case "$p" in
    etcd-server) systemctl disable etcd.service >/dev/null 2>&1 || true ;;
    prometheus) systemctl disable prometheus.service >/dev/null 2>&1 || true ;;
  esac
done
