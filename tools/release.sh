#!/usr/bin/env bash
# Makes a release from the checkout's HEAD: builds the 32-bit installer in a
# fresh folder, signs it (Authenticode, SHA-256), verifies the signature,
# checks that the signed file is the build plus its signature, and writes
# dist/ (ZelvraInstaller.exe, SHA256SUMS, release.json).
#
# Usage: tools/release.sh [--arch x86|x64] [--dist DIR] CONFIG
# CONFIG names the hosts, the pinned update signers (required unless it says
# allow_unpinned = true) with the launcher's floor (launcher_min_version,
# required with them) and the signing material
# (see tools/release.py and docs/releasing.md). Without signing
# material it makes dist/ unsigned, warns and exits with status 3.
# Exit status: 0 signed and verified, 3 unsigned, 1 failed, 2 bad usage.
set -euo pipefail
ZELVRA_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
bash "$ZELVRA_ROOT/tools/setup.sh" >&2 || { echo "release: setting up the machine failed" >&2; exit 1; }
exec python3 "$ZELVRA_ROOT/tools/release.py" "$@"
