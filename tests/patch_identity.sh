#!/usr/bin/env bash
# The same trees give the same patch file from the native builder and from
# the Windows builder under Wine (file patch and directory patch, with and
# without compression, the compact encoder's too with either body, plain and executable). For executable patches both
# builders are copied into one folder with the native build's stub tree,
# so that the comparison is of the builders alone. A tree with names outside
# ASCII gives the same patch too (names are code page 1252 in both), each
# builder's patch of it is applied by the other side's pelmora (found beside
# each builder), and a name code page 1252 cannot hold is refused by both
# with the same message, each naming a pattern for it in what its console
# shows, and left out by both when a pattern names it.
#   tests/patch_identity.sh NATIVE_KESTMAIN WINDOWS_KESTMAIN_EXE RUNNER...
set -u
native=$(realpath "$1") windows=$(realpath "$2")
native_pelmora=$(dirname "$native")/pelmora windows_pelmora=$(dirname "$windows")/pelmora.exe
shift 2
root=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp -r "$root/examples/rocket-1.0" "$work/a"
cp -r "$root/examples/rocket-1.1" "$work/b"
cd "$work" || exit 1
export TZ=UTC  # dates are local times: the same zone on both sides
# Wine takes the ANSI code page from the locale's language (1252 for C and
# English) and the encoding of Unix file names from its codeset.
export LANG=C.UTF-8 LC_ALL=C.UTF-8
passed=0 failed=0
ok() { echo "ok - $1"; passed=$((passed + 1)); }
not_ok() { echo "not ok - $1"; failed=$((failed + 1)); }
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
    ok "$name"
  else
    not_ok "$name: the patch files differ"
  fi
}
# applies NAME PELMORA...: the patch NAME.utp turns a copy of names-a into names-b.
applies() {
  local name=$1
  shift
  rm -rf app && cp -r names-a app
  if "$@" "$name.utp" app </dev/null >/dev/null 2>&1 && diff -r -x Backup app names-b >/dev/null; then
    ok "$name applied by $(basename "${*: -1}")"
  else
    not_ok "$name applied by $(basename "${*: -1}"): the tree differs from the new version"
  fi
}
RUNNER=("$@")
same directory '-d=*' a b
same stored -j a b
same file a/rocket.exe b/rocket.exe
same compact -o '-d=*' a b
same lzma -o=lzma '-d=*' a b
same executable-directory -s '-d=*' a b
same executable-file -s -j a/rocket.exe b/rocket.exe

# A tree whose names need code page 1252, in a subdirectory too.
mkdir -p names-a/Dokumente names-b/Dokumente
for i in $(seq 200); do echo "line $i of the résumé"; done > "names-a/résumé ß.md"
{ cat "names-a/résumé ß.md"; echo "a second version"; } > "names-b/résumé ß.md"
for i in $(seq 100); do echo "Übersicht, Zeile $i"; done > "names-a/Dokumente/Übersicht.txt"
{ echo "neu"; cat "names-a/Dokumente/Übersicht.txt"; } > "names-b/Dokumente/Übersicht.txt"
echo "new and small" > "names-b/Dokumente/Neu €.txt"
same names '-d=*' -j names-a names-b
if LC_ALL=C grep -qF $'Dokumente\\\xdcbersicht.txt' n-names.utp && ! grep -qF 'Übersicht.txt' n-names.utp; then
  ok "names stored in code page 1252"
else
  not_ok "names stored in code page 1252"
fi
applies n-names "${RUNNER[@]}" "$windows_pelmora"
applies w-names "$native_pelmora"

# A name code page 1252 cannot hold: the same refusal, before any patch.
cp -r names-b names-c
echo "x" > "names-c/Dokumente/日本語.md"
"$native" -q names-a names-c n-refused > n-out 2> n-err
n_rc=$?
"${RUNNER[@]}" "$windows" -q names-a names-c w-refused > w-out 2> w-err
w_rc=$?
tr -d '\r' < w-err > w-err.lf
# The way out each names: the name's own characters on a UTF-8 terminal,
# "?" for what a Windows console (code page 850) cannot show.
n_way='leave it out with -i="\Dokumente\日本語.md".' w_way='leave it out with -i="\Dokumente\???.md".'
if [ "$n_rc" = 1 ] && [ "$w_rc" = 1 ] && grep -qF 'names-c\Dokumente\???.md" holds characters' n-err &&
   grep -qF "$n_way" n-err && grep -qF "$w_way" w-err.lf &&
   [ "$(sed "s/-i=\".*\"\.\$//" n-err)" = "$(sed "s/-i=\".*\"\.\$//" w-err.lf)" ] &&
   [ ! -e n-refused.utp ] && [ ! -e w-refused.utp ]; then
  ok "unnamable refused"
else
  not_ok "unnamable refused: exit codes $n_rc and $w_rc, messages:"
  cat n-err w-err.lf
fi
same unnamable-ignored '-i=???.md' '-d=*' names-a names-c
same unnamable-ignored-by-name '-i=\Dokumente\日本語.md' '-d=*' names-a names-c
echo "$passed passed, $failed failed"
exit $((failed > 0))
