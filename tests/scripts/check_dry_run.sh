#!/usr/bin/env bash
# Checks a script's dry run: every "run: PROGRAM ARGS..." line it prints names its program by an
# absolute path to an executable file, the Wine loader is the one of ARCH (where it is installed),
# and every Windows program or driver among the arguments (an absolute .exe, .sys or .dll path)
# exists and is built for ARCH. Proves a branch well-formed on a machine that cannot run it.
#   check_dry_run.sh i686|x86_64 COMMAND... (the command includes its --dry-run flag)
set -uo pipefail
arch=$1
shift
# shellcheck source=tests/package/checks.sh
source "$(dirname "$0")/../package/checks.sh"
executable_file() { [[ $1 == /* ]] && [ -f "$1" ] && [ -x "$1" ]; }
case "$arch" in
i686) pe_format='^PE32 .*Intel 80386' loader_format='ELF 32-bit .*Intel 80386' ;;
x86_64) pe_format='^PE32\+ .*x86-64' loader_format='ELF 64-bit .*x86-64' ;;
*) echo "check_dry_run.sh: ARCH must be i686 or x86_64" >&2; exit 2 ;;
esac

output=$("$@" 2>&1)
status=$?
lines=$(grep '^run: ' <<<"$output")
check "the dry run succeeds (exit $status): $output" test "$status" -eq 0
check "the dry run lists the programs it would start" test -n "$lines"
windows_files=0
while IFS= read -r line; do
  [ -n "$line" ] || continue
  # The line is the script's own printf %q output: read back as the words it was made from.
  words=()
  eval "words=(${line#run: })"
  program=${words[0]}
  case "$(basename "$program")" in
  wine | wine64)
    if [ ! -e "$program" ] && [[ $program == /* ]]; then
      # scripts/setup-windows says when 32-bit Wine could not be installed; the rest still holds.
      [ -n "${loader_noted:-}" ] || echo "NOTE: the Wine loader $program is not installed here: only its path is checked"
      loader_noted=1
          else
      check "an absolute path to an executable file: $line" executable_file "$program"
      check "$program is the $arch loader" matches "$(file -bL "$program")" "$loader_format"
    fi
    ;;
  *) check "an absolute path to an executable file: $line" executable_file "$program" ;;
  esac
  for word in "${words[@]:1}"; do
    case "${word,,}" in
    /*.exe | /*.sys | /*.dll)
      windows_files=$((windows_files + 1))
      check "$word exists and is built for $arch ($(file -b "$word" 2>&1))" matches "$(file -b "$word")" "$pe_format"
      ;;
    esac
  done
done <<<"$lines"
check "the dry run names Windows programs ($windows_files)" test "$windows_files" -gt 0
report "dry run for $arch of $*"
