#!/usr/bin/env bash
# The manual pages render without a warning, carry the programs' version, describe every option
# that the programs' help texts list, and name every exported function and every message of
# the library's own error codes.
#   check_manpages.sh MAN_DIR BUSGATED BUSDUMP LIBBUSREC_SO LIBBUSREC_MAP
set -uo pipefail
man_dir=$1 busgated=$2 busdump=$3 library=$4 symbol_map=$5
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

rendered_dir=$(mktemp -d /tmp/busgate-man-XXXXXX)
trap 'rm -rf "$rendered_dir"' EXIT
render() {  # the page as a reader sees it, wide enough that no option item wraps; made once
  local cached=$rendered_dir/$(basename "$1")
  [ -f "$cached" ] || LC_ALL=C.UTF-8 MANWIDTH=200 man -E UTF-8 -l "$1" 2>/dev/null | col -bx >"$cached"
  cat "$cached"
}

version=$("$busgated" -v | awk '{print $2}')
[ -n "$version" ] || fail "busgated -v printed no version"

for page in "$man_dir"/busgated.8.gz "$man_dir"/busdump.1.gz "$man_dir"/libbusrec.3.gz; do
  name=$(basename "$page" .gz)
  [ -s "$page" ] || { fail "$name is missing"; continue; }
  warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -E UTF-8 -l "$page" 2>&1 >/dev/null)
  [ -z "$warnings" ] || fail "$name: formatter warnings: $warnings"
  lexgrog "$page" >/dev/null || fail "$name: lexgrog finds no NAME section"
  zcat "$page" | grep -q '@[A-Z_]*@' && fail "$name: unconfigured placeholder left"
  footer=$(render "$page" | tail -n 1)
  case "$footer" in *"busgate $version"*) ;; *) fail "$name: footer '$footer' lacks version $version" ;; esac
done

# Every "-x" or "-x, --name" line of a help text has an item in the page, and the long name
# appears in it.
check_options() {  # page help_text
  local page=$1 help=$2 rendered short long
  rendered=$(render "$page")
  while read -r short long; do
    grep -Eq -- "^ +${short}(,| |$)" <<<"$rendered" || fail "$(basename "$page"): no item for option $short"
    if [ -n "$long" ]; then
      grep -Fq -- "$long" <<<"$rendered" || fail "$(basename "$page"): option $long not described"
    fi
  done < <(sed -nE 's/^ +(-[A-Za-z])(, (--[a-z_]+))?( .*)?$/\1 \3/p' <<<"$help")
}

busgated_help=$("$busgated" -h)
[ "$(sed -nE '/^ +-[A-Za-z], --/p' <<<"$busgated_help" | wc -l)" -ge 15 ] || fail "busgated -h lists fewer than 15 options"
check_options "$man_dir/busgated.8.gz" "$busgated_help"
grep -Fq "busgated $version" <(render "$man_dir/busgated.8.gz") || fail "busgated.8 does not show 'busgated $version'"
for key in DeviceIndex UdpPort; do
  grep -Eq "^ +$key\$" <(render "$man_dir/busgated.8.gz") || fail "busgated.8: configuration key $key has no item"
done
for section in OPTIONS "CONFIGURATION FILE" SIGNALS "EXIT STATUS" FILES SERVICE ENVIRONMENT; do
  grep -Fxq "$section" <(render "$man_dir/busgated.8.gz") || fail "busgated.8: no section $section"
done

busdump_help=$("$busdump" --help)
[ "$(sed -nE '/^ +-[A-Za-z]/p' <<<"$busdump_help" | wc -l)" -ge 10 ] || fail "busdump --help lists fewer than 10 options"
check_options "$man_dir/busdump.1.gz" "$busdump_help"
grep -Fq "busdump $version" <(render "$man_dir/busdump.1.gz") || fail "busdump.1 does not show 'busdump $version'"

# libbusrec(3): the exported functions are in NAME (so `man busrec_sess_init` finds the page)
# and in SYNOPSIS; each error code's message is quoted exactly as busrec_strerror returns it.
names=$(lexgrog "$man_dir/libbusrec.3.gz")
synopsis=$(render "$man_dir/libbusrec.3.gz" | sed -n '/^SYNOPSIS/,/^DESCRIPTION/p')
exports=$(sed -nE 's/^ +(busrec_[a-z_]+);$/\1/p' "$symbol_map")
[ "$(wc -w <<<"$exports")" -eq 16 ] || fail "expected 16 exported functions in $symbol_map"
for fn in $exports; do
  grep -Fq "\"$fn - " <<<"$names" || fail "libbusrec.3: $fn missing from NAME"
  grep -Eq "[ *]$fn\(" <<<"$synopsis" || fail "libbusrec.3: $fn missing from SYNOPSIS"
  [ "$(zcat "$man_dir/$fn.3.gz" 2>/dev/null)" = ".so man3/libbusrec.3" ] || fail "$fn.3 does not lead to libbusrec.3"
done
messages=$(python3 - "$library" <<'PY'
import ctypes, sys
lib = ctypes.CDLL(sys.argv[1])
lib.busrec_strerror.restype = ctypes.c_char_p
for code in range(256, 266):
    print(f"{code}\t{lib.busrec_strerror(code).decode()}")
PY
) || fail "cannot read the messages of $library"
[ "$(wc -l <<<"$messages")" -eq 10 ] || fail "expected 10 library messages"
source_page=$(zcat "$man_dir/libbusrec.3.gz")
while IFS=$'\t' read -r code message; do
  grep -Fq "\"$message\"" <<<"$source_page" || fail "libbusrec.3: message of $code not quoted: $message"
  grep -Eq "\($code\)\"?\$" <<<"$source_page" || fail "libbusrec.3: code $code has no item"
done <<<"$messages"

if [ "$failures" -ne 0 ]; then
  echo "$failures failure(s)"
  exit 1
fi
echo "manual pages: rendered without warnings, options, functions and messages all described"
