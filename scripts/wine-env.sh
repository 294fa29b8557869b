# Sourced by the Windows scripts: Wine (64-bit) in a prefix of the build folder's own.
WINE=$(command -v wine64 || echo /usr/lib/wine/wine64)
WINESERVER=$(command -v wineserver || echo /usr/lib/wine/wineserver64)
export WINE WINESERVER WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="

# Sets up (once) and selects the prefix BUILD/wineprefix.
wine_prefix() {
  export WINEPREFIX="$PWD/$1/wineprefix"
  if [ ! -d "$WINEPREFIX/dosdevices" ]; then
    # Setting a prefix up now and then fails on a fresh, busy machine ("ShellExecuteEx failed"):
    # a fresh prefix is tried again, and the log shown when the last try fails too.
    local try
    for try in 1 2 3; do
      if "$WINE" wineboot -i >"$1/wineboot.log" 2>&1 </dev/null; then
        break
      fi
      "$WINESERVER" -k >/dev/null 2>&1 || true
      if [ "$try" = 3 ]; then
        cat "$1/wineboot.log" >&2
        echo "wine: the prefix $WINEPREFIX could not be set up" >&2
        return 1
      fi
      echo "wine: setting up the prefix failed (try $try); trying again" >&2
      rm -rf "$WINEPREFIX"
    done
  fi
  # Drives are taken from the prefix when its server starts: stop the one left from setting it up.
  "$WINESERVER" -k >/dev/null 2>&1 || true
}

# A path of this machine as Wine's programs name it (drive Z: is the root).
wine_path() {
  printf 'Z:%s' "$(realpath "$1" | tr / '\\')"
}
