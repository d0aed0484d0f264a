#!/usr/bin/env bash
# Runs one program (an end-to-end test binary) inside private namespaces, so
# that the daemon it starts can listen, start programs and "reboot" without
# touching this machine:
#  - own mount, UTS, IPC, network and PID namespaces, with their own /proc
#    (the daemon reads its own name and its children from there);
#  - loopback up, private host name;
#  - /etc, /opt, /usr/local and the folder behind /sbin overlaid with upper
#    folders on a private tmpfs, so writes vanish with the namespace;
#  - /sbin/shutdown, /sbin/route, the /etc/rc.d/rc.* scripts and the snapshot
#    script replaced by stand-ins that append their command line to a record
#    file instead of acting.
# The program finds the tmpfs in VARDO_E2E_SCRATCH and the record file in
# VARDO_E2E_RECORD; VARDO_E2E_NS=1 tells it that it runs inside.
# Sanitizer reports of every program inside (the test, the daemon, what the
# daemon starts, vardoctl) go to files in VARDO_E2E_SANITIZER_DIR, wherever
# the program's own output goes; the test's fixture fails the case that left
# one, and any report still there at the end fails the run.
# Needs root (unshare, mount). Test discovery (--gtest_list_tests) runs bare.
# Every process started here costs, so the set-up keeps to shell built-ins
# where it can.
set -euo pipefail

# Stand-ins: scripts that record how they were called.
standins() {   # <record file> <path>...
  local record=$1 path
  shift
  # Remove first: writing through a link (/sbin/shutdown -> systemctl) would
  # change a file outside the overlays.
  rm -f "$@"
  for path in "$@"; do
    if [ -e "$path" ] || [ -L "$path" ]; then
      echo "ns_run.sh: cannot replace $path" >&2
      exit 1
    fi
    printf '#!/bin/sh\necho "$0 $*" >> %s\n' "$record" >"$path"
  done
  chmod 755 "$@"
}

inside() {    # <scratch mount point> <program> [args...]
  local scratch=$1 sbin dir
  shift
  mount -t tmpfs -o mode=0755 vardo-e2e "$scratch"
  ip link set lo up
  hostname vardo-e2e

  # The real folder behind /sbin is overlaid, not its link.
  sbin=$(readlink -f /sbin)
  local dirs=(/etc /opt /usr/local "$sbin") work=()
  for dir in "${dirs[@]}"; do
    work+=("$scratch/ovl$dir/upper" "$scratch/ovl$dir/work")
  done
  mkdir -p "${work[@]}"
  for dir in "${dirs[@]}"; do
    mount -t overlay overlay \
      -o "lowerdir=$dir,upperdir=$scratch/ovl$dir/upper,workdir=$scratch/ovl$dir/work" "$dir"
  done

  local record=$scratch/commands.log
  : >"$record"
  mkdir -p /etc/rc.d /opt/velto/bin /opt/velto/conf /usr/local/DYX/conf /usr/local/DYXlog
  standins "$record" "$sbin/shutdown" "$sbin/route" \
    /etc/rc.d/rc.inet1 /etc/rc.d/rc.ntp /etc/rc.d/rc.security /etc/rc.d/rc.inetd \
    /etc/rc.d/rc.sshd /opt/velto/bin/create_snapshot_logs.sh

  local reports=$scratch/sanitizer
  # Programs that run as another user report here too.
  mkdir -m 1777 "$reports"
  export ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}log_path=$reports/report"
  export UBSAN_OPTIONS="${UBSAN_OPTIONS:+$UBSAN_OPTIONS:}log_path=$reports/report"

  export VARDO_E2E_NS=1 VARDO_E2E_SCRATCH=$scratch VARDO_E2E_RECORD=$record \
         VARDO_E2E_SANITIZER_DIR=$reports
  # Not exec: this shell stays PID 1 of the namespace and reaps orphans; when
  # it exits the kernel kills whatever the test left running.
  local rc=0 report
  "$@" || rc=$?
  for report in "$reports"/*; do
    [ -e "$report" ] || continue
    echo "ns_run.sh: sanitizer report $report:" >&2
    cat "$report" >&2
    [ "$rc" -ne 0 ] || rc=1
  done
  return "$rc"
}

if [ "${1:-}" = --inside ]; then
  shift
  inside "$@"
  exit $?
fi

for arg in "$@"; do
  if [ "$arg" = --gtest_list_tests ]; then
    exec "$@"
  fi
done

scratch=$(mktemp -d "${TMPDIR:-/tmp}/vardo-e2e.XXXXXX")
trap 'rmdir "$scratch" 2>/dev/null || true' EXIT
rc=0
unshare --mount --uts --ipc --net --pid --fork --mount-proc --kill-child \
        --propagation private "$0" --inside "$scratch" "$@" || rc=$?
exit $rc
