#!/usr/bin/env bash
# Installs what is missing, builds everything with AddressSanitizer and
# UndefinedBehaviorSanitizer, starts the services the tests use and runs every
# test with CTest.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/install-deps.sh"

build="${QUOR_TEST_BUILD:-$root/build/test}"
"$root/scripts/build.sh" "$build" -DCMAKE_BUILD_TYPE=Debug -DQUOR_SANITIZE=address,undefined -DQUOR_WERROR=ON

export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
ctest --test-dir "$build" --output-on-failure -j "$(nproc)" --timeout 300
