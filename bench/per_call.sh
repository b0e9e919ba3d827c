#!/usr/bin/env bash
# Instructions per call, load-independent: runs one Google Benchmark program under
# callgrind and divides the inclusive instruction count of every call of each function
# named by a pattern by the number of those calls.
#
# usage: bench/per_call.sh PROGRAM FILTER PATTERN...
#   PROGRAM  a benchmark program (build/bench/map_bench)
#   FILTER   its --benchmark_filter
#   PATTERN  an extended regular expression matched against the function names
#            callgrind records (demangled), e.g. 'tindral::apply_rules\(quillmere::tindral::CompiledRules'
#
# Prints "calls  instructions/call  function" for every function that matches.
set -euo pipefail
[ $# -ge 3 ] || { sed -n '2,12p' "$0" >&2; exit 2; }
program=$1
filter=$2
shift 2
out=$(mktemp "${TMPDIR:-/tmp}/quillmere-per-call.XXXXXX")
trap 'rm -f "$out"' EXIT
valgrind --tool=callgrind --callgrind-out-file="$out" "$program" --benchmark_filter="$filter" \
  --benchmark_min_time=0.3 >/dev/null 2>&1
for pattern in "$@"; do
  # Callgrind's format: "fn=(id) name" and "cfn=(id) name" name a function and a callee
  # (the name only the first time an id appears), "calls=N ..." follows a callee, and the
  # next line holds the inclusive cost of those calls.
  awk -v pattern="$pattern" '
    function named(s,    id, rest) {
      if (!match(s, /^\([0-9]+\)/)) return s
      id = substr(s, RSTART, RLENGTH); rest = substr(s, RLENGTH + 2)
      if (rest != "") name[id] = rest
      return name[id]
    }
    /^fn=/ { named(substr($0, 4)); next }
    /^cfn=/ { callee = named(substr($0, 5)); next }
    /^calls=/ { split(substr($0, 7), c, " "); pending = c[1]; next }
    pending != "" {
      if (callee ~ pattern) { calls[callee] += pending; cost[callee] += $2 }
      pending = ""
    }
    END { for (f in calls) printf "%10d %12.0f  %s\n", calls[f], cost[f] / calls[f], f }
  ' "$out" | sort -k3
done
