#!/usr/bin/env bash
# Whole-process comparison of the quillmere command with the floor of its line processing
# (bench/json_lines_floor: std::getline + one reused boost::json::parser), side by side in
# one run, on the same input read from standard input:
#
#   classify        100,000 webhook bodies      (examples/webhooks.jsonl, cycled)
#   map comment      75,000 comment requests    (examples/comment_requests.jsonl, cycled)
#   map parent       75,000 parent-post requests (examples/parent_posts.jsonl, cycled)
#
# usage: bench/cli_compare.sh [BUILD_DIR] [ROUNDS]          wall clock and CPU, ROUNDS rounds
#        bench/cli_compare.sh --callgrind [BUILD_DIR] [LINES]  instruction counts (valgrind)
#
# Wall clock: every round runs the floor and the command alternately on each input, so
# both see the same load; min and median of ROUNDS runs, with the load average before and
# after. Callgrind: instructions of one whole run of each (LINES lines per input, default
# 20,000), which the load of the machine does not change.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

mode=wall
if [ "${1:-}" = "--callgrind" ]; then
  mode=callgrind
  shift
fi
build=${1:-$root/build}
q=$build/cli/quillmere
floor=$build/bench/json_lines_floor
for exe in "$q" "$floor"; do
  [ -x "$exe" ] || { echo "missing $exe: build the targets quillmere and json_lines_floor" >&2; exit 2; }
done

work=$(mktemp -d "${TMPDIR:-/tmp}/quillmere-cli-compare.XXXXXX")
trap 'rm -rf "$work"' EXIT

# cycle FILE LINES OUT: the lines of FILE repeated until there are LINES of them.
cycle() {
  awk -v n="$2" '{ l[NR] = $0 } END { for (i = 0; i < n; i++) print l[i % NR + 1] }' "$1" >"$3"
}

if [ "$mode" = wall ]; then
  counts=(100000 75000 75000)
else
  lines=${2:-20000}
  counts=("$lines" "$lines" "$lines")
fi
cycle "$root/examples/webhooks.jsonl" "${counts[0]}" "$work/classify.jsonl"
cycle "$root/examples/comment_requests.jsonl" "${counts[1]}" "$work/comment.jsonl"
cycle "$root/examples/parent_posts.jsonl" "${counts[2]}" "$work/parent.jsonl"

names=("classify" "map comment" "map parent")
inputs=("$work/classify.jsonl" "$work/comment.jsonl" "$work/parent.jsonl")
commands=("$q classify" "$q map comment" "$q map parent")

if [ "$mode" = callgrind ]; then
  instructions() {  # instructions of one run of "$@" < $input
    valgrind --tool=callgrind --callgrind-out-file="$work/cg.out" "$@" <"$input" >/dev/null 2>"$work/cg.err" || true
    grep -m1 '^summary:' "$work/cg.out" | awk '{ print $2 }'
  }
  printf '%-12s %8s %16s %16s %7s\n' path lines "floor Ir" "project Ir" ratio
  for i in 0 1 2; do
    input=${inputs[$i]}
    f=$(instructions "$floor")
    # shellcheck disable=SC2086
    p=$(instructions ${commands[$i]})
    awk -v n="${names[$i]}" -v l="${counts[$i]}" -v f="$f" -v p="$p" \
      'BEGIN { printf "%-12s %8d %16.0f %16.0f %6.2fx\n", n, l, f, p, p / f }'
  done
  exit 0
fi

rounds=${2:-7}
echo "load average before: $(cut -d' ' -f1-3 /proc/loadavg)"
# run CMD...: appends "wall cpu" of one run (input from $input, output discarded).
run() {
  local start end
  start=$(date +%s.%N)
  /usr/bin/time -o "$work/usage" -f '%U %S' "$@" <"$input" >/dev/null 2>/dev/null || true
  end=$(date +%s.%N)
  echo "$start $end $(tail -1 "$work/usage")" | awk '{ printf "%.4f %.4f\n", $2 - $1, $3 + $4 }'
}
for i in 0 1 2; do
  input=${inputs[$i]}
  : >"$work/floor.$i" >"$work/project.$i"
  for ((r = 0; r < rounds; r++)); do
    run "$floor" >>"$work/floor.$i"
    # shellcheck disable=SC2086
    run ${commands[$i]} >>"$work/project.$i"
  done
done
echo "load average after:  $(cut -d' ' -f1-3 /proc/loadavg)"

# stats FILE COLUMN: "min median" of a column.
stats() {
  sort -n -k"$2" "$1" | awk -v c="$2" '{ v[NR] = $c } END { printf "%.3f %.3f", v[1], v[int((NR + 1) / 2)] }'
}
printf '%-12s %6s | %-19s %-19s %-13s | %-19s %-19s %-13s\n' path lines \
  "floor wall min/med" "project wall min/med" "ratio min/med" \
  "floor cpu min/med" "project cpu min/med" "ratio min/med"
for i in 0 1 2; do
  read -r fw_min fw_med <<<"$(stats "$work/floor.$i" 1)"
  read -r pw_min pw_med <<<"$(stats "$work/project.$i" 1)"
  read -r fc_min fc_med <<<"$(stats "$work/floor.$i" 2)"
  read -r pc_min pc_med <<<"$(stats "$work/project.$i" 2)"
  awk -v n="${names[$i]}" -v l="${counts[$i]}" \
    -v a="$fw_min" -v b="$fw_med" -v c="$pw_min" -v d="$pw_med" \
    -v e="$fc_min" -v f="$fc_med" -v g="$pc_min" -v h="$pc_med" 'BEGIN {
      printf "%-12s %6d | %7.3f / %7.3f s   %7.3f / %7.3f s   %4.2fx / %4.2fx | %7.3f / %7.3f s   %7.3f / %7.3f s   %4.2fx / %4.2fx\n",
        n, l, a, b, c, d, c / a, d / b, e, f, g, h, (e > 0 ? g / e : 0), (f > 0 ? h / f : 0) }'
done
