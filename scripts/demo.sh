#!/usr/bin/env bash
# Installs what is needed, builds quillmere and runs it on the bundled sample data.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/deps.sh"
cmake -S "$root" -B "$root/build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$root/build" --target quillmere
q="$root/build/cli/quillmere"

echo "== classify: examples/webhooks.jsonl"
"$q" classify "$root/examples/webhooks.jsonl"

echo "== map comment: examples/comment_requests.jsonl"
"$q" map comment "$root/examples/comment_requests.jsonl"

echo "== map parent: examples/parent_posts.jsonl"
"$q" map parent "$root/examples/parent_posts.jsonl"
