#!/usr/bin/env bash
# The benchmark's apply step for the builder's patches; scripts/bench points
# the harness's PELMORA at it:
#   pelmora_step.sh PELMORA LOG PATCH OLD OUT   file patch: OLD is copied to OUT,
#                                               then "PELMORA PATCH OUT" patches OUT in place
#   pelmora_step.sh PELMORA LOG PATCH DIR       tree patch: DIR (the harness's copy) in place
# PATCH may be named without its ".utp".
# The harness times and measures the whole step, the copy included. pelmora
# alone is timed here too, and one line goes to LOG per step:
#   OLD (or DIR) <TAB> wall microseconds <TAB> user s <TAB> sys s <TAB> peak KiB <TAB> exit code
# bench/apply_rows.py split gives the harness's rows these times. pelmora's
# console output goes to LOG.console and is shown when it fails.
set -u
if (( $# != 4 && $# != 5 )); then
  echo "usage: pelmora_step.sh PELMORA LOG PATCH OLD OUT | pelmora_step.sh PELMORA LOG PATCH DIR" >&2
  exit 2
fi
pel=$1 log=$2 patch=$3 old=$4 target=${5:-$4}
# The builder appends ".utp" to the name it is given; the per-file loop names the patch without it.
[[ ! -e $patch && -e $patch.utp ]] && patch=$patch.utp
if (( $# == 5 )) && ! cp -- "$old" "$target"; then
  printf '%s\tNA\tNA\tNA\t0\t1\n' "$old" >> "$log"
  exit 1
fi

s=$EPOCHREALTIME
/usr/bin/time -o "$log.time" -f '%U %S %M' "$pel" "$patch" "$target" < /dev/null > "$log.console" 2>&1
rc=$?
e=$EPOCHREALTIME

# time writes "Command exited with non-zero status N" before its own line.
user=NA sys=NA peak=0
while read -r a b c; do
  [[ $a =~ ^[0-9.]+$ ]] && user=$a sys=$b peak=$c
done < "$log.time"
s=${s/[.,]/} e=${e/[.,]/}
printf '%s\t%d\t%s\t%s\t%s\t%d\n' "$old" $((10#$e - 10#$s)) "$user" "$sys" "$peak" "$rc" >> "$log"
if (( rc )); then
  { echo "pelmora $patch $target: exit code $rc"; sed 's/^/  /' "$log.console"; } >&2
fi
exit "$rc"
