# shellcheck shell=bash
# Sourced by the shell tests: one line per check ("ok - NAME" or
# "not ok - NAME" with indented detail lines), counted for the summary that
# checks_done prints; its exit code is the verdict.
passed=0 failed=0
ok() { passed=$((passed + 1)); echo "ok - $1"; }
not_ok() { failed=$((failed + 1)); echo "not ok - $1"; shift; for line in "$@"; do echo "  $line"; done; }
check() {  # check NAME COMMAND...: passes when the command succeeds
  local name=$1
  shift
  if "$@"; then ok "$name"; else not_ok "$name" "failed: $*"; fi
}
# wait_for SECONDS COMMAND...: polls the command every 0.1 s until it
# succeeds or the time is up. For a state that another process makes: a
# window updated after an action, a file a program writes.
wait_for() {
  local deadline=$((SECONDS + $1))
  shift
  until "$@"; do
    [ "$SECONDS" -lt "$deadline" ] || return 1
    sleep 0.1
  done
}
# check_soon NAME COMMAND...: a check of such a state, waiting up to 10 s.
check_soon() {
  local name=$1
  shift
  if wait_for 10 "$@"; then ok "$name"; else not_ok "$name" "not within 10 s: $*"; fi
}
checks_done() {
  echo "$passed passed, $failed failed"
  [ "$failed" = 0 ]
}
# not COMMAND...: for checks that something did not happen.
not() { ! "$@"; }
# fixed_random_bytes COUNT SEED: COUNT incompressible bytes on stdout, the
# same bytes for the same seed on every run.
fixed_random_bytes() {
  python3 -c 'import random, sys; random.seed(int(sys.argv[2])); sys.stdout.buffer.write(random.randbytes(int(sys.argv[1])))' "$1" "$2"
}
