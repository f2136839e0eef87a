# Sourced by tools/x86_smoke.sh: the 32-bit half of Wine, kept in a private
# i386 root instead of the host's package state.
#
# Why a private root: installing wine32:i386 on the host means adding the
# i386 architecture to dpkg, and on a machine whose i386 index of a suite is
# inconsistent ("File has unexpected size") apt then either fails, or
# resolves wine32:i386 by removing wine64 and libwine:amd64 (amd64 libraries
# of the Multi-Arch "same" kind installed at security versions the i386 side
# cannot match). So the host keeps only amd64 packages, and the 32-bit Wine
# comes from a folder of its own, unpacked with mmdebstrap from the release
# and updates suites (never the security suite), its Wine version pinned to
# the host's, and run through qemu's user-mode emulation.
#
# How it is run (the route that works): the host's own 64-bit Wine runs
# everything 64-bit (the wineserver, Wine's services, the desktop) natively,
# and starts each 32-bit program through the root's 32-bit loader, emulated.
# Wine looks for that loader beside its own, so the run uses a copy of the
# host's wine64 in a folder of its own (the "loader folder") whose `wine` is
# the root's loader; the 32-bit loader finds its libraries in the root
# through qemu's library prefix (QEMU_LD_PREFIX) and its Wine DLLs beside
# its own real path. (Everything from the root instead, in a 32-bit prefix,
# emulates Wine's services too: making that prefix had not finished after
# 15 minutes.)
#
# The cache: ${XDG_CACHE_HOME:-$HOME/.cache}/zelvra/i386-root/<wine>, <wine>
# being the host's Wine version, holding root/ (about 730 MB), wine/ (the
# loader folder) and .zelvra-root (the stamp: recipe, Wine version). Made
# under an exclusive lock in a temporary folder and moved into place when
# complete; made again when the stamp differs (a new recipe or host Wine),
# when a check below fails, or with ZELVRA_FRESH=1.
#
# zelvra_i386_root   makes the root when needed; then sets ZELVRA_I386_ROOT
#                    (the root), ZELVRA_I386_WINE (the loader folder's wine64,
#                    to run 32-bit programs with) and ZELVRA_I386_STAMP.
#                    Returns 1, saying why, when it cannot.
# Needs: mmdebstrap, qemu-user-static, the host's wine64, the i386 format
# registered and enabled in binfmt_misc (for the check), and root or sudo
# ($SUDO, as tools/x86_smoke.sh sets it).

# What the root is made of; a change here makes every cached root be made
# again (and the wow64 prefixes made with it).
ZELVRA_I386_ROOT_RECIPE=1
ZELVRA_I386_QEMU=/usr/bin/qemu-i386-static

zelvra_i386_say() { echo "i386 root: $*" >&2; }

# The host's Wine package version (e.g. 8.0~repack-4): the root's is pinned to it.
zelvra_i386_wine_package() { dpkg-query -W -f='${Version}' wine64 2>/dev/null; }

zelvra_i386_expected_stamp() {
  printf 'recipe=%s\nwine=%s\npackage=%s\n' "$ZELVRA_I386_ROOT_RECIPE" "$("$ZELVRA_WINE64" --version 2>/dev/null)" \
    "$(zelvra_i386_wine_package)"
}

# The Debian archive the host installs from (the first that serves the
# release suite's main component), else Debian's own.
zelvra_i386_archive() {
  local codename=$1 uri
  uri=$(apt-cache policy 2>/dev/null | sed -n "s#^ *[0-9-]* \(https\?://[^ ]*\) $codename/main amd64 Packages\$#\1#p" | head -n 1)
  echo "${uri:-http://deb.debian.org/debian}"
}

# Prints why DIR is not a usable root made by this recipe for this Wine;
# returns 1 then.
zelvra_i386_root_problem() {
  local dir=$1 want got
  if [ ! -d "$dir" ]; then echo "there is none yet"; return 1; fi
  if [ "$(cat "$dir/.zelvra-root" 2>/dev/null)" != "$(zelvra_i386_expected_stamp)" ]; then
    echo "it was made by another recipe or for another Wine, or not finished (.zelvra-root: $(tr '\n' ' ' <"$dir/.zelvra-root" 2>/dev/null))"
    return 1
  fi
  for file in root/usr/lib/wine/wine root/usr/lib/i386-linux-gnu/wine/i386-unix/ntdll.so \
    root/usr/lib/i386-linux-gnu/wine/i386-windows/zlib1.dll root/etc/ld.so.cache wine/lib/wine/wine64; do
    if [ ! -e "$dir/$file" ]; then echo "$file is missing"; return 1; fi
  done
  # The loader folder's links point into this very folder (it may have moved).
  if [ "$(readlink "$dir/wine/lib/wine/wine")" != "$dir/root/usr/lib/wine/wine" ]; then
    echo "wine/lib/wine/wine does not lead to its root"; return 1
  fi
  want=$("$ZELVRA_WINE64" --version 2>/dev/null)
  if [ "$(head -n 1 /proc/sys/fs/binfmt_misc/qemu-i386 2>/dev/null)" = enabled ]; then
    got=$(QEMU_LD_PREFIX="$dir/root" "$dir/root/usr/lib/wine/wine" --version 2>&1)
    if [ "$got" != "$want" ]; then echo "its 32-bit loader says \"$got\", the host's Wine \"$want\""; return 1; fi
  fi
  return 0
}

# Makes a root in DIR (which must not exist).
zelvra_i386_root_create() {
  local dir=$1 codename archive package started=$SECONDS log
  codename=$(. /etc/os-release 2>/dev/null && echo "${VERSION_CODENAME:-}")
  [ -n "$codename" ] || { zelvra_i386_say "cannot tell the Debian release (/etc/os-release)"; return 1; }
  package=$(zelvra_i386_wine_package)
  [ -n "$package" ] || { zelvra_i386_say "the host has no wine64 package to pin the root's Wine to"; return 1; }
  archive=$(zelvra_i386_archive "$codename")
  zelvra_i386_say "unpacking wine32 $package ($codename, $codename-updates from $archive) into $dir"
  log="$dir.log"
  mkdir -p "$dir" || return 1
  # --variant=extract unpacks the packages and runs none of their scripts;
  # dpkg of the host is not involved.
  if ! $SUDO mmdebstrap --variant=extract --architectures=i386 \
    --include="wine32=$package,libwine=$package,libc6" "$codename" "$dir/root" \
    "deb $archive $codename main" "deb $archive $codename-updates main" >"$log" 2>&1; then
    zelvra_i386_say "mmdebstrap failed:"; tail -n 20 "$log" >&2; rm -f "$log"; return 1
  fi
  rm -f "$log"
  [ -n "$SUDO" ] && $SUDO chown -R "$(id -u):$(id -g)" "$dir"
  # What the skipped package scripts would have done and Wine needs: libwine
  # turns the mingw zlib into Wine builtin DLLs (user32 imports it), and
  # libc-bin makes the library cache (without it the dynamic loader may take
  # the host's /lib32 libraries before the root's).
  local wine_dlls="$dir/root/usr/lib/i386-linux-gnu/wine" mingw wine_arch in
  for mingw in i686:i386 x86_64:x86_64; do
    wine_arch=${mingw#*:}
    in="$dir/root/usr/${mingw%%:*}-w64-mingw32/lib/zlib1.dll"
    [ -f "$in" ] || { zelvra_i386_say "$in is missing"; return 1; }
    mkdir -p "$wine_dlls/$wine_arch-windows"
    { head -c 64 "$in"; printf 'Wine builtin DLL'; head -c 16 /dev/zero; tail -c +97 "$in"; } \
      >"$wine_dlls/$wine_arch-windows/zlib1.dll" || return 1
  done
  echo 'include /etc/ld.so.conf.d/*.conf' >"$dir/root/etc/ld.so.conf"
  ldconfig -r "$dir/root" || { zelvra_i386_say "ldconfig -r $dir/root failed"; return 1; }
  # The loader folder: a copy of the host's wine64 whose neighbour `wine` is
  # the root's loader. wine64 finds its own libraries and data relative to
  # its folder (../x86_64-linux-gnu/wine, ../../share/wine).
  mkdir -p "$dir/wine/lib/wine" "$dir/wine/share" || return 1
  cp "$ZELVRA_WINE64" "$dir/wine/lib/wine/wine64" || return 1
  ln -s "$ZELVRA_WINESERVER" "$dir/wine/lib/wine/wineserver"
  ln -s /usr/lib/x86_64-linux-gnu "$dir/wine/lib/x86_64-linux-gnu"
  ln -s /usr/share/wine "$dir/wine/share/wine"
  zelvra_i386_expected_stamp >"$dir/.zelvra-root"
  zelvra_i386_say "made in $((SECONDS - started)) s ($(du -sm "$dir" | cut -f1) MB)"
}

zelvra_i386_root() {
  local cache entry lockfd why="" status=0 version
  version=$("$ZELVRA_WINE64" --version 2>/dev/null) || { zelvra_i386_say "cannot tell the host's Wine version"; return 1; }
  cache="${XDG_CACHE_HOME:-$HOME/.cache}/zelvra/i386-root"
  entry="$cache/$(printf '%s' "$version" | tr -cs 'A-Za-z0-9.+' '-' | sed 's/-$//')"
  mkdir -p "$cache" || return 1
  exec {lockfd}>>"$entry.lock"
  flock -x "$lockfd"
  if [ "${ZELVRA_FRESH:-0}" = 1 ] && [ -z "${ZELVRA_I386_FRESH_DONE:-}" ]; then
    why="ZELVRA_FRESH=1 (--fresh) asks for a new one"
  else
    why=$(zelvra_i386_root_problem "$entry") || true
  fi
  if [ -n "$why" ]; then
    zelvra_i386_say "making $entry: $why"
    local building="$entry.new.$$"
    # The root is the user's (or made by root through sudo): removed the same way.
    $SUDO rm -rf "$entry".new.* "$entry".old.*
    # Made in a temporary folder whose name is not the final one: the loader
    # folder's links name the final path.
    if zelvra_i386_root_create "$building"; then
      [ -e "$entry" ] && mv "$entry" "$entry.old.$$"
      mv "$building" "$entry" || status=1
      ln -sfn "$entry/root/usr/lib/wine/wine" "$entry/wine/lib/wine/wine"
      $SUDO rm -rf "$entry.old.$$"
      export ZELVRA_I386_FRESH_DONE=1
      if [ $status -eq 0 ] && why=$(zelvra_i386_root_problem "$entry"); then :; else
        zelvra_i386_say "the new root is not usable: $why"; status=1
      fi
    else
      $SUDO rm -rf "$building" "$building.log"
      status=1
    fi
  fi
  exec {lockfd}>&-
  [ $status -eq 0 ] || return 1
  ZELVRA_I386_ROOT="$entry/root"
  ZELVRA_I386_WINE="$entry/wine/lib/wine/wine64"
  ZELVRA_I386_STAMP=$(tr '\n' ' ' <"$entry/.zelvra-root")
  export ZELVRA_I386_ROOT ZELVRA_I386_WINE ZELVRA_I386_STAMP
}
