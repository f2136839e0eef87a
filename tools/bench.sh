#!/usr/bin/env bash
# Measures what a user of the installer meets, under Wine against the local
# update mirror, and writes a Markdown report with the machine named:
# download throughput (beside curl, and on a 100 Mbit/s link), the
# responsiveness of the windows during a download, the cancel timeline, the
# start-up time (beside a minimal dialog program), executable sizes and
# memory, and the cost of the signature check of a pinned build. About 5 to 10
# minutes on two cores, builds included.
#
# Usage: tools/bench.sh [--report DIR] [--quick] [--only SECTION,...] [--before COMMIT]
#   --report DIR     where the report goes (default build/bench-report)
#   --quick          fewer runs, for trying the bench itself
#   --only           some of: throughput, link, responsive, cancel, startup, sizes, trust
#   --before COMMIT  also builds the installer of COMMIT (x64 and x86, from
#                    `git archive`, into build/bench-before/) and measures its
#                    start-up and sizes in the same run, for a before/after
#                    report
# Without an X display it runs under its own Xvfb. WINEPREFIX may name
# another prefix than the project's.
set -euo pipefail
ZELVRA_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ZELVRA_ROOT"

report="build/bench-report"
pass=()
before=""
while [ $# -gt 0 ]; do
  case "$1" in
    --report) report="$2"; shift 2 ;;
    --quick) pass+=(--quick); shift ;;
    --only) pass+=(--only "$2"); shift 2 ;;
    --before) before="$2"; shift 2 ;;
    *) echo "usage: tools/bench.sh [--report DIR] [--quick] [--only SECTION,...] [--before COMMIT]" >&2; exit 2 ;;
  esac
done

bash tools/setup.sh
jobs=$(nproc)
has_target() { cmake --build "$1" --target help 2>/dev/null | grep -q -- "\\.\\.\\. $2\$"; }

echo "== build: x64 (measured) and x86 (sizes)"
cmake --preset windows-x64 >/dev/null
cmake --build --preset windows-x64 -j "$jobs" --target ZelvraInstaller mirror_stubs uidriver
cmake --preset windows-x86 >/dev/null
cmake --build --preset windows-x86 -j "$jobs" --target ZelvraInstaller

# The bench's helper programs: part of the project's builds once
# tools/CMakeLists.txt lists tools/bench; until then side builds of the same
# sources with the same options take them in (tools/bench/include_bench.cmake).
if has_target build/windows-x64 bench_tools; then
  cmake --build --preset windows-x64 -j "$jobs" --target bench_tools
  cmake --build --preset windows-x86 -j "$jobs" --target bench_baseline
  tools64=build/windows-x64/tools/bench
  tools86=build/windows-x86/tools/bench
else
  include="-DCMAKE_PROJECT_ZelvraInstaller_INCLUDE=$ZELVRA_ROOT/tools/bench/include_bench.cmake"
  for arch in x64:x86_64 x86:i686; do
    dir="build/bench-${arch%%:*}"
    cmake -S . -B "$dir" -DCMAKE_TOOLCHAIN_FILE="cmake/mingw-${arch#*:}.cmake" -DCMAKE_BUILD_TYPE=Release \
      "$include" >/dev/null
  done
  cmake --build build/bench-x64 -j "$jobs" --target bench_tools
  cmake --build build/bench-x86 -j "$jobs" --target bench_baseline
  tools64=build/bench-x64/tools/bench
  tools86=build/bench-x86/tools/bench
fi

# The earlier installer: its own sources, built the way that commit builds
# them, with a link map (a commit that writes one itself writes the same file).
if [ -n "$before" ]; then
  commit=$(git rev-parse --verify "$before^{commit}")
  base="$ZELVRA_ROOT/build/bench-before"
  if [ "$(cat "$base/commit" 2>/dev/null)" != "$commit" ]; then
    rm -rf "$base"
    mkdir -p "$base/src"
    git archive "$commit" | tar -x -C "$base/src"
    echo "$commit" > "$base/commit"
  fi
  for arch in x64:x86_64 x86:i686; do
    dir="$base/${arch%%:*}"
    echo "== build: ZelvraInstaller of $(git rev-parse --short "$commit") (${arch%%:*})"
    cmake -S "$base/src" -B "$dir" -DCMAKE_TOOLCHAIN_FILE="$base/src/cmake/mingw-${arch#*:}.cmake" \
      -DCMAKE_BUILD_TYPE=Release "-DCMAKE_EXE_LINKER_FLAGS=-Wl,-Map=$dir/ZelvraInstaller.map" >/dev/null
    cmake --build "$dir" -j "$jobs" --target ZelvraInstaller >/dev/null
  done
  pass+=(--before "$base/x64" --before-x86 "$base/x86" --before-name "commit $(git rev-parse --short "$commit")")
fi

if [ -z "${DISPLAY:-}" ]; then
  export ZELVRA_HEADLESS=1
fi
source tools/wine-env.sh
trap zelvra_wine_stop EXIT
zelvra_wine_start
python3 tools/bench/bench.py build/windows-x64 --tools "$tools64" --x86-build build/windows-x86 \
  --x86-tools "$tools86" --report "$report" "${pass[@]}"
