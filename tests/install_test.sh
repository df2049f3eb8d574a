#!/usr/bin/env bash
# Installs a native build into a temporary prefix and runs the installed
# programs through their links in bin/, from another working directory: the
# builder must find its stubs and templates beside its real program file.
#   tests/install_test.sh BUILD_DIR
set -u
. "$(dirname "$0")/checks.sh"
build=$(realpath "$1")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix
# The builder's error lines only: its error stream is mostly progress figures.
kest_errors() { tr -d '\b' <"$1" | grep -a -i 'error' | tail -3; }


if ! cmake --install "$build" --prefix "$prefix" >"$work/install.log" 2>&1; then
  not_ok "cmake --install" "$(tail -5 "$work/install.log")"
  checks_done
  exit 1
fi

# --- the layout ------------------------------------------------------------------
lib=$prefix/lib/verdelin
for program in kestmain pelmora; do
  check "bin/$program links to ../lib/verdelin/$program" \
    test "$(readlink "$prefix/bin/$program")" = "../lib/verdelin/$program"
  check "lib/verdelin/$program is a program" test -x "$lib/$program" -a ! -L "$lib/$program"
  check "share/man/man1/$program.1 is installed" test -s "$prefix/share/man/man1/$program.1"
done

# --- the installed programs, from elsewhere --------------------------------------
# Two small trees: a changed file and one that the new tree no longer has.
mkdir -p "$work/elsewhere/old" "$work/elsewhere/new" "$work/elsewhere/tmp"
cd "$work/elsewhere" || exit 1
export TMPDIR=$work/elsewhere/tmp
seq 1 5000 >old/program.dat
seq 1 5000 | sed 's/^2500$/changed/' >new/program.dat
echo obsolete >old/gone.txt

# A plain patch with a text log: the template comes from lib/verdelin.
if "$prefix/bin/kestmain" -l '-d=*' old new plain >kest-plain.txt 2>&1; then
  ok "the installed kestmain writes a plain patch"
  check "its log is written from the installed template" grep -q 'Verdelin Log File' plain.log
else
  not_ok "the installed kestmain writes a plain patch" "$(kest_errors kest-plain.txt)"
fi

cp -a old app
if "$prefix/bin/pelmora" plain.utp app </dev/null >pelmora.txt 2>&1; then
  ok "the installed pelmora applies it"
  check "the tree is the new version" diff -r -x Backup new app
  check "the obsolete file went to the backup directory" test -f app/Backup/gone.txt
else
  not_ok "the installed pelmora applies it" "$(tail -5 pelmora.txt)"
fi

# The stubs are Windows programs made by the cross build; a build without a
# cross compiler and without VERDELIN_STUB_PROGRAMS ships none.
if grep -q '^MINGW_I686_CXX:FILEPATH=.*NOTFOUND' "$build/CMakeCache.txt" &&
   ! grep -q '^VERDELIN_STUB_PROGRAMS:PATH=.' "$build/CMakeCache.txt"; then
  echo "skip - self-applying patch: this build ships no stubs"
elif "$prefix/bin/kestmain" -s '-d=*' old new selfapply >kest-s.txt 2>&1; then
  ok "the installed kestmain writes a self-applying patch"
  check "it starts with MZ" test "$(head -c 2 selfapply.exe)" = MZ
  check "it is larger than the plain patch" test "$(stat -c %s selfapply.exe)" -gt "$(stat -c %s plain.utp)"
else
  not_ok "the installed kestmain writes a self-applying patch" "$(kest_errors kest-s.txt)"
fi

# --- the manual pages ----------------------------------------------------------------
if command -v man >/dev/null; then
  for program in kestmain pelmora; do
    page=$prefix/share/man/man1/$program.1
    MANWIDTH=80 man -l --warnings "$page" >man.txt 2>man-err.txt
    if [ $? -eq 0 ] && [ ! -s man-err.txt ] && grep -q '^SYNOPSIS' man.txt; then
      ok "man -l renders $program.1 without warnings"
    else
      not_ok "man -l renders $program.1 without warnings" "$(head -5 man-err.txt)"
    fi
  done
else
  echo "skip - manual pages: man is not installed (scripts/setup installs man-db)"
fi

checks_done
