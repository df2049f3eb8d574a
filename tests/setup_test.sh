#!/usr/bin/env bash
# scripts/setup against a fake package archive: apt-get, dpkg and dpkg-query
# on the PATH are scripts that play a day of the archive (an index in a
# mirror sync, a package whose dependencies cannot be met), the tools are
# stand-ins, and the files the script reads and writes lie below a private
# root (SETUP_SYSROOT). Checks what it installs, what it says and how it ends.
#   tests/setup_test.sh SETUP_SCRIPT
set -u
setup=$(realpath "$1")
. "$(dirname "$0")/checks.sh"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The few host utilities the script may use; nothing else of the host is on
# the PATH, so that a tool the fake archive did not install is missing.
mkdir -p "$work/host"
for u in bash sh cat grep sed awk head tail paste mkdir date rm touch chmod tr sort; do
  ln -s "$(command -v "$u")" "$work/host/$u"
done

TOOLS=(g++ cmake ninja pkg-config i686-w64-mingw32-g++-posix i686-w64-mingw32-gcc-posix
       i686-w64-mingw32-g++-win32 i686-w64-mingw32-gcc-win32 i686-w64-mingw32-windres
       x86_64-w64-mingw32-g++-posix x86_64-w64-mingw32-g++-win32 x86_64-w64-mingw32-gcc-win32
       wine wineserver winepath
       Xvfb xdotool import tmux unzip clang++)

# The fake archive. State in $day: installed (one package per line), arch,
# broken (packages whose dependencies cannot be met), stale (how many
# updates it takes until every package can be installed), update-fails
# (every update fails), calls (apt-get's command lines).
write_fakes() {
  local bin=$1
  cat >"$bin/apt-get" <<'EOF'
#!/bin/bash
day=$FAKE_DAY
echo "$*" >>"$day/calls"
case $1 in
  update)
    if [ -e "$day/update-fails" ]; then
      echo "E: Failed to fetch http://deb.example/debian-security/dists/bookworm-security/main/binary-i386/Packages.xz  File has unexpected size (374820 != 376004). Mirror sync in progress?" >&2
      echo "E: Some index files failed to download. They have been ignored, or old ones used instead." >&2
      exit 100
    fi
    [ -s "$day/stale" ] && echo $(($(cat "$day/stale") - 1)) >"$day/stale"
    exit 0 ;;
  indextargets) echo "http://deb.example/debian/ bookworm"; exit 0 ;;
  install)
    shift
    simulate=0 pkgs=()
    for a in "$@"; do
      case $a in -s) simulate=1 ;; -*) ;; *) pkgs+=("$a") ;; esac
    done
    for p in "${pkgs[@]}"; do
      if grep -qx "$p" "$day/broken" 2>/dev/null || [ "$(cat "$day/stale" 2>/dev/null)" -gt 0 ] 2>/dev/null; then
        echo "The following packages have unmet dependencies:"
        echo " libcurl4:i386 : Depends: zlib1g:i386 (>= 1:1.1.4) but it is not going to be installed"
        echo "E: Unable to correct problems, you have held broken packages." >&2
        exit 100
      fi
    done
    [ "$simulate" = 1 ] && exit 0
    for p in "${pkgs[@]}"; do
      echo "$p" >>"$day/installed"
      case $p in
        wine32:i386) touch "$SETUP_SYSROOT/usr/lib/wine/wine"; chmod +x "$SETUP_SYSROOT/usr/lib/wine/wine" ;;
        cmake) printf '#!/bin/sh\necho "cmake version 3.25.1"\n' >"$FAKE_BIN/cmake"; chmod +x "$FAKE_BIN/cmake" ;;
      esac
    done ;;
esac
EOF
  cat >"$bin/dpkg-query" <<'EOF'
#!/bin/bash
p=${!#}
grep -qx "$p" "$FAKE_DAY/installed" 2>/dev/null && printf 'ii ' && exit 0
exit 1
EOF
  cat >"$bin/dpkg" <<'EOF'
#!/bin/bash
case $1 in
  --print-foreign-architectures) cat "$FAKE_DAY/arch" 2>/dev/null ;;
  --add-architecture) echo "$2" >>"$FAKE_DAY/arch" ;;
esac
EOF
  printf '#!/bin/sh\necho "${FAKE_UID:-0}"\n' >"$bin/id"
  local t
  for t in "${TOOLS[@]}"; do printf '#!/bin/sh\necho "%s 1.0"\n' "$t" >"$bin/$t"; done
  chmod +x "$bin"/*
}

# A machine: every package of the script installed (and so its tools),
# the i386 architecture, a deb-src entry, the 64-bit Wine loader.
all_packages=$(sed -n '/^PACKAGES=(/,/^)/p' "$setup" | grep -v '^ *#' | sed '1d;$d' | tr -s ' \n' '\n' | grep .)
machine() {
  day=$work/$1
  rm -rf "$day"
  mkdir -p "$day/bin" "$day/root/etc/apt/sources.list.d" "$day/root/usr/lib/wine" "$day/root/usr/i686-w64-mingw32/lib"
  write_fakes "$day/bin"
  echo 'VERSION_CODENAME=bookworm' >"$day/root/etc/os-release"
  printf 'Types: deb deb-src\nURIs: http://deb.example/debian\n' >"$day/root/etc/apt/sources.list.d/debian.sources"
  touch "$day/root/usr/i686-w64-mingw32/lib/libz.a"
  printf '#!/bin/sh\necho wine-8.0\n' >"$day/root/usr/lib/wine/wine64"
  chmod +x "$day/root/usr/lib/wine/wine64"
  echo i386 >"$day/arch"
  echo "$all_packages" >"$day/installed"
}
# uninstall PACKAGE...: as if never installed.
uninstall() {
  local p
  for p in "$@"; do grep -vx "$p" "$day/installed" >"$day/i" || true; mv "$day/i" "$day/installed"; done
}
run_setup() {
  rc=0
  FAKE_DAY=$day FAKE_BIN=$day/bin SETUP_SYSROOT=$day/root PATH=$day/bin:$work/host \
    bash "$setup" >"$day/out" 2>"$day/err" || rc=$?
  [ -e "$day/calls" ] || touch "$day/calls"
}
said() { grep -q -- "$1" "$day/out" "$day/err"; }
show() { sed 's/^/    /' "$day/out" "$day/err"; }

# --- everything there: nothing asked of the archive, nothing said ------------
machine ready
echo wine32:i386 >>"$day/installed"
touch "$day/root/usr/lib/wine/wine"
chmod +x "$day/root/usr/lib/wine/wine"
run_setup
check "a ready machine: exit code 0" test "$rc" = 0
check "a ready machine: no apt-get run" test ! -s "$day/calls"
check "a ready machine: nothing printed" test ! -s "$day/out" -a ! -s "$day/err"

# --- the bad day: an index in a mirror sync, wine32:i386 uninstallable --------
machine bad-day
uninstall wine32:i386 cmake tidy
rm "$day/bin/cmake"
touch "$day/update-fails"
echo wine32:i386 >"$day/broken"
run_setup
check "a failing index and no wine32: exit code 0" test "$rc" = 0
check "... the update's failure is a warning" said "warning: apt-get update failed; going on"
check "... apt's reason for the index is shown" said "Mirror sync in progress?"
check "... the other packages are installed" grep -qx tidy "$day/installed"
check "... and their tools are there" test -x "$day/bin/cmake"
check "... one retry: two updates" test "$(grep -c '^update' "$day/calls")" = 2
check "... all at once, then after an update the needed ones, then wine32:i386 alone" test \
  "$(grep -v '^install -s' "$day/calls" | sed 's/ -y -qq --no-install-recommends//' | paste -s -d ,)" = \
  "update -qq,install cmake tidy wine32:i386,update -qq,install cmake tidy,install wine32:i386"
check "... wine32:i386 named with apt's reason" said "wine32:i386 cannot be installed: libcurl4:i386 : Depends: zlib1g:i386"
check "... one line tells of the 64-bit build" \
  test "$(grep -c 'the Windows tests will use the 64-bit build' "$day/out")" = 1
[ "$rc" = 0 ] || show

# --- a failing index alone: the install still goes through --------------------
machine index-only
uninstall wine32:i386 xvfb
touch "$day/update-fails"
run_setup
check "a failing index, everything installable: exit code 0" test "$rc" = 0
check "... one update, one install" test "$(grep -c . "$day/calls")" = 2
check "... wine32:i386 installed" grep -qx wine32:i386 "$day/installed"
check "... nothing about a 64-bit build" not said "64-bit build"

# --- lists out of step until an update: the retry repairs it ---------------------
machine stale-lists
uninstall clang
echo 2 >"$day/stale"  # the first update is not enough
run_setup
check "stale lists that a second update mends: exit code 0" test "$rc" = 0
check "... clang installed on the retry" grep -qx clang "$day/installed"
check "... the retry is said" said "the install failed; updating the package lists once more"

# --- a needed package the archive cannot give ------------------------------------
machine no-cmake
uninstall cmake zip
rm "$day/bin/cmake"
touch "$day/update-fails"
echo cmake >"$day/broken"
run_setup
check "an essential package uninstallable: exit code 1" test "$rc" = 1
check "... it is named with apt's reason" grep -q '^  cmake: libcurl4:i386 : Depends:' "$day/err"
check "... and it alone" not grep -q '^  zip:' "$day/err"
check "... the other missing package is installed" grep -qx zip "$day/installed"
check "... the failed update is mentioned as a likely cause" said "mirror sync; try again later"
check "... no success line" not said "64-bit build"

# --- a package said to be installed whose tool is missing -------------------------
machine lost-tool
rm "$day/bin/xdotool"
run_setup
check "a missing essential tool: exit code 1" test "$rc" = 1
check "... named" said "missing xdotool, which the build or the tests need"

# --- no Wine loader at all ---------------------------------------------------------
machine no-wine
rm "$day/root/usr/lib/wine/wine64"
echo wine32:i386 >>"$day/installed"
run_setup
check "no Wine loader at all: exit code 1" test "$rc" = 1
check "... said" said "no Wine loader"

# --- a new machine: the i386 architecture and a deb-src entry are added -------------
machine new
rm "$day/arch" "$day/root/etc/apt/sources.list.d/debian.sources"
echo wine32:i386 >>"$day/installed"
touch "$day/root/usr/lib/wine/wine"
chmod +x "$day/root/usr/lib/wine/wine"
run_setup
check "a new machine: exit code 0" test "$rc" = 0
check "... i386 added" grep -qx i386 "$day/arch"
check "... a deb-src entry for the mirror" \
  grep -qx 'URIs: http://deb.example/debian/' "$day/root/etc/apt/sources.list.d/toolchain-src.sources"
check "... the lists updated for it" grep -qx 'update -qq' "$day/calls"
[ "$rc" = 0 ] || show

# --- not root ------------------------------------------------------------------------
machine user
FAKE_UID=1000 run_setup
check "not root: exit code 1 and a message" test "$rc" = 1 -a "$(cat "$day/err")" = "setup: run as root"

checks_done
