#!/usr/bin/env bash
# ctest_under_wine (scripts/build-common.sh) on a small CTest project of
# stand-in tests: a test that fails with Wine's message of a lost server
# runs once more and the retry is said; any other failure fails at once,
# without a retry.
#   tests/wine_retry_test.sh
set -u
here=$(cd "$(dirname "$0")" && pwd)
. "$here/checks.sh"
. "$here/../scripts/build-common.sh"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# project NAME TEST-SCRIPT...: a CTest project whose tests are these scripts.
project() {
  local dir=$work/$1 script i=0
  shift
  mkdir -p "$dir/src"
  echo 'cmake_minimum_required(VERSION 3.25)' >"$dir/src/CMakeLists.txt"
  echo 'project(stand_in NONE)' >>"$dir/src/CMakeLists.txt"
  echo 'enable_testing()' >>"$dir/src/CMakeLists.txt"
  for script in "$@"; do
    i=$((i + 1))
    printf '%s\n' "$script" >"$dir/src/t$i.sh"
    echo "add_test(NAME t$i COMMAND bash \${CMAKE_SOURCE_DIR}/t$i.sh)" >>"$dir/src/CMakeLists.txt"
  done
  cmake -S "$dir/src" -B "$dir/build" >/dev/null
  project_dir=$dir/build
}
# A test that fails on its first run only, saying MESSAGE. Its mark of a run
# is its own ("$0.ran"): the tests of a project run at once, in one folder.
first_run_fails() {
  printf 'if [ -e "$0.ran" ]; then exit 0; fi; touch "$0.ran"; echo "%s" >&2; exit 1' "$1"
}
run() {
  rc=0
  ctest_under_wine "$project_dir" >"$work/out" 2>&1 || rc=$?
}
runs_of() { grep -c "Test *#$1: " "$work/out"; }

project lost-server 'exit 0' "$(first_run_fails 'wine client error:2c: recvmsg: Connection reset by peer')"
run
check "a lost Wine server: passes on the retry" test "$rc" = 0
check "... the retry is said" grep -q '^== retrying t2: the Wine server dropped its clients' "$work/out"
check "... only that test runs again" test "$(runs_of 1)" = 1 -a "$(runs_of 2)" = 2

project real-failure "$(first_run_fails 'Expected: 1, actual: 2')" "$(first_run_fails 'wine client error:2c: recvmsg')"
run
check "a failure of another kind: the run fails" test "$rc" -ne 0
check "... at once, nothing retried" not grep -q 'retrying' "$work/out"

project lost-twice 'echo "wine client error:2c: recvmsg" >&2; exit 1'
run
check "a test that loses its server twice: the run fails" test "$rc" -ne 0
check "... after one retry" test "$(runs_of 1)" = 2

project all-pass 'exit 0' 'exit 0'
run
check "all passing: one run each" test "$rc" = 0 -a "$(runs_of 1)" = 1 -a "$(runs_of 2)" = 1

checks_done
