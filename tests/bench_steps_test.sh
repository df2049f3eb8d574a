#!/usr/bin/env bash
# The benchmark's own steps around the harness: bench/pelmora_step.sh with
# the real programs (a file patch to a copy of the old file, a tree patch in
# place, a patch that does not fit), and bench/apply_rows.py on made-up
# harness rows (which steps belong to which row, the cp rows).
#   tests/bench_steps_test.sh KESTMAIN PELMORA
set -u
kestmain=$(realpath "$1") pelmora=$(realpath "$2")
root=$(cd "$(dirname "$0")/.." && pwd)
step=$root/bench/pelmora_step.sh rows_py=$root/bench/apply_rows.py
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export TMPDIR=$work
passed=0 failed=0
check() { # NAME CONDITION...
  local name=$1; shift
  if "$@"; then passed=$((passed + 1)); echo "ok - $name"; else failed=$((failed + 1)); echo "not ok - $name"; fi
}

python3 - "$work" <<'EOF' || { echo "not ok - making the inputs"; exit 1; }
import os, random, sys
d = sys.argv[1]
r = random.Random(7)
old = bytes(r.getrandbits(8) for _ in range(200_000))
new = old[:50_000] + b"inserted" * 100 + old[60_000:]
def put(rel, data):
    os.makedirs(os.path.dirname(f"{d}/{rel}"), exist_ok=True)
    open(f"{d}/{rel}", "wb").write(data)
put("old.bin", old); put("new.bin", new); put("other.bin", new[::-1])
put("t1/a.bin", old); put("t1/sub/gone.txt", b"removed\n"); put("t1/same.txt", b"same\n")
put("t2/a.bin", new); put("t2/sub/added.txt", b"added\n"); put("t2/same.txt", b"same\n")
EOF
cd "$work" || exit 1
log=$work/steps.tsv
"$kestmain" -q -f old.bin new.bin fp > /dev/null 2>&1 || echo "not ok - building the file patch"
"$kestmain" -q -d=* t1 t2 tp > /dev/null 2>&1 || echo "not ok - building the tree patch"

# A file patch: the old file is copied first and stays as it was.
cp old.bin old.keep
bash "$step" "$pelmora" "$log" fp.utp old.bin out.bin > step.out 2>&1
check "file step succeeds silently" test $? = 0 -a ! -s step.out
check "file step writes the new file" cmp -s out.bin new.bin
check "file step leaves the old file" cmp -s old.bin old.keep
IFS=$'\t' read -r s_old s_wall s_user s_sys s_peak s_rc < "$log"
check "file step logs the old file, time, memory and exit code" \
  test "$s_old" = old.bin -a "$s_wall" -gt 0 -a "$s_peak" -gt 0 -a "$s_rc" = 0 -a -n "$s_user$s_sys"

# The per-file loop names the patch without its ".utp".
bash "$step" "$pelmora" "$log" fp old.bin out3.bin > step.out 2>&1
check "a patch named without .utp is found" cmp -s out3.bin new.bin

# A tree patch: in place, earlier versions in Backup.
cp -a t1 tree
bash "$step" "$pelmora" "$log" tp.utp tree > step.out 2>&1
check "tree step succeeds and logs" test $? = 0 -a "$(wc -l < "$log")" = 3
check "tree step: the tree equals the new one, Backup aside" diff -rq -x Backup tree t2

# A patch for other bytes: the exit code and pelmora's words come through.
bash "$step" "$pelmora" "$log" fp.utp other.bin out2.bin > step.out 2>&1
rc=$?
check "a patch that does not fit fails" test "$rc" != 0
check "its failure shows pelmora's output" grep -q "exit code" step.out
check "its failure is logged" test "$(tail -1 "$log" | cut -f6)" = "$rc"

# apply_rows.py split: the steps go to rows in order; the whole step stays as +copy.
data=$work/data
mkdir -p "$data/f" "$data/t/old" "$data/t/new"
cp old.bin "$data/f/a"; cp other.bin "$data/f/b"; cp new.bin "$data/f/n"
printf 'a\n' > "$data/t/old/x"; printf 'bb\n' > "$data/t/new/x"
printf '# set\tcase\tkind\told\tnew\nopen\tone\tfile\tf/a\tf/n\nopen\ttwo\tfile\tf/a,f/b\tf/n\nopen\ttr\ttree\tt/old\tt/new\n' > cases.tsv
python3 - "$data" <<'EOF'
import sys
d = sys.argv[1]
h = "set case mode tool from new_bytes patch_bytes diff_s diff_cpu_s diff_peak_kb apply_s apply_cpu_s apply_peak_kb runs status".split()
rows = [
    ["open", "one", "file", "floor-copy", "", "9", "0", "0", "0", "0", "0.5", "0", "0", "5", "ok"],
    ["open", "one", "file", "kestmain", "", "9", "4", "1", "1", "100", "9.0", "8.0", "900", "3", "ok"],
    ["open", "one", "file", "xdelta3", "", "9", "4", "1", "1", "100", "2.0", "2.0", "50", "3", "ok"],
    ["open", "two", "file", "kestmain", "a", "9", "4", "1", "1", "100", "NA", "NA", "NA", "2", "apply-failed(rc=1)"],
    ["open", "two", "file", "kestmain", "b", "9", "4", "1", "1", "100", "9.0", "8.0", "900", "1", "ok"],
    ["open", "two", "file", "kestmain", "multi", "9", "4", "1", "1", "100", "9.0", "8.0", "900", "2", "ok"],
    ["open", "tr", "tar", "kestmain", "", "3", "4", "1", "1", "100", "9.0", "8.0", "900", "1", "ok"],
    ["open", "tr", "perfile", "floor-copy", "", "3", "0", "0", "0", "0", "0.5", "0", "0", "5", "ok"],
]
open("rows.tsv", "w").write("\n".join("\t".join(r) for r in [h] + rows) + "\n")
steps = [  # old, wall microseconds, user, sys, peak KiB, exit code
    ("f/a", 3000, 1, 0, 30, 0), ("f/a", 1000, 1, 0, 10, 0), ("f/a", 2000, 1, 1, 20, 0),   # one
    ("f/a", 1000, 0, 0, 1, 0), ("f/a", 1000, 0, 0, 1, 1),                                  # two from a, failed
    ("f/b", 5000, 0.5, 0, 5, 0),                                                           # two from b
    ("f/a", 7000, 0, 0, 7, 0), ("f/b", 6000, 0, 0, 60, 0),                                 # multi, run 1
    ("f/a", 1000, 0, 0, 1, 0), ("f/b", 8000, 0, 0, 1, 0),                                  # multi, run 2
    ("tars/old.tar", 4000, 0, 0, 4, 0),                                                    # tar
    ("t/old/x", 9000, 0, 0, 9, 0),                                                         # perfile: no row of its own
]
open("steps.tsv", "w").write("".join("%s/%s\t%d\t%s\t%s\t%d\t%d\n" % ((d,) + s) for s in steps))
EOF
python3 "$rows_py" split rows.tsv steps.tsv cases.tsv "$data" 2> split.err
check "split runs" test $? = 0
row() { awk -F'\t' -v c="$1" -v m="$2" -v t="$3" -v f="$4" '$2 == c && $3 == m && $4 == t && $5 == f {print $11, $12, $13, $15}' rows.tsv; }
check "pelmora alone: median time and cpu, largest peak" test "$(row one file kestmain "")" = "0.0020 1.00 30 ok"
check "the whole step stays as +copy" test "$(row one file kestmain+copy "")" = "9.0 8.0 900 ok"
check "other tools stay" test "$(row one file xdelta3 "")" = "2.0 2.0 50 ok"
check "a failed row stays and has no +copy" \
  test "$(row two file kestmain a)" = "NA NA NA apply-failed(rc=1)" -a -z "$(row two file kestmain+copy a)"
check "the steps after a failed row stay in step" test "$(row two file kestmain b)" = "0.0050 0.50 5 ok"
check "multi-start: the slowest start of each run" test "$(row two file kestmain multi)" = "0.0075 0.00 60 ok"
check "tar mode: steps from the tar of the old tree" test "$(row tr tar kestmain "")" = "0.0040 0.00 4 ok"
check "no rows for per-file steps" test "$(awk -F'\t' '$3 == "perfile" && $4 ~ /kestmain/' rows.tsv | wc -l)" = 0

# apply_rows.py cp: one row per copy floor, cp of the new file or tree.
python3 "$rows_py" cp rows.tsv cases.tsv "$data" "$work/cpwork" 3 2> cp.err
check "cp runs" test $? = 0
cprow() { awk -F'\t' -v c="$1" -v m="$2" '$2 == c && $3 == m && $4 == "cp" {print $7, ($11 > 0), ($13 > 0), $14, $15}' rows.tsv; }
check "cp row of a file: time, memory, the new file as patch" test "$(cprow one file)" = "9 1 1 3 ok"
check "cp row of a tree, no copy left behind" test "$(cprow tr perfile)" = "3 1 1 3 ok" -a -z "$(ls -A "$work/cpwork")"

echo "# $passed passed, $failed failed"
[ "$failed" = 0 ]
