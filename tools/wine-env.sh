# Sourced by the scripts that run Windows programs: a Wine prefix of the run's
# own, no Wine debug output, and an X display (an Xvfb started here when none
# is given).
#
# The prefix is build/windows-x64/wineprefix, made anew by zelvra_wine_start
# at each run as a copy of the cached 64-bit prefix (tools/wine-prefix.sh;
# the cache is made on first use, about 10 s). A WINEPREFIX set by the caller
# is used as it is instead (created when it does not exist).
#
# After zelvra_wine_start: WINEPREFIX, WINEDEBUG, DISPLAY are exported, and
# zelvra_wine_stop ends what was started here.

: "${ZELVRA_ROOT:=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)}"
source "$ZELVRA_ROOT/tools/wine-prefix.sh"
ZELVRA_OWN_PREFIX=0
if [ -z "${WINEPREFIX:-}" ]; then
  ZELVRA_OWN_PREFIX=1
  WINEPREFIX="$ZELVRA_ROOT/build/windows-x64/wineprefix"
fi
export WINEPREFIX
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
ZELVRA_WINE=/usr/lib/wine/wine64
ZELVRA_XVFB_PID=""

zelvra_wine_start() {
  if [ -z "${DISPLAY:-}" ] || [ "${ZELVRA_HEADLESS:-0}" = 1 ]; then
    local n
    for n in $(seq 91 120); do
      [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ] && continue
      Xvfb ":$n" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
      ZELVRA_XVFB_PID=$!
      export DISPLAY=":$n"
      break
    done
    local i
    for i in $(seq 1 50); do [ -e "/tmp/.X11-unix/X${DISPLAY#:}" ] && break; sleep 0.1; done
  fi
  if [ "$ZELVRA_OWN_PREFIX" = 1 ]; then
    zelvra_prefix_copy win64 "$WINEPREFIX" || { echo "wine: no prefix for the run" >&2; return 1; }
  else
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
      echo "wine: creating prefix $WINEPREFIX"
      mkdir -p "$WINEPREFIX"
      "$ZELVRA_WINE" wineboot --init >/dev/null 2>&1 || true
    fi
    if ! grep -q '"Decorated"="N"' "$WINEPREFIX/user.reg" 2>/dev/null; then
      # Without a window manager (Xvfb) Wine draws captions and frames itself
      # only when told to; screenshots and the close box need them.
      "$ZELVRA_WINE" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1 || true
      "$ZELVRA_WINE" reg add 'HKCU\Software\Wine\X11 Driver' /v Decorated /d N /f >/dev/null 2>&1 || true
    fi
    [ -e "$WINEPREFIX/drive_c/windows/Fonts/marlett.ttf" ] || zelvra_prefix_fonts "$WINEPREFIX" || true
    local why
    why=$(zelvra_prefix_problem win64 "$WINEPREFIX") || echo "wine: note: $WINEPREFIX: $why" >&2
  fi
  # Keep one wineserver for the whole run: every program starts faster.
  /usr/lib/wine/wineserver -p >/dev/null 2>&1 || true
  # Start Wine's own services (desktop, devices) now, detached from every
  # pipe: started by the first test they would inherit its output and keep
  # ctest waiting, and a test racing them sees its windows fail.
  "$ZELVRA_WINE" cmd /c exit 0 </dev/null >/dev/null 2>&1 || true
}

zelvra_wine_stop() {
  /usr/lib/wine/wineserver -k >/dev/null 2>&1 || true
  if [ -n "$ZELVRA_XVFB_PID" ]; then kill "$ZELVRA_XVFB_PID" 2>/dev/null || true; wait "$ZELVRA_XVFB_PID" 2>/dev/null || true; fi
}
