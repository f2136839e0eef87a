#!/usr/bin/env bash
# Builds the 32-bit installer twice from two copies of the source tree and
# checks that the executables are byte-identical: no time stamps and no build
# paths end up in the release artifact. The copies lie on either side of the
# toolchain's /usr (one under /tmp, one under /var/tmp), since the linker
# orders some tables by the paths of the libraries it reads, and one builds
# inside its copy, as the presets and the release do, the other beside it.
set -euo pipefail
source_dir="$1"
first=$(mktemp -d /tmp/zelvra-repro.XXXXXX)
second=$(mktemp -d /var/tmp/zelvra-repro.XXXXXX)
trap 'rm -rf "$first" "$second"' EXIT

build() {  # <copy of the source> <build folder>
  mkdir -p "$1"
  (cd "$source_dir" && git ls-files -z -co --exclude-standard | xargs -0 cp --parents -t "$1" 2>/dev/null || true)
  cmake -S "$1" -B "$2" -DCMAKE_TOOLCHAIN_FILE="$1/cmake/mingw-i686.cmake" -DCMAKE_BUILD_TYPE=Release >/dev/null
  cmake --build "$2" -j "$(nproc)" --target ZelvraInstaller >/dev/null
}
build "$first/src" "$first/src/build/windows-x86"
build "$second/elsewhere/src" "$second/elsewhere/src-build"

a="$first/src/build/windows-x86/ZelvraInstaller.exe"
b="$second/elsewhere/src-build/ZelvraInstaller.exe"
if cmp "$a" "$b"; then
  echo "reproducible: $(sha256sum < "$a" | cut -c1-16) ($(stat -c %s "$a") bytes)"
else
  echo "the two builds differ"
  exit 1
fi
