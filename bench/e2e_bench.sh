#!/usr/bin/env bash
# The service end to end on one machine: `quillmere serve --workers 2` on the SQLite
# queue, every parent post and owner cached in a real redis-server, the records stored in
# a real clickhouse-server. N signed comment deliveries are POSTed over C keep-alive
# connections; the figure is deliveries per second from the first POST to the last comment
# record readable in ClickHouse (FINAL), beside the rate at which serve accepted them.
#
#   bench/e2e_bench.sh [BUILD_DIR]      N=20000 CONNECTIONS=16 WORKERS=2 by default
#
# Everything started here is stopped on exit.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
n=${N:-20000}
connections=${CONNECTIONS:-16}
workers=${WORKERS:-2}
q="$build/cli/quillmere"
gen="$build/bench/process_bench"
for p in "$q" "$gen"; do
  [ -x "$p" ] || { echo "e2e_bench: build $p first" >&2; exit 2; }
done
for c in redis-server redis-cli clickhouse-server curl; do
  command -v "$c" >/dev/null || { echo "e2e_bench: $c is needed (scripts/deps.sh)" >&2; exit 2; }
done

work=$(mktemp -d "${TMPDIR:-/tmp}/quillmere-e2e-bench.XXXXXX")
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill -TERM "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

bench_name=e2e_bench
# shellcheck source=bench/ports.sh
source "$root/bench/ports.sh"
now() { date +%s.%N; }

"$gen" generate "$work" "$n"

redis_port=$(free_port)
redis-server --port "$redis_port" --bind 127.0.0.1 --save "" --appendonly no --dir "$work" >"$work/redis.log" 2>&1 &
pids+=($!)
wait_port "$redis_port" redis-server
redis-cli -p "$redis_port" --pipe <"$work/cache.resp" >/dev/null

ch_http=$(free_port)
ch_tcp=$(free_port)
mkdir -p "$work/ch/data/tmp" "$work/ch/data/user_files"
cat >"$work/ch/config.xml" <<XML
<?xml version="1.0"?>
<clickhouse>
  <logger><level>warning</level><log>$work/ch/server.log</log><errorlog>$work/ch/server.err.log</errorlog><console>0</console></logger>
  <listen_host>127.0.0.1</listen_host>
  <http_port>$ch_http</http_port>
  <tcp_port>$ch_tcp</tcp_port>
  <path>$work/ch/data/</path>
  <tmp_path>$work/ch/data/tmp/</tmp_path>
  <user_files_path>$work/ch/data/user_files/</user_files_path>
  <users_config>$work/ch/users.xml</users_config>
  <default_profile>default</default_profile>
  <default_database>default</default_database>
  <mark_cache_size>16777216</mark_cache_size>
</clickhouse>
XML
cat >"$work/ch/users.xml" <<XML
<?xml version="1.0"?>
<clickhouse>
  <profiles><default></default></profiles>
  <users><default><password></password><networks><ip>127.0.0.1</ip></networks><profile>default</profile><quota>default</quota></default></users>
  <quotas><default></default></quotas>
</clickhouse>
XML
clickhouse-server --config-file="$work/ch/config.xml" >"$work/ch/console.log" 2>&1 &
pids+=($!)
wait_port "$ch_http" clickhouse-server
ch() { curl -sS --fail "http://127.0.0.1:$ch_http/" --data-binary "$1"; }
for _ in $(seq 1 200); do ch "SELECT 1" >/dev/null 2>&1 && break; sleep 0.1; done
ch "CREATE DATABASE IF NOT EXISTS orbenix"

port=$(free_port)
secret="e2e-app-secret-$$"
cat >"$work/serve.toml" <<TOML
[webhook]
listen = "127.0.0.1:$port"
app_secret = "$secret"
verify_token = "e2e-token"
[queue]
engine = "sqlite"
path = "$work/queue.db"
[settings]
file = "brands.json"
channel_group_id = 3
[redis]
url = "redis://127.0.0.1:$redis_port/0"
[clickhouse]
url = "http://127.0.0.1:$ch_http/"
[graph_api]
base_url = "http://127.0.0.1:9"
access_token = "bench-token"
dm_access_token = "bench-dm-token"
[output]
jsonl = "$work/envelopes.jsonl"
clickhouse = true
[log]
level = "warn"
TOML
"$q" serve --config "$work/serve.toml" --workers "$workers" 2>"$work/serve.log" &
serve_pid=$!
pids+=("$serve_pid")
wait_port "$port" "quillmere serve"

echo "== $n comment deliveries POSTed over $connections connections to serve --workers $workers (SQLite queue),"
echo "   parent posts and owners cached in Redis, records into ClickHouse"
start=$(now)
"$gen" post "$port" "$secret" "$work/deliveries.jsonl" "$connections"
posted=$(now)
stored=0
for _ in $(seq 1 6000); do
  stored=$(ch "SELECT count() FROM orbenix.mentiondetails FINAL WHERE record_table = 'comment'" 2>/dev/null || echo 0)
  [ "$stored" -ge "$n" ] && break
  sleep 0.1
done
done_at=$(now)
[ "$stored" -ge "$n" ] || { echo "e2e_bench: only $stored of $n records stored" >&2; tail -5 "$work/serve.log" >&2; exit 1; }
awk -v n="$n" -v a="$start" -v p="$posted" -v d="$done_at" 'BEGIN {
  printf "  %-46s %8.2f s  %8d deliveries/s\n", "accepted by serve (POST answered 200)", p - a, n / (p - a)
  printf "  %-46s %8.2f s  %8d deliveries/s\n", "end to end (first POST to last record stored)", d - a, n / (d - a)
}'
skipped=$(grep -c '"skipped"' "$work/envelopes.jsonl" || true)
echo "  ($skipped envelopes name a skipped source; the ClickHouse count is of comment records under FINAL)"
