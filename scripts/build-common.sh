# shellcheck shell=bash
# Shared by scripts/test and scripts/demo: installs, builds, Wine choice.
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD=$ROOT/build
JOBS=$(nproc 2>/dev/null || echo 2)

log() { printf '== %s\n' "$*"; }

# Installs what is missing (quiet and quick when everything is there).
ensure_tools() {
  if [ "$(id -u)" -eq 0 ]; then
    bash "$ROOT/scripts/setup"
  else
    echo "scripts: not root, assuming the packages of scripts/setup are installed" >&2
  fi
}

build_native() {
  cmake -S "$ROOT" -B "$BUILD/linux" -G Ninja -DCMAKE_BUILD_TYPE=Release >"$BUILD/cmake-linux.log" 2>&1 ||
    { cat "$BUILD/cmake-linux.log"; return 1; }
  cmake --build "$BUILD/linux" -j "$JOBS"
}

# build_windows TRIPLE DIR: PCRE2 and minizip for that triple, then the project.
build_windows() {
  local triple=$1 dir=$2
  bash "$ROOT/scripts/build-mingw-deps" "$triple" "$BUILD/deps/$triple" >"$BUILD/deps-$triple.log" 2>&1 ||
    { cat "$BUILD/deps-$triple.log"; return 1; }
  cmake -S "$ROOT" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-w64.cmake" -DMINGW_TRIPLE="$triple" \
    -DMINGW_DEPS_PREFIX="$BUILD/deps/$triple" >"$dir.cmake.log" 2>&1 || { cat "$dir.cmake.log"; return 1; }
  cmake --build "$dir" -j "$JOBS"
}

# The shipped programs must need nothing but system DLLs.
check_imports() {
  local dir=$1 triple=$2 exe bad=0
  for exe in "$dir"/*.exe; do
    local dlls
    dlls=$("$triple-objdump" -p "$exe" | sed -n 's/^\s*DLL Name: //p' | tr 'A-Z' 'a-z')
    for dll in $dlls; do
      case $dll in
        kernel32.dll|msvcrt.dll|user32.dll|gdi32.dll|advapi32.dll|shell32.dll|comdlg32.dll|comctl32.dll) ;;
        *) echo "check_imports: $exe needs $dll" >&2; bad=1 ;;
      esac
    done
  done
  return $bad
}

# The 32-bit programs and stubs may use more than 2 GiB on 64-bit Windows.
check_large_address_aware() {
  local dir=$1 triple=$2 exe bad=0
  while IFS= read -r exe; do
    # Read in full first: grep -q would end the pipe early (a failure under pipefail).
    local header
    header=$("$triple-objdump" -p "$exe")
    grep -q '^\s*large address aware' <<<"$header" ||
      { echo "check_large_address_aware: $exe is not large address aware" >&2; bad=1; }
  done < <(find "$dir" -name '*.exe' -o -name '*.stb')
  return $bad
}

# True when this host can run 32-bit code, and so the 32-bit Wine loader.
# Some virtual machines run 64-bit user code only.
host_runs_32bit() {
  [ -x /usr/lib/wine/wine ] && /usr/lib/wine/wine --version >/dev/null 2>&1
}
