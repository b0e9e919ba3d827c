#!/usr/bin/env bash
# `quillmere process` measured as users run it, side by side in one run:
#   1. on N comment deliveries without sources (brand settings only) against
#      `quillmere map comment` on the equivalent requests (and their records compared);
#   2. with every parent post and owner cached in a real redis-server, on one core;
#   3. with the Graph API answering after 50 ms, 256 requests in flight.
# Each figure is the best of RUNS runs (wall time); items/s = items / wall seconds.
#
#   bench/process_bench.sh [BUILD_DIR]      N=100000 GRAPH_N=5000 RUNS=3 by default
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
n=${N:-100000}
graph_n=${GRAPH_N:-5000}
runs=${RUNS:-3}
q="$build/cli/quillmere"
gen="$build/bench/process_bench"
stand_in="$build/examples/demo_graph_api/quillmere_demo_graph_api"
for p in "$q" "$gen" "$stand_in"; do
  [ -x "$p" ] || { echo "process_bench: build $p first" >&2; exit 2; }
done
command -v redis-server >/dev/null && command -v redis-cli >/dev/null ||
  { echo "process_bench: redis-server and redis-cli are needed (scripts/deps.sh)" >&2; exit 2; }

work=$(mktemp -d "${TMPDIR:-/tmp}/quillmere-process-bench.XXXXXX")
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill -TERM "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

"$gen" generate "$work" "$n" "$graph_n"

# Best wall time of RUNS runs of a command line, in seconds.
best() {
  local best_s="" t
  for _ in $(seq 1 "$runs"); do
    local start end
    start=$(date +%s.%N)
    "$@" >"$work/out" 2>"$work/err" || [ $? -eq 1 ] || { cat "$work/err" >&2; return 1; }
    end=$(date +%s.%N)
    t=$(awk -v a="$start" -v b="$end" 'BEGIN { printf "%.4f", b - a }')
    if [ -z "$best_s" ] || awk -v t="$t" -v b="$best_s" 'BEGIN { exit !(t < b) }'; then best_s=$t; fi
  done
  echo "$best_s"
}
rate() { awk -v n="$1" -v t="$2" 'BEGIN { printf "%d", n / t }'; }

cat >"$work/none.toml" <<EOF
[settings]
file = "brands.json"
channel_group_id = 3
[log]
level = "error"
EOF

echo "== $n comment deliveries, no source (best of $runs)"
t_map=$(best "$q" map comment "$work/requests.jsonl")
cp "$work/out" "$work/map.jsonl"
t_proc=$(best "$q" process --config "$work/none.toml" "$work/deliveries.jsonl")
cp "$work/out" "$work/process.jsonl"
"$gen" compare "$work/process.jsonl" "$work/map.jsonl"
printf '  %-44s %8.3f s  %9s items/s\n' "quillmere map comment (equivalent requests)" "$t_map" "$(rate "$n" "$t_map")"
printf '  %-44s %8.3f s  %9s items/s\n' "quillmere process (settings only)" "$t_proc" "$(rate "$n" "$t_proc")"
printf '  %-44s %8.2fx\n' "process / map" "$(awk -v a="$t_proc" -v b="$t_map" 'BEGIN { print a / b }')"

echo "== $n deliveries, every parent post and owner cached in Redis, one core (taskset -c 0)"
port=$((20000 + RANDOM % 30000))
redis-server --port "$port" --bind 127.0.0.1 --save "" --appendonly no --dir "$work" >"$work/redis.log" 2>&1 &
pids+=($!)
for _ in $(seq 1 100); do redis-cli -p "$port" ping >/dev/null 2>&1 && break; sleep 0.05; done
redis-cli -p "$port" --pipe <"$work/cache.resp" >/dev/null
cat >"$work/redis.toml" <<EOF
[settings]
file = "brands.json"
channel_group_id = 3
[redis]
url = "redis://127.0.0.1:$port/0"
[graph_api]
base_url = "http://127.0.0.1:9"
access_token = "bench-token"
dm_access_token = "bench-dm-token"
max_in_flight = 256
[log]
level = "error"
EOF
t_redis=$(best taskset -c 0 "$q" process --config "$work/redis.toml" "$work/deliveries.jsonl")
skipped=$(grep -c '"skipped"' "$work/out" || true)
printf '  %-44s %8.3f s  %9s items/s  (%s envelopes name a skipped source)\n' "quillmere process (Redis, 1 core)" \
  "$t_redis" "$(rate "$n" "$t_redis")" "$skipped"

echo "== $graph_n deliveries, Graph API answering after 50 ms, 256 in flight"
"$stand_in" --root "$work/graph_api" --port-file "$work/graph_port" --delay-ms 50 --quiet 2>"$work/graph.log" &
pids+=($!)
for _ in $(seq 1 200); do [ -s "$work/graph_port" ] && break; sleep 0.05; done
gport=$(cat "$work/graph_port")
head -n "$graph_n" "$work/deliveries.jsonl" >"$work/graph_deliveries.jsonl"
cat >"$work/graph.toml" <<EOF
[settings]
file = "brands.json"
channel_group_id = 3
[graph_api]
base_url = "http://127.0.0.1:$gport"
access_token = "bench-token"
dm_access_token = "bench-dm-token"
max_in_flight = 256
[log]
level = "error"
EOF
t_graph=$(best "$q" process --config "$work/graph.toml" --window 512 "$work/graph_deliveries.jsonl")
parents=$(grep -o '"table":"parent"' "$work/out" | wc -l)
printf '  %-44s %8.3f s  %9s items/s  (%s parent records)\n' "quillmere process (Graph API 50 ms)" "$t_graph" \
  "$(rate "$graph_n" "$t_graph")" "$parents"
printf '  %-44s %9s items/s\n' "floor: 256 in flight / 50 ms" "5120"
