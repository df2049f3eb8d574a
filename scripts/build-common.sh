# shellcheck shell=bash
# Shared by scripts/test and scripts/demo: installs, builds, Wine choice.
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD=$ROOT/build
JOBS=$(nproc 2>/dev/null || echo 2)

log() { printf '== %s\n' "$*"; }

# phase NAME COMMAND...: one step of a script, announced by its name; its
# seconds are kept for phase_times. A failing step ends the script (set -e).
PHASE_TIMES=()
phase() {
  local name=$1 start=$SECONDS
  shift
  log "$name"
  "$@"
  PHASE_TIMES+=("$(printf '%5d s  %s' $((SECONDS - start)) "$name")")
}
phase_times() {
  log "seconds per phase"
  printf '%s\n' "${PHASE_TIMES[@]}"
  printf '%5d s  in all\n' "$SECONDS"
}

# Installs what is missing (quiet and quick when everything is there).
ensure_tools() {
  if [ "$(id -u)" -eq 0 ]; then
    bash "$ROOT/scripts/setup"
  else
    echo "scripts: not root, assuming the packages of scripts/setup are installed" >&2
  fi
}

# build_native [STUBS [TARGET...]]: the native build (build/linux). STUBS is
# a folder with the 32-bit Windows appliers that its builder ships (a
# Windows build's folder); without it the native build cross-builds them.
# Without targets, everything, tests included.
build_native() {
  local stubs=${1:-}
  shift || true
  cmake -S "$ROOT" -B "$BUILD/linux" -G Ninja -DCMAKE_BUILD_TYPE=Release -DVERDELIN_STUB_PROGRAMS="$stubs" \
    >"$BUILD/cmake-linux.log" 2>&1 || { cat "$BUILD/cmake-linux.log"; return 1; }
  if [ $# -gt 0 ]; then
    cmake --build "$BUILD/linux" -j "$JOBS" --target "$@"
  else
    cmake --build "$BUILD/linux" -j "$JOBS"
  fi
}

# build_windows TRIPLE DIR [CMAKE_ARG...]: PCRE2 and minizip for that
# triple, then the project (-DVERDELIN_TESTS=OFF: the programs alone).
build_windows() {
  local triple=$1 dir=$2
  shift 2
  bash "$ROOT/scripts/build-mingw-deps" "$triple" "$BUILD/deps/$triple" >"$BUILD/deps-$triple.log" 2>&1 ||
    { cat "$BUILD/deps-$triple.log"; return 1; }
  cmake -S "$ROOT" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-w64.cmake" -DMINGW_TRIPLE="$triple" \
    -DMINGW_DEPS_PREFIX="$BUILD/deps/$triple" "$@" >"$dir.cmake.log" 2>&1 || { cat "$dir.cmake.log"; return 1; }
  cmake --build "$dir" -j "$JOBS"
}

# The sanitizer build (build/sanitize): clang with AddressSanitizer and
# UndefinedBehaviorSanitizer, the libraries with libFuzzer's coverage hooks.
# One build serves the unit tests under the sanitizers and the fuzz targets.
# configure_sanitizer_build; then cmake --build "$SANITIZE_BUILD" --target ...
SANITIZE_BUILD=$BUILD/sanitize
configure_sanitizer_build() {
  # DIST_DIR in the build's own folder: this build never lays out a distribution elsewhere.
  cmake -S "$ROOT" -B "$SANITIZE_BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVERDELIN_FUZZ=ON \
    -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DDIST_DIR="$SANITIZE_BUILD/dist" \
    >"$BUILD/cmake-sanitize.log" 2>&1 || { cat "$BUILD/cmake-sanitize.log"; return 1; }
}

# ctest_under_wine DIR: every test of a Windows build, once, two at a time.
# The wineserver has been seen to drop its clients in the middle of a run;
# Wine then prints its own message ("wine client error:...") and the test
# fails for no fault of ours. A failed test whose output carries that
# message runs once more, and the retry is said; any other failure fails
# the run at once.
ctest_under_wine() {
  local dir=$1 rc=0 name failed=() lost=()
  (cd "$dir" && ctest --output-on-failure -j "$JOBS") || rc=$?
  [ "$rc" -ne 0 ] || return 0
  mapfile -t failed < <(sed -n 's/^[0-9]*://p' "$dir/Testing/Temporary/LastTestsFailed.log")
  for name in "${failed[@]}"; do
    # The test's section of ctest's log: from its "N/M Test: NAME" line to its end of output.
    awk -v head="Test: $name" 'index($0, head) && $0 ~ / Test: [^ ]+$/ && substr($0, length($0) - length(head) + 1) == head {on = 1}
                               on && /^<end of output>$/ {exit} on' "$dir/Testing/Temporary/LastTest.log" |
      grep -q 'wine client error:' && lost+=("$name")
  done
  [ "${#failed[@]}" -gt 0 ] && [ "${#lost[@]}" -eq "${#failed[@]}" ] || return 1
  log "retrying ${lost[*]}: the Wine server dropped its clients (\"wine client error:\" in the output)"
  (cd "$dir" && ctest --output-on-failure -R "^($(IFS='|'; echo "${lost[*]}"))\$")
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

# Every self-applying patch carries a stub: the stubs, and the appliers
# they are copies of, stay within 256 KiB each. Prints their sizes.
STUB_BUDGET=262144
check_stub_sizes() {
  local dir=$1 file size bad=0
  while IFS= read -r file; do
    size=$(stat -c %s "$file")
    printf '%9d  %s\n' "$size" "${file#"$dir"/}"
    [ "$size" -le "$STUB_BUDGET" ] ||
      { echo "check_stub_sizes: $file is $size bytes, over the budget of $STUB_BUDGET" >&2; bad=1; }
  done < <(find "$dir" \( -name '*.stb' -o -name pelmora.exe -o -name Pelmo32.exe \) | sort)
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

# Every shipped program and stub carries the resources of
# resources/program.rc: its manifest, its version resource and its icon,
# read back here from the files with the toolchain's resource compiler.
check_resources() {
  local dir=$1 triple=$2 file bad=0
  while IFS= read -r file; do
    local rc name
    rc=$("$triple-windres" -i "$file" -O rc 2>&1) || { echo "check_resources: $file: $rc" >&2; bad=1; continue; }
    case $file in
      *.exe) name=$(basename "$file") ;;
      */cl/*) name=pelmora.exe ;;
      */dirpat/*) name=pelmostub.exe ;;
      *) name=pelmofilestub.exe ;;
    esac
    local want=(
      '1 24 /* RT_MANIFEST */'
      'requestedExecutionLevel level=""asInvoker"" uiAccess=""false""'
      'supportedOS Id=""{35138b9a-5d96-4fbd-8e2d-a2440225f93a}""'  # Windows 7
      'supportedOS Id=""{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}""'  # 8
      'supportedOS Id=""{1f676c76-80e1-4239-95bb-83d0f6d0da78}""'  # 8.1
      'supportedOS Id=""{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}""'  # 10 and 11
      'name=""Microsoft.Windows.Common-Controls"" version=""6.0.0.0""'
      '<gdiScaling xmlns=""http://schemas.microsoft.com/SMI/2017/WindowsSettings"">true</gdiScaling>'
      ' FILEVERSION 2, 2, 4, 0' ' PRODUCTVERSION 2, 2, 4, 0'
      'BLOCK "040904B0"' 'VALUE "Translation", 0x409, 1200'
      'VALUE "CompanyName", "Verdelin developers"'
      'VALUE "ProductName", "Verdelin patching technology"'
      'VALUE "ProductVersion", "2.2d"' 'VALUE "FileVersion", "2.2d"'
      "VALUE \"OriginalFilename\", \"$name\"" 'VALUE "FileDescription", "'
      'VALUE "LegalCopyright", L"Copyright \251 the Verdelin developers"'
      '"PATCHICON" 14 /* RT_GROUP_ICON */'
      # The icon's frames: 16, 24, 32, 48 and 256 (written as 0) pixels.
      '"\020\020\000\000", 1, 32,' '"\030\030\000\000", 1, 32,' '"\040\040\000\000", 1, 32,'
      '"\060\060\000\000", 1, 32,' '"\000\000\000\000", 1, 32,'
    )
    # The stubs also reserve the room that option -R of the builder fills.
    [[ $file == *.stb ]] && want+=('VALUE "Reserved", 0x0, 0,')
    local w
    for w in "${want[@]}"; do
      grep -qF -- "$w" <<<"$rc" || { echo "check_resources: $file lacks $w" >&2; bad=1; }
    done
    ! grep -q longPathAware <<<"$rc" || { echo "check_resources: $file is long path aware" >&2; bad=1; }
  done < <(find "$dir" -name '*.exe' -o -name '*.stb')
  return $bad
}

# True when this host runs 32-bit Windows programs: the 32-bit Wine loader
# is installed and runs. Some virtual machines run 64-bit user code only,
# and on some days the package archive cannot supply wine32:i386.
host_runs_32bit() {
  [ -x /usr/lib/wine/wine ] && /usr/lib/wine/wine --version >/dev/null 2>&1
}
