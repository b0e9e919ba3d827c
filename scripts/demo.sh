#!/usr/bin/env bash
# The road of a comment, end to end, on the bundled samples: installs what is needed,
# builds, starts a local stand-in for the Graph API that answers from files
# (examples/graph_api/), runs `quillmere process` on examples/deliveries.jsonl with
# examples/quillmere.toml through the real Graph API client, and shows the classified
# items, the comment records and the parent-post records. Leaves no process behind.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build="$root/build"

"$root/scripts/deps.sh"
if [ ! -f "$build/build.ninja" ]; then
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
cmake --build "$build" --target quillmere quillmere_demo_graph_api quillmere_demo_show -- -j2 >/dev/null
q="$build/cli/quillmere"

work=$(mktemp -d "${TMPDIR:-/tmp}/quillmere-demo.XXXXXX")
server=""
cleanup() {
  if [ -n "$server" ] && kill -0 "$server" 2>/dev/null; then
    kill -TERM "$server" 2>/dev/null || true
    wait "$server" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# The Graph API stand-in, on a free loopback port. Its first answer for the feed post is
# a rate-limit answer, which the client waits out (zero seconds) and retries.
"$build/examples/demo_graph_api/quillmere_demo_graph_api" --root "$root/examples/graph_api" \
  --port-file "$work/port" --rate-limit-once 18034517722057436 2>"$work/graph_api.log" &
server=$!
for _ in $(seq 1 200); do
  [ -s "$work/port" ] && break
  kill -0 "$server" 2>/dev/null || { cat "$work/graph_api.log" >&2; exit 1; }
  sleep 0.05
done
[ -s "$work/port" ] || { echo "demo: the Graph API stand-in did not start" >&2; exit 1; }
port=$(cat "$work/port")

# The example configuration, pointed at the stand-in.
sed -e "s|^base_url = .*|base_url = \"http://127.0.0.1:$port\"|" \
    -e "s|^file = \"brands.json\"|file = \"$root/examples/brands.json\"|" \
    "$root/examples/quillmere.toml" >"$work/quillmere.toml"

echo "== quillmere config check (secrets redacted)"
"$q" config check --config "$work/quillmere.toml" | sed -n '/^\[settings\]/,/^# \[redis\]/p' | sed '$d'

echo "== quillmere process examples/deliveries.jsonl"
status=0
"$q" process --config "$work/quillmere.toml" "$root/examples/deliveries.jsonl" \
  >"$work/envelopes.jsonl" 2>"$work/process.err" || status=$?
"$build/examples/demo_graph_api/quillmere_demo_show" <"$work/envelopes.jsonl"

echo "== standard error of quillmere process (exit status $status)"
cat "$work/process.err"
echo "== the Graph API stand-in"
kill -TERM "$server" 2>/dev/null || true
wait "$server" 2>/dev/null || true
server=""
cat "$work/graph_api.log"

# Status 1 is expected: one sample line is not JSON, and it is reported, not processed.
if [ "$status" -gt 1 ]; then
  exit "$status"
fi
echo "== done: the envelopes are one JSON line per item; see README.md, 'Running the host'"
