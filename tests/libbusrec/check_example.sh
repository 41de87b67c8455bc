#!/bin/sh
# Installs libbusrec into a temporary prefix, builds the example against it through
# pkg-config, and runs it on a simulated card.
set -eu
build_dir=$1
examples_dir=$2
work=$(mktemp -d /tmp/busrec-example-XXXXXX)
trap 'rm -rf "$work"' EXIT

cmake --install "$build_dir" --prefix "$work/prefix" --component busrec >/dev/null
cmake --install "$build_dir" --prefix "$work/prefix" --component busrec_dev >/dev/null
pc=$(find "$work/prefix" -name libbusrec.pc | head -n 1)
[ -n "$pc" ] || { echo "libbusrec.pc not installed"; exit 1; }
[ -f "$work/prefix/include/busrec.h" ] || { echo "busrec.h not installed"; exit 1; }
[ -n "$(find "$work/prefix" -name busrecConfig.cmake)" ] || { echo "CMake package not installed"; exit 1; }

PKG_CONFIG_PATH=$(dirname "$pc") cmake -S "$examples_dir" -B "$work/build" >/dev/null
cmake --build "$work/build" >/dev/null

mkdir "$work/lock"
LINKSCOPE_SIM=stations=4,absent=1 LINKSCOPE_LOCK_DIR="$work/lock" "$work/build/busrec_capture" 1.5 >"$work/out.txt"
cat "$work/out.txt"
grep -q "^1 card(s)" "$work/out.txt"
grep -q "^event " "$work/out.txt"
grep -q "STATION-002" "$work/out.txt"
grep -q "^absent stations: 253 (first 3)" "$work/out.txt"
