#!/usr/bin/env bash
# Installs on a Debian 12 machine everything the build, the demo and the tests
# need. Returns at once when all of it is present. Run as root or with sudo.
set -euo pipefail

# fonts-wine: Marlett, the font of the caption buttons, which
# tools/wine-prefix.sh puts into each Wine prefix. The -win32 compilers: the
# installer links their C++ run-time (see CMakeLists.txt); the project
# compiles with the -posix ones, named in cmake/mingw-*.cmake. clang-format:
# Debian 12's is version 14, the one tools/format.sh checks the sources with.
packages=(
  cmake make python3
  g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix mingw-w64-tools binutils-mingw-w64
  g++-mingw-w64-i686-win32 g++-mingw-w64-x86-64-win32
  wine64 fonts-wine xvfb x11-utils fonts-nanum imagemagick
  googletest clang llvm libclang-rt-14-dev clang-format
  tinyproxy curl openssl osslsigncode locales
)
# The C library's locales that let the tests give Wine a user-interface
# language apart from its ANSI code page (LANG/LC_MESSAGES and LC_CTYPE).
locales=(en_US.UTF-8 ko_KR.UTF-8)

locales_missing() {
  local have name
  have=$(locale -a 2>/dev/null | tr 'A-Z' 'a-z' | tr -d '-')
  for name in "${locales[@]}"; do
    echo "$have" | grep -qx "$(echo "$name" | tr 'A-Z' 'a-z' | tr -d '-')" || return 0
  done
  return 1
}

generate_locales() {
  local name
  for name in "${locales[@]}"; do
    grep -q "^$name UTF-8" /etc/locale.gen 2>/dev/null || echo "$name UTF-8" | $sudo tee -a /etc/locale.gen >/dev/null
  done
  $sudo locale-gen >/dev/null
}

sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"

# No i386 package is ever installed on the host (tools/x86/i386-root.sh says
# why): where an earlier run added the i386 architecture to dpkg and no i386
# package is left, it goes again, so that apt reads no i386 index at all.
if dpkg --print-foreign-architectures 2>/dev/null | grep -qx i386 \
  && ! dpkg-query -W -f='${Architecture} ${Status}\n' 2>/dev/null | grep -q '^i386 .* installed$'; then
  echo "setup: removing the unused i386 architecture from dpkg"
  $sudo dpkg --remove-architecture i386
fi

missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$package")
  fi
done
if [ ${#missing[@]} -eq 0 ]; then
  if locales_missing; then
    echo "setup: generating the locales ${locales[*]}"
    generate_locales
  fi
  exit 0
fi

echo "setup: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
# An index that fails (a suite's mirror caught mid-update) need not keep the
# packages from installing; apt-get install says so if it does.
$sudo apt-get update -q || echo "setup: note: apt-get update reported errors; installing from the indexes it has"
$sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
# tinyproxy is started by the tests themselves, on loopback only.
if command -v systemctl >/dev/null 2>&1; then $sudo systemctl disable --now tinyproxy >/dev/null 2>&1 || true; fi
if locales_missing; then generate_locales; fi
