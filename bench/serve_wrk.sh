#!/usr/bin/env bash
# Load on `quillmere serve` with wrk: signed deliveries accepted per second and latency
# percentiles, with the SQLite queue (and with the Redis queue when redis-server is
# installed), beside the floor of the same listener answering GET /healthz (HTTP alone:
# no signature, no queue), all in one run.
#
#   bench/serve_wrk.sh [BUILD_DIR]          (default: build)
#   DURATION=10 CONNECTIONS=64 PACED_RATE=5000 LOG_LEVEL=info bench/serve_wrk.sh
#
# serve runs on core 0 and wrk (with redis-server) on core 1 when taskset and two cores
# are there. The paced run sends about PACED_RATE requests per second to read latency at
# a load below saturation. Everything started here is stopped on exit.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
binary=$build/cli/quillmere
[ -x "$binary" ] || { echo "serve_wrk: build $binary first (cmake --build $build --target quillmere)" >&2; exit 2; }
command -v wrk >/dev/null || { echo "serve_wrk: wrk is not installed (scripts/deps.sh)" >&2; exit 2; }
duration=${DURATION:-10}
connections=${CONNECTIONS:-64}
paced_rate=${PACED_RATE:-5000}
paced_connections=${PACED_CONNECTIONS:-16}
log_level=${LOG_LEVEL:-info}
secret="bench-app-secret-$$"

core0=() core1=()
if command -v taskset >/dev/null && [ "$(nproc)" -ge 2 ]; then core0=(taskset -c 0) core1=(taskset -c 1); fi

work=$(mktemp -d /tmp/quillmere-serve-wrk.XXXXXX)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

bench_name=serve_wrk
# shellcheck source=bench/ports.sh
source bench/ports.sh

# Starts serve with the [queue] lines given; sets serve_pid and port.
start_serve() {
  port=$(free_port)
  cat >"$work/serve.toml" <<TOML
[webhook]
listen = "127.0.0.1:$port"
app_secret = "$secret"
verify_token = "bench-token"
max_connections = 4096
[log]
level = "$log_level"
[queue]
$1
TOML
  "${core0[@]}" "$binary" serve --config "$work/serve.toml" 2>>"$work/serve.log" &
  serve_pid=$!
  pids+=("$serve_pid")
  wait_port "$port"
}

stop_serve() {
  kill -TERM "$serve_pid"
  wait "$serve_pid" || { echo "serve_wrk: serve exited $?" >&2; tail -5 "$work/serve.log" >&2; }
}

# One wrk run; prints "label  requests/s  p50  p99  non-2xx".
run_wrk() {
  local label=$1 url=$2 conns=$3 pause=$4 script=${5:-}
  local args=(-t1 -c"$conns" -d"${duration}s" --latency)
  [ -n "$script" ] && args+=(-s "$script")
  local out
  out=$(APP_SECRET=$secret PAUSE_MS=$pause RUN_ID="$label-$$-$RANDOM" "${core1[@]}" wrk "${args[@]}" "$url")
  local rps p50 p99 bad
  rps=$(awk '/^Requests\/sec:/ {print $2}' <<<"$out")
  p50=$(awk '$1 == "50%" {print $2}' <<<"$out")
  p99=$(awk '$1 == "99%" {print $2}' <<<"$out")
  bad=$(awk '/^  Non-2xx or 3xx responses:/ {print $4} /^non-2xx or 3xx responses:/ {print $5}' <<<"$out" | tail -1)
  printf '%-34s %12s %10s %10s %8s\n' "$label" "$rps" "$p50" "$p99" "${bad:-0}"
}

# Pause per connection for about $paced_rate requests per second over $paced_connections
# (a millisecond of it is taken to be the answer's own time); the rate reached is printed.
pause_ms=$(awk -v c="$paced_connections" -v r="$paced_rate" 'BEGIN { p = c * 1000 / r - 1; printf "%d", p < 0 ? 0 : p }')

echo "serve_wrk: ${duration}s per run, $connections connections (paced: $paced_connections at ~$paced_rate/s), log level $log_level"
printf '%-34s %12s %10s %10s %8s\n' "run" "requests/s" "p50" "p99" "non-2xx"

start_serve "engine = \"sqlite\"
path = \"$work/queue.db\""
run_wrk "floor: GET /healthz" "http://127.0.0.1:$port/healthz" "$connections" 0
run_wrk "sqlite: signed POST" "http://127.0.0.1:$port/webhook" "$connections" 0 bench/sign_webhook.lua
run_wrk "sqlite: signed POST, paced" "http://127.0.0.1:$port/webhook" "$paced_connections" "$pause_ms" \
  bench/sign_webhook.lua
stop_serve

if command -v redis-server >/dev/null; then
  redis_port=$(free_port)
  mkdir -p "$work/redis"
  "${core1[@]}" redis-server --port "$redis_port" --bind 127.0.0.1 --dir "$work/redis" --appendonly yes \
    --maxmemory-policy noeviction --save '' >"$work/redis.log" 2>&1 &
  pids+=($!)
  wait_port "$redis_port"
  start_serve "engine = \"redis\"
url = \"redis://127.0.0.1:$redis_port\""
  run_wrk "redis: signed POST" "http://127.0.0.1:$port/webhook" "$connections" 0 bench/sign_webhook.lua
  run_wrk "redis: signed POST, paced" "http://127.0.0.1:$port/webhook" "$paced_connections" "$pause_ms" \
    bench/sign_webhook.lua
  stop_serve
fi
