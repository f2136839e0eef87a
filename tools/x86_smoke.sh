#!/usr/bin/env bash
# Smoke run of the 32-bit release artifact: builds the windows-x86 preset
# (installer, stand-in update files, UI driver), and runs ZelvraInstaller.exe
# once end to end under Wine against the update mirror, through qemu's
# user-mode emulation of 32-bit x86 (this kernel runs no 32-bit code itself):
# two attempts that fail through errors the program throws and catches (each
# in a process of its own, ended through Cancel), then the whole run.
# tools/x86/smoke_run.py drives it and checks the boxes, the exit codes, the
# files and the launcher.
#
# Prints "x86 smoke run: passed", or "x86 smoke run: skipped: <reason>" and
# exits 0 where the machine cannot emulate (not x86_64, not root, no
# binfmt_misc). Any other failure exits 1.
#
# Setting up the emulation, as far as it is missing: the host tools
# qemu-user-static and mmdebstrap from Debian's packages, binfmt_misc, the
# i386 format "qemu-i386" (interpreter /usr/bin/qemu-i386-static, flag F),
# and the 32-bit Wine in a private i386 root (tools/x86/i386-root.sh, cached
# per user): nothing of i386 goes into the host's package state, and the
# i386 architecture is never added to dpkg. The host's 64-bit Wine runs the
# run's Wine services; the installer, the UI driver and the launcher
# stand-in run through the root's 32-bit loader, emulated.
#
# The i386 format is switched on only for the run (and the making of its
# prefix) and back off afterwards, also on failure or interruption (on a
# host with a 32-bit Wine of its own, every new 64-bit prefix would set up a
# 32-bit half meanwhile; the scripts that make 64-bit prefixes wait for the
# lock held meanwhile).
#
# The run's prefix is a 64-bit one whose 32-bit half is set up (a 32-bit
# program runs in it under WoW64, as on 64-bit Windows; without that half it
# dies with "could not load kernel32.dll"): BUILD/wineprefix, a fresh copy of
# the cached wow64 prefix (tools/wine-prefix.sh), which is made once per user,
# Wine version and root with the format on, about 3 minutes under emulation.
#
# Environment:
#   ZELVRA_X86_BUILD_DIR  build folder (default build/windows-x86, configured
#                         with the preset; another folder is configured with
#                         the i686 toolchain and ZELVRA_*_HOST if set)
#   ZELVRA_FRESH=1        make the cached root and prefix anew
#   ZELVRA_X86_DISPLAY    X display, e.g. :54 (used if running, else an Xvfb is
#                         started there; default: an Xvfb on a free display)
#   ZELVRA_X86_TIMEOUT    limit of each wait of the run, seconds (default 300)
set -uo pipefail
ZELVRA_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ZELVRA_ROOT"
STARTED=$SECONDS
BUILD="${ZELVRA_X86_BUILD_DIR:-$ZELVRA_ROOT/build/windows-x86}"
PREFIX="$BUILD/wineprefix"
BINFMT=/proc/sys/fs/binfmt_misc
FORMAT="$BINFMT/qemu-i386"
QEMU=/usr/bin/qemu-i386-static
# The i386 ELF executable header, as qemu's binfmt configuration gives it.
I386_MAGIC='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
I386_MASK='\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'

say() { echo "x86 smoke: $*"; }
skip() { echo "x86 smoke run: skipped: $*"; exit 0; }
fail() { echo "x86 smoke run: FAILED: $* ($((SECONDS - STARTED)) s)"; exit 1; }

# --- can this machine emulate 32-bit x86 at all --------------------------------
[ "$(uname -s)" = Linux ] || skip "not Linux ($(uname -s))"
[ "$(uname -m)" = x86_64 ] || skip "not an x86_64 machine ($(uname -m))"
SUDO=""
if [ "$(id -u)" -ne 0 ]; then
  if command -v sudo >/dev/null 2>&1 && sudo -n true 2>/dev/null; then SUDO="sudo"; else
    skip "needs root (or password-less sudo) to install packages and register the i386 format"
  fi
fi

# One smoke run at a time on a machine: a second one would switch the format
# off under the first. Scripts that make a 64-bit prefix take the same lock
# (shared) meanwhile, so that none is made while the format is on.
source "$ZELVRA_ROOT/tools/wine-prefix.sh"
exec 9>>"$ZELVRA_FORMAT_LOCK"
if ! flock -n 9; then
  say "waiting for another x86 run or the making of a 64-bit prefix ($ZELVRA_FORMAT_LOCK)"
  flock -w 1200 9 || fail "another x86 smoke run holds $ZELVRA_FORMAT_LOCK"
fi

# --- packages: the host's own (amd64) only ----------------------------------------
bash "$ZELVRA_ROOT/tools/setup.sh" || fail "setting up the machine failed (tools/setup.sh)"
installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }
missing=()
for package in qemu-user-static mmdebstrap; do installed "$package" || missing+=("$package"); done
if [ ${#missing[@]} -gt 0 ]; then
  say "installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  # A failed index of some suite need not keep these from installing.
  $SUDO apt-get update -q >/dev/null 2>&1 || say "note: apt-get update reported errors"
  $SUDO apt-get install -y -q --no-install-recommends "${missing[@]}" >/dev/null \
    || fail "cannot install ${missing[*]}"
fi
[ -x "$QEMU" ] || fail "$QEMU is missing after installing qemu-user-static"

# --- binfmt_misc and the i386 format (registered off; switched on below) ----------
if [ ! -e "$BINFMT/register" ]; then
  $SUDO mount -t binfmt_misc binfmt_misc "$BINFMT" 2>/dev/null || skip "binfmt_misc cannot be mounted on $BINFMT"
fi
format_was=absent
if [ -e "$FORMAT" ]; then
  format_was=$(head -n 1 "$FORMAT")  # enabled or disabled
else
  printf '%s' ":qemu-i386:M::$I386_MAGIC:$I386_MASK:$QEMU:F" | $SUDO tee "$BINFMT/register" >/dev/null \
    || skip "cannot register the i386 format in $BINFMT"
  echo 0 | $SUDO tee "$FORMAT" >/dev/null
fi

# --- build (nothing of it needs the format) ---------------------------------------
say "building the x86 installer, stand-in files and UI driver into $BUILD"
LOG=$(mktemp "${TMPDIR:-/tmp}/zelvra-x86-smoke-build.XXXXXX")
build_failed() { tail -n 30 "$LOG"; rm -f "$LOG"; fail "$1"; }
if [ "$BUILD" = "$ZELVRA_ROOT/build/windows-x86" ]; then
  cmake --preset windows-x86 >"$LOG" 2>&1 || build_failed "cmake --preset windows-x86 failed"
else
  hosts=()
  for name in ZELVRA_PRIMARY_HOST ZELVRA_SECONDARY_HOST ZELVRA_DEV_HOST; do
    [ -n "${!name:-}" ] && hosts+=("-D$name=${!name}")
  done
  cmake -S "$ZELVRA_ROOT" -B "$BUILD" -DCMAKE_TOOLCHAIN_FILE="$ZELVRA_ROOT/cmake/mingw-i686.cmake" \
    -DCMAKE_BUILD_TYPE=Release "${hosts[@]}" >"$LOG" 2>&1 || build_failed "configuring $BUILD failed"
fi
cmake --build "$BUILD" -j "$(nproc)" --target ZelvraInstaller mirror_stubs uidriver >>"$LOG" 2>&1 \
  || build_failed "building the x86 targets failed (cmake --build $BUILD --target ZelvraInstaller mirror_stubs uidriver)"
rm -f "$LOG"

# --- display, prefix -----------------------------------------------------------------
export WINEPREFIX="$PREFIX" WINEDEBUG="${WINEDEBUG:--all}"
XVFB_PID=""
display="${ZELVRA_X86_DISPLAY:-}"
if [ -z "$display" ]; then
  for n in $(seq 121 160); do
    [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ] || { display=":$n"; break; }
  done
  [ -n "$display" ] || fail "no free X display in :121 to :160"
fi
if [ ! -e "/tmp/.X11-unix/X${display#:}" ]; then
  Xvfb "$display" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
  XVFB_PID=$!
  for _ in $(seq 1 50); do [ -e "/tmp/.X11-unix/X${display#:}" ] && break; sleep 0.1; done
  [ -e "/tmp/.X11-unix/X${display#:}" ] || fail "Xvfb did not start on $display"
fi
export DISPLAY="$display"

switch_format_back() {
  if [ "$format_was" != enabled ] && [ -e "$FORMAT" ]; then echo 0 | $SUDO tee "$FORMAT" >/dev/null; fi
}
RUN_PID=""
finish() {
  # The run's process group: the runner, the mirror and the Wine programs it
  # started (a program still starting under emulation is not known to the
  # wineserver yet, so wineserver -k alone would miss it).
  if [ -n "$RUN_PID" ] && kill -0 "$RUN_PID" 2>/dev/null; then
    kill -TERM -- "-$RUN_PID" 2>/dev/null || kill -TERM "$RUN_PID"
    wait "$RUN_PID" 2>/dev/null
  fi
  switch_format_back
  [ -f "$WINEPREFIX/system.reg" ] && /usr/lib/wine/wineserver -k >/dev/null 2>&1
  if [ -n "$XVFB_PID" ]; then kill "$XVFB_PID" 2>/dev/null; wait "$XVFB_PID" 2>/dev/null; fi
}
trap finish EXIT
trap 'exit 130' INT TERM

# --- the prefix (its 32-bit half is made with the format on) and the run -------------------
echo 1 | $SUDO tee "$FORMAT" >/dev/null || fail "cannot switch on the i386 format"
say "i386 format on"
source "$ZELVRA_ROOT/tools/x86/i386-root.sh"
zelvra_i386_root || fail "no private i386 root with the 32-bit Wine"
say "the i386 root: $ZELVRA_I386_ROOT ($(du -sm "$ZELVRA_I386_ROOT" | cut -f1) MB)"
# The root's 32-bit programs take their libraries from the root.
export QEMU_LD_PREFIX="$ZELVRA_I386_ROOT"
zelvra_prefix_copy wow64 "$PREFIX" || fail "no usable Wine prefix with a 32-bit half"
why=$(zelvra_prefix_problem wow64 "$PREFIX") || fail "the run's prefix $PREFIX: $why"
say "the run's prefix: $PREFIX"
/usr/lib/wine/wineserver -p >/dev/null 2>&1
say "running the installer (each program start takes about a minute)"
# In the background and in a process group of its own, so that a signal to
# this script is handled at once (bash runs traps only between foreground
# commands) and whatever the run leaves can be ended with it.
python3 "$ZELVRA_ROOT/tools/x86/smoke_run.py" "$BUILD" --wine "$ZELVRA_I386_WINE" --own-process-group \
  --timeout "${ZELVRA_X86_TIMEOUT:-300}" --shots "$BUILD/x86-smoke" &
RUN_PID=$!
wait "$RUN_PID"
status=$?
RUN_PID=""
switch_format_back
say "i386 format back to ${format_was/absent/disabled}"
[ $status -eq 0 ] || fail "the run did not pass (screenshots in $BUILD/x86-smoke)"
echo "x86 smoke run: passed ($((SECONDS - STARTED)) s)"
