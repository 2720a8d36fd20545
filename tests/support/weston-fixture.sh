#!/usr/bin/env bash
# Starts or stops the headless Weston that the "window" tests run under, or runs one window test
# under it. Each ctest run gets a compositor and runtime directory of its own, named after the
# ctest process (the parent of every fixture and test it starts), so two runs from one build tree,
# or a window test started by hand beside a run, never stop or reuse each other's compositor.
# Leftovers of runs whose ctest is gone are swept at the next start.
set -euo pipefail

usage() {
  echo "usage: $0 start|stop SOCKET | $0 run SOCKET PROGRAM [ARGUMENT...]" >&2
  exit 2
}
(($# >= 2)) || usage
action=$1 socket=$2
shift 2

prefix="${TMPDIR:-/tmp}/talvorine-weston-"
runtime="$prefix$PPID"

stop() {
  local dir=$1 pidfile="$1.pid"
  if [[ -f $pidfile ]]; then
    local pid
    pid=$(cat "$pidfile")
    if kill -0 "$pid" 2>/dev/null; then
      kill "$pid" 2>/dev/null || true
      for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
      kill -9 "$pid" 2>/dev/null || true
    fi
  fi
  rm -rf "$dir" "$dir.pid" "$dir.log"
}

sweep() {
  local dir owner
  for dir in "$prefix"*; do
    [[ -d $dir ]] || continue
    owner=${dir#"$prefix"}
    [[ $owner =~ ^[0-9]+$ ]] || continue
    kill -0 "$owner" 2>/dev/null || stop "$dir"
  done
}

case $action in
start)
  sweep
  stop "$runtime"
  mkdir -m 0700 -p "$runtime"
  XDG_RUNTIME_DIR=$runtime setsid weston --backend=headless-backend.so --use-gl \
    --socket="$socket" --idle-time=0 --width=1920 --height=1080 \
    >"$runtime.log" 2>&1 </dev/null &
  echo $! >"$runtime.pid"
  for _ in $(seq 300); do
    [[ -S $runtime/$socket ]] && exit 0
    kill -0 "$(cat "$runtime.pid")" 2>/dev/null || break
    sleep 0.1
  done
  echo "weston did not start; its log:" >&2
  cat "$runtime.log" >&2 || true
  exit 1
  ;;
stop)
  stop "$runtime"
  ;;
run)
  (($# >= 1)) || usage
  if [[ ! -S $runtime/$socket ]]; then
    echo "no compositor of this run at $runtime/$socket (is the weston_start fixture selected?)" >&2
    exit 1
  fi
  export XDG_RUNTIME_DIR=$runtime WAYLAND_DISPLAY=$socket
  exec "$@"
  ;;
*)
  usage
  ;;
esac
