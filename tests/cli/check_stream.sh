#!/bin/sh
# busgated on a simulated card sends to 127.0.0.1; busdump (a native build: it may be the host's
# when busgated runs through RUNNER, e.g. Wine) decodes the stream: events, no sequence or index
# gap, a lifesign every 500 ms.
#   check_stream.sh RUNNER BUSGATED BUSDUMP
set -u
runner=$1
busgated=$2
busdump=$3
seconds=6
work=$(mktemp -d "${TMPDIR:-/tmp}/busgated-stream-XXXXXX")
port=$(( 20000 + $$ % 30000 ))
"$busdump" -b 127.0.0.1 -p "$port" -s -t "$seconds" >"$work/busdump.txt" 2>&1 &
dump=$!
trap 'kill $dump 2>/dev/null; rm -rf "$work"' EXIT
sleep 0.5
# The gateway stops a little before the receiver does, so every datagram it sent is counted.
LINKSCOPE_SIM=1 LINKSCOPE_LOCK_DIR="$work" timeout -k 3 -s INT $((seconds - 1)) \
  $runner "$busgated" -a 127.0.0.1 -p "$port" -B "$work/buffer.bin" >"$work/busgated.txt" 2>&1
wait $dump
cat "$work/busdump.txt"
totals=$(grep "^totals:" "$work/busdump.txt" | tr '\n' ' ')
events=$(echo "$totals" | sed -n 's/.* records: \([0-9]*\) events.*/\1/p')
lifesigns=$(echo "$totals" | sed -n 's/.* \([0-9]*\) lifesigns.*/\1/p')
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
[ -n "$events" ] && [ "$events" -gt 0 ] || fail "no events decoded"
echo "$totals" | grep -q " 0 sequence gaps " || fail "sequence gaps"
echo "$totals" | grep -q " 0 index gaps " || fail "index gaps"
echo "$totals" | grep -q " 0 malformed" || fail "malformed datagrams"
# About $seconds - 1.5 s of run time (start-up included): two lifesigns a second, a few spare.
[ -n "$lifesigns" ] && [ "$lifesigns" -ge $(( (seconds - 3) * 2 )) ] &&
  [ "$lifesigns" -le $(( seconds * 2 )) ] || fail "lifesigns: ${lifesigns:-none} in about $((seconds - 1)) s"
[ $failures -eq 0 ] || { echo "--- busgated:"; cat "$work/busgated.txt"; }
exit $failures
