#!/usr/bin/env bash
# Whole-process comparison of the quillmere command with the floor of its line processing
# (bench/json_lines_floor: std::getline + one reused boost::json::parser), side by side in
# one run, on the same input read from standard input:
#
#   classify        100,000 webhook bodies       (examples/webhooks.jsonl, cycled)
#   map comment      75,000 comment requests     (examples/comment_requests.jsonl, cycled)
#   map parent       75,000 parent-post requests (examples/parent_posts.jsonl, cycled)
#
# usage: bench/cli_compare.sh [--callgrind] [--before QUILLMERE] [BUILD_DIR] [N]
#
#   wall clock (default): N rounds (7); every round runs the floor, the command and, with
#     --before, another build of the command (an earlier commit) on each input, one after
#     the other, so that all see the same load. Min and median of wall time and of CPU time
#     (user + system) per program, the ratios to the floor, and the load average before and
#     after.
#   --callgrind: instructions of one whole run of each program on N lines per input
#     (20,000 by default), which the load of the machine does not change.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

mode=wall
before=
while [ $# -gt 0 ]; do
  case $1 in
    --callgrind) mode=callgrind; shift ;;
    --before) before=$2; shift 2 ;;
    *) break ;;
  esac
done
build=${1:-$root/build}
q=$build/cli/quillmere
floor=$build/bench/json_lines_floor
for exe in "$q" "$floor" ${before:+"$before"}; do
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
subcommands=("classify" "map comment" "map parent")
# The programs compared: label and command (the subcommand is added for the command).
labels=(floor project)
programs=("$floor" "$q")
if [ -n "$before" ]; then
  labels=(floor before project)
  programs=("$floor" "$before" "$q")
fi

# command_of PROGRAM_INDEX PATH_INDEX: the command line to run.
command_of() {
  if [ "$1" = 0 ]; then echo "${programs[0]}"; else echo "${programs[$1]} ${subcommands[$2]}"; fi
}

if [ "$mode" = callgrind ]; then
  header=$(printf '%-12s %8s' path lines)
  for l in "${labels[@]}"; do header+=$(printf ' %16s' "$l Ir"); done
  for l in "${labels[@]:1}"; do header+=$(printf ' %9s' "$l/floor"); done
  echo "$header"
  for i in 0 1 2; do
    row=$(printf '%-12s %8d' "${names[$i]}" "${counts[$i]}")
    counts_ir=()
    for p in "${!programs[@]}"; do
      # shellcheck disable=SC2046
      valgrind --tool=callgrind --callgrind-out-file="$work/cg.out" $(command_of "$p" "$i") \
        <"${inputs[$i]}" >/dev/null 2>"$work/cg.err" || true
      ir=$(grep -m1 '^summary:' "$work/cg.out" | awk '{ print $2 }')
      counts_ir+=("$ir")
      row+=$(printf ' %16.0f' "$ir")
    done
    for p in "${counts_ir[@]:1}"; do row+=$(awk -v a="$p" -v b="${counts_ir[0]}" 'BEGIN { printf " %8.2fx", a / b }'); done
    echo "$row"
  done
  exit 0
fi

rounds=${2:-7}
echo "load average before: $(cut -d' ' -f1-3 /proc/loadavg)"
# run_one PROGRAM_INDEX PATH_INDEX: appends "wall cpu" of one run to its results file.
run_one() {
  local start end
  start=$(date +%s.%N)
  # shellcheck disable=SC2046
  /usr/bin/time -o "$work/usage" -f '%U %S' $(command_of "$1" "$2") <"${inputs[$2]}" >/dev/null 2>/dev/null || true
  end=$(date +%s.%N)
  echo "$start $end $(tail -1 "$work/usage")" | awk '{ printf "%.4f %.4f\n", $2 - $1, $3 + $4 }' >>"$work/r.$1.$2"
}
for i in 0 1 2; do
  for ((r = 0; r < rounds; r++)); do
    for p in "${!programs[@]}"; do run_one "$p" "$i"; done
  done
done
echo "load average after:  $(cut -d' ' -f1-3 /proc/loadavg)"

# stats FILE COLUMN: "min median" of a column.
stats() {
  sort -n -k"$2" "$1" | awk -v c="$2" '{ v[NR] = $c } END { printf "%.3f %.3f", v[1], v[int((NR + 1) / 2)] }'
}
printf '%-12s %6s %-8s | %-19s %-13s | %-19s %-13s\n' path lines program \
  "wall min / median" "vs floor" "cpu min / median" "vs floor"
for i in 0 1 2; do
  read -r fw_min fw_med <<<"$(stats "$work/r.0.$i" 1)"
  read -r fc_min fc_med <<<"$(stats "$work/r.0.$i" 2)"
  for p in "${!programs[@]}"; do
    read -r w_min w_med <<<"$(stats "$work/r.$p.$i" 1)"
    read -r c_min c_med <<<"$(stats "$work/r.$p.$i" 2)"
    awk -v n="${names[$i]}" -v l="${counts[$i]}" -v label="${labels[$p]}" \
      -v a="$w_min" -v b="$w_med" -v fa="$fw_min" -v fb="$fw_med" \
      -v c="$c_min" -v d="$c_med" -v fc="$fc_min" -v fd="$fc_med" 'BEGIN {
        printf "%-12s %6d %-8s | %6.3f / %6.3f s   %4.2fx / %4.2fx | %6.3f / %6.3f s   %4.2fx / %4.2fx\n",
          n, l, label, a, b, a / fa, b / fb, c, d, (fc > 0 ? c / fc : 0), (fd > 0 ? d / fd : 0) }'
  done
done
