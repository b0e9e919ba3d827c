#!/usr/bin/env bash
# Formats the project's C++ sources with the root .clang-format.
#   scripts/format.sh          rewrites every tracked .cpp/.hpp in place
#   scripts/format.sh --check  changes nothing; lists the files that differ and fails
set -euo pipefail
cd "$(dirname "$0")/.."
mapfile -t files < <(git ls-files '*.cpp' '*.hpp')
if [ "${1:-}" = "--check" ]; then
  if ! clang-format --dry-run -Werror "${files[@]}" 2>/tmp/quillmere-format.$$; then
    grep -o '^[^:]*\.[ch]pp' /tmp/quillmere-format.$$ | sort -u | sed 's/^/format: differs: /' >&2
    rm -f /tmp/quillmere-format.$$
    echo "format: run scripts/format.sh to rewrite them" >&2
    exit 1
  fi
  rm -f /tmp/quillmere-format.$$
  echo "format: ${#files[@]} files match .clang-format"
else
  clang-format -i "${files[@]}"
fi
