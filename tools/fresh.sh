#!/usr/bin/env bash
# For tools/test.sh --fresh and tools/demo.sh --fresh: deletes the build
# folder of this checkout, keeping only the update hosts that the Windows
# builds were configured with (they are configured again with them at once).
# The Wine prefixes are made anew by the scripts that use them
# (ZELVRA_FRESH=1, tools/wine-prefix.sh).
set -euo pipefail
ZELVRA_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ZELVRA_ROOT"

declare -A hosts=()
for preset in windows-x64 windows-x86; do
  cache="build/$preset/CMakeCache.txt"
  [ -f "$cache" ] || continue
  hosts[$preset]=$(sed -n 's/^\(ZELVRA_\(PRIMARY\|SECONDARY\|DEV\)_HOST\):STRING=\(.*\)$/-D\1=\3/p' "$cache" | tr '\n' ' ')
done

if [ -d build ]; then
  # A wineserver of a run's prefix would keep files open under build/.
  for prefix in build/*/wineprefix; do
    if [ -f "$prefix/system.reg" ]; then WINEPREFIX="$ZELVRA_ROOT/$prefix" /usr/lib/wine/wineserver -k >/dev/null 2>&1 || true; fi
  done
  echo "fresh: deleting $ZELVRA_ROOT/build"
  rm -rf build
fi
for preset in "${!hosts[@]}"; do
  # shellcheck disable=SC2086  # one word a setting; the values hold no blanks
  cmake --preset "$preset" ${hosts[$preset]} >/dev/null
  echo "fresh: build/$preset configured again with ${hosts[$preset]}"
done
