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
  local cached
  cached=$rendered_dir/$(basename "$1")
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
for key in DeviceIndex UdpPort LossRecord; do
  grep -Eq "^ +$key\$" <(render "$man_dir/busgated.8.gz") || fail "busgated.8: configuration key $key has no item"
done
for section in OPTIONS "CONFIGURATION FILE" SIGNALS "EXIT STATUS" FILES SERVICE ENVIRONMENT; do
  grep -Fxq "$section" <(render "$man_dir/busgated.8.gz") || fail "busgated.8: no section $section"
done

# What busgated.8 says against what busgated does: the address family of -a, the length of a
# configuration line, and the signals it catches or ignores (read from /proc while it runs).
# The gateway runs on a simulated card, unicast to the discard port of 127.0.0.1.
gateway_page=$(render "$man_dir/busgated.8.gz")
work=$(mktemp -d /tmp/busgate-man-run-XXXXXX)
trap 'rm -rf "$rendered_dir" "$work"' EXIT
sim=(env LINKSCOPE_SIM=1 LINKSCOPE_LOCK_DIR="$work/locks" NOTIFY_SOCKET=)
safe=(-B "$work/buffer.bin" -S 1048576 -p 9)
ipv6_run=$(timeout 30 "${sim[@]}" "$busgated" "${safe[@]}" -a ::1 2>&1)
if grep -q "cannot build the UDP sender" <<<"$ipv6_run"; then
  address_item=$(sed -n '/^ *-a, --ip_address/,/^ *-p, --port/p' <<<"$gateway_page")
  grep -Eq "IPv4 +or +IPv6" <<<"$address_item" && fail "busgated.8: -a promises IPv6, which the sender refuses"
fi
# A comment of 511 characters and a refused port after it on the same line: a reader that
# splits long lines would see the port.
printf '#%s UdpPort=99999\n' "$(head -c 510 /dev/zero | tr '\0' x)" >"$work/long.conf"
long_line_run=$(timeout 30 env -u LINKSCOPE_SIM "$busgated" -a 127.0.0.1 "${safe[@]}" -C "$work/long.conf" 2>&1)
if ! grep -q "UdpPort" <<<"$long_line_run"; then
  grep -q "511" <<<"$gateway_page" && fail "busgated.8: says long configuration lines are split; they are read whole"
  grep -q "read whole" <<<"$gateway_page" || fail "busgated.8: does not say configuration lines are read whole"
fi
"${sim[@]}" "$busgated" -a 127.0.0.1 "${safe[@]}" -L "$work/run.log" >/dev/null 2>&1 &
gateway_pid=$!
for _ in $(seq 200); do grep -q "app is running" "$work/run.log" 2>/dev/null && break; sleep 0.1; done
caught=$(awk '/^SigCgt/ {print $2}' "/proc/$gateway_pid/status")
ignored=$(awk '/^SigIgn/ {print $2}' "/proc/$gateway_pid/status")
kill -INT "$gateway_pid"; wait "$gateway_pid"
[ -n "$caught" ] || fail "busgated did not run for the signal check: $(cat "$work/run.log" 2>/dev/null)"
signals=$(sed -n '/^SIGNALS$/,/^EXIT STATUS$/p' <<<"$gateway_page")
for signal in HUP:1 INT:2 PIPE:13 TERM:15; do
  name=SIG${signal%%:*} number=${signal##*:}
  if (( ((16#${caught:-0} | 16#${ignored:-0}) >> (number - 1)) & 1 )); then
    grep -Eq "^ +(SIG[A-Z]+, )*$name(,| |$)" <<<"$signals" || fail "busgated.8: $name is handled but has no item under SIGNALS"
  fi
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
