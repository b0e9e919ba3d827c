#!/usr/bin/env bash
# The mapping modules load ostrel and morvish with them; no other module loads another.
# Usage: check_module_links.sh LIBDIR...  (directories holding libquillmere_<module>.so)
set -euo pipefail
status=0
for dir in "$@"; do
  for lib in "$dir"/libquillmere_*.so; do
    module=$(basename "$lib" .so); module=${module#libquillmere_}
    needed=$(readelf -d "$lib" | sed -n 's/.*Shared library: \[libquillmere_\([A-Za-z]*\)\.so.*/\1/p' | sort | tr '\n' ' ')
    case $module in
      calvane|pemrith) want="morvish ostrel " ;;
      adapters) want="ludrake " ;;  # implements the analytics-database interface of ludrake
      *) want="" ;;
    esac
    if [ "$needed" != "$want" ]; then
      echo "libquillmere_$module.so loads [$needed], expected [$want]" >&2
      status=1
    fi
  done
done
exit $status
