#!/usr/bin/env bash
# Runs the built console applier as a user would: its texts and exit codes,
# a patch joined behind a copy of the program, the key wait that ends by
# itself, a registry target, and a disk too full for the new file.
#   tests/pelmora_transcripts.sh PELMORA KESTMAIN [RUNNER...]
# With a runner (Wine), both are Windows programs: the output is taken with
# CR LF line ends, and the registry lives in the prefix.
set -u
. "$(dirname "$0")/checks.sh"
pelmora=$(realpath "$1")
kest=$(realpath "$2")
shift 2
runner=("$@")
windows=0
[ "${#runner[@]}" -gt 0 ] && windows=1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
kestmain() { "${runner[@]}" "$kest" "$@"; }
cd "$work"
export TMPDIR=$work/tmp TMP=$work/tmp TEMP=$work/tmp
mkdir -p tmp

# run [ENV=...] -- ARGS... : runs pelmora with stdin from $input (default
# none); leaves the exit code in $rc and the output (LF line ends) in $out.
input=/dev/null
run() {
  timeout 120 "${runner[@]}" "$pelmora" "$@" <"$input" >out.txt 2>err.txt
  rc=$?
  out=$(tr -d '\r' <out.txt)
}
expect() {  # expect NAME RC TEXT: the exit code, and TEXT somewhere in the output
  # On a failure the program's error output is shown too: Wine's own messages
  # (a lost server) go there, and the test runner retries on them.
  if [ "$rc" = "$2" ] && [[ "$out" == *"$3"* ]]; then ok "$1"
  else not_ok "$1" "exit code $rc (expected $2)" "output: $out" "errors: $(tr -d '\r' <err.txt 2>/dev/null)"; fi
}
same_tree() {  # same_tree NAME A B: equal files, the backup directory left out
  if diff -r -x Backup "$2" "$3" >diff.txt; then ok "$1"; else not_ok "$1" "$(head -5 diff.txt)"; fi
}
no_temporaries() {
  local left
  left=$(find . -name 'VDX*.tmp' | head -3)
  if [ -z "$left" ]; then ok "$1: no temporary left"; else not_ok "$1: temporaries left" "$left"; fi
}

banner='Pelmora 2.2d patching technology'
usage='Usage: Pelmora [-t] [-auto] [-y] patchname [oldpath [newpath]]
       Pelmora -i[=json] patchname'

# --- command line -----------------------------------------------------------
run
expect "no arguments: banner and usage" 1 "$banner
$usage"
run -x
expect "an unknown option" 1 "Illegal option \"-x\" used!$usage"
run a b c d
expect "four positional arguments" 1 "Too many parameters!$usage"
run -h
expect "-h" 0 "$usage"
run missing.utp
expect "a missing patch file" 1 'Error, cannot open patch file "missing.utp" for reading!'
printf 'no patch' >np.utp
run np.utp
expect "a file that is no patch" 1 'Error, "np.utp" unreadable or not a patch file.'

# --- a tree: changed, added, removed files ------------------------------------
mkdir -p old/sub new/sub
seq 1 20000 >old/program.exe
seq 1 20000 | sed 's/^1234$/changed/' >new/program.exe
seq 5 3000 >old/sub/data.txt
seq 5 3100 >new/sub/data.txt
echo obsolete >old/old.dll
echo fresh >new/added.txt
kestmain -q '-d=*' old new p >kest.txt 2>&1 || { cat kest.txt; exit 1; }

cp -a old app
run p.utp app
expect "applying a directory patch" 0 "Updating file \"program.exe\": (ok)
Updating file \"sub\\data.txt\": (ok)"
same_tree "the tree is the new version" new app
[ -f app/Backup/old.dll ] && ok "the obsolete file is in the backup directory" || not_ok "obsolete file backup"
no_temporaries "apply"

cp -a old app2
run -t p.utp app2
expect "test mode ends saying that nothing changed" 0 "Ok. Patch file applicable to \"app2\".

Ok, the check succeeded; in test mode no file was changed."
[[ "$out" != *"applied with SUCCESS"* ]] && ok "test mode does not say it applied" || not_ok "test mode says it applied" "output: $out"
same_tree "test mode changes nothing" old app2
run p.utp nosuch
expect "a target path that does not exist is named" 1 'Error, the target path "nosuch" does not exist.'
[[ "$out" != *"cannot create new file"* ]] && ok "... and no file is said to be missing" ||
  not_ok "a missing target's files are said to be missing" "output: $out"

# --- a patch body as one LZMA stream (-o=lzma) ----------------------------------
kestmain -q -o=lzma '-d=*' old new body-lzma >kest.txt 2>&1 || { cat kest.txt; exit 1; }
run -i body-lzma.utp
expect "-i names an LZMA body and its version" 0 "directory patch (kind 2), body compressed (LZMA), format version 221"
run -i=json body-lzma.utp
expect "-i=json names an LZMA body" 0 '"compressed": true, "bodyCoding": "lzma", "formatVersion": 221,'
rm -rf appc && cp -a old appc
run body-lzma.utp appc
expect "an LZMA body applies" 0 "Ok, patch file applied with SUCCESS!"
same_tree "the LZMA body gives the new tree" new appc
no_temporaries "an LZMA body"
# The last stored byte of the LZMA stream changed: the stream no longer
# ends where the header says.
cp body-lzma.utp lzma-damaged.utp
last=$(( $(wc -c <lzma-damaged.utp) - 9 ))
byte=$(od -An -tu1 -j "$last" -N1 lzma-damaged.utp | tr -d ' ')
printf "\\x$(printf %02x $((byte ^ 1)))" | dd of=lzma-damaged.utp bs=1 seek="$last" conv=notrunc status=none
rm -rf appc && cp -a old appc
run lzma-damaged.utp appc
expect "a damaged LZMA body is refused" 1 "Error, patch is corrupted!"
same_tree "the damaged LZMA body changed nothing" old appc
if [ "$windows" = 0 ]; then
  # The decoder's dictionary is what an LZMA body costs in memory: the
  # largest the header may ask for (64 MiB), and no more than the body's
  # size. Set by hand, with a body that claims 70 MB (its stream ends long
  # before, after the last record, which is all an applier reads), the run
  # allocates all 64 MiB within 80 MB (78125 KiB) of address space and
  # applies the patch; with less than the dictionary it ends with the
  # message of memory run out, nothing changed.
  cp body-lzma.utp lzma-64m.utp
  printf '\x00\x00\x00\x04\x80\x1d\x2c\x04' | dd of=lzma-64m.utp bs=1 seek=11 conv=notrunc status=none
  rm -rf appc && cp -a old appc
  (ulimit -v 78125; exec "$pelmora" -y lzma-64m.utp appc </dev/null >out.txt 2>err.txt)
  rc=$? out=$(tr -d '\r' <out.txt)
  expect "a 64 MiB dictionary in 80 MB of address space" 0 "Ok, patch file applied with SUCCESS!"
  same_tree "... the tree is the new version" new appc
  rm -rf appc && cp -a old appc
  (ulimit -v $((48 * 1024)); exec "$pelmora" -y lzma-64m.utp appc </dev/null >out.txt 2>err.txt)
  rc=$? out=$(tr -d '\r' <out.txt)
  expect "a dictionary larger than the memory" 1 "Error, patching stopped on an unexpected error (not enough memory)."
  same_tree "... nothing changed" old appc
  # Claimed by a small body, the same dictionary costs only the body's size.
  cp body-lzma.utp lzma-small.utp
  printf '\x00\x00\x00\x04' | dd of=lzma-small.utp bs=1 seek=11 conv=notrunc status=none
  rm -rf appc && cp -a old appc
  (ulimit -v $((48 * 1024)); exec "$pelmora" -y lzma-small.utp appc </dev/null >out.txt 2>err.txt)
  rc=$? out=$(tr -d '\r' <out.txt)
  expect "a small body's dictionary is its size" 0 "Ok, patch file applied with SUCCESS!"
  same_tree "... the tree is the new version" new appc
  no_temporaries "LZMA bodies and memory"
fi

# --- a copy of the program with the patch behind it -------------------------
self=selfpatch
[ "$windows" = 1 ] && self=selfpatch.exe
cat "$pelmora" p.utp >"$self"
chmod +x "$self"
cp -a old app3
printf ' y' >answers.txt
input=answers.txt
(cd app3 && timeout 120 "${runner[@]}" "../$self" <../answers.txt >../out.txt 2>&1)
rc=$?
out=$(tr -d '\r' <out.txt)
expect "a self-applying patch searches the current directory and asks" 0 \
  "The patch file can be applied to \"current directory\".
Do you want to apply it? (y/n) y"
same_tree "the self-applying patch updated the tree" new app3
input=/dev/null

# --- self-applying patches made by the builder's -s (Windows programs) -------
# self_apply NAME PROGRAM DIR [ARGS...]: runs PROGRAM in DIR with the answers
# ' y' (any key, then yes for the target it finds); output in $out.
self_apply() {
  local name=$1 program=$2 dir=$3
  shift 3
  (cd "$dir" && timeout 120 "${runner[@]}" "$program" "$@" <"$work/answers.txt" >"$work/out.txt" 2>&1)
  rc=$?
  out=$(tr -d '\r' <out.txt)
}
# cut_short NAME FILE FRONT: FILE (a program of FRONT bytes with a patch
# behind it) cut short as a download that stopped leaves it: just behind the
# program, inside the patch header, in the middle, 3 bytes before the end;
# run without arguments and with a target. Each time it says that it is cut
# short and names itself, never shows the usage, and fails.
cut_short() {
  local name=$1 file=$2 front=$3 whole cut args
  whole=$(wc -c <"$file")
  for cut in $((front + 1)) $((front + 40)) $(((front + whole) / 2)) $((whole - 3)); do
    head -c "$cut" "$file" >"cut-$file"
    chmod +x "cut-$file"
    for args in "" app; do
      # shellcheck disable=SC2086 # no argument at all, or one
      self_apply "" "$work/cut-$file" . $args
      if [ "$rc" = 1 ] && [[ "$out" == *"cut-$file\" is cut short: the file ends before its patch data does."* ]] &&
         [[ "$out" == *"download the patch again."* ]] && [[ "$out" != *Usage* ]]; then
        ok "$name: cut to $cut of $whole bytes${args:+, given a target}, it says so"
      else
        not_ok "$name: cut to $cut of $whole bytes${args:+, given a target}" "exit code $rc" "output: $out"
      fi
    done
  done
}
cut_short "a copy of the program with the patch behind it" "$self" "$(wc -c <"$pelmora")"

if [ "$windows" = 1 ]; then
  for body in compressed stored lzma; do
    j=()
    [ "$body" = stored ] && j=(-j)
    [ "$body" = lzma ] && j=(-o=lzma)
    kestmain -q -s "${j[@]}" '-d=*' old new "dp-$body" >kest.txt 2>&1 || { cat kest.txt; exit 1; }
    rm -rf sa && cp -a old sa
    self_apply "" "$work/dp-$body.exe" sa
    expect "-s, $body directory patch: applies itself in the current directory" 0 "Ok, patch file applied with SUCCESS!"
    same_tree "-s, $body directory patch: the tree is the new version" new sa
    kestmain -q -s "${j[@]}" old/program.exe new/program.exe "fp-$body" >kest.txt 2>&1 || { cat kest.txt; exit 1; }
    rm -rf sa && mkdir sa && cp old/program.exe sa/
    self_apply "" "$work/fp-$body.exe" sa
    expect "-s, $body file patch: applies itself" 0 "Ok, patch file applied with SUCCESS!"
    cmp -s sa/program.exe new/program.exe && ok "-s, $body file patch: the new file" || not_ok "-s, $body file patch: file not updated"
  done
  for program in dp-lzma fp-lzma; do
    self_apply "" "$work/$program.exe" . -i
    expect "$program.exe holds an LZMA body" 0 "body compressed (LZMA), format version 221"
  done
  # The console stub for local patches, its body an LZMA stream.
  kestmain -q -s=loc -o=lzma '-d=*' old new dp-local >kest.txt 2>&1 || { cat kest.txt; exit 1; }
  self_apply "" "$work/dp-local.exe" . -i
  expect "dp-local.exe holds an LZMA body" 0 "body compressed (LZMA), format version 221"
  rm -rf sa && cp -a old sa
  self_apply "" "$work/dp-local.exe" sa
  expect "-s=loc, LZMA directory patch: applies itself" 0 "Ok, patch file applied with SUCCESS!"
  same_tree "-s=loc, LZMA directory patch: the tree is the new version" new sa
  rm -rf sa && cp -a old sa
  self_apply "" "$work/dp-compressed.exe" . -t sa
  expect "a target path argument, in test mode" 0 "Ok. Patch file applicable to \"sa\"."
  same_tree "test mode changed nothing" old sa
  self_apply "" "$work/dp-compressed.exe" . -h
  expect "the usage of a self-applying patch" 0 "Usage: dp-compressed.exe [-t] [-auto] [-y] [oldpath [newpath]]
       dp-compressed.exe -i[=json]"
  stub_size=$(wc -c <"$(dirname "$kest")/stubs/cl/Win32/comp/dirpat/nolocal/pelmora.stb")
  cut_short "-s" dp-compressed.exe "$stub_size"
  self_apply "" "$work/dp-compressed.exe" . -i
  expect "a self-applying patch shows what it holds" 0 "dp-compressed.exe\": directory patch"
  rm -rf sa && cp -a old sa
  self_apply "" "$work/dp-compressed.exe" sa -y
  expect "a self-applying patch in batch mode" 0 "Ok, patch file applied with SUCCESS!"
  same_tree "the self-applying patch in batch mode updated the tree" new sa
  no_temporaries "self-applying patches"

  # Signed as vendors sign their programs: the certificate table comes
  # after the patch data, and the signature must still verify.
  openssl req -x509 -newkey rsa:2048 -nodes -keyout key.pem -out cert.pem -days 2 -subj "/CN=Verdelin test" \
    >openssl.txt 2>&1 || { cat openssl.txt; exit 1; }
  osslsigncode sign -certs cert.pem -key key.pem -n "Update" -in dp-compressed.exe -out signed.exe >sign.txt 2>&1 ||
    { cat sign.txt; exit 1; }
  if osslsigncode verify -CAfile cert.pem -in signed.exe >verify.txt 2>&1; then
    ok "osslsigncode verifies the signed self-applying patch"
  else
    not_ok "signature does not verify" "$(tail -5 verify.txt)"
  fi
  [ "$(tail -c 4 signed.exe | od -An -tx4 | tr -d ' ')" != 3e7f8443 ] && ok "the signed file does not end in the trailer" ||
    not_ok "signing appended nothing"
  rm -rf sa && cp -a old sa
  self_apply "" "$work/signed.exe" sa
  expect "a signed self-applying patch applies itself" 0 "Ok, patch file applied with SUCCESS!"
  same_tree "the signed patch updated the tree" new sa
  # With the vendor's names in its version resource (-R), signed the same way.
  kestmain -q -s '-d=*' -R=ProductName="Rocket Editor" -R=CompanyName="Rocket Works" -R=FileVersion=5.2.1.7 \
    old new vendor >kest.txt 2>&1 || { cat kest.txt; exit 1; }
  osslsigncode sign -certs cert.pem -key key.pem -n "Rocket Editor" -in vendor.exe -out vendor-signed.exe \
    >sign.txt 2>&1 || { cat sign.txt; exit 1; }
  osslsigncode verify -CAfile cert.pem -in vendor-signed.exe >verify.txt 2>&1 &&
    ok "osslsigncode verifies the signed patch with the vendor's names" ||
    not_ok "the signed patch with the vendor's names does not verify" "$(tail -5 verify.txt)"
  rm -rf sa && cp -a old sa
  self_apply "" "$work/vendor-signed.exe" sa
  expect "the signed patch with the vendor's names applies itself" 0 "Ok, patch file applied with SUCCESS!"
  same_tree "the signed patch with the vendor's names updated the tree" new sa
  # The patch header's first byte changed: the applier's own message, nothing touched.
  cp signed.exe damaged.exe
  printf '\x55' | dd of=damaged.exe bs=1 seek="$stub_size" conv=notrunc status=none
  rm -rf sa && cp -a old sa
  self_apply "" "$work/damaged.exe" sa
  expect "a damaged signed patch is refused" 1 "damaged.exe\" is no patch file."
  same_tree "the damaged signed patch changed nothing" old sa
  # Cut short inside the certificate table: the file lost its end.
  head -c $(( $(wc -c <signed.exe) - 100 )) signed.exe >cut.exe
  self_apply "" "$work/cut.exe" sa
  expect "a signed patch cut short says so" 1 "cut.exe\" is cut short"
  same_tree "the cut patch changed nothing" old sa
  no_temporaries "signed patches"
fi

# --- the key wait ends by itself ----------------------------------------------
cp -a old app4
start=$(date +%s)
timeout 120 "${runner[@]}" "$pelmora" p.utp app4 < <(sleep 25 2>/dev/null) >out.txt 2>&1
rc=$?
took=$(( $(date +%s) - start ))
out=$(tr -d '\r' <out.txt)
if [ "$rc" = 0 ] && [ "$took" -ge 9 ] && [ "$took" -lt 25 ] && [[ "$out" == *"Press any key to continue ... ok."* ]]; then
  ok "the key wait returns after ten seconds without a key"
else
  not_ok "key wait" "exit code $rc after $took s" "$out"
fi

# --- a registry target ----------------------------------------------------------
seq 1 5000 >a.txt
seq 1 5100 >b.txt
mkdir -p inst
cp a.txt inst/tool.txt
if [ "$windows" = 1 ]; then
  target="Z:$(pwd | tr / '\\')\\inst\\tool.txt"
  "${runner[@]}" reg add 'HKLM\Software\Acme\Tool' /v Path /d "$target" /f >reg.txt 2>&1 ||
    not_ok "reg add" "$(tr -d '\r' <reg.txt)"
else
  target=$(pwd)/inst/tool.txt
  printf '[HKEY_LOCAL_MACHINE\\Software\\Acme\\Tool]\r\n"Path"="%s"\r\n' "${target//\\/\\\\}" >machine.reg
  export VERDELIN_REGISTRY=$work/machine.reg
fi
kestmain -q '-k=Software\Acme\Tool\Path' a.txt b.txt rp >kest.txt 2>&1 || { cat kest.txt; exit 1; }
run rp.utp
expect "the registry value names the file to patch" 0 "Ok, patch file applied with SUCCESS!"
cmp -s inst/tool.txt b.txt && ok "the registry target is updated" || not_ok "registry target not updated"
if [ "$windows" = 1 ]; then
  "${runner[@]}" reg delete 'HKLM\Software\Acme\Tool' /f >/dev/null 2>&1
else
  unset VERDELIN_REGISTRY
fi
run rp.utp
expect "a missing registry value" 1 "Registry lookup of patch target failed!"

# --- an interrupt while the patch is loaded (native: SIGINT, SIGTERM, SIGHUP) --
if [ "$windows" = 0 ]; then
  for signal in INT TERM HUP; do
    rm -rf app5 && cp -a old app5
    "$pelmora" p.utp app5 < <(sleep 20 2>/dev/null) >out.txt 2>&1 &
    pid=$!
    for _ in $(seq 50); do [ -n "$(find tmp -name 'VDX*.tmp')" ] && break; sleep 0.1; done
    kill -"$signal" "$pid"
    wait "$pid"
    rc=$?
    [ "$rc" = 1 ] && ok "SIG$signal ends the run with exit code 1" || not_ok "SIG$signal: exit code $rc"
    same_tree "the run ended by SIG$signal changed nothing" old app5
    no_temporaries "SIG$signal"
  done
  # The builder ends the same way: killed while it computes the second step
  # of a version chain, it deletes its incomplete patch and the first step's
  # streams in the temporary directory.
  fixed_random_bytes 40000000 1 >huge.old
  { head -c 20000000 huge.old; echo inserted; tail -c 20000000 huge.old; } >huge.mid
  { head -c 10000000 huge.mid; echo again; tail -c 30000000 huge.mid; } >huge.new
  for signal in TERM HUP; do
    "$kest" huge.old huge.mid huge.new hp >kest.txt 2>&1 &
    pid=$!
    for _ in $(seq 200); do [ -n "$(find tmp -name 'ks*')" ] && break; sleep 0.05; done
    kill -"$signal" "$pid"
    wait "$pid"
    rc=$?
    if [ "$rc" = 1 ] && [ ! -e hp.utp ] && [ -z "$(find tmp -name 'ks*')" ] &&
       grep -q 'Deleting incomplete patch file "hp.utp"' kest.txt; then
      ok "SIG$signal ends the builder and deletes its incomplete patch and temporaries"
    else
      not_ok "builder and SIG$signal" "exit code $rc" "$(tail -2 kest.txt)" "$(find tmp -name 'ks*')"
    fi
  done
  rm -f huge.old huge.mid huge.new
fi

# --- batch mode: no key wait, yes to every question, no disk scan -------------
# Standard input is closed: a key wait would last its full ten seconds.
batch() {  # batch DIR ARGS...: pelmora -y ARGS in DIR; $took in seconds
  local dir=$1 start
  shift
  start=$(date +%s%N)
  (cd "$dir" && timeout 120 "${runner[@]}" "$pelmora" -y "$@" <&- >"$work/out.txt" 2>&1)
  rc=$?
  took=$(( ($(date +%s%N) - start) / 1000000 ))
  out=$(tr -d '\r' <out.txt)
}
fast() {  # fast NAME: the run took less than the key wait would have
  [ "$took" -lt 5000 ] && ok "$1: no key wait ($took ms)" || not_ok "$1: took $took ms"
}
kestmain -q '-d=*' '-c=Read me first' old new pc >kest.txt 2>&1 || { cat kest.txt; exit 1; }
rm -rf appb && cp -a old appb
batch appb ../pc.utp
expect "-y answers the comment's question" 0 "Do you want to apply this patch file? (y/n) y
Checking if the patch file can be applied."
fast "-y, a patch with a comment"
same_tree "-y applied the patch with a comment" new appb
rm -rf appb && cp -a old appb
batch appb ../p.utp
expect "-y, a patch without a comment" 0 "Ok, patch file applied with SUCCESS!"
[[ "$out" != *"Press any key"* ]] && ok "-y shows no key wait" || not_ok "-y waited for a key" "$out"
fast "-y, a patch without a comment"
same_tree "-y applied the patch without a comment" new appb
rm -rf appb && cp -a old appb
batch appb -t ../pc.utp
expect "-t -y checks" 0 "Ok. Patch file applicable to \"current directory\"."
fast "-t -y"
same_tree "-t -y changed nothing" old appb
# A file patch finds its target under another name in the current directory
# and is told yes; where there is none, it ends without a scan of the disks.
kestmain -q old/program.exe new/program.exe fpy >kest.txt 2>&1 || { cat kest.txt; exit 1; }
rm -rf cand && mkdir cand && cp old/program.exe cand/renamed.exe
batch cand ../fpy.utp
expect "-y says yes to a target found in the current directory" 0 "renamed.exe\".
Do you want to apply it? (y/n) y"
cmp -s cand/renamed.exe new/program.exe && ok "-y updated the target it found" || not_ok "-y: found target not updated"
rm -rf cand && mkdir cand && echo other >cand/other.txt
batch cand ../fpy.utp
expect "-y: no target, no disk scan" 1 "The target software for this patch cannot be found."
[[ "$out" != *"Scanning all your local hard disks"* && "$out" != *"would you like to start it now"* ]] &&
  ok "-y never offers the disk scan" || not_ok "-y offered or ran the disk scan" "$out"
fast "-y without a target"

# --- messages that say what to do ------------------------------------------------
# A download that stopped half-way, and a file the user changed.
head -c 150 pc.utp >cut.utp
run cut.utp app2
expect "a patch cut short says so" 1 "Error, \"cut.utp\" is cut short"
rm -rf appe && cp -a old appe && echo edited >>appe/program.exe
run p.utp appe
expect "an edited file is named with the reason" 1 "File \"program.exe\" matches none of the versions this patch updates"
[ "$(tail -1 appe/program.exe)" = edited ] && [ ! -e appe/Backup ] && ok "the failed check left the edited file" ||
  not_ok "the failed check changed the edited tree"

# --- what a patch holds (-i) ------------------------------------------------------
# Two targets: a chain of three versions of a tree (patched, embedded and
# obsolete files) and a registry target with its own backup directory.
mkdir -p v1/lib v2/lib v3/lib r1 r2
seq 1 4000 >v1/lib/core.bin
seq 1 4100 >v2/lib/core.bin
seq 1 4200 | sed 's/^77$/seventy-seven/' >v3/lib/core.bin
echo gone >v1/old.txt && cp v1/old.txt v2/old.txt
seq 1 900 >v1/readme.txt && cp v1/readme.txt v2/ && cp v1/readme.txt v3/
printf 'new\n' >v3/added.txt
seq 1 3000 >r1/tool.txt
seq 1 3100 >r2/tool.txt
kestmain -q '-d=*' '-c=Look inside' v1 v2 v3 -n=ext '-k=Software\Acme\Tool\Path' -b=Saved r1 r2 pi >kest.txt 2>&1 ||
  { cat kest.txt; exit 1; }
run -i pi.utp
expect "-i: header, comment and both targets" 0 "directory patch (kind 6), body compressed (deflate), format version 220"
expect "-i: the comment" 0 "Comment (the user confirms it):
  Look inside"
expect "-i: a chain of three versions" 0 "  patched \"lib\\core.bin\"
    final: $(wc -c <v3/lib/core.bin) bytes"
expect "-i: the registry target and its backup directory" 0 "Target 2 of 2: the path in registry value \"Path\" of key HKEY_LOCAL_MACHINE\\Software\\Acme\\Tool
  backup directory \"Saved\""
run -i=json pi.utp
echo "$out" >contents.json
if python3 - "$work" <<'PY' >check.txt 2>&1; then ok "-i=json describes what the builder was given"; else not_ok "-i=json" "$(cat check.txt)"; fi
import json, os, sys, zlib
work = sys.argv[1]
doc = json.load(open(os.path.join(work, "contents.json")))
def version(path):
    data = open(os.path.join(work, path), "rb").read()
    return {"size": len(data), "checksum": "%08x" % (zlib.crc32(data) ^ 0xFFFFFFFF)}
def same(got, path):
    want = version(path)
    assert got["size"] == want["size"] and got["checksum"] == want["checksum"], (got, path, want)
assert doc["kind"] == "directory" and doc["compressed"] and doc["formatVersion"] == 220, doc
assert doc["bodyCoding"] == "deflate", doc
assert doc["comment"].strip() == "Look inside" and doc["confirmComment"], doc["comment"]
first, second = doc["targets"]
assert first["locator"] == {"kind": "path"} and first["backupDirectory"] == "Backup", first
assert second["locator"] == {"kind": "registry", "rootKey": "HKEY_LOCAL_MACHINE",
                             "key": "Software\\Acme\\Tool", "value": "Path"}, second["locator"]
assert second["backupDirectory"] == "Saved"
files = {(f["record"], f["name"]) for f in first["files"]}
assert ("obsolete", "old.txt") in files and ("embedded", "added.txt") in files, files
for f in first["files"]:
    if f["record"] == "patched" and f["name"] == "lib\\core.bin":
        same(f["final"], "v3/lib/core.bin")
        assert len(f["from"]) == 2, f
        same(f["from"][0], "v1/lib/core.bin")
        same(f["from"][1], "v2/lib/core.bin")
        break
else:
    raise AssertionError("no patched lib\\core.bin")
embedded = [f for f in first["files"] if f["name"] == "added.txt"][0]
same(embedded["final"], "v3/added.txt")
tool = second["files"][0]
assert tool["record"] == "patched" and tool["name"] == "tool.txt", tool
same(tool["final"], "r2/tool.txt")
same(tool["from"][0], "r1/tool.txt")
PY
head -c 300 pi.utp >picut.utp
run -i picut.utp
expect "-i: a patch cut short" 1 "Error, \"picut.utp\" is cut short"
run -i=json picut.utp
expect "-i=json: a patch cut short" 1 "is cut short"
cp pi.utp pidamaged.utp
printf '\x55\x55\x55\x55' | dd of=pidamaged.utp bs=1 seek=120 conv=notrunc status=none
run -i pidamaged.utp
expect "-i: a damaged patch" 1 "Error, patch is corrupted!"
run -i pi.utp extra
expect "-i takes no target" 1 "Too many parameters!"

# --- a disk too full for the new file (native: a file size limit) -------------
if [ "$windows" = 0 ]; then
  fixed_random_bytes 3000000 2 >big.old
  { head -c 1000000 big.old; echo inserted; tail -c 2000000 big.old; } >big.new
  kestmain -q big.old big.new bp >kest.txt 2>&1 || { cat kest.txt; exit 1; }
  cp big.old victim.bin
  (trap '' XFSZ; ulimit -f 1000; exec "$pelmora" bp.utp victim.bin </dev/null >out.txt 2>&1)
  rc=$?
  out=$(tr -d '\r' <out.txt)
  expect "writing beyond the disk's room" 1 "Error, writing patched file failed!"
  cmp -s victim.bin big.old && ok "the full disk left the file as it was" || not_ok "full disk changed the file"
  no_temporaries "full disk"
fi

# --- runs without a user: /quiet, /passive, /log (Windows) --------------------
if [ "$windows" = 1 ]; then
  # whole PROGRAM ARGS...: the program run by the window driver, which tells
  # its whole exit code (Wine gives Linux only the low byte: 1642 arrives as
  # 106); the code in $code, the output in $out.
  whole() {
    timeout 120 "${runner[@]}" "$VERDELIN_WINDOW_DRIVER" run 100 "$@" </dev/null >out.txt 2>&1
    out=$(tr -d '\r' <out.txt | sed '/^exit [0-9]*$/d')
    code=$(tr -d '\r' <out.txt | sed -n 's/^exit //p')
  }
  quietly() {  # quietly NAME CODE: the exit code, and nothing shown
    if [ "$code" = "$2" ] && [ -z "$out" ]; then ok "$1"; else not_ok "$1" "exit code $code (expected $2)" "output: $out"; fi
  }
  if [ -n "${VERDELIN_WINDOW_DRIVER:-}" ]; then
    rm -rf appq && cp -a old appq
    whole "$pelmora" /quiet /log q.log p.utp appq
    quietly "/quiet applies showing nothing: exit code 0" 0
    same_tree "/quiet applied the patch" new appq
    grep -q 'Ok, patch file applied with SUCCESS!' q.log && grep -qx 'Exit code 0.' <(tr -d '\r' <q.log) &&
      ok "/log keeps what was not shown, and the exit code" || not_ok "/log" "$(cat q.log)"
    whole "$pelmora" /passive /LOG q.log p.utp appq
    [ "$code" = 0 ] && [[ "$out" == *'Updating file "program.exe": (ok, already updated)'* ]] &&
      ok "/passive shows the run and asks nothing: exit code 0" || not_ok "/passive" "exit code $code" "$out"
    [ "$(grep -c '^--- ' q.log)" = 2 ] && ok "/log appends a run to the last" || not_ok "/log appends" "$(cat q.log)"
    whole "$pelmora" /quiet p.utp nowhere
    quietly "/quiet on a target that is not there: exit code 1642" 1642
    whole "$pelmora" /quiet /x p.utp appq
    quietly "/quiet with an unknown switch: exit code 1639" 1639
    whole "$pelmora" /passive /log 'no\such\dir\q.log' p.utp appq
    [ "$code" = 1622 ] && [[ "$out" == *'Error, cannot write the log file "no\such\dir\q.log".'* ]] &&
      ok "/log into a directory that is not there: exit code 1622" || not_ok "/log unwritable" "$code" "$out"
    rm -rf sa && cp -a old sa
    whole "$work/dp-compressed.exe" /quiet sa
    quietly "a self-applying console patch with /quiet: exit code 0" 0
    same_tree "... and applied" new sa
  else
    not_ok "runs without a user" "VERDELIN_WINDOW_DRIVER names no window driver"
  fi
  run /x p.utp
  expect "an unknown switch is refused with the usage" 1 "Illegal option \"/x\" used!$usage"
  run /?
  expect "/? shows the options and the switches" 0 "  /log FILE   append everything shown to FILE"
else
  # Paths begin with '/' here: such a word is a path, never a switch.
  run -y p.utp /quiet
  expect "/quiet is a path on POSIX" 1 'Error, the target path "/quiet" does not exist.'
fi

checks_done
