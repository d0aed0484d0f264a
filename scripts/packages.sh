#!/usr/bin/env bash
# Builds the Debian packages (vardo, libkeeperclient2, libkeeperclient-dev,
# postgresql-<major>-vardo-extensions) into <build dir>/packages, from a
# Release build, and their debug information as <package>-dbgsym .ddeb files.
# Usage: scripts/packages.sh [build dir, default build-default]
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:-build-default}
# Installed paths follow the prefix the packages install under.
cmake -S . -B "$dir" -DCMAKE_INSTALL_PREFIX=/usr >/dev/null
cmake --build "$dir" -j "$(nproc)" >/dev/null
rm -f "$dir"/packages/*.deb "$dir"/packages/*.ddeb
(cd "$dir" && cpack -G DEB >/dev/null)
ls "$dir"/packages/*.deb
