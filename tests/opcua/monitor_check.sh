#!/bin/bash
# vexa-monitor against the OPC UA test server: connects, reads every tag, writes one and reads the
# write back. Exit 77 (skipped) when the server could not run.
set -u
monitor="$1"
state="$2"
if [ ! -f "$state/url" ]; then
  echo "skipped: $(cat "$state/skip" 2>/dev/null || echo "the OPC UA test server did not start")"
  exit 77
fi
url="$(cat "$state/url")"
value=$((RANDOM % 1000))
out="$("$monitor" --server "$url" --item "0=ns=1;s=Simulation.Sine" --item "1=ns=1;s=Scratch.Monitor" \
  --write "1=$value" --read --seconds 0.2)" || { echo "$out"; echo "vexa-monitor failed"; exit 1; }
echo "$out"
grep -q "^connected to $url" <<<"$out" || { echo "no connection"; exit 1; }
grep -q "^write slot 1 = \"$value\": sent" <<<"$out" || { echo "the write was not sent"; exit 1; }
grep -q "^read \[0\] ns=1;s=Simulation.Sine = .* (Good 0xC0)" <<<"$out" || { echo "no good read of the sine"; exit 1; }
again="$("$monitor" --server "$url" --item "1=ns=1;s=Scratch.Monitor" --read --seconds 0.1)"
grep -q "^read \[1\] ns=1;s=Scratch.Monitor = $value (Good 0xC0)" <<<"$again" || { echo "$again"; echo "the write did not stick"; exit 1; }
