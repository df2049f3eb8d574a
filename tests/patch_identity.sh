#!/usr/bin/env bash
# The same trees give the same patch file from the native builder and from
# the Windows builder under Wine (file patch and directory patch, with and
# without compression).
#   tests/patch_identity.sh NATIVE_KESTMAIN WINDOWS_KESTMAIN_EXE RUNNER...
set -u
native=$(realpath "$1") windows=$(realpath "$2")
shift 2
root=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp -r "$root/examples/rocket-1.0" "$work/a"
cp -r "$root/examples/rocket-1.1" "$work/b"
cd "$work" || exit 1
export TZ=UTC  # dates are local times: the same zone on both sides
failed=0
same() {
  local name=$1
  shift
  "$native" -q "$@" "n-$name" > /dev/null 2>&1
  "${RUNNER[@]}" "$windows" -q "$@" "w-$name" > /dev/null 2>&1
  if [[ -s n-$name.utp ]] && cmp -s "n-$name.utp" "w-$name.utp"; then
    echo "ok - $name"
  else
    echo "not ok - $name: the patch files differ"
    failed=$((failed + 1))
  fi
}
RUNNER=("$@")
same directory '-d=*' a b
same stored -j a b
same file a/rocket.exe b/rocket.exe
echo "$((3 - failed)) passed, $failed failed"
exit $((failed > 0))
