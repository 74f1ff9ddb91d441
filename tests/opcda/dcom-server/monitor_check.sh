#!/bin/bash
# vexa-monitor against the DCOM test server: connects with the login of the password file, reads,
# writes the setpoint and reads the write back in a second run; a user without a line in the file
# is not asked for a password but fails with a message that names the file. Exit 77 (skipped) when
# the server could not run.
set -u
monitor="$1"
state="$2"
if [ ! -f "$state/ports" ]; then
  echo "skipped: $(cat "$state/skip" 2>/dev/null || echo "the DCOM test server did not start")"
  exit 77
fi
node="127.0.0.1:$(sed -n 's/^activation=//p' "$state/ports")"
home="$(mktemp -d)"
trap 'rm -rf "$home"' EXIT
export VEXA32_UAPASSFILE="$home/pass"
printf '127.0.0.1:*:VEXATEST\\\\tester:Vexa-Test-1\n' >"$VEXA32_UAPASSFILE"
chmod 600 "$VEXA32_UAPASSFILE"
value="$((RANDOM % 1000)).5"
items=(--item 0=SimulatePLC.Counter --item 1=SimulatePLC.Setpoint)
out="$("$monitor" --server Vexa.DcomTest.1 --node "$node" "${items[@]}" --write "1=$value" --read --rate 100 \
  --seconds 0.5 </dev/null 2>&1)" || { echo "$out"; echo "vexa-monitor failed"; exit 1; }
echo "$out"
grep -q "^connected to Vexa.DcomTest.1" <<<"$out" || { echo "no connection"; exit 1; }
grep -q "^write slot 1 = \"$value\": sent" <<<"$out" || { echo "the write was not sent"; exit 1; }
grep -q "^read \[0\] SimulatePLC.Counter = [0-9]* (Good 0xC0)" <<<"$out" || { echo "no good read of the counter"; exit 1; }
grep -q "^disconnected after [1-9][0-9]* data changes" <<<"$out" || { echo "no data change"; exit 1; }
grep -q "^data changes by callbacks$" <<<"$out" || { echo "the server's data changes were not pushed"; exit 1; }
again="$("$monitor" --server Vexa.DcomTest.1 --node "$node" --item 1=SimulatePLC.Setpoint --read --seconds 0.1 2>&1)"
grep -q "^read \[1\] SimulatePLC.Setpoint = $value (Good 0xC0)" <<<"$again" || { echo "$again"; echo "the write did not stick"; exit 1; }
# Another user on the node: nothing is asked, the message says where the password goes.
refused="$("$monitor" --server Vexa.DcomTest.1 --node "operator@$node" --item 0=SimulatePLC.Counter --seconds 0.1 \
  </dev/null 2>&1)"
code=$?
[ "$code" -eq 3 ] && grep -q "no password for operator@$node in the password file $VEXA32_UAPASSFILE" <<<"$refused" ||
  { echo "$refused"; echo "a user without a password did not fail naming the password file (exit $code)"; exit 1; }
echo "vexa-monitor read, wrote and refused as it should"
