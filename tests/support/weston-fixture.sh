#!/usr/bin/env bash
# Starts or stops the headless Weston that the "window" tests run under. The compositor gets
# a private runtime directory of its own, so a compositor that this fixture did not start is
# never reused, and a leftover one of an earlier run is stopped first.
set -euo pipefail

action=$1 runtime=$2 socket=$3
pidfile="$runtime.pid"

stop() {
  if [[ -f $pidfile ]]; then
    pid=$(cat "$pidfile")
    if kill -0 "$pid" 2>/dev/null; then
      kill "$pid" 2>/dev/null || true
      for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
      kill -9 "$pid" 2>/dev/null || true
    fi
    rm -f "$pidfile"
  fi
  rm -rf "$runtime"
}

case $action in
start)
  stop
  mkdir -m 0700 -p "$runtime"
  XDG_RUNTIME_DIR=$runtime setsid weston --backend=headless-backend.so --use-gl \
    --socket="$socket" --idle-time=0 --width=1920 --height=1080 \
    >"$runtime.log" 2>&1 </dev/null &
  echo $! >"$pidfile"
  for _ in $(seq 100); do
    [[ -S $runtime/$socket ]] && exit 0
    kill -0 "$(cat "$pidfile")" 2>/dev/null || break
    sleep 0.1
  done
  echo "weston did not start; its log:" >&2
  cat "$runtime.log" >&2 || true
  exit 1
  ;;
stop)
  stop
  ;;
*)
  echo "usage: $0 start|stop RUNTIME_DIR SOCKET" >&2
  exit 2
  ;;
esac
