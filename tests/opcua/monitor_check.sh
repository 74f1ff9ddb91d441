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
# A server that takes the connection and the Hello but never opens a channel: one attempt, one
# message that says nothing answered.
silent="$(mktemp -d)"
python3 - "$silent" <<'PY' &
import socket, struct, sys, threading
folder = sys.argv[1]
listener = socket.socket()
listener.bind(("127.0.0.1", 0))
listener.listen()
open(folder + "/port", "w").write(str(listener.getsockname()[1]))
count = 0
def serve(conn):
    hello = conn.recv(8)
    size = struct.unpack("<I", hello[4:8])[0]
    conn.recv(size - 8)
    conn.sendall(b"ACKF" + struct.pack("<IIIIII", 28, 0, 65536, 65536, 0, 0))
    while conn.recv(65536):
        pass
while True:
    conn, _ = listener.accept()
    count += 1
    open(folder + "/count", "w").write(str(count))
    threading.Thread(target=serve, args=(conn,), daemon=True).start()
PY
listener=$!
for _ in $(seq 50); do [ -s "$silent/port" ] && break; sleep 0.1; done
quiet="$("$monitor" --server "opc.tcp://127.0.0.1:$(cat "$silent/port")" --item "0=i=2258" 2>&1)"
code=$?
kill "$listener" 2>/dev/null
[ "$code" -eq 3 ] || { echo "$quiet"; echo "exit $code, not 3, for a server that does not answer"; exit 1; }
[ "$(cat "$silent/count")" = 1 ] || { echo "$quiet"; echo "$(cat "$silent/count") connections, not 1"; exit 1; }
grep -q "did not answer" <<<"$quiet" && ! grep -q "refused" <<<"$quiet" || { echo "$quiet"; echo "the message does not say that nothing answered"; exit 1; }
rm -rf "$silent"
again="$("$monitor" --server "$url" --item "1=ns=1;s=Scratch.Monitor" --read --seconds 0.1)"
grep -q "^read \[1\] ns=1;s=Scratch.Monitor = $value (Good 0xC0)" <<<"$again" || { echo "$again"; echo "the write did not stick"; exit 1; }
# The secure server: its certificate refused with the command that trusts it, then --trust and a read.
secure="${state}_secure"
if [ -f "$secure/url" ]; then
  home="$(mktemp -d)"
  export VEXA32_PKI="$home/pki" VEXA32_UAPASSFILE="$home/uapass"
  printf '*:*:operator:secret-42\n' >"$VEXA32_UAPASSFILE"
  chmod 600 "$VEXA32_UAPASSFILE"
  address="$(sed 's|opc.tcp://|opc.tcp://operator@|' "$secure/url")?security=SignAndEncrypt"
  refused="$("$monitor" --server "$address" --item "0=ns=1;s=Simulation.Sine" --seconds 0.1 2>&1)"
  code=$?
  [ "$code" -eq 3 ] && grep -q "To trust it: vexa-monitor --trust --server" <<<"$refused" ||
    { echo "$refused"; echo "an unknown certificate was not refused with the way to trust it (exit $code)"; exit 1; }
  trusted="$("$monitor" --trust --server "$address" --item "0=ns=1;s=Simulation.Sine" --read --seconds 0.1 2>&1)" ||
    { echo "$trusted"; echo "--trust did not connect"; exit 1; }
  grep -q "^trusting the server's certificate: .*thumbprint [0-9A-F]\{40\}" <<<"$trusted" &&
    grep -q "^read \[0\] ns=1;s=Simulation.Sine = .* (Good 0xC0)" <<<"$trusted" ||
    { echo "$trusted"; echo "no trusted secure read"; exit 1; }
  rm -rf "$home"
fi
