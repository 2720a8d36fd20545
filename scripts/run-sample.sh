#!/usr/bin/env bash
# Runs the player's main job once scripts/run.sh has built it: a local sample service that makes
# its own content and pairs the player on its own, the player against it with the run's own state
# directory, and the player's operation log collected. It uses the session's Wayland compositor
# when there is one, otherwise a Weston of its own (in a window under X, headless elsewhere), and
# on Ctrl+C or at the end of a bounded run it stops exactly the processes it started.
#
# Options:
#   --duration SECONDS  stop after this many seconds (default: until Ctrl+C or the player ends)
#   --keep-state        keep the previous run's state: the player resumes bound, from its cache
#   --offline           start without the service: the player plays its last known good content
#   --output DIR        where the run writes (default: BUILD_DIR/sample-run)
#   --build-dir DIR     where the player and the sample service were built (default: build)
#   --pin DIGITS        lock the operator panel with this six-digit PIN (a PIN record in the
#                       state directory, written before the player starts)
#   --state-size MIB    give the state directory a volume of its own of this size (a tmpfs, made
#                       empty for the run and taken away at its end, its dev-log.jsonl copied
#                       into the output folder first; root only)
#   -- ARGUMENTS        passed to the sample service (--claim-delay-ms, --page-dwell-ms,
#                       --screenshot-interval-ms, --revision-delay-ms, --application-show-ms,
#                       --clock-offset-ms: the service's clock set apart from the machine's,
#                       --scenario FILE: revisions, faults and windows of a scenario file)
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=$root/build output='' duration='' keep_state=0 offline=0 service_args=() pin=() state_size=''
usage() { sed -n '2,/^set -euo/p' "${BASH_SOURCE[0]}" | sed '$d; s/^# \{0,1\}//'; }
while (($#)); do
  case $1 in
    --duration) duration=${2:-}; shift 2 ;;
    --keep-state) keep_state=1; shift ;;
    --offline) offline=1; shift ;;
    --output) output=${2:-}; shift 2 ;;
    --build-dir) build=${2:-}; shift 2 ;;
    --pin) pin=("${2:-}"); shift $(($# > 1 ? 2 : 1)) ;;
    --state-size) state_size=${2:-}; shift $(($# > 1 ? 2 : 1)) ;;
    --) shift; service_args=("$@"); break ;;
    -h | --help) usage; exit 0 ;;
    *) echo "unknown option: $1" >&2; usage >&2; exit 64 ;;
  esac
done
if [[ -n $duration && ! $duration =~ ^[1-9][0-9]{0,5}$ ]]; then
  echo "--duration takes whole seconds" >&2
  exit 64
fi
if [[ -n $state_size ]]; then
  [[ $state_size =~ ^[1-9][0-9]{0,6}$ ]] || { echo "--state-size takes whole MiB" >&2; exit 64; }
  ((EUID == 0)) || { echo "--state-size mounts a tmpfs: run as root" >&2; exit 64; }
  ((keep_state || offline)) && { echo "--state-size starts from an empty state" >&2; exit 64; }
fi
output=${output:-$build/sample-run}
player=$build/talvorine-player service=$build/tests/talvorine-sample-service
for program in "$player" "$service"; do
  [[ -x $program ]] || { echo "$program is missing: run scripts/run.sh" >&2; exit 78; }
done

# The output folder is emptied at each start, so it must be one this script made.
marker=$output/.talvorine-sample-run
if [[ -e $output && -n $(ls -A "$output") && ! -e $marker ]]; then
  echo "$output is not empty and not a sample run's output folder; choose another --output" >&2
  exit 64
fi
mkdir -p "$output"
# A volume a run left mounted (it was killed) goes before the folder is emptied.
if [[ -e $marker ]] && mountpoint -q "$output/state"; then umount "$output/state"; fi
keep=()
((keep_state || offline)) && keep=(! -name state ! -name service-state)
find "$output" -mindepth 1 -maxdepth 1 ! -name .talvorine-sample-run "${keep[@]}" \
  -exec rm -rf {} +
touch "$marker"
state_mounted=0
if [[ -n $state_size ]]; then
  mkdir -p "$output/state"
  mount -t tmpfs -o "size=${state_size}m,mode=0700" tmpfs "$output/state"
  state_mounted=1
  echo "state directory: a tmpfs of $state_size MiB"
fi

runtime=$(mktemp -d)
chmod 0700 "$runtime"
started=()
start_record() { # name pid
  started+=("$2")
  echo "$1 $2" >>"$output/pids"
}
stop_all() {
  local i pid
  for ((i = ${#started[@]} - 1; i >= 0; i--)); do
    pid=${started[i]}
    kill "$pid" 2>/dev/null || continue
    for _ in $(seq 100); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
    kill -9 "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  rm -rf "$runtime"
  if ((state_mounted)); then
    # The volume goes with the run: its developer log is kept beside the other outputs.
    cp "$output"/state/dev-log.jsonl* "$output"/ 2>/dev/null || true
    umount "$output/state" || echo "cannot unmount $output/state" >&2
  fi
  return 0
}
trap stop_all EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# The record is written by the service program with the panel's own PIN store, which refuses
# anything but six digits.
if ((${#pin[@]})); then
  XDG_RUNTIME_DIR=$runtime "$service" --provision-pin "$output/state" <<<"${pin[0]}" || exit 64
  echo "operator panel: locked with the given PIN (Escape opens it)"
fi

window=(--window-size 1280x720)
# The session's socket, named by a path or by a name in the runtime directory.
session_socket=${XDG_RUNTIME_DIR:-/nonexistent}/${WAYLAND_DISPLAY:-}
[[ ${WAYLAND_DISPLAY:-} == /* ]] && session_socket=$WAYLAND_DISPLAY
if [[ -n ${WAYLAND_DISPLAY:-} && -S $session_socket ]]; then
  echo "compositor: the session's ($WAYLAND_DISPLAY)"
else
  backend=(--backend=headless-backend.so --use-gl --width=1920 --height=1080)
  [[ -n ${DISPLAY:-} ]] && backend=(--backend=x11-backend.so --width=1280 --height=720)
  XDG_RUNTIME_DIR=$runtime weston "${backend[@]}" --socket=talvorine-0 --idle-time=0 \
    >"$output/weston.log" 2>&1 </dev/null &
  start_record weston $!
  for _ in $(seq 100); do [[ -S $runtime/talvorine-0 ]] && break; sleep 0.1; done
  [[ -S $runtime/talvorine-0 ]] || { echo "weston did not start: $output/weston.log" >&2; exit 1; }
  export XDG_RUNTIME_DIR=$runtime WAYLAND_DISPLAY=talvorine-0
  [[ -n ${DISPLAY:-} ]] && window=(--windowed) || window=()
  echo "compositor: Weston of this run (${backend[0]#--backend=})"
fi

oplog=$runtime/oplog.sock
if ((offline)); then
  "$service" --output "$output" --oplog-socket "$oplog" --oplog-only >"$output/service.log" 2>&1 &
  start_record service $!
  origin=http://127.0.0.1:9 # nothing listens there: the player is offline
else
  "$service" --output "$output" --oplog-socket "$oplog" "${service_args[@]}" \
    >"$output/service.log" 2>&1 &
  start_record service $!
  for _ in $(seq 600); do
    [[ -s $output/service-origin ]] && break
    kill -0 "${started[-1]}" 2>/dev/null || break
    sleep 0.1
  done
  [[ -s $output/service-origin ]] || { echo "the service did not start: $output/service.log" >&2; exit 1; }
  origin=$(<"$output/service-origin")
fi
for _ in $(seq 100); do [[ -S $oplog ]] && break; sleep 0.1; done

# The web engine's sandbox refuses to start as root, so a root run goes without it.
sandbox=()
if ((EUID == 0)) && [[ -z ${QTWEBENGINE_DISABLE_SANDBOX:-} ]]; then
  sandbox=(QTWEBENGINE_DISABLE_SANDBOX=1)
  echo "web engine: sandbox off (run as root)"
fi
env -u QT_QPA_PLATFORM TALVORINE_PLAYER_LOG_SOCKET="$oplog" TALVORINE_COLD_BOOT_SPREAD_MS=0 \
  "${sandbox[@]}" "$player" --origin "$origin" --state-dir "$output/state" "${window[@]}" \
  >"$output/player.log" 2>&1 </dev/null &
start_record player $!
player_pid=$!
echo "player: $origin, output in $output (screenshots/, service.jsonl, player-oplog.jsonl)"

status=0
if [[ -n $duration ]]; then
  sleep "$duration" &
  start_record timer $!
  wait -n "$player_pid" "$!" || true
  if ! kill -0 "$player_pid" 2>/dev/null; then
    wait "$player_pid" || status=$?
    echo "the player ended before the run did (status $status): $output/player.log" >&2
    ((status)) || status=1
  fi
else
  wait "$player_pid" || status=$?
fi
exit "$status"
