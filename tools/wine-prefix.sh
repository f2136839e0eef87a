# Sourced by the scripts that run Windows programs: Wine prefixes made once
# per user and Wine version, kept in a cache outside the checkout, and handed
# to each run as a working copy of its own.
#
# Two kinds of prefix:
#   win64  64-bit only: the tests, the demo and the bench (about 10 s to make)
#   wow64  with its 32-bit half (drive_c/windows/syswow64) set up, for 32-bit
#          programs: made with the loader of the private i386 root
#          (tools/x86/i386-root.sh; ZELVRA_I386_WINE, ZELVRA_I386_ROOT and
#          ZELVRA_I386_STAMP set) while the i386 format is switched on, which
#          tools/x86_smoke.sh does before asking for one (minutes, emulated)
#
# The cache: ${XDG_CACHE_HOME:-$HOME/.cache}/zelvra/wine-prefixes/<wine>/<kind>,
# <wine> being the Wine version (wine64 --version). Each is made under an
# exclusive lock (<kind>.lock beside it) in a temporary folder and moved into
# place when complete; copies are taken under a shared lock. A run never
# starts Wine in the cached prefix itself, so the cache stays as it was made:
# whatever a run adds to its copy (settings, files, certificates) stays there.
#
# ZELVRA_FRESH=1 ignores the cache: every prefix asked for is made anew (and
# replaces the cached one).
#
# zelvra_prefix_copy KIND DEST   DEST becomes a fresh copy of the cached
#                                prefix of KIND (made first when missing or
#                                unusable, saying why)
# zelvra_prefix_problem KIND DIR prints why DIR is not a usable prefix of
#                                KIND; returns 1 then, 0 when it is usable

ZELVRA_WINE64=/usr/lib/wine/wine64
ZELVRA_WINESERVER=/usr/lib/wine/wineserver
# What a prefix is made of, as checked below; a change here makes every
# cached prefix be made again.
ZELVRA_PREFIX_RECIPE=1
# The lock that tools/x86_smoke.sh holds while the i386 format may be on:
# a 64-bit prefix is made under it (shared), so that no 32-bit half is set up
# in it by accident, which would take minutes.
ZELVRA_FORMAT_LOCK="${TMPDIR:-/tmp}/zelvra-x86-smoke.lock"
ZELVRA_I386_FORMAT=/proc/sys/fs/binfmt_misc/qemu-i386
ZELVRA_WINE_FONTS=/usr/share/wine/fonts

zelvra_prefix_say() { echo "wine prefix: $*" >&2; }

zelvra_wine_version() { "$ZELVRA_WINE64" --version 2>/dev/null; }

zelvra_prefix_cache() {
  local version
  version=$(zelvra_wine_version) || return 1
  [ -n "$version" ] || return 1
  # "wine-8.0 (Debian 8.0~repack-4)" gives wine-8.0-Debian-8.0-repack-4
  echo "${XDG_CACHE_HOME:-$HOME/.cache}/zelvra/wine-prefixes/$(printf '%s' "$version" | tr -cs 'A-Za-z0-9.+' '-' | sed 's/-$//')"
}

zelvra_prefix_stamp() {  # the stamp a prefix of kind $1 carries
  printf 'kind=%s\nwine=%s\nrecipe=%s\n' "$1" "$(zelvra_wine_version)" "$ZELVRA_PREFIX_RECIPE"
  # A wow64 prefix's 32-bit half comes from the i386 root it was made with.
  [ "$1" = wow64 ] && printf 'i386-root=%s\n' "${ZELVRA_I386_STAMP:-none}"
  return 0
}

zelvra_prefix_problem() {
  local kind=$1 dir=$2 windows="$2/drive_c/windows" count file
  if [ ! -d "$dir" ]; then echo "there is none yet"; return 1; fi
  for file in system.reg user.reg userdef.reg drive_c/windows/system32/kernel32.dll; do
    if [ ! -s "$dir/$file" ]; then echo "$file is missing"; return 1; fi
  done
  # Wine updates a prefix whose time stamp differs from its wine.inf at the
  # first start (and, for a wow64 one, with the i386 format perhaps off).
  if [ "$(head -n 1 "$dir/.update-timestamp" 2>/dev/null | tr -d '\r')" != "$(stat -c %Y /usr/share/wine/wine.inf 2>/dev/null)" ]; then
    echo "it was made by another installation of Wine (.update-timestamp differs from wine.inf)"; return 1
  fi
  # Without a window manager (Xvfb) Wine draws captions and frames itself
  # only when told to; screenshots and the close box need them. Unmanaged
  # windows also close without a two-second wait for a window manager.
  if ! grep -q '"Managed"="N"' "$dir/user.reg" || ! grep -q '"Decorated"="N"' "$dir/user.reg"; then
    echo "user.reg lacks the X11 driver settings Managed=N, Decorated=N"; return 1
  fi
  if [ ! -s "$windows/Fonts/marlett.ttf" ]; then
    echo "drive_c/windows/Fonts lacks marlett.ttf (the close box would show an \"r\")"; return 1
  fi
  if [ "$kind" = wow64 ]; then
    count=$(find "$windows/syswow64" -maxdepth 1 -type f 2>/dev/null | wc -l)
    if [ ! -s "$windows/syswow64/kernel32.dll" ] || [ "$count" -lt 500 ]; then
      echo "its 32-bit half is not set up (drive_c/windows/syswow64 holds $count files$([ -s "$windows/syswow64/kernel32.dll" ] || echo ", no kernel32.dll"))"
      return 1
    fi
  fi
  return 0
}

# Marlett, the symbol font Wine draws the caption buttons with (without it
# the close box shows an "r"), from Wine's own fonts (package fonts-wine).
# Wine 8 as Debian 12 builds it does not load the fonts in
# /usr/share/wine/fonts by itself; in the prefix's C:\windows\Fonts it does.
# Only Marlett: with Wine's Tahoma or System there, text in the "System"
# font (the Korean progress dialog) is drawn in a font without Hangul, as
# boxes.
zelvra_prefix_fonts() {
  local dir=$1
  if [ ! -s "$ZELVRA_WINE_FONTS/marlett.ttf" ]; then
    zelvra_prefix_say "$ZELVRA_WINE_FONTS/marlett.ttf is missing (package fonts-wine; tools/setup.sh installs it)"
    return 1
  fi
  mkdir -p "$dir/drive_c/windows/Fonts" && cp "$ZELVRA_WINE_FONTS/marlett.ttf" "$dir/drive_c/windows/Fonts/"
}

# zelvra_prefix_problem, and the stamp of a cached prefix.
zelvra_cached_prefix_problem() {
  local kind=$1 dir=$2
  if [ -d "$dir" ] && [ "$(cat "$dir/.zelvra-prefix" 2>/dev/null)" != "$(zelvra_prefix_stamp "$kind")" ]; then
    echo "it was made for another kind, Wine or recipe, or not finished (.zelvra-prefix: $(tr '\n' ' ' <"$dir/.zelvra-prefix" 2>/dev/null))"
    return 1
  fi
  zelvra_prefix_problem "$kind" "$dir"
}

# Makes a prefix of KIND in DIR (which must not exist). A wow64 prefix needs
# the i386 format switched on; a win64 one is made with it off, under the
# format lock.
zelvra_prefix_create() {
  local kind=$1 dir=$2 lockfd="" state started=$SECONDS wine=$ZELVRA_WINE64
  mkdir -p "$dir" || return 1
  if [ "$kind" = wow64 ]; then
    if [ -z "${ZELVRA_I386_WINE:-}" ] || [ -z "${ZELVRA_I386_ROOT:-}" ]; then
      zelvra_prefix_say "cannot make a wow64 prefix: no i386 root (tools/x86/i386-root.sh)"
      return 1
    fi
    wine=$ZELVRA_I386_WINE
    state=$(head -n 1 "$ZELVRA_I386_FORMAT" 2>/dev/null)
    if [ "$state" != enabled ]; then
      zelvra_prefix_say "cannot make a wow64 prefix: the i386 format ($ZELVRA_I386_FORMAT) is ${state:-not registered}"
      return 1
    fi
  else
    exec {lockfd}>>"$ZELVRA_FORMAT_LOCK"
    if ! flock -s -n "$lockfd"; then
      zelvra_prefix_say "waiting for the x86 run to switch the i386 format off ($ZELVRA_FORMAT_LOCK)"
      flock -s -w 1800 "$lockfd" || { exec {lockfd}>&-; zelvra_prefix_say "gave up waiting"; return 1; }
    fi
    [ "$(head -n 1 "$ZELVRA_I386_FORMAT" 2>/dev/null)" = enabled ] \
      && zelvra_prefix_say "note: the i386 format is on, so this prefix gets a 32-bit half too (minutes)"
  fi
  local ok=0 log="$dir.log"
  (
    export WINEPREFIX="$dir" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
    unset DISPLAY
    [ "$kind" = wow64 ] && export QEMU_LD_PREFIX="$ZELVRA_I386_ROOT"
    "$wine" wineboot --init || exit 1
    zelvra_prefix_fonts "$dir" || exit 1
    "$wine" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f || exit 1
    "$wine" reg add 'HKCU\Software\Wine\X11 Driver' /v Decorated /d N /f || exit 1
    # Everything written to disk before the prefix is moved or copied.
    "$ZELVRA_WINESERVER" -w
  ) </dev/null >"$log" 2>&1 || ok=1
  if [ -n "$lockfd" ]; then exec {lockfd}>&-; fi
  if [ $ok -ne 0 ]; then
    zelvra_prefix_say "making a $kind prefix in $dir failed:"; tail -n 20 "$log" >&2; rm -f "$log"; return 1
  fi
  rm -f "$log"
  zelvra_prefix_stamp "$kind" >"$dir/.zelvra-prefix"
  zelvra_prefix_say "made the $kind prefix in $((SECONDS - started)) s"
}

zelvra_prefix_copy() {
  local kind=$1 dest=$2 cache entry lockfd why="" status=0
  cache=$(zelvra_prefix_cache) || { zelvra_prefix_say "cannot tell the Wine version ($ZELVRA_WINE64 --version)"; return 1; }
  entry="$cache/$kind"
  mkdir -p "$cache" || return 1
  exec {lockfd}>>"$entry.lock"
  flock -s "$lockfd"
  if [ "${ZELVRA_FRESH:-0}" = 1 ]; then
    why="ZELVRA_FRESH=1 (--fresh) asks for a new one"
  else
    why=$(zelvra_cached_prefix_problem "$kind" "$entry") || true
  fi
  if [ -n "$why" ]; then
    # Made under the exclusive lock, unless another run made it meanwhile.
    flock -u "$lockfd"
    flock -x "$lockfd"
    if [ "${ZELVRA_FRESH:-0}" = 1 ] || ! zelvra_cached_prefix_problem "$kind" "$entry" >/dev/null; then
      zelvra_prefix_say "making the $kind prefix $entry: $why"
      local building="$entry.new.$$"
      # Nobody else builds now: what an interrupted build left goes.
      rm -rf "$entry".new.* "$entry".old.*
      why=""
      if zelvra_prefix_create "$kind" "$building" && why=$(zelvra_cached_prefix_problem "$kind" "$building"); then
        if [ -e "$entry" ]; then mv "$entry" "$entry.old.$$"; fi
        mv "$building" "$entry" || status=1
        rm -rf "$entry.old.$$"
      else
        [ -n "$why" ] && zelvra_prefix_say "the new $kind prefix is not usable: $why"
        rm -rf "$building" "$building.log"
        status=1
      fi
    fi
  fi
  if [ $status -eq 0 ]; then
    # The copy: a wineserver still running on an earlier copy goes first.
    if [ -f "$dest/system.reg" ]; then WINEPREFIX="$dest" "$ZELVRA_WINESERVER" -k >/dev/null 2>&1; fi
    rm -rf "$dest" && mkdir -p "$(dirname "$dest")" && cp -a "$entry" "$dest" || status=1
  fi
  exec {lockfd}>&-
  return $status
}
