#!/usr/bin/env bash
# Installs the npm test peers (s3rver, pinned exactly in package-lock.json) into
# tests/peers/node_modules. Quick when they are already installed from the same lock file.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
stamp="$here/node_modules/.quillmere-installed"
if [ -f "$stamp" ] && [ "$stamp" -nt "$here/package-lock.json" ] && [ -f "$here/node_modules/s3rver/package.json" ]; then
  exit 0
fi
cd "$here"
npm ci --no-audit --no-fund --loglevel=error
touch "$stamp"
