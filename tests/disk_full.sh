#!/usr/bin/env bash
# The native builder and console applier on a disk that fills: a file size
# limit (ulimit -f, with SIGXFSZ ignored so that writes fail as on a full
# disk) at several sizes, and small tmpfs volumes where this machine lets
# us mount them. Every run either succeeds with the very result of a run
# with room, or ends with exit code 1 and a message, leaving no partial
# patch, no temporary and (the applier) the target as it was.
#   tests/disk_full.sh KESTMAIN PELMORA
set -u
. "$(dirname "$0")/checks.sh"
kest=$(realpath "$1")
pelmora=$(realpath "$2")
work=$(mktemp -d)
mounts=()
cleanup() {
  for m in "${mounts[@]}"; do umount "$m" 2>/dev/null; done
  rm -rf "$work"
}
trap cleanup EXIT
cd "$work" || exit 1
export TMPDIR=$work/tmp TZ=UTC
mkdir tmp out

# Two versions of a small tree: a changed incompressible file, a changed
# text, a new incompressible file (embedded) and a removed one.
python3 - <<'EOF' || { echo "not ok - making the trees"; exit 1; }
import os, random
r = random.Random(20261208)
def put(name, data):
    os.makedirs(os.path.dirname(name), exist_ok=True)
    with open(name, "wb") as f: f.write(data)
base = r.randbytes(600_000)
put("old/app.bin", base)
put("new/app.bin", base[:200_000] + r.randbytes(5_000) + base[200_000:])
put("old/read me.txt", b"version 1\n" * 300)
put("new/read me.txt", b"version 2\n" * 300)
put("new/data/new.bin", r.randbytes(700_000))
put("old/gone.txt", b"obsolete\n")
EOF
touch -d '2026-01-02 03:04:06' old/* old/*/* new/* new/*/* 2>/dev/null
"$kest" -q '-d=*' old new reference >kest.txt 2>&1 || { cat kest.txt; exit 1; }

leftovers() { find tmp "$@" -type f 2>/dev/null; }

# builder LABEL OUTPUT_DIR [LIMIT_KB]: one build into OUTPUT_DIR/p.
builder() {
  local label=$1 dir=$2 limit=${3:-unlimited}
  rm -rf tmp/* "$dir"/p.utp
  (trap '' XFSZ; ulimit -f "$limit"; exec "$kest" -q '-d=*' old new "$dir/p" </dev/null >kest.txt 2>&1)
  local rc=$?
  if [ "$rc" = 0 ] && cmp -s "$dir/p.utp" reference.utp && [ -z "$(leftovers)" ]; then
    ok "builder, $label: the same patch as with room"
  elif [ "$rc" = 1 ] && [ ! -e "$dir/p.utp" ] && [ -z "$(leftovers)" ] && grep -q . kest.txt; then
    ok "builder, $label: exit 1 ($(grep -m1 -i error kest.txt | tr -d '\r')), nothing left"
  else
    not_ok "builder, $label" "exit code $rc" "$(tail -3 kest.txt)" "$(ls "$dir")" "$(leftovers)"
  fi
}

# applier LABEL TARGET [LIMIT_KB]: TARGET holds the old tree; apply.
applier() {
  local label=$1 app=$2 limit=${3:-unlimited}
  rm -rf tmp/* "${app:?}"/* && cp -a old/. "$app"/
  (trap '' XFSZ; ulimit -f "$limit"; exec "$pelmora" reference.utp "$app" </dev/null >pel.txt 2>&1)
  local rc=$?
  local temps
  temps=$(leftovers "$app" -name 'VDX*.tmp')
  if [ "$rc" = 0 ] && diff -r -x Backup new "$app" >/dev/null && [ -z "$temps" ]; then
    ok "applier, $label: applied"
  elif [ "$rc" = 1 ] && diff -r old "$app" >/dev/null && [ -z "$temps" ] && [ -z "$(leftovers)" ]; then
    ok "applier, $label: exit 1 ($(grep -m1 -i error pel.txt | tr -d '\r')), the target as it was"
  else
    not_ok "applier, $label" "exit code $rc" "$(tail -3 pel.txt)" "$(diff -r old "$app" | head -3)" "$temps"
  fi
}

for limit in 8 64 300 700 1200 4000; do builder "a file size limit of $limit KiB" out "$limit"; done
mkdir app
for limit in 8 64 300 700 1200 4000; do applier "a file size limit of $limit KiB" app "$limit"; done

# Full volumes, where tmpfs can be mounted (as root, outside most containers).
small() {  # small DIR SIZE: a tmpfs of SIZE at DIR, or false
  mkdir -p "$1" && mount -t tmpfs -o "size=$2" tmpfs "$1" 2>/dev/null && mounts+=("$work/$1")
}
if small full-out 256k; then
  builder "the patch on a volume of 256 KiB" full-out
  if small full-app 1m; then
    applier "the target on a volume of 1 MiB" full-app
  fi
  umount full-out && small tmp 64k && {
    builder "temporaries on a volume of 64 KiB" out
    applier "temporaries on a volume of 64 KiB" app
  }
else
  echo "ok - tmpfs volumes skipped: this machine does not let us mount them"
fi

checks_done
