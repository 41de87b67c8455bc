#!/usr/bin/env bash
# Every shell script of the source tree parses (bash -n, or sh -n for /bin/sh ones), and the
# linter ShellCheck (Debian's package) finds nothing at warning level, sourced files followed.
# Branches that no machine here runs (32-bit Wine on a host without 32-bit code) are checked so.
#   check_scripts.sh SOURCE_DIR
set -uo pipefail
cd "$1" || exit 2
# shellcheck source=tests/package/checks.sh
source tests/package/checks.sh

scripts=()
while IFS= read -r -d '' file; do
  case "$file" in
  *.sh) scripts+=("$file") ;;
  *) head -n 1 "$file" | grep -qE '^#! */(usr/bin/env +)?(bin/)?(ba)?sh\b' && scripts+=("$file") ;;
  esac
done < <(find . \( -name .git -o -name 'build*' \) -prune -o -type f -print0 | sort -z)

check "the tree holds the scripts (${#scripts[@]} found)" test "${#scripts[@]}" -ge 20
for file in "${scripts[@]}"; do
  shell="bash"
  if head -n 1 "$file" | grep -qE '^#! */bin/sh\b'; then shell="sh"; fi
  check "$shell -n $file" "$shell" -n "$file"
done
if ! command -v shellcheck >/dev/null; then
  echo "FAIL: shellcheck is missing (scripts/setup installs it)"
  exit 1
fi
findings=$(shellcheck -x --severity=warning "${scripts[@]}" 2>&1)
check "shellcheck finds nothing:
$findings" test -z "$findings"
report "scripts"
