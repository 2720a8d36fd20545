#!/usr/bin/env bash
# Installs what is missing, builds the player and the sample service, and runs the player's main
# job against the sample service: see scripts/run-sample.sh for what happens and its options
# (for example --duration 120, --keep-state, --offline).
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

bash "$root/scripts/setup.sh"
export CCACHE_DIR=${CCACHE_DIR:-$HOME/.cache/talvorine-ccache}
cmake -S "$root" -B "$root/build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build "$root/build" -j "$(nproc)" --target talvorine-player talvorine-sample-service
exec bash "$root/scripts/run-sample.sh" --build-dir "$root/build" "$@"
