#!/usr/bin/env bash
# Builds the Debian package from this tree: build/package/vokelmng_VERSION_ARCH.deb.
# The tree is copied to build/package/src first, so that the build leaves the work tree clean
# and dpkg-buildpackage's results (written beside its source folder) land in build/package.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh --package
out="$PWD/build/package"
rm -rf "$out"
mkdir -p "$out/src"
tar --exclude=./build --exclude=./.git --exclude='./obj-*' -cf - . | tar -xf - -C "$out/src"
(cd "$out/src" && dpkg-buildpackage -us -uc -b -j"$(nproc)")
ls "$out"/vokelmng_*.deb
