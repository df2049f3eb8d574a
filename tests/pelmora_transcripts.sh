#!/usr/bin/env bash
# Runs the built console applier as a user would: its texts and exit codes,
# a patch joined behind a copy of the program, the key wait that ends by
# itself, a registry target, and a disk too full for the new file.
#   tests/pelmora_transcripts.sh PELMORA KESTMAIN [RUNNER...]
# With a runner (Wine), both are Windows programs: the output is taken with
# CR LF line ends, and the registry lives in the prefix.
set -u
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
passed=0 failed=0

ok() { passed=$((passed + 1)); echo "ok - $1"; }
not_ok() { failed=$((failed + 1)); echo "not ok - $1"; shift; for line in "$@"; do echo "  $line"; done; }

# run [ENV=...] -- ARGS... : runs pelmora with stdin from $input (default
# none); leaves the exit code in $rc and the output (LF line ends) in $out.
input=/dev/null
run() {
  timeout 120 "${runner[@]}" "$pelmora" "$@" <"$input" >out.txt 2>err.txt
  rc=$?
  out=$(tr -d '\r' <out.txt)
}
expect() {  # expect NAME RC TEXT: the exit code, and TEXT somewhere in the output
  if [ "$rc" = "$2" ] && [[ "$out" == *"$3"* ]]; then ok "$1"; else not_ok "$1" "exit code $rc (expected $2)" "output: $out"; fi
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
usage='Usage: Pelmora [-t] [-auto] patchname [oldpath [newpath]]'

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
expect "test mode" 0 "Ok. Patch file applicable to \"app2\".

Ok, patch file applied with SUCCESS!"
same_tree "test mode changes nothing" old app2

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

# --- the key wait ends by itself ----------------------------------------------
cp -a old app4
start=$(date +%s)
timeout 120 "${runner[@]}" "$pelmora" p.utp app4 < <(sleep 25) >out.txt 2>&1
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
  "${runner[@]}" reg add 'HKLM\Software\Acme\Tool' /v Path /d "$target" /f >/dev/null 2>&1
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

# --- an interrupt while the patch is loaded (native: SIGINT) -----------------
if [ "$windows" = 0 ]; then
  cp -a old app5
  "$pelmora" p.utp app5 < <(sleep 20) >out.txt 2>&1 &
  pid=$!
  for _ in $(seq 50); do [ -n "$(find tmp -name 'VDX*.tmp')" ] && break; sleep 0.1; done
  kill -INT "$pid"
  wait "$pid"
  rc=$?
  [ "$rc" = 1 ] && ok "an interrupt ends the run with exit code 1" || not_ok "interrupt: exit code $rc"
  same_tree "the interrupted run changed nothing" old app5
  no_temporaries "interrupt"
fi

# --- a disk too full for the new file (native: a file size limit) -------------
if [ "$windows" = 0 ]; then
  head -c 3000000 /dev/urandom >big.old
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

echo "$passed passed, $failed failed"
[ "$failed" = 0 ]
