#!/usr/bin/env bash
# bench/fetch-extra.sh — fetch the inputs of bench/extra-cases.tsv into DATA and
# check them against bench/corpus.lock. scripts/bench runs it right after the
# shared fetch-corpus.sh, with the same DATA.
#
#   DATA=build/bench/data bench/fetch-extra.sh
#   CASES="esb-chain biome-jump" bench/fetch-extra.sh   esbuild 0.25.7, 0.25.8 and biome 2.5.15, 2.6.9
#   CASES="esb-patch" bench/fetch-extra.sh              nothing to do: no case of ours asked for
#
# Environment:
#   DATA       the corpus folder (default build/bench/data, as scripts/bench)
#   CASES      the run's cases; only the inputs of the cases of bench/extra-cases.tsv
#              among them are fetched and must be there (all of them when CASES is empty)
#   BENCH_DIR  the shared harness (default ../shared/bench beside the project, as
#              scripts/bench), whose corpus.lock pins the start and end files that
#              esb-chain shares with esb-patch
# Needs npm (registry access), tar and sha256sum. Idempotent: files already
# present are kept and only checked; a file that differs from its pin fails the
# run with its name (delete it to fetch it again).
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
DATA=${DATA:-$ROOT/build/bench/data}
LOCK=$ROOT/bench/corpus.lock
SHARED_LOCK=${BENCH_DIR:-$ROOT/../shared/bench}/corpus.lock
CASES=${CASES:-}

# biome.exe (PE32+ x86-64) of @biomejs/cli-win32-x64, as files/biome-VERSION.exe.
#   biome-patch: consecutive patch releases; biome-jump: across a minor release.
BIOME_PACKAGE=@biomejs/cli-win32-x64
BIOME_PATCH_VERSIONS="2.6.8 2.6.9"
BIOME_JUMP_VERSIONS="2.5.15 2.6.9"
# esbuild.exe (PE32 i386) of @esbuild/win32-ia32, as files/esbuild-VERSION.exe, fetched
# as the shared fetch-corpus.sh does. esb-chain: three consecutive start releases, one
# patch to 0.25.10; the shared script fetches 0.25.9 and 0.25.10 (esb-patch), this one the rest.
ESBUILD_PACKAGE=@esbuild/win32-ia32
ESB_CHAIN_VERSIONS="0.25.7 0.25.8"
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

biome_versions=""
wanted biome-patch && biome_versions+=" $BIOME_PATCH_VERSIONS"
wanted biome-jump && biome_versions+=" $BIOME_JUMP_VERSIONS"
esbuild_versions=""
wanted esb-chain && esbuild_versions+=" $ESB_CHAIN_VERSIONS"

if [[ -n ${biome_versions// /}${esbuild_versions// /} ]]; then
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

  # npm_file PACKAGE VERSION MEMBER OUT: package/MEMBER of PACKAGE@VERSION as DATA/OUT,
  # unless OUT is there. The tarball is dl/STEM.tgz, named as npm names it
  # (@esbuild/win32-ia32@0.25.7 -> esbuild-win32-ia32-0.25.7.tgz).
  npm_file() {
    local package=$1 v=$2 member=$3 out=$4 stem tmp
    [[ -e $DATA/$out ]] && return 0
    stem=${package#@}; stem=${stem//\//-}-$v
    npm_fetch "$package@$v" "$stem"
    tmp=$(mktemp -d "$DATA/.x.XXXXXX")
    tar xzf "$DATA/dl/$stem.tgz" -C "$tmp" "package/$member" ||
      { rm -rf "$tmp"; fail "no package/$member in dl/$stem.tgz"; }
    mv "$tmp/package/$member" "$DATA/$out"
    rm -rf "$tmp"
    log "$out from dl/$stem.tgz"
  }

  for v in $biome_versions; do npm_file "$BIOME_PACKAGE" "$v" biome.exe "files/biome-$v.exe"; done
  for v in $esbuild_versions; do npm_file "$ESBUILD_PACKAGE" "$v" esbuild.exe "files/esbuild-$v.exe"; done
fi

# ---- check every pinned input ---------------------------------------------------
# Size first (cheap), then sha256. Every input of bench/corpus.lock that is there
# is checked; the files of the wanted cases must be there (tarballs may be missing,
# as in the shared lock). A file of a wanted case that bench/corpus.lock does not
# pin must be one of the shared corpus, fetched by the shared fetch-corpus.sh
# before: it is checked against the shared corpus.lock here as well.
pinned=" "
n=0
check() { # check LOCKNAME KIND PATH SHA256 BYTES WHAT
  local lock=$1 kind=$2 path=$3 sum=$4 bytes=$5 what=$6 f size got
  f=$DATA/$path
  if [[ ! -e $f ]]; then
    [[ $kind == file && $wanted_paths == *" $path "* ]] || return 0
    fail "$path is missing from $DATA (pinned in $lock: $what)"
  fi
  size=$(stat -L -c %s "$f")
  if [[ $size != "$bytes" ]]; then
    fail "$path differs from $lock: $size bytes, pinned $bytes ($what); delete $f to fetch it again"
  fi
  got=$(sha256sum "$f" | cut -d' ' -f1)
  if [[ $got != "$sum" ]]; then
    fail "$path differs from $lock: sha256 $got, pinned $sum ($what); delete $f to fetch it again"
  fi
  n=$((n + 1))
}

[[ -f $LOCK ]] || fail "no $LOCK"
while IFS=$'\t' read -r kind set path sum bytes what; do
  [[ -z $kind || $kind == \#* ]] && continue
  pinned+="$path "
  check bench/corpus.lock "$kind" "$path" "$sum" "$bytes" "$what"
done < "$LOCK"
ours=$n

shared=" "
for path in $wanted_paths; do
  [[ $pinned == *" $path "* ]] || shared+="$path "
done
if [[ $shared != " " ]]; then
  [[ -f $SHARED_LOCK ]] || fail "no $SHARED_LOCK, which should pin$shared(set BENCH_DIR to the shared harness)"
  while IFS=$'\t' read -r kind set path sum bytes what; do
    [[ -z $kind || $kind == \#* || $kind != file || $shared != *" $path "* ]] && continue
    shared=${shared/ "$path" / }
    [[ -e $DATA/$path ]] ||
      fail "$path is missing from $DATA: it is a file of the shared corpus, run the shared fetch-corpus.sh with the same DATA first"
    check "the shared corpus.lock" "$kind" "$path" "$sum" "$bytes" "$what"
  done < "$SHARED_LOCK"
  [[ $shared == " " ]] || fail "pinned neither in bench/corpus.lock nor in $SHARED_LOCK:$shared"
fi
if ((n > ours)); then
  log "$ours inputs match bench/corpus.lock, $((n - ours)) the shared corpus.lock"
else
  log "$ours inputs match bench/corpus.lock"
fi
