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

PKG_CONFIG_PATH=$(dirname "$pc") cmake -S "$examples_dir" -B "$work/build" -DCMAKE_C_FLAGS=-Werror >/dev/null
cmake --build "$work/build" >/dev/null

sh "$(dirname "$0")/check_example_run.sh" "" "$work/build/busrec_capture"
