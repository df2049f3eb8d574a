#!/usr/bin/env bash
# The same trees give the same patch file from the native builder and from
# the Windows builder under Wine (file patch and directory patch, with and
# without compression, plain and executable). For executable patches both
# builders are copied into one folder with the native build's stub tree,
# so that the comparison is of the builders alone.
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
mkdir dist
cp "$native" "$windows" dist/
cp -r "$(dirname "$native")/stubs" dist/
native=$work/dist/$(basename "$native") windows=$work/dist/$(basename "$windows")
# same NAME [-s] ARGS...: the two builders' outputs of ARGS are equal.
same() {
  local name=$1 ext=utp
  shift
  [ "$1" = -s ] && ext=exe
  "$native" -q "$@" "n-$name" > /dev/null 2>&1
  "${RUNNER[@]}" "$windows" -q "$@" "w-$name" > /dev/null 2>&1
  if [[ -s n-$name.$ext ]] && cmp -s "n-$name.$ext" "w-$name.$ext"; then
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
same executable-directory -s '-d=*' a b
same executable-file -s -j a/rocket.exe b/rocket.exe
echo "$((5 - failed)) passed, $failed failed"
exit $((failed > 0))
