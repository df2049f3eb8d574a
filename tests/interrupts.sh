#!/usr/bin/env bash
# The console applier stopped from outside while it applies a directory
# patch of several hundred files and a large one, as a user's Ctrl-C, a
# closed terminal or a kill would stop it:
#  - SIGINT, SIGTERM and SIGHUP at many moments of the apply pass: the run
#    ends with exit code 1 and says that the patch was not applied, and the
#    tree is exactly the old one; or, when the signal came after the last
#    change, the patch is applied. No temporary is left anywhere.
#  - SIGKILL at many moments: the next run says that an earlier run was
#    interrupted where it had begun to change the tree, and leaves the
#    complete new tree and no temporary, in the tree or the temporary
#    directory.
# Where in the pass a signal lands depends on timing; what must hold after
# it does not. The moments tried are counted and printed.
#   tests/interrupts.sh PELMORA KESTMAIN
set -u
. "$(dirname "$0")/checks.sh"
pelmora=$(realpath "$1")
kest=$(realpath "$2")
work=$(mktemp -d)
shm=""
cleanup() { rm -rf "$work" ${shm:+"$shm"}; }
trap cleanup EXIT
cd "$work" || exit 1
# Temporaries on another volume where there is one: the apply pass then
# copies the large file beside its target, which makes it longer.
if [ -d /dev/shm ] && [ -w /dev/shm ]; then shm=$(mktemp -d /dev/shm/interrupts.XXXXXX); fi
export TMPDIR=${shm:-$work/tmp}
mkdir -p "$TMPDIR"

mkdir -p old new
for d in $(seq 0 9); do mkdir -p "old/dir$d" "new/dir$d"; done
for i in $(seq 1 300); do
  printf 'file %d\nline two of file %d\n' "$i" "$i" >"old/dir$((i % 10))/f$i.txt"
  printf 'file %d\nline two of file %d, changed\n' "$i" "$i" >"new/dir$((i % 10))/f$i.txt"
done
fixed_random_bytes 12000000 7 >old/big.bin
{ head -c 6000000 old/big.bin; printf "a change in the middle"; tail -c +6000023 old/big.bin; } >new/big.bin
mkdir -p old/gone
echo obsolete >old/gone/obsolete.dll
echo added >new/dir3/added.txt
"$kest" -q '-d=*' old new p >kest.txt 2>&1 || { cat kest.txt; exit 1; }

leftovers() { find app "$TMPDIR" -name 'VDX*.tmp' 2>/dev/null | head -3; }
# start: applies p.utp to a fresh copy of the old tree in the background
# and waits until the apply pass has begun.
start() {
  rm -rf app out.txt
  cp -a old app
  "$pelmora" -y p.utp app </dev/null >out.txt 2>&1 &
  pid=$!
  wait_for 60 grep -qs 'Now applying the patch' out.txt
}

interrupted=0 completed=0 tried=0
for delay in 0 0.002 0.005 0.01 0.02 0.03 0.05 0.08 0.12 0.2 0.5 1; do
  for sig in INT TERM HUP; do
    start
    sleep "$delay"
    kill -s "$sig" "$pid" 2>/dev/null
    wait "$pid"
    rc=$?
    tried=$((tried + 1))
    name="SIG$sig after $delay s"
    if [ "$rc" = 0 ] && grep -q 'applied with SUCCESS' out.txt; then
      completed=$((completed + 1))
      if diff -r -x Backup app new >/dev/null; then ok "$name: the patch was applied"; else not_ok "$name: exit code 0 but the tree is not the new one"; fi
    elif [ "$rc" = 1 ] && grep -q 'Interrupted: the patch was not applied' out.txt; then
      interrupted=$((interrupted + 1))
      if diff -r app old >diff.txt; then ok "$name: interrupted, the tree is the old one"; else not_ok "$name: interrupted, but the tree changed" "$(head -5 diff.txt)"; fi
    else
      not_ok "$name: exit code $rc" "$(tail -5 out.txt)"
    fi
    left=$(leftovers)
    [ -z "$left" ] || not_ok "$name: temporaries left" "$left"
  done
done
echo "# $tried signals: $interrupted runs interrupted and put back, $completed had finished"

killed=0 told=0 tried=0
for delay in 0 0.003 0.006 0.01 0.015 0.02 0.03 0.04 0.06 0.08 0.1 0.15 0.2 0.3; do
  start
  sleep "$delay"
  kill -s KILL "$pid" 2>/dev/null
  wait "$pid" 2>/dev/null
  tried=$((tried + 1))
  journal=0
  [ -f app/VDXjournal.tmp ] && journal=1 && killed=$((killed + 1))
  "$pelmora" -y p.utp app </dev/null >out2.txt 2>&1
  rc=$?
  name="SIGKILL after $delay s"
  if [ "$rc" = 0 ] && diff -r -x Backup app new >/dev/null; then ok "$name: the next run completes the tree"; else not_ok "$name: the next run" "exit code $rc" "$(tail -5 out2.txt)"; fi
  said=0
  grep -q 'An earlier run of a patch on' out2.txt && said=1 && told=$((told + 1))
  [ "$said" = "$journal" ] && ok "$name: the next run tells of the stopped one when it had changed the tree" ||
    not_ok "$name: journal $journal, told $said" "$(head -12 out2.txt)"
  left=$(leftovers)
  [ -z "$left" ] && ok "$name: no temporary left" || not_ok "$name: temporaries left" "$left"
done
echo "# $tried kills: $killed in the apply pass, each told by the next run ($told)"
checks_done
