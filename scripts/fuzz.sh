#!/usr/bin/env bash
# Builds every libFuzzer target (fuzz/<name>_fuzz.cpp) with clang, ASan and UBSan, and runs
# each for SECONDS (default 60). Usage: scripts/fuzz.sh [SECONDS] [NAME...]
# The growing corpus stays in build-fuzz/corpus/<name>; seeds come from fuzz/seeds/<name>,
# a dictionary from fuzz/<name>.dict; crashes, leaks and hangs are written to
# build-fuzz/artifacts/. The exit status is non-zero when any fuzzer found a fault.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-60}
if [ $# -gt 0 ]; then shift; fi
"$root/scripts/deps.sh" clang libclang-rt-14-dev

build="$root/build-fuzz"
CC=clang CXX=clang++ cmake -S "$root" -B "$build" -G Ninja -DQUILLMERE_BUILD_FUZZ=ON \
  -DQUILLMERE_BUILD_TESTS=OFF -DQUILLMERE_BUILD_BENCH=OFF -DQUILLMERE_BUILD_CLI=OFF >/dev/null
cmake --build "$build"

names=("$@")
if [ ${#names[@]} -eq 0 ]; then
  for source in "$root"/fuzz/*_fuzz.cpp; do names+=("$(basename "$source" .cpp)"); done
fi

status=0
mkdir -p "$build/artifacts"
for name in "${names[@]}"; do
  corpus="$build/corpus/$name"
  mkdir -p "$corpus"
  args=(-max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1
        -artifact_prefix="$build/artifacts/$name-")
  if [ -f "$root/fuzz/$name.dict" ]; then args+=(-dict="$root/fuzz/$name.dict"); fi
  dirs=("$corpus")
  if [ -d "$root/fuzz/seeds/$name" ]; then dirs+=("$root/fuzz/seeds/$name"); fi
  echo "== $name: ${seconds}s"
  if ! ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
       "$build/fuzz/$name" "${args[@]}" "${dirs[@]}"; then
    echo "== $name: FAILED (see $build/artifacts)" >&2
    status=1
  fi
done
exit $status
