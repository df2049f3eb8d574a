#!/usr/bin/env bash
# bench/fetch-extra.sh — fetch the inputs of bench/extra-cases.tsv into DATA and
# check them against bench/corpus.lock. scripts/bench runs it right after the
# shared fetch-corpus.sh, with the same DATA.
#
#   DATA=build/bench/data bench/fetch-extra.sh
#   CASES="esb-patch" bench/fetch-extra.sh     nothing to do: biome-patch not asked for
#
# Environment:
#   DATA    the corpus folder (default build/bench/data, as scripts/bench)
#   CASES   the run's cases; the biome files are fetched and checked only when
#           biome-patch is among them, or when CASES is empty (all cases)
# Needs npm (registry access), tar and sha256sum. Idempotent: files already
# present are kept and only checked; a file that differs from its pin fails the
# run with its name (delete it to fetch it again).
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
DATA=${DATA:-$ROOT/build/bench/data}
LOCK=$ROOT/bench/corpus.lock
CASES=${CASES:-}

# biome-patch: biome.exe (PE32+ x86-64) of @biomejs/cli-win32-x64, consecutive patch releases.
BIOME_CASE=biome-patch
BIOME_VERSIONS="2.6.8 2.6.9"
# huge-groups: bench/make-huge-groups.py, runs, repeated patterns and tables (64 MiB).
GROUPS_CASE=huge-groups

log() { printf '[fetch-extra] %s\n' "$*" >&2; }
fail() { printf 'bench/fetch-extra.sh: %s\n' "$*" >&2; exit 1; }

wanted() {
  [[ -z ${CASES//[[:space:]]/} ]] && return 0
  local c
  for c in $CASES; do [[ $c == "$1" ]] && return 0; done
  return 1
}

# The start and end files of the wanted cases of bench/extra-cases.tsv.
wanted_paths=" "
while IFS=$'\t' read -r set name kind olds new; do
  [[ -z $set || $set == \#* ]] && continue
  wanted "$name" && wanted_paths+="${olds//,/ } $new "
done < "$ROOT/bench/extra-cases.tsv"
if [[ $wanted_paths == " " ]]; then
  log "no case of bench/extra-cases.tsv among CASES ($CASES): nothing to fetch"
  exit 0
fi

# huge-groups: generated, the same bytes on every machine.
if wanted "$GROUPS_CASE" && { [[ ! -e $DATA/synth/groups-old.bin ]] || [[ ! -e $DATA/synth/groups-new.bin ]]; }; then
  mkdir -p "$DATA/synth"
  log "making synth/groups-old.bin and synth/groups-new.bin"
  python3 "$ROOT/bench/make-huge-groups.py" "$DATA/synth/.groups-old.bin" "$DATA/synth/.groups-new.bin"
  mv "$DATA/synth/.groups-old.bin" "$DATA/synth/groups-old.bin"
  mv "$DATA/synth/.groups-new.bin" "$DATA/synth/groups-new.bin"
fi

if wanted "$BIOME_CASE"; then
  mkdir -p "$DATA/dl" "$DATA/files"

  # npm_fetch PACKAGE STEM: DATA/dl/STEM.tgz from the registry unless it is there. npm
  # packs into a scratch folder first, so an interrupted download leaves no tarball.
  npm_fetch() {
    local package=$1 stem=$2 tmp
    [[ -s $DATA/dl/$stem.tgz ]] && return 0
    log "npm pack $package"
    tmp=$(mktemp -d "$DATA/.x.XXXXXX")
    (cd "$tmp" && npm pack "$package" --pack-destination "$tmp" >/dev/null) ||
      { rm -rf "$tmp"; fail "npm pack $package failed"; }
    [[ -s $tmp/$stem.tgz ]] || { ls -l "$tmp" >&2; rm -rf "$tmp"; fail "npm pack $package did not write $stem.tgz"; }
    mv "$tmp/$stem.tgz" "$DATA/dl/$stem.tgz"
    rm -rf "$tmp"
  }

  for v in $BIOME_VERSIONS; do
    out=$DATA/files/biome-$v.exe
    [[ -e $out ]] && continue
    stem=biomejs-cli-win32-x64-$v
    npm_fetch "@biomejs/cli-win32-x64@$v" "$stem"
    tmp=$(mktemp -d "$DATA/.x.XXXXXX")
    tar xzf "$DATA/dl/$stem.tgz" -C "$tmp" package/biome.exe ||
      { rm -rf "$tmp"; fail "no package/biome.exe in dl/$stem.tgz"; }
    mv "$tmp/package/biome.exe" "$out"
    rm -rf "$tmp"
    log "files/biome-$v.exe from dl/$stem.tgz"
  done
fi

# ---- check every pinned input ---------------------------------------------------
# Size first (cheap), then sha256. Every input that is there is checked; the
# files of the wanted cases must be there (tarballs may be missing, as in the
# shared lock).
[[ -f $LOCK ]] || fail "no $LOCK"
n=0
while IFS=$'\t' read -r kind set path sum bytes what; do
  [[ -z $kind || $kind == \#* ]] && continue
  f=$DATA/$path
  if [[ ! -e $f ]]; then
    [[ $kind == file && $wanted_paths == *" $path "* ]] || continue
    fail "$path is missing from $DATA (pinned in bench/corpus.lock: $what)"
  fi
  size=$(stat -L -c %s "$f")
  if [[ $size != "$bytes" ]]; then
    fail "$path differs from bench/corpus.lock: $size bytes, pinned $bytes ($what); delete $f to fetch it again"
  fi
  got=$(sha256sum "$f" | cut -d' ' -f1)
  if [[ $got != "$sum" ]]; then
    fail "$path differs from bench/corpus.lock: sha256 $got, pinned $sum ($what); delete $f to fetch it again"
  fi
  n=$((n + 1))
done < "$LOCK"
log "$n inputs match bench/corpus.lock"
