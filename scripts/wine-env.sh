# shellcheck shell=bash
# Sourced by the test scripts: a private, quiet Wine prefix for one Windows
# build, independent of ~/.wine.
#   . scripts/wine-env.sh PREFIX_DIR ARCH      (ARCH: win32 or win64)
# Defines wine_prefix_ensure, wine_warm_up, wine_stop and exports WINE_LOADER
# (the loader that runs that build's .exe files).
export WINEPREFIX=$(realpath -m "$1")
export WINEARCH=$2
export WINEDEBUG=-all                      # no "fixme:"/"err:" lines on stderr
export WINEDLLOVERRIDES="mscoree,mshtml="  # never offer to install Mono/Gecko (a dialog)
# Wine takes the ANSI code page from the locale's language (C and English:
# 1252, the code page of the names in patches) and the encoding of Unix file
# names from its codeset, which must be UTF-8 for the names to reach the disk.
export LANG=C.UTF-8 LC_ALL=C.UTF-8
if [ "$WINEARCH" = win64 ]; then
  export WINE_LOADER=/usr/lib/wine/wine64  # Debian's `wine` script tries 32-bit first
else
  export WINE_LOADER=wine
fi

# Create the prefix once (several seconds); later calls return at once.
wine_prefix_ensure() {
  [ -f "$WINEPREFIX/.prefix-ready" ] && return 0
  wine_stop
  rm -rf "$WINEPREFIX"
  mkdir -p "$(dirname "$WINEPREFIX")"
  # No DISPLAY: wineboot would otherwise show an "updating" window.
  DISPLAY='' timeout 300 "$WINE_LOADER" wineboot -i </dev/null >/dev/null 2>&1 ||
    { echo "wine-env: wineboot failed for $WINEPREFIX" >&2; return 1; }
  # A crashing program must not wait for a click on a "Program Error" dialog.
  "$WINE_LOADER" reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f \
    </dev/null >/dev/null 2>&1
  # Xvfb has no window manager: let Wine draw title bars itself.
  "$WINE_LOADER" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f </dev/null >/dev/null 2>&1
  wine_stop
  touch "$WINEPREFIX/.prefix-ready"
}

# Keep this prefix's wineserver and services running, started with stderr
# on /dev/null: otherwise every run that reads stderr to its end waits
# about 2.5 s for services that inherited it.
wine_warm_up() {
  wine_prefix_ensure || return 1
  wineserver -p </dev/null >/dev/null 2>&1 || true   # exit code 2: a server already runs
  "$WINE_LOADER" cmd /c exit </dev/null >/dev/null 2>&1 || true
}

# Stop only this prefix's server and every Windows process in it.
wine_stop() {
  wineserver -k 2>/dev/null || true
  timeout 15 wineserver -w 2>/dev/null || true
}
