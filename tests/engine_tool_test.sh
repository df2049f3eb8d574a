#!/usr/bin/env bash
# Round trips through the benchmark's engine_tool (diff, then apply, then
# cmp) on small made-up pairs, and damaged containers that apply must refuse
# with exit code 1 (never a crash, never a wrong file passed as right).
#   tests/engine_tool_test.sh PROGRAM
set -u
prog=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
passed=0 failed=0

ok() { passed=$((passed + 1)); echo "ok - $1"; }
not_ok() { failed=$((failed + 1)); echo "not ok - $1"; [ -s "$work/err" ] && sed 's/^/#   /' "$work/err"; }

# Deterministic inputs: pseudo-random blocks, edited copies, repetitive text.
python3 - "$work" <<'EOF' || { echo "not ok - making the inputs"; exit 1; }
import random, sys
d = sys.argv[1]
r = random.Random(20250914)
def rnd(n): return bytes(r.getrandbits(8) for _ in range(n))
def put(name, data):
    with open(f"{d}/{name}", "wb") as f: f.write(data)
base = rnd(300_000)
edited = bytearray(base)
for _ in range(40):                      # scattered overwrites, inserts and deletes
    at = r.randrange(len(edited) - 200)
    kind = r.randrange(3)
    if kind == 0: edited[at:at + 17] = rnd(17)
    elif kind == 1: edited[at:at] = rnd(r.randrange(1, 300))
    else: del edited[at:at + r.randrange(1, 300)]
moved = bytes(edited[150_000:]) + bytes(edited[:150_000])   # a block move
text = b"".join(b"line %d: the quick brown fox jumps over the lazy dog\n" % (i % 97) for i in range(20_000))
put("empty", b"")
put("one", b"x")
put("base", base)
put("edited", bytes(edited))
put("base-other", base[:1000] + bytes([base[1000] ^ 1]) + base[1001:])
put("moved", moved)
put("text", text)
put("text2", text.replace(b"fox", b"cat", 500))
put("fresh", rnd(50_000))
put("small-a", b"hello, world\n" * 3)
put("small-b", b"hello, brave new world\n" * 3)
EOF

# roundtrip NAME OLD NEW [DIFF OPTIONS...]
roundtrip() {
  local name=$1 old=$work/$2 new=$work/$3
  shift 3
  rm -f "$work/p.utp" "$work/out"
  if ! timeout 120 "$prog" diff -q "$@" "$old" "$new" "$work/p" >"$work/dout" 2>"$work/err"; then
    not_ok "$name: diff failed"; return
  fi
  if [ -s "$work/dout" ]; then cp "$work/dout" "$work/err"; not_ok "$name: diff -q printed something"; return; fi
  if ! timeout 120 "$prog" apply "$work/p.utp" "$old" "$work/out" 2>"$work/err"; then
    not_ok "$name: apply failed"; return
  fi
  if cmp -s "$work/out" "$new"; then ok "$name"; else not_ok "$name: output differs"; fi
}

roundtrip "empty old file" empty base
roundtrip "one-byte old file" one small-b
roundtrip "identical files" base base
roundtrip "scattered edits" base edited
roundtrip "block move" edited moved
roundtrip "unrelated files" fresh base
roundtrip "repetitive text" text text2
roundtrip "repetitive text, self reference" text text2 -r
roundtrip "new file repeats itself, self reference" empty text -r
roundtrip "small files" small-a small-b
roundtrip "memory limit 1 MiB" base edited -m=1
roundtrip "search level 0" base edited -0

# The same patch twice: the engine promises the same bytes for the same input.
"$prog" diff -q "$work/base" "$work/edited" "$work/d1" 2>"$work/err" &&
  "$prog" diff -q "$work/base" "$work/edited" "$work/d2" 2>>"$work/err" &&
  cmp -s "$work/d1.utp" "$work/d2.utp" && ok "same input, same patch" || not_ok "same input, same patch"

# refused NAME PATCH OLD: apply must end with exit code 1.
refused() {
  local name=$1 patch=$2 old=$3
  rm -f "$work/out"
  timeout 60 "$prog" apply "$patch" "$old" "$work/out" >/dev/null 2>"$work/err"
  local rc=$?
  if [ "$rc" = 1 ]; then passed=$((passed + 1)); else echo "not ok - $name: exit code $rc"; failed=$((failed + 1)); fi
}

"$prog" diff -q "$work/base" "$work/edited" "$work/p" 2>"$work/err" || not_ok "diff for the damage tests"
size=$(stat -c %s "$work/p.utp")
refused "wrong old file" "$work/p.utp" "$work/moved"
refused "old file of the right size, other bytes" "$work/p.utp" "$work/base-other"
refused "missing patch" "$work/none.utp" "$work/base"
# Every length of the header and about a hundred lengths into the deflate body.
step=$(( size / 100 > 97 ? size / 100 : 97 ))
for len in $(seq 0 60) $(seq 61 "$step" "$((size - 1))") $((size - 1)); do
  head -c "$len" "$work/p.utp" > "$work/cut.utp"
  refused "patch cut to $len bytes" "$work/cut.utp" "$work/base"
done
{ cat "$work/p.utp"; printf 'tail'; } > "$work/long.utp"
refused "bytes after the body" "$work/long.utp" "$work/base"
# One flipped byte at a time, in the magic, the record, the sizes and the body
# (not the last byte, whose unused high bits deflate ignores).
for at in 0 3 4 8 12 16 20 24 28 30 31 36 40 43 44 50 $(seq 60 "$((step * 2 + 17))" "$((size - 2))"); do
  cp "$work/p.utp" "$work/flip.utp"
  b=$(od -An -tu1 -j"$at" -N1 "$work/p.utp" | tr -d ' ')
  printf "$(printf '\\%03o' $(( b ^ 0x5A )))" | dd of="$work/flip.utp" bs=1 seek="$at" conv=notrunc status=none
  refused "byte $at flipped" "$work/flip.utp" "$work/base"
done
echo "damaged containers refused: checked"

echo "# $passed passed, $failed failed"
[ "$failed" = 0 ]
