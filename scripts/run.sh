#!/usr/bin/env bash
# Installs what is missing, builds the player and starts it. Arguments go to the player, for
# example: scripts/run.sh --origin https://player.example --state-dir /tmp/talvorine --windowed
# Without a Wayland session, a Weston compositor of its own is started (in a window when an X
# display exists, headless otherwise) and stopped when the player ends.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

bash "$root/scripts/setup.sh"
export CCACHE_DIR=${CCACHE_DIR:-$HOME/.cache/talvorine-ccache}
cmake -S "$root" -B "$root/build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build "$root/build" -j "$(nproc)" --target talvorine-player

player="$root/build/talvorine-player"
if [[ -n ${WAYLAND_DISPLAY:-} && -S ${XDG_RUNTIME_DIR:-/nonexistent}/$WAYLAND_DISPLAY ]]; then
  exec "$player" "$@"
fi

runtime=$(mktemp -d)
chmod 0700 "$runtime"
backend=headless-backend.so
[[ -n ${DISPLAY:-} ]] && backend=x11-backend.so
XDG_RUNTIME_DIR=$runtime weston --backend=$backend --socket=talvorine-0 --idle-time=0 \
  >"$runtime/weston.log" 2>&1 &
weston_pid=$!
trap 'kill $weston_pid 2>/dev/null; rm -rf "$runtime"' EXIT
for _ in $(seq 100); do [[ -S $runtime/talvorine-0 ]] && break; sleep 0.1; done
XDG_RUNTIME_DIR=$runtime WAYLAND_DISPLAY=talvorine-0 "$player" "$@"
