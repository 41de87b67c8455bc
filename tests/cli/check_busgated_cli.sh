#!/bin/sh
# The command line of busgated as a user meets it, on the built program (through RUNNER, e.g.
# Wine, when given): the version, the help, and a run with no card.
#   check_busgated_cli.sh RUNNER PROGRAM VERSION
set -u
runner=$1
program=$2
version=$3
work=$(mktemp -d "${TMPDIR:-/tmp}/busgated-cli-XXXXXX")
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
# Windows programs end their lines with CR LF; the texts compare without the CR.
run() { $runner "$program" "$@" 2>&1 | tr -d '\r'; }

run -v >"$work/version.txt"
[ "$(head -n 1 "$work/version.txt")" = "busgated $version" ] || fail "-v printed: $(cat "$work/version.txt")"

$runner "$program" -h >"$work/help.raw" 2>&1
status=$?
tr -d '\r' <"$work/help.raw" >"$work/help.txt"
[ $status -eq 0 ] || fail "-h exit status $status"
grep -q "^Usage: busgated \[OPTION\]\.\.\.$" "$work/help.txt" || fail "-h printed no usage line"

# No card (no simulated one either): the not-found line, then the help, exit status 1.
env -u LINKSCOPE_SIM $runner "$program" -a 127.0.0.1 -p 9 -B "$work/buffer.bin" >"$work/nocard.raw" 2>&1
status=$?
tr -d '\r' <"$work/nocard.raw" >"$work/nocard.txt"
[ $status -eq 1 ] || fail "no card: exit status $status"
head -n 1 "$work/nocard.txt" | grep -q "\[error\] linkscope: device (idx=-1) not found$" ||
  fail "no card: first line: $(head -n 1 "$work/nocard.txt")"
tail -n +2 "$work/nocard.txt" >"$work/nocard-help.txt"
cmp -s "$work/nocard-help.txt" "$work/help.txt" || { fail "no card: the help differs from -h"; diff "$work/help.txt" "$work/nocard-help.txt" | head -n 20; }

[ $failures -eq 0 ] && echo "version, help and the no-card run as expected"
exit $failures
