#!/bin/sh
# Checks the public header's record layouts with a 32-bit compiler; skipped (77) without one.
header_dir=$1
source=$2
compiler=$(command -v i686-linux-gnu-gcc) || { echo "i686-linux-gnu-gcc not installed: skipped"; exit 77; }
"$compiler" -std=c11 -Wall -Wextra -Werror -fsyntax-only -I"$header_dir" "$source" &&
  "$compiler" -std=c99 -pedantic -Wall -Wextra -Werror -fsyntax-only -I"$header_dir" -x c - <<'C'
#include "busrec.h"
int main(void) { return busrec_init(); }
C
