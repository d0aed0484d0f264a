#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the demo need, once.
# Quiet and idempotent: apt-get runs only when something is missing.
set -euo pipefail

packages=(
  cmake g++ make pkg-config     # the build
  libgtest-dev                  # unit tests
  libiniparser-dev              # INI files of the daemon and the client library
  postgresql-15 postgresql-server-dev-15   # the database extensions and their tests
  ruby                          # external rule generators
  chrony                        # a real time server for the tests of the time-server check
  net-tools procps iproute2 util-linux     # route, ps, ip, unshare: the appliance's tools
  gcc-multilib g++-multilib libiniparser-dev:i386 libgtest-dev:i386  # the 32-bit build
  qemu-user                     # runs 32-bit tests where the kernel cannot
  clang libclang-rt-14-dev      # the fuzz targets (libFuzzer)
  clang-format                  # the C++ tree's format, checked by the tests
  scdoc mandoc                  # man pages: built, and linted
  dpkg-dev file lintian bash-completion   # the Debian packages: dependencies, checks, completion
  prometheus-node-exporter python3-prometheus-client   # the metrics file: scraped and parsed in the tests
  s6                            # s6-log, the baseline of the output-capture benchmark
  runit                         # runsvdir, runsv, sv: the baseline of the footprint benchmark
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
echo "installing: ${missing[*]}"
if printf '%s\n' "${missing[@]}" | grep -q ':i386$' && ! dpkg --print-foreign-architectures | grep -qx i386; then
  $sudo dpkg --add-architecture i386
fi
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
