#!/usr/bin/env bash
# Runs the built builder and compares its standard output, error stream and
# exit code with what a user must see.
#   tests/kestmain_transcripts.sh PROGRAM [RUNNER...]
# With a runner (Wine for a Windows build) the outputs are taken as CP850
# with CR LF line ends and turned into UTF-8 with LF before comparing.
set -u
# wait_for and the counters; the checks below are this script's own.
. "$(dirname "$0")/checks.sh"
prog=$(realpath "$1")
shift
runner=("$@")
work=$(mktemp -d)
trap 'restore_win_ini; rm -rf "$work"' EXIT
passed=0 failed=0

windows=0
[ "${#runner[@]}" -gt 0 ] && windows=1

# German mode comes from win.ini in the Windows directory. Natively that is
# the directory named by "windir"; Wine sets "windir" itself, so the
# prefix's own win.ini is changed for the German cases and restored after.
win_ini_saved=""
german_on() {
  if [ "$windows" = 1 ]; then
    local ini=$WINEPREFIX/drive_c/windows/win.ini
    [ -n "$win_ini_saved" ] || { win_ini_saved=$work/win.ini.saved; cp "$ini" "$win_ini_saved" 2>/dev/null || : > "$win_ini_saved"; }
    { cat "$win_ini_saved"; printf '\r\n[intl]\r\nsLanguage=deu\r\n'; } > "$ini"
  else
    mkdir -p "$work/windows"
    printf '[intl]\r\nSLANGUAGE=DEU\r\n' > "$work/windows/win.ini"
    export windir=$work/windows
  fi
}
german_off() {
  restore_win_ini
  unset windir
}
restore_win_ini() {
  if [ -n "$win_ini_saved" ]; then
    cp "$win_ini_saved" "$WINEPREFIX/drive_c/windows/win.ini"
    win_ini_saved=""
  fi
}

normalise() {
  if [ "$windows" = 1 ]; then tr -d '\r' | iconv -f CP850 -t UTF-8; else cat; fi
}

# check NAME RC STDOUT STDERR ARGS... : runs the program with ARGS.
check() {
  local name=$1 rc=$2 out=$3 err=$4
  shift 4
  timeout 60 "${runner[@]}" "$prog" "$@" >"$work/out" 2>"$work/err"
  local got_rc=$?
  local got_out got_err
  got_out=$(normalise <"$work/out"; echo x)
  got_err=$(normalise <"$work/err"; echo x)
  got_out=${got_out%x} got_err=${got_err%x}
  if [ "$got_rc" = "$rc" ] && [ "$got_out" = "$out" ] && [ "$got_err" = "$err" ]; then
    passed=$((passed + 1))
    echo "ok - $name"
  else
    failed=$((failed + 1))
    echo "not ok - $name"
    [ "$got_rc" = "$rc" ] || echo "  exit code $got_rc, expected $rc"
    [ "$got_out" = "$out" ] || diff <(printf '%s' "$out") <(printf '%s' "$got_out") | sed 's/^/  stdout: /'
    [ "$got_err" = "$err" ] || diff <(printf '%s' "$err") <(printf '%s' "$got_err") | sed 's/^/  stderr: /'
  fi
}

banner='Kestrune 2.2d patching technology - builder of binary patch files
Made by the Verdelin developers, support@verdelin.example

'
usage='Usage: kestrune start [start2 start3 ...] end patchname

start: Path to file(s) or directories to be updated.
end: Path to what the patch file should create from the start states.
patchname: Filename of the patch to be generated.

-s: Create executable patch. Use -s=gui for a real windows interface.
-f: Force patching of identical files instead of skipping them.
-z: Automatic packing of created patchfile. Default is internal zip
    creation method. Use -z=packer to use installed InfoZip, LHA, RAR,
    GZip, PKZip, ARJ, JAR. (See docs on how to change default.)
-i: Ignore file patterns. -i=pattern global, -is=pattern in source
    states only, -if=pattern final states only. See manual for more.
-e: Require files matching -e=pattern in final state to be patched
    from identical filenames in source state and disallow other files.
-u: Allow file matching -u=pattern to not find sources files therefore
    not to be created when applying the patch. Refuse patching normally.
-d: Enable automatic cleanup of obsolete files.
-w: Threads that examine the files of a directory patch, -w=1 to -w=64.
    Default: one per processor core. The patch is the same for any number.
-o: Smaller patches: a compact search and encoding of each delta, slower
    and with more memory. Applies with every applier. -o=lzma: smaller
    still, the patch body as LZMA (format 221, appliers of this version).
-V-: No check of the finished patch. By default it is read back and each
    delta applied to the start state it was made from.
-R: Names for the version resource of an executable patch, given as
    -R=ProductName=text, also CompanyName, FileDescription, FileVersion,
    ProductVersion, LegalCopyright. a.b.c.d versions set the numbers too.
'
unset VERDELIN_OPTS windir

# --- start-up, usage, version -----------------------------------------------
check "no arguments: banner, usage, exit 1" 1 "$banner$usage" ""
check "only a patch name: usage" 1 "$banner$usage" "" out
check "-h with states: usage" 1 "$banner$usage" "" a b out -h
VERDELIN_OPTS=-help check "-help from VERDELIN_OPTS" 1 "$banner$usage" "" a b out
check "-v: banner, empty error line" 1 "$banner" $'\n' -v
check "-version stops before later words" 1 "$banner" $'\n' -version -B=99999

# A target without states, wherever -n stands and whatever its form: the
# usage text, never a crash.
check "-n with nothing after it" 1 "$banner$usage" "" a b -n p
check "-n=win with nothing after it" 1 "$banner$usage" "" a b -n=win p
check "two -n with nothing after them" 1 "$banner$usage" "" a b -n -n=sys p
check "a third target without states" 1 "$banner$usage" "" a b -n=ext c d -n=sys p
check "-n=Windows, then only the patch name" 1 "$banner$usage" "" -n=Windows p

# --- the job refuses missing states before writing anything -----------------
check "two states and a patch name, the end file missing" 1 "$banner" $'Error, can\'t find file "b.dat"!\n\n' \
  a.dat b.dat out
VERDELIN_OPTS='-B=20 -q -c="a b" -y=$1F' check "options from both places, then a missing end directory" 1 \
  "$banner" $'Error, "e1" does not exist or is not a directory. Please note that Verdelin will\npatch directories into directories or files into files, but a mixture does not make\nsense.\n\n' \
  -B=100 -9 -r -j -C30 -m=16 -b=Old -d!=*.bak s1 e1 -n=win -is=*.tmp s2 e2 p -s=gui -t=latest -logfile=html -Z=RAR -x
check "-k with slashes and the default value, then a missing end file" 1 "$banner" \
  $'Error, can\'t find file "b"!\n\n' '-k="Software/Acme/Tool/@"' a b out

# --- refusals ---------------------------------------------------------------
VERDELIN_OPTS='-q file.dat' check "file name in VERDELIN_OPTS" 1 "$banner" \
  'Error, supposed file paramter "file.dat" may no occur in VERDELIN_OPTS!
' a b out
check "-B above range" 1 "$banner" 'Error, only values 0..10000 are valid for option -B !
' a b out -B=10001
check "-B below range" 1 "$banner" 'Error, only values 0..10000 are valid for option -B !
' -B=-1 a b out
check "-B not a number" 1 "$banner" 'Error, option "-B" requires numerical parameter!
' -B=ten
check "-C range" 1 "$banner" 'Error, only values 10..255 are valid for option "-C" !
' -C=9
check "-C not a number" 1 "$banner" 'Error, option "-C" requires numerical parameter!
' -C
check "-P range" 1 "$banner" 'Error, only values 10..10000 are valid for option "-P" !
' -P=10001
check "-P not a number" 1 "$banner" 'Error, option "-P" require numerical parameter!
' -P=1.5
check "-m zero" 1 "$banner" 'Error, only values larger than "0" are valid for option "-m"!
' -m=0
check "-m not a number" 1 "$banner" 'Error, option "-m" require numerical parameter!
' -m
check "unknown option" 1 "$banner" 'Error, unknown option "-W"!
' -W
check "no further information" 1 "$banner" 'Error, no further information for option "-q" expected!
' -quietly
check "words after a refused word are not read" 1 "$banner" 'Error, unknown option "-W"!
' -W -B=99999
check "-k for a Windows-directory target goes to stdout" 1 \
  "$banner"'Error, cannot provide registry autofind information for windows directory or windows system targets
' "" -n=win '-k=X\Y'
check "two -k for one target" 1 \
  "$banner"'Error, cannot provide two registry autofind keys for the same target!
' "" '-k=A\B' '-k=C\D'
check "a 76-character comment line" 1 "$banner" 'Error, the comment exceeds the limit of 10 lines of 75 characters.
' "-c=$(printf '%076d' 0)"
printf 'Version 1.2 of the rocket editor, made for all of its users.\nClose it first, please.\n' >"$work/lf-comment.txt"
cd "$work" || exit 1
check "a comment file with LF line ends" 1 "$banner" 'Error, the comment file "lf-comment.txt" has LF line ends: only CR LF ends a line there, so its lines run together beyond 75 characters. Save it with CR LF line ends.
' -c=@lf-comment.txt
cd - >/dev/null || exit 1
long_opts="-q$(printf ' -r%.0s' $(seq 1 333))"
VERDELIN_OPTS=$long_opts check "VERDELIN_OPTS over 999 characters" 1 "$banner" \
  'Error, VERDELIN_OPTS holds more than 999 characters!
' a b out
check "21 states for one target" 1 "$banner" \
  'Error, a target may have at most 20 states (19 start states and the end state), "s20" would be one more!
' s{0..20} out
check "-A" 1 "$banner" 'Error, extended attributes (EA) are OS feature specific for OS/2 platform
' -A
check "-R without a value" 1 "$banner" 'Error, option "-R" requires a key and a value, as in -R=ProductName=text!
' -R=ProductName
check "-R with an unknown key" 1 "$banner" 'Error, unknown key "Product" for option "-R", known are ProductName, CompanyName, FileDescription, ProductVersion, FileVersion and LegalCopyright!
' -R=Product=Rocket
check "-R with a value longer than its room" 1 "$banner" \
  "Error, the value \"$(printf '%041d' 7)\" of \"FileVersion\" given to option \"-R\" is longer than 40 characters!
" "-R=fileversion=$(printf '%041d' 7)"

# --- executable patches: the stub tree beside the program -------------------
# Each -s run must give the stub of its job followed by the plain patch of
# the same job, say so with the joined size, and leave no temporary file.
stubs=$(dirname "$(realpath "$prog")")/stubs
cd "$work" || exit 1
mkdir -p tmp o n
export TMPDIR=$work/tmp TMP=$work/tmp TEMP=$work/tmp
seq 1 3000 >old.txt
{ seq 1 1000; echo changed; seq 1001 3100; } >new.txt
cp old.txt o/a.txt
cp new.txt n/a.txt
echo new >n/b.txt
temporaries() { find "$work/tmp" "${WINEPREFIX:-/nonexistent}/drive_c/users" -iname 'ks*' 2>/dev/null | wc -l; }
size_of() { wc -c <"$1" | tr -d ' '; }
# joined NAME VARIANT OUTPUT ARGS...: ARGS hold -s and the states; VARIANT
# is the stub's folder below stubs/ (cl/Win32/comp/filepat, ...).
joined() {
  local name=$1 variant=$2 output=$3 a
  shift 3
  local plain=()
  for a in "$@"; do [[ $a == -s* ]] || plain+=("$a"); done
  rm -f "$output" plain.utp
  timeout 60 "${runner[@]}" "$prog" -q "${plain[@]}" plain >/dev/null 2>&1
  local before
  before=$(temporaries)
  timeout 60 "${runner[@]}" "$prog" -q "$@" p >out 2>err
  local rc=$? stub=$stubs/$variant/nolocal/pelmora.stb
  local want
  want="Created executable patch file \"$output\" with $(( $(size_of "$stub") + $(size_of plain.utp) )) Bytes."
  local last
  last=$(normalise <out | tail -1)
  if [ "$rc" = 0 ] && [ "$last" = "$want" ] && cmp -s <(cat "$stub" plain.utp) "$output" &&
     [ "$(temporaries)" = "$before" ]; then
    passed=$((passed + 1))
    echo "ok - $name"
  else
    failed=$((failed + 1))
    echo "not ok - $name"
    echo "  exit code $rc; last line: $last (expected: $want); temporaries: $before -> $(temporaries)"
    cmp <(cat "$stub" plain.utp) "$output" 2>&1 | sed 's/^/  /'
  fi
  rm -f "$output"
}
joined "-s: console stub of a compressed file patch" cl/Win32/comp/filepat p.exe -s old.txt new.txt
joined "-s=fx: console stub of a directory patch" cl/Win32/comp/dirpat p.exe -s=fx o n
joined "-j -s: console stub of a stored file patch" cl/Win32/nocomp/filepat p.exe -j -s old.txt new.txt
joined "-s -j, two targets: console stub of a stored directory patch" cl/Win32/nocomp/dirpat p.exe -s -j o n -n=win o n
# The local-stub marker makes the patch data differ from the plain patch;
# the in-process tests look inside it.
timeout 60 "${runner[@]}" "$prog" -q -s=loc old.txt new.txt p >out 2>err
if [ $? = 0 ] && cmp -s -n "$(size_of "$stubs/cl/Win32/comp/filepat/nolocal/pelmora.stb")" \
     "$stubs/cl/Win32/comp/filepat/nolocal/pelmora.stb" p.exe; then
  passed=$((passed + 1)); echo "ok - -s=loc: the console stub"
else
  failed=$((failed + 1)); echo "not ok - -s=loc: the console stub"
fi
rm -f p.exe
missing() {
  printf '\nError, can'"'"'t find "%s" in directory of the calling\nKestrune, though it'"'"'s required to build executeable patchfiles of this type!\n\n' "$1"
}
# contains NAME RC FILE TEXT ARGS...: the exit code, and TEXT in FILE (out or err).
contains() {
  local name=$1 rc=$2 file=$3 text=$4
  shift 4
  timeout 60 "${runner[@]}" "$prog" "$@" >out 2>err
  local got_rc=$?
  if [ "$got_rc" = "$rc" ] && [[ "$(normalise <"$file")" == *"$text"* ]]; then
    passed=$((passed + 1)); echo "ok - $name"
  else
    failed=$((failed + 1)); echo "not ok - $name"; echo "  exit code $got_rc"; normalise <"$file" | sed 's/^/  /'
  fi
}
missing() {
  printf 'Error, can'"'"'t find "%s" in directory of the calling\nKestrune, though it'"'"'s required to build executeable patchfiles of this type!\n' "$1"
}
joined "-s=gui: windowed stub of a compressed file patch" gui/Win32/comp/filepat p.exe -s=gui old.txt new.txt
joined "-s=gui -j: windowed stub of a stored directory patch" gui/Win32/nocomp/dirpat p.exe -s=gui -j o n
contains "-s=GUI16, a directory: no Win16 stub" 1 err "$(missing 'stubs\gui\Win16\comp\dirpat\nolocal\pelmora.stb')" \
  -q -s=GUI16 o n p
[ ! -e p.exe ] && [ "$(temporaries)" = 0 ] && { passed=$((passed + 1)); echo "ok - a missing stub leaves nothing"; } ||
  { failed=$((failed + 1)); echo "not ok - a missing stub leaves nothing"; }
contains "a name ending in .EXE is kept" 0 out 'Created executable patch file "P.EXE" with' -q -s old.txt new.txt P.EXE
[ -e P.EXE ] && [ ! -e P.EXE.exe ] && { passed=$((passed + 1)); echo "ok - P.EXE written as named"; } ||
  { failed=$((failed + 1)); echo "not ok - P.EXE written as named"; }
german_on
contains "German report line" 0 out 'Ausführbare Patchdatei "P.EXE" mit' -q -s old.txt new.txt P.EXE
german_off
contains "-R on a plain patch: left out with a notice" 0 out \
  'Notice, the values of option "-R" are left out: only an executable patch (-s) has a version resource.' \
  -R=ProductName=Rocket old.txt new.txt pr

# --- archives: -z packs the output after the report line --------------------
# verdict NAME CONDITION...: counts CONDITION (a command) as a case; the
# program's exit code is in $rc.
verdict() {
  local name=$1
  shift
  if "$@"; then
    passed=$((passed + 1)); echo "ok - $name"
  else
    failed=$((failed + 1)); echo "not ok - $name"; normalise <out | tail -3 | sed 's/^/  out: /'
    normalise <err | tail -3 | sed 's/^/  err: /'
  fi
}
last_line_is() { [ "$(normalise <out | tail -1)" = "$1" ]; }
zip_holds() { unzip -tq "$1" >/dev/null && unzip -p "$1" "$2" | cmp -s - "$2"; }
no_marker() { ! ls -d marker* >/dev/null 2>&1; }
rm -f p.zip p.utp
timeout 60 "${runner[@]}" "$prog" -q -z old.txt new.txt p >out 2>err; rc=$?
verdict "-z: the internal zip holds p.utp" eval '[ $rc = 0 ] && zip_holds p.zip p.utp &&
  last_line_is "Compressed patch file into archive \"p.zip\" with $(size_of p.zip) Bytes."'
# Its entry's date is a valid one, the zip format's first day (zipinfo -T
# prints it as yyyymmdd.hhmmss).
verdict "-z: the entry is dated 1980-01-01 00:00" eval '[ "$(zipinfo -T p.zip p.utp | awk "{print \$7}")" = 19800101.000000 ]'
# Not p.exe: under Wine that name would open the P.EXE made above.
german_on
timeout 60 "${runner[@]}" "$prog" -q -s -z old.txt new.txt sz >out 2>err; rc=$?
verdict "-s -z: German report, the zip holds sz.exe" eval '[ $rc = 0 ] && zip_holds sz.zip sz.exe &&
  last_line_is "Patchdatei in Archiv \"sz.zip\" mit $(size_of sz.zip) Bytes gepackt."'
german_off
timeout 60 "${runner[@]}" "$prog" -q -z old.txt new.txt 'a&mkdir marker' >out 2>err; rc=$?
verdict "-z: a name with a command in it is a name" eval '[ $rc = 0 ] && zip_holds "a&mkdir marker.zip" "a&mkdir marker.utp" && no_marker'
if [ "$windows" = 1 ]; then
  # No archiver under Wine: the Windows build's stand-in zip.exe, which lists
  # its arguments in packer-args.txt, writes "fake archive" and exits with 3.
  fake=${VERDELIN_FAKE_PACKERS:-}
  if [ -n "$fake" ] && [ -e "$fake/zip.exe" ]; then
    rm -f packer-args.txt
    WINEPATH="Z:${fake//\//\\}" timeout 60 "${runner[@]}" "$prog" -q -z=infozip old.txt new.txt 'a&mkdir marker' >out 2>err
    rc=$?
    verdict "-z=infozip through cmd.exe: names arrive whole, a failing packer's archive counts" eval '[ $rc = 0 ] &&
      [ "$(cat "a&mkdir marker.zip")" = "fake archive" ] && no_marker &&
      [ "$(tr -d "\r" <packer-args.txt)" = "$(printf -- "-9\n-g\n-q\n-X\n-j\na&mkdir marker.zip\na&mkdir marker.utp")" ] &&
      last_line_is "Compressed patch file into archive \"a&mkdir marker.zip\" with 12 Bytes."'
  else
    echo "ok - # SKIP no stand-in zip.exe (VERDELIN_FAKE_PACKERS)"
  fi
else
  if command -v zip >/dev/null; then
    timeout 60 "$prog" -q -z=infozip old.txt new.txt "it's;touch marker" >out 2>err; rc=$?
    verdict "-z=infozip: zip.exe runs as zip, the name stays one word" eval '[ $rc = 0 ] &&
      zip_holds "it'"'"'s;touch marker.zip" "it'"'"'s;touch marker.utp" && no_marker'
  fi
  if command -v gzip >/dev/null; then
    rm -f p.gz
    timeout 60 "$prog" -q -z=gzip old.txt new.txt p >out 2>err; rc=$?
    verdict "-z=gzip: p.gz unpacks to p.utp, which stays" eval '[ $rc = 0 ] && gzip -dc p.gz | cmp -s - p.utp &&
      last_line_is "Compressed patch file into archive \"p.gz\" with $(size_of p.gz) Bytes."'
  fi
fi
contains "-z=arj: no arj on the path, nothing examined" 1 err 'Error, packer executable "arj.exe" could not be found in path' \
  -z=arj old.txt new.txt q
verdict "-z=arj: no patch written" eval '[ ! -e q.utp ] && ! grep -q Examining out'

# --- files of 4 GiB or more: refused before any output exists ----------------
# Sparse files: a new file with a source, one without (embedded), an old
# file, and a start state that is one file.
limit="Bytes: a patch file holds files of at most 4294967295 Bytes (4 GiB - 1)."
for size in 4294967296 4294967306; do
  for case in "changed:big/new/a.txt" "embedded:big/new/added.bin" "old:big/old/a.txt" "file:big.old"; do
    rm -rf big big.old
    mkdir -p big/old big/new
    echo small >big/old/a.txt
    echo changed >big/new/a.txt
    echo old >big.old
    truncate -s "$size" "${case#*:}"
    if [ "${case%%:*}" = file ]; then states=(big.old big/new/a.txt); else states=(big/old big/new); fi
    contains "$size bytes, ${case%%:*}: refused" 1 err "$limit" -q "${states[@]}" big
    verdict "$size bytes, ${case%%:*}: no patch, no temporary" eval '[ ! -e big.utp ] && [ "$(temporaries)" = 0 ]'
  done
done
rm -rf big big.old

# --- names code page 1252 cannot hold: patterns match names as written -------
# 日本.txt is listed as "??.txt" in the code page, and ab.txt matches the
# pattern "??.txt": a pattern with the name's own characters leaves out that
# file alone, given on the command line or in VERDELIN_OPTS.
mkdir -p jp/old jp/new
seq 1 300 >jp/old/ab.txt
cp jp/old/ab.txt jp/old/日本.txt
echo "gone from the new version" >jp/old/cd.txt
{ seq 1 300; echo changed; } >jp/new/ab.txt
cp jp/new/ab.txt jp/new/日本.txt
# A Windows console shows "\??.txt" of the name, which ab.txt matches too.
jp_advice='-i="\日本.txt".'
[ "$windows" = 1 ] && jp_advice='-i and a pattern that matches no other file.'
contains "a name code page 1252 cannot hold: refused with a pattern for it alone" 1 err \
  "Error, the name of \"jp/old\\??.txt\" holds characters that Windows' ANSI code page 1252 cannot hold,
so no patch can name it. Rename it, or leave it out with $jp_advice" -q jp/old jp/new jp
ignored_lines() { normalise <out | grep -c 'ignored due to pattern'; }
contains "-i=日本.txt: ab.txt is patched" 0 out 'Examining "ab.txt" to "ab.txt"' -i=日本.txt jp/old jp/new jp
verdict "... and only 日本.txt is left out, in both states" eval '[ "$(ignored_lines)" = 2 ]'
contains "-i=*本.txt: ab.txt is patched" 0 out 'Examining "ab.txt" to "ab.txt"' '-i=*本.txt' jp/old jp/new jp
verdict "... and only 日本.txt is left out" eval '[ "$(ignored_lines)" = 2 ]'
VERDELIN_OPTS='-i=日本.txt' contains "-i=日本.txt from VERDELIN_OPTS: ab.txt is patched" 0 out \
  'Examining "ab.txt" to "ab.txt"' jp/old jp/new jp
verdict "... and only 日本.txt is left out" eval '[ "$(ignored_lines)" = 2 ]'
contains "-i=??.txt leaves out ab.txt as well" 0 out 'File "jp/new\ab.txt" ignored due to pattern "??.txt".' \
  '-i=??.txt' jp/old jp/new jp
[ "$windows" = 0 ] && contains "the pattern of the refusal, typed back" 0 out 'Examining "ab.txt" to "ab.txt"' \
  '-i=\日本.txt' jp/old jp/new jp
contains "-d=日本.txt removes no other file" 0 out 'Created plain patch file "jp.utp"' -i=日本.txt -d=日本.txt \
  jp/old jp/new jp
verdict "... so cd.txt stays" eval '! normalise <out | grep -q "Inserting remove instruction"'
contains "-d=??.txt removes cd.txt" 0 out 'Inserting remove instruction for "cd.txt" due to pattern "??.txt".' \
  -i=日本.txt '-d=??.txt' jp/old jp/new jp
rm -f jp-d.utp
contains "-D with a name code page 1252 cannot hold: refused" 1 err \
  'given to option "-D" holds characters that Windows'"'"' ANSI code page 1252 cannot hold, so no patch can name it!' \
  -D=日本.txt -i=日本.txt jp/old jp/new jp-d
verdict "... before any work" eval '[ ! -e jp-d.utp ] && ! normalise <out | grep -q Examining'
rm -rf jp jp.utp

# --- logs: the templates of the distribution folder --------------------------
timeout 60 "${runner[@]}" "$prog" -q -l o n lg >out 2>err; rc=$?
verdict "-l: the text log of a directory patch" eval '[ $rc = 0 ] && head -1 lg.log | grep -q "^Verdelin Log File" &&
  grep -q "^Patched files: 1" lg.log && grep -q "^Embedded files (no source, stored whole): 1" lg.log'
timeout 60 "${runner[@]}" "$prog" -q -l=html old.txt new.txt lg >out 2>err; rc=$?
verdict "-l=html: the HTML log of a file patch replaces the earlier log" eval '[ $rc = 0 ] &&
  grep -q "<h2>Patched files: 1</h2>" lg.log && ! grep -q "Embedded files" lg.log'
echo "my notes" >lg.log
contains "-l: a file of the log's name that is no log stays" 1 err 'exists and is no log file of this program' \
  -q -l old.txt new.txt lg
verdict "... and so does the earlier patch" eval '[ "$(cat lg.log)" = "my notes" ] && [ -s lg.utp ]'

# --- interrupts: the program's handler deletes an incomplete patch and log ---
# A start state holding a FIFO keeps the job in its scan, after the patch
# and the log were created: the signal always finds both incomplete.
# Natively only: FIFOs and these signals are the POSIX side's.
if [ "$windows" = 0 ]; then
  rm -rf held
  mkdir -p held/old held/new
  cp old.txt held/old/a.txt
  cp new.txt held/new/a.txt
  mkfifo held/old/waiting
  for sig in INT TERM; do
    rm -f held.utp held.log opened
    # The FIFO's writer: its open returns once the job opens the FIFO in its
    # scan, which comes after the patch and the log were made and
    # registered; it then holds the FIFO open (until it is killed below), so
    # the job waits in its read.
    (exec 3>held/old/waiting; touch opened; exec tail -f /dev/null) &
    writer=$!
    "$prog" -l held/old held/new held >out 2>err &
    pid=$!
    wait_for 30 test -e opened
    kill -s "$sig" "$pid"
    # A program without its handler may go on waiting (a background job
    # ignores SIGINT): it is stopped, and the case fails.
    wait_for 10 eval '! kill -0 "$pid" 2>/dev/null'
    kill -s KILL "$pid" "$writer" 2>/dev/null
    wait "$pid"; rc=$?
    wait "$writer" 2>/dev/null
    verdict "SIG$sig during the job: exit code 1, the patch and the log deleted, each said" eval '[ $rc = 1 ] &&
      [ ! -e held.utp ] && [ ! -e held.log ] && grep -q "^Deleting incomplete patch file \"held.utp\"\.$" err &&
      grep -q "^Deleting incomplete log file \"held.log\"\.$" err'
  done
  rm -rf held
fi
cd - >/dev/null || exit 1

# --- German -----------------------------------------------------------------
german_on
check "German refusal from win.ini" 1 "$banner" 'Fehler, nur Werte 0..10000 sind zulässig für Option -B !
' -B=10001
check "German -m text" 1 "$banner" 'Fehler, nur Werte größer 0 sind zulässig für Option "-m"!
' -m=0
check "German unknown option" 1 "$banner" 'Fehler, unbekannte Option "-W"!
' -W
check "German unknown -R key" 1 "$banner" 'Fehler, unbekannter Schlüssel "Firma" bei Option "-R", bekannt sind ProductName, CompanyName, FileDescription, ProductVersion, FileVersion und LegalCopyright!
' -R=Firma=Rocket
german_off
check "English again without the key" 1 "$banner" 'Error, unknown option "-W"!
' -W

echo "$passed passed, $failed failed"
[ "$failed" = 0 ]
