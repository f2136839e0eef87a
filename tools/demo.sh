#!/usr/bin/env bash
# Builds the installer and runs it under Wine against the local update mirror.
# With an X display the installer is yours to click; without one it runs
# headless under Xvfb, clicks through by itself and saves screenshots.
# Options go to tools/demo.py (--language ko, --shots DIR), except --fresh:
# build everything from nothing, the build folder and the cached Wine prefix
# (same as ZELVRA_FRESH=1).
set -euo pipefail
ZELVRA_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ZELVRA_ROOT"
options=()
for arg in "$@"; do
  if [ "$arg" = --fresh ]; then export ZELVRA_FRESH=1; else options+=("$arg"); fi
done
bash tools/setup.sh
if [ "${ZELVRA_FRESH:-0}" = 1 ]; then bash tools/fresh.sh; fi
cmake --preset windows-x64 >/dev/null
cmake --build --preset windows-x64 -j "$(nproc)" --target ZelvraInstaller mirror_stubs uidriver

headless=()
if [ -z "${DISPLAY:-}" ]; then
  headless=(--headless)
  export ZELVRA_HEADLESS=1
fi
source tools/wine-env.sh
trap zelvra_wine_stop EXIT
zelvra_wine_start
python3 tools/demo.py build/windows-x64 "${headless[@]}" "${options[@]}"
