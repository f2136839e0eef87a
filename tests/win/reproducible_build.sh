#!/usr/bin/env bash
# Builds the 32-bit installer twice from two copies of the source tree in two
# different folders and checks that the executables are byte-identical: no
# time stamps and no build paths end up in the release artifact.
set -euo pipefail
source_dir="$1"
work=$(mktemp -d /tmp/zelvra-repro.XXXXXX)
trap 'rm -rf "$work"' EXIT

for copy in first/src second/elsewhere/src; do
  mkdir -p "$work/$copy"
  (cd "$source_dir" && git ls-files -z -co --exclude-standard | xargs -0 cp --parents -t "$work/$copy" 2>/dev/null || true)
  cmake -S "$work/$copy" -B "$work/$copy-build" -DCMAKE_TOOLCHAIN_FILE="$work/$copy/cmake/mingw-i686.cmake" \
        -DCMAKE_BUILD_TYPE=Release >/dev/null
  cmake --build "$work/$copy-build" -j "$(nproc)" --target ZelvraInstaller >/dev/null
done

a="$work/first/src-build/ZelvraInstaller.exe"
b="$work/second/elsewhere/src-build/ZelvraInstaller.exe"
if cmp "$a" "$b"; then
  echo "reproducible: $(sha256sum < "$a" | cut -c1-16) ($(stat -c %s "$a") bytes)"
else
  echo "the two builds differ"
  exit 1
fi
