#!/usr/bin/env bash
# Builds every libFuzzer target (fuzz/<name>_fuzz.cpp) with clang, ASan and UBSan, and runs
# each for SECONDS (default 60), or minimises the corpora kept in the repository.
#
#   scripts/fuzz.sh [SECONDS] [NAME...]   fuzz each target (all by default) for SECONDS
#   scripts/fuzz.sh --merge [NAME...]     minimise into fuzz/corpus/<name>
#
# A run reads the kept corpus fuzz/corpus/<name>, the hand-written seeds fuzz/seeds/<name>
# and the dictionary fuzz/<name>.dict; what it finds grows build-fuzz/corpus/<name>, and
# crashes, leaks and hangs are written to build-fuzz/artifacts/. The exit status is
# non-zero when any fuzzer found a fault.
#
# --merge keeps, out of the kept corpus and build-fuzz/corpus/<name>, the smallest set of
# inputs that covers what they cover beyond the seeds (libFuzzer's -merge=1), and replaces
# fuzz/corpus/<name> with it; the seeds stay where they are. Above 400 files (or
# QUILLMERE_FUZZ_CORPUS_CAP) it keeps the covered edges only, without their hit counts. The CTest
# fuzz_regression.<name> replays corpus and seeds in the ordinary builds.
#
# The machine may be shared: run this under nice (nice -n 19 scripts/fuzz.sh 600 NAME).
# clang 14 notes: the fuzz build turns off UBSan's function-type check (it cannot handle
# split coroutines); everything else of ASan and UBSan stays on.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
merge=0
seconds=60
if [ "${1:-}" = "--merge" ]; then
  merge=1
  shift
elif [ $# -gt 0 ]; then
  seconds=$1
  shift
fi
"$root/scripts/deps.sh" clang libclang-rt-14-dev

build="$root/build-fuzz"
CC=clang CXX=clang++ cmake -S "$root" -B "$build" -G Ninja -DQUILLMERE_BUILD_FUZZ=ON \
  -DQUILLMERE_BUILD_TESTS=OFF -DQUILLMERE_BUILD_BENCH=OFF -DQUILLMERE_BUILD_CLI=OFF >/dev/null
cmake --build "$build"

names=("$@")
if [ ${#names[@]} -eq 0 ]; then
  for source in "$root"/fuzz/*_fuzz.cpp; do names+=("$(basename "$source" .cpp)"); done
fi

# Most files a kept corpus should have (it is reviewed like code).
cap=${QUILLMERE_FUZZ_CORPUS_CAP:-400}
export ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
status=0
mkdir -p "$build/artifacts"
for name in "${names[@]}"; do
  if [ ! -x "$build/fuzz/$name" ]; then
    echo "== $name: no such fuzz target" >&2
    status=1
    continue
  fi
  found="$build/corpus/$name"
  kept="$root/fuzz/corpus/$name"
  seeds="$root/fuzz/seeds/$name"
  mkdir -p "$found"

  if [ $merge -eq 1 ]; then
    # The seeds go into the fresh set first, so that only inputs adding coverage beyond
    # them are kept; they are taken out again afterwards. A set above the cap is merged
    # again on edges alone (no hit counts), which keeps every covered edge in fewer files.
    inputs=("$found")
    if [ -d "$kept" ]; then inputs+=("$kept"); fi
    fresh=""
    for counters in 1 0; do
      if [ -n "$fresh" ]; then rm -rf "$fresh"; fi
      fresh=$(mktemp -d "$build/merge-$name.XXXXXX")
      if [ -d "$seeds" ]; then cp "$seeds"/* "$fresh"/; fi
      if ! "$build/fuzz/$name" -merge=1 -use_counters=$counters -timeout=10 -rss_limit_mb=2048 \
           -artifact_prefix="$build/artifacts/$name-" "$fresh" "${inputs[@]}" 2>"$build/merge-$name.log"; then
        echo "== $name: merge FAILED (see $build/merge-$name.log)" >&2
        rm -rf "$fresh"
        fresh=""
        break
      fi
      if [ -d "$seeds" ]; then
        for seed in "$seeds"/*; do rm -f "$fresh/$(basename "$seed")"; done
      fi
      if [ "$(find "$fresh" -type f | wc -l)" -le "$cap" ]; then break; fi
    done
    if [ -z "$fresh" ]; then
      status=1
      continue
    fi
    rm -rf "$kept"
    mkdir -p "$(dirname "$kept")"
    mv "$fresh" "$kept"
    chmod 755 "$kept"
    echo "== $name: kept $(find "$kept" -type f | wc -l) files, $(cat "$kept"/* /dev/null | wc -c) bytes"
    continue
  fi

  args=(-max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1
        -artifact_prefix="$build/artifacts/$name-")
  if [ -f "$root/fuzz/$name.dict" ]; then args+=(-dict="$root/fuzz/$name.dict"); fi
  dirs=("$found")
  if [ -d "$kept" ]; then dirs+=("$kept"); fi
  if [ -d "$seeds" ]; then dirs+=("$seeds"); fi
  echo "== $name: ${seconds}s"
  if ! "$build/fuzz/$name" "${args[@]}" "${dirs[@]}"; then
    echo "== $name: FAILED (see $build/artifacts)" >&2
    status=1
  fi
done
exit $status
