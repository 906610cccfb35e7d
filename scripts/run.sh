#!/usr/bin/env bash
# Installs what building and running need, builds the programs (no tests) and runs the service
# in the foreground with its defaults (command port 8000). Configuration: $VOKELMNG_CONFIG_DIR
# (default /etc/vokelmng); registry CSV files: the working directory /var/lib/vokelmng.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake -S . -B build/run -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVOKEL_BUILD_TESTS=OFF \
  >/dev/null
cmake --build build/run -j "$(nproc)"
bin="$PWD/build/run/bin"
export VOKELMNG_CONFIG_DIR=${VOKELMNG_CONFIG_DIR:-/etc/vokelmng}
mkdir -p "$VOKELMNG_CONFIG_DIR" /var/lib/vokelmng
[ -f "$VOKELMNG_CONFIG_DIR/VoKelMng.reg" ] || "$bin/VoKelMng" -RegServer
cd /var/lib/vokelmng
exec "$bin/VoKelMng"
