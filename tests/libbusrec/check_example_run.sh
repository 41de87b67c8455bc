#!/bin/sh
# Runs the example host program on a simulated card with four stations and one absent, and checks
# what it reports.  check_example_run.sh RUNNER PROGRAM  (RUNNER may be empty: run it directly)
set -eu
runner=$1
program=$2
work=$(mktemp -d "${TMPDIR:-/tmp}/busrec-example-XXXXXX")
trap 'rm -rf "$work"' EXIT

mkdir "$work/lock"
LINKSCOPE_SIM=stations=4,absent=1 LINKSCOPE_LOCK_DIR="$work/lock" $runner "$program" 1.5 >"$work/out.txt"
cat "$work/out.txt"
grep -q "^1 card(s)" "$work/out.txt"
grep -q "^event " "$work/out.txt"
grep -q "STATION-002" "$work/out.txt"
grep -q "^absent stations: 253 (first 3)" "$work/out.txt"
grep -q "^bus cycle: 8 cycles, period 80000 us" "$work/out.txt"
