# Sourced by the Windows scripts: Wine (64-bit) in a prefix of the build folder's own.
WINE=$(command -v wine64 || echo /usr/lib/wine/wine64)
WINESERVER=$(command -v wineserver || echo /usr/lib/wine/wineserver64)
export WINE WINESERVER WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="

# Sets up (once) and selects the prefix BUILD/wineprefix.
wine_prefix() {
  export WINEPREFIX="$PWD/$1/wineprefix"
  if [ ! -d "$WINEPREFIX/dosdevices" ]; then
    "$WINE" wineboot -i >"$1/wineboot.log" 2>&1 </dev/null
  fi
  # Drives are taken from the prefix when its server starts: stop the one left from setting it up.
  "$WINESERVER" -k >/dev/null 2>&1 || true
}

# A path of this machine as Wine's programs name it (drive Z: is the root).
wine_path() {
  printf 'Z:%s' "$(realpath "$1" | tr / '\\')"
}
