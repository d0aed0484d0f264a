#!/usr/bin/env bash
# Builds everything and runs every test: the normal build, the same under
# AddressSanitizer + UndefinedBehaviorSanitizer, the 32-bit x86 build of
# the libraries that carry the wire layout, and a bounded run of every fuzz
# target (clang, build-fuzz), the Debian packages made from the normal
# build, checked and linted, and the C++ tree's format. Exits non-zero on any
# failure.
set -uo pipefail
cd "$(dirname "$0")"
./scripts/deps.sh || exit 1

jobs=$(nproc)
declare -A summary
status=0

run_build() {   # <name> <cmake options...>
  local name=$1; shift
  local dir=build-$name
  echo "=== $name build ==="
  if ! cmake -S . -B "$dir" "$@" >"$dir.log" 2>&1 ||
     ! cmake --build "$dir" -j "$jobs" >>"$dir.log" 2>&1; then
    tail -40 "$dir.log"
    summary[$name]="BUILD FAILED (see $dir.log)"
    status=1
    return
  fi
  local out
  out=$(ctest --test-dir "$dir" -j "$jobs" --output-on-failure 2>&1)
  local rc=$?
  echo "$out" | grep -v -E '^ *[0-9]+/[0-9]+ Test +#[0-9]+: .* Passed' || true
  summary[$name]=$(echo "$out" | grep -E 'tests passed|tests failed' | tail -1)
  [ $rc -eq 0 ] || status=1
}

# The normal build installs under /usr, as the packages do.
run_build default -DCMAKE_INSTALL_PREFIX=/usr

echo "=== packages ==="
if pkg_out=$(./scripts/packages.sh build-default 2>&1) &&
   pkg_out=$(packaging/check_packages.sh build-default/packages client/install_test_prog.cpp 2>&1); then
  summary[packages]=$(echo "$pkg_out" | tail -1)
else
  summary[packages]="FAILED"
  status=1
fi
echo "$pkg_out"

run_build sanitize -DVARDO_SANITIZE=ON
run_build m32 -DVARDO_M32=ON

echo "=== fuzz (30 s per target) ==="
if fuzz_out=$(./scripts/fuzz.sh 30); then
  summary[fuzz]="no crash"
else
  summary[fuzz]="FAILED (inputs left in build-fuzz/)"
  status=1
fi
echo "$fuzz_out"

echo "=== format ==="
if format_out=$(./scripts/format.sh 2>&1); then
  summary[format]="clean"
else
  summary[format]="DRIFT (scripts/format.sh --fix)"
  status=1
fi
echo "$format_out" | head -20

echo
echo "=== summary ==="
for name in default packages sanitize m32 fuzz format; do
  printf '%-9s %s\n' "$name" "${summary[$name]:-not run}"
done
exit $status
