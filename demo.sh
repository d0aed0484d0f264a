#!/usr/bin/env bash
# Runs vardo in the foreground on a throw-away demo home, supervising three
# small programs built on the client library:
#   level 1  demo_publisher  registers the callback "greet", publishes events
#   level 2  demo_listener   subscribes to those events and to task status
#   level 2  demo_heartbeat  answers keep-alive probes (callbacks "mute" and
#                            "unmute" let you watch the keep-alive actions)
# Prints the vardoctl lines to try. Ctrl-C stops vardo and its programs and
# removes the demo home. Set DEMO_PORT to use another port than 7411.
set -euo pipefail
cd "$(dirname "$0")"
root=$(pwd)
port=${DEMO_PORT:-7411}

./scripts/deps.sh
cmake -S . -B build-default >/dev/null
cmake --build build-default -j2 --target vardo vardoctl demo_publisher demo_listener demo_heartbeat >/dev/null

bin="$root/build-default"
home=$(mktemp -d /tmp/vardo-demo.XXXXXX)
mkdir "$home/conf" "$home/log"
vardo_pid=""

stop() {
  trap - INT TERM
  if [ -n "$vardo_pid" ] && kill -0 "$vardo_pid" 2>/dev/null; then
    echo
    echo "demo: stopping vardo and its programs..."
    kill -TERM "$vardo_pid" 2>/dev/null || true
    wait "$vardo_pid" 2>/dev/null || true
  fi
  rm -rf "$home"
  echo "demo: stopped, $home removed"
}
trap stop EXIT
trap 'exit 130' INT TERM

cat >"$home/conf/vardo.ini" <<EOF
[general]
keeper type = primary
keeper ip = 127.0.0.1
keeper port = $port
listen ip = 127.0.0.1

[flags/demo_verbose]
name = demo_verbose
enabled = no

[tasks/demo_publisher]
type = ps
name = demo_publisher
location = $bin/manager/demo
level = 1
restart = yes
kill timeout = 2
kaEnable = no

[tasks/demo_listener]
type = ps
name = demo_listener
location = $bin/manager/demo
level = 2
restart = yes
kill timeout = 2
kaEnable = no

[tasks/demo_heartbeat]
type = ps
name = demo_heartbeat
location = $bin/manager/demo
level = 2
restart = yes
kill timeout = 2
kaEnable = yes
kaPeriod = 3
kaWarning = 1
kaWarningAction = MultySignal
kaError = 4
kaErrorAction = restart
EOF

# Traces of every program go to $home/log; vardo's own at the notify level.
cat >"$home/conf/qoevdbg.conf" <<EOF
[vardo]
filename = evdbg.vardo.log
fatal = 1
error = 1
warning = 1
notify = 1
EOF

ctl="VELTO_HOME=$home $bin/manager/vardoctl"
cat <<EOF

demo: vardo runs on port $port with home $home
demo: try in another terminal:
  # the supervised programs and their pids; the flags
  $ctl -l
  $ctl -F
  # set a flag (written back to the INI file)
  $ctl -f demo_verbose 1
  # the callbacks of a program, and running one with its arguments
  $ctl -L demo_publisher
  $ctl -c demo_publisher greet you and me
  # stop answering keep-alive probes: SIGUSR2 warnings, then a restart
  $ctl -c demo_heartbeat mute
  # restart a program
  $ctl -R demo_listener
  # the daemon's trace
  tail -f $home/log/evdbg.vardo.log
vardoctl also tries to write /opt/velto/log/vardoctl.log; when it cannot, it
says so on stderr and works all the same.
demo: Ctrl-C stops everything.

EOF

# Ctrl-C reaches the whole foreground group. vardo must not die of it and
# leave its programs behind: it ignores SIGINT and gets the SIGTERM of the
# trap, on which it stops its programs in order and exits. Its programs run
# in process groups of their own.
(trap '' INT; cd "$home" && VELTO_HOME="$home" exec "$bin/keeper/vardo") &
vardo_pid=$!
wait "$vardo_pid" || true
vardo_pid=""
