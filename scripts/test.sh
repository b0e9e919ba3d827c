#!/usr/bin/env bash
# Installs what is needed, builds everything and runs the whole test suite twice: once in
# the optimised build, once under AddressSanitizer + UndefinedBehaviorSanitizer. The tests
# start and stop the servers they need (Redis, ClickHouse, the S3 peer) themselves.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/deps.sh"
if [ -f "$root/tests/peers/install.sh" ]; then "$root/tests/peers/install.sh"; fi

echo "== format"
"$root/scripts/format.sh" --check

jobs=$(nproc)
echo "== build (RelWithDebInfo)"
"$root/scripts/build.sh" "$root/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo
echo "== tests (RelWithDebInfo)"
ctest --test-dir "$root/build" --output-on-failure -j "$jobs"

echo "== build (ASan + UBSan)"
"$root/scripts/build.sh" "$root/build-asan" -DCMAKE_BUILD_TYPE=Debug -DQUILLMERE_SANITIZE=ON \
  -DQUILLMERE_BUILD_BENCH=OFF
echo "== tests (ASan + UBSan)"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir "$root/build-asan" --output-on-failure -j "$jobs" -LE no-sanitize
