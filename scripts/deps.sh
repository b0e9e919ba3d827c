#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the sample run need, plus any
# package named on the command line. Idempotent: when every package is present it only
# checks and returns.
set -euo pipefail

packages=(
  git ca-certificates g++ cmake ninja-build pkg-config
  libboost1.81-dev libboost-json1.81-dev libboost-url1.81-dev
  libpcre2-dev libicu-dev libssl-dev libspdlog-dev libfmt-dev
  libhiredis-dev libcurl4-openssl-dev libcli11-dev
  libtomlplusplus-dev libsqlite3-dev prometheus-cpp-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  clang-format openssl redis-server clickhouse-server wrk
  "$@"
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done
# Node.js and npm run the S3-compatible test peer; any installed node with npm will do.
if ! command -v npm >/dev/null 2>&1; then
  missing+=(nodejs npm)
fi

if ((${#missing[@]})); then
  echo "deps: installing ${missing[*]}" >&2
  SUDO=""
  if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
