#!/usr/bin/env bash
# Installs what is missing, builds the player and its tests, and runs every test; then runs the
# tests again under AddressSanitizer and UndefinedBehaviorSanitizer.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
jobs=${TALVORINE_JOBS:-$(nproc)}

bash "$root/scripts/setup.sh"

export CCACHE_DIR=${CCACHE_DIR:-$HOME/.cache/talvorine-ccache}

cmake -S "$root" -B "$root/build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTALVORINE_WERROR=ON
cmake --build "$root/build" -j "$jobs"
ctest --test-dir "$root/build" --output-on-failure -j "$jobs"

cmake -S "$root" -B "$root/build-asan" -G Ninja -DCMAKE_BUILD_TYPE=Debug \
  -DTALVORINE_WERROR=ON -DTALVORINE_SANITIZE=ON
cmake --build "$root/build-asan" -j "$jobs"
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export LSAN_OPTIONS=suppressions=$root/tests/support/lsan.supp:print_suppressions=0
ASAN_OPTIONS=detect_leaks=1:detect_stack_use_after_return=1 \
  ctest --test-dir "$root/build-asan" --output-on-failure -j "$jobs" -L unit
# The GL drivers under the window tests unload themselves with allocations still held, which
# leak checking cannot even attribute; memory errors are still caught there.
ASAN_OPTIONS=detect_leaks=0:detect_stack_use_after_return=1 \
  ctest --test-dir "$root/build-asan" --output-on-failure -j "$jobs" -L window
