#!/usr/bin/env bash
# Sets up the machine, builds the release programs and runs the service in the foreground with
# its defaults (command port 8000). Configuration: $VOKELMNG_CONFIG_DIR (default /etc/vokelmng);
# registry CSV files: the working directory /var/lib/vokelmng.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
bash scripts/build.sh release
bin="$PWD/build/release/bin"
export VOKELMNG_CONFIG_DIR=${VOKELMNG_CONFIG_DIR:-/etc/vokelmng}
mkdir -p "$VOKELMNG_CONFIG_DIR" /var/lib/vokelmng
[ -f "$VOKELMNG_CONFIG_DIR/VoKelMng.reg" ] || "$bin/VoKelMng" -RegServer
cd /var/lib/vokelmng
exec "$bin/VoKelMng"
