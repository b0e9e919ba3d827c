#!/usr/bin/env bash
# Installs the build tree into a throw-away prefix, then checks the prefix: every installed
# header compiles on its own, no internal header is installed, the libraries export the
# symbols listed in exported_symbols.txt; builds and runs examples/host against the prefix
# twice (find_package(quillmere) and pkg-config) and the identity test of consumer/.
# Usage: check_install.sh BUILD_DIR SOURCE_DIR [EXTRA_CXX_FLAGS]
set -euo pipefail
build=$1
source=$2
extra_flags=${3:-}

work=$(mktemp -d "${TMPDIR:-/tmp}/quillmere-packaging-XXXXXX")
trap 'rm -rf "$work"' EXIT
prefix="$work/prefix"
samples="$source/examples/webhooks.jsonl"
expected="$source/tests/packaging/host_expected.txt"

here="$source/tests/packaging"

cmake --install "$build" --prefix "$prefix" >"$work/install.log"

echo "-- installed headers compile on their own"
internal=$(find "$prefix/include" \( -path '*/internal/*' -o -name '*_test*' \) -print)
if [ -n "$internal" ]; then
  echo "internal headers installed:" >&2
  echo "$internal" >&2
  exit 1
fi
count=0
while IFS= read -r header; do
  rel=${header#"$prefix/include/"}
  # shellcheck disable=SC2086
  if ! echo "#include <$rel>" | c++ -std=c++20 $extra_flags -fsyntax-only -Wall -Wextra -Werror \
      -I"$prefix/include" -x c++ - 2>"$work/header.err"; then
    echo "$rel does not compile on its own:" >&2
    cat "$work/header.err" >&2
    exit 1
  fi
  count=$((count + 1))
done < <(find "$prefix/include/quillmere" -name '*.hpp' | sort)
echo "   $count headers"

echo "-- exported symbols"
libdir=$(dirname "$(find "$prefix" -name libquillmere_ostrel.so | head -n1)")
"$here/exported_symbols.sh" --check "$here/exported_symbols.txt" "$libdir"

echo "-- find_package(quillmere) against $prefix"
cmake -S "$source/examples/host" -B "$work/host" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" \
  -DCMAKE_CXX_FLAGS="$extra_flags" >"$work/configure.log" || { cat "$work/configure.log"; exit 1; }
cmake --build "$work/host" >"$work/build.log" || { cat "$work/build.log"; exit 1; }
"$work/host/classify_host" "$samples" >"$work/cmake.out" 2>"$work/cmake.err"
diff -u "$expected" "$work/cmake.out"
grep -q '^Exception: process_media_event: changes_value must be an object, not null for event is: ' "$work/cmake.err"

echo "-- one identity for the error types and interfaces (consumer/identity_test)"
cmake -S "$here/consumer" -B "$work/consumer" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" \
  -DCMAKE_CXX_FLAGS="$extra_flags" >"$work/consumer-configure.log" || { cat "$work/consumer-configure.log"; exit 1; }
cmake --build "$work/consumer" >"$work/consumer-build.log" || { cat "$work/consumer-build.log"; exit 1; }
"$work/consumer/identity_test" --gtest_brief=1

echo "-- pkg-config quillmere-ostrel against $prefix"
pcdir=$(dirname "$(find "$prefix" -name quillmere-ostrel.pc | head -n1)")
flags=$(PKG_CONFIG_PATH="$pcdir" pkg-config --cflags --libs quillmere-ostrel)
echo "   $flags"
pc_var() { PKG_CONFIG_PATH="$pcdir" pkg-config --variable="$1" quillmere-ostrel; }
if [ "$(realpath "$(pc_var includedir)")" != "$(realpath "$prefix/include")" ] ||
   [ ! -f "$(pc_var includedir)/quillmere/ostrel/classifier.hpp" ] ||
   [ ! -e "$(pc_var libdir)/libquillmere_ostrel.so" ]; then
  echo "pkg-config does not point into $prefix: $flags" >&2
  exit 1
fi
# shellcheck disable=SC2086
c++ $extra_flags -o "$work/pc_host" "$source/examples/host/main.cpp" $flags
LD_LIBRARY_PATH="$(pc_var libdir)" \
  "$work/pc_host" "$samples" >"$work/pc.out" 2>/dev/null
diff -u "$expected" "$work/pc.out"
echo "-- packaging ok"
