# shellcheck shell=bash
# Sourced by the package checks: count named checks, and report them at the end.
#   check DESCRIPTION COMMAND...   runs COMMAND quietly; a failure prints "FAIL: DESCRIPTION"
#   report NAME                    prints "NAME: N passed, N failed"; fails when any failed
passed=0 failed=0
check() {
  local what=$1
  shift
  if "$@" >/dev/null 2>&1; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    echo "FAIL: $what"
  fi
}
contains() { grep -Fq -- "$2" <<<"$1"; }
matches() { grep -Eq -- "$2" <<<"$1"; }
lacks() { ! grep -Eq -- "$2" <<<"$1"; }
same() { [ "$1" = "$2" ]; }
report() {
  echo "$1: $passed passed, $failed failed"
  [ "$failed" -eq 0 ]
}
