#!/usr/bin/env bash
# Formats every C and C++ source of the project with clang-format 14 and the
# project's .clang-format, or with --check only says which files differ
# (exit 1 then). Templates (*.in) are left alone.
#
# Usage: tools/format.sh [--check]
set -euo pipefail
cd "$(dirname "$0")/.."

tool=$(command -v clang-format-14 || command -v clang-format || true)
[ -n "$tool" ] || { echo "format: clang-format is not installed (tools/setup.sh installs it)" >&2; exit 2; }
version=$("$tool" --version | sed -n 's/.*version \([0-9]*\)\..*/\1/p')
[ "$version" = 14 ] || { echo "format: $tool is version $version; the format is clang-format 14's" >&2; exit 2; }

mapfile -t files < <(git ls-files -- '*.cpp' '*.h' '*.c')
if [ "${1:-}" = "--check" ]; then
  differ=()
  for file in "${files[@]}"; do
    "$tool" --style=file "$file" | cmp -s - "$file" || differ+=("$file")
  done
  if [ ${#differ[@]} -gt 0 ]; then
    printf 'format: not in the house format (tools/format.sh fixes them):\n' >&2
    printf '  %s\n' "${differ[@]}" >&2
    exit 1
  fi
  echo "format: ${#files[@]} files in the house format"
else
  "$tool" --style=file -i "${files[@]}"
fi
