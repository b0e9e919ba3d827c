#!/usr/bin/env bash
# The symbols that the module libraries export, one line each: "<library> <demangled name>",
# sorted. Only names in namespace quillmere are listed (with their type information,
# vtables and thunks); the inline and template code of the standard library and Boost that
# a library instantiates is exported by those libraries' own headers and is not listed.
# Nor is the type information of the static core's shared types (quillmere::TypeError,
# quillmere::Logger...): every module that needs it carries it, how many do depends on
# inlining (a Debug build has more), and that it is one and the same everywhere is what
# consumer/identity_test checks. Any function of the core that a module exported would be
# listed, and is a fault.
#
#   exported_symbols.sh LIBDIR...            prints the list for the libquillmere_*.so found
#   exported_symbols.sh --check LIST LIBDIR...  compares with LIST (diff on a mismatch) and
#                                            fails when a library exports a strong symbol
#                                            outside namespace quillmere
#   exported_symbols.sh --update LIBDIR...   rewrites the checked-in list beside this script
set -euo pipefail
shopt -s nullglob
mode=print
list=
case ${1:-} in
  --check) mode=check; list=$2; shift 2 ;;
  --update) mode=update; list="$(dirname "$0")/exported_symbols.txt"; shift ;;
esac
[ $# -gt 0 ] || { echo "usage: $0 [--check LIST | --update] LIBDIR..." >&2; exit 2; }

# "<type> <demangled name>" of the defined dynamic symbols of one library.
symbols() { nm -D --defined-only --demangle "$1" | sed -E 's/^[0-9a-f]+ //'; }
# Reads "<type> <name>"; prints "<name>" when it belongs to namespace quillmere.
ours() {
  sed -E 's/^[A-Za-z] //' |
    awk '{ n = $0
           sub(/^(typeinfo name for |typeinfo for |vtable for |VTT for |construction vtable for |non-virtual thunk to |virtual thunk to |guard variable for )/, "", n)
           if (index(n, "quillmere::") != 1) next
           if (n != $0 && n ~ /^quillmere::[A-Za-z_0-9]+$/) next  # a core type: see above
           print }'
}

listing() {
  for dir in "$@"; do
    for lib in "$dir"/libquillmere_*.so; do
      name=$(basename "$lib")
      symbols "$lib" | ours | sed "s|^|$name |"
    done
  done | LC_ALL=C sort -u
}

case $mode in
  print) listing "$@" ;;
  update) listing "$@" >"$list"; echo "wrote $(wc -l <"$list") symbols to $list" ;;
  check)
    status=0
    if ! diff -u "$list" <(listing "$@"); then
      echo "exported symbols differ from $list (- expected, + exported);" \
           "tests/packaging/exported_symbols.sh --update LIBDIR rewrites the list" >&2
      status=1
    fi
    for dir in "$@"; do
      for lib in "$dir"/libquillmere_*.so; do
        # Weak (W, V) and unique (u) definitions come from inline and template code;
        # a strong definition outside namespace quillmere is a leak.
        leaks=$(symbols "$lib" | grep -E '^[A-TX-Z] ' | sed -E 's/^[A-Za-z] //' |
                awk 'index($0, "quillmere::") != 1' || true)
        if [ -n "$leaks" ]; then
          echo "$(basename "$lib") exports symbols outside namespace quillmere:" >&2
          echo "$leaks" >&2
          status=1
        fi
      done
    done
    exit $status ;;
esac
