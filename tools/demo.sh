#!/usr/bin/env bash
# Builds the installer and runs it under Wine against the local update mirror.
# With an X display the installer is yours to click; without one it runs
# headless under Xvfb, clicks through by itself and saves screenshots.
# Options go to tools/demo.py (--language ko, --shots DIR).
set -euo pipefail
ZELVRA_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ZELVRA_ROOT"
bash tools/setup.sh
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
python3 tools/demo.py build/windows-x64 "${headless[@]}" "$@"
