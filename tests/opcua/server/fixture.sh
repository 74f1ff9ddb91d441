#!/bin/bash
# The test server as a CTest fixture.
#   fixture.sh start STATE_DIR [PORT [EXTRA SERVER ARGUMENTS...]]
#                                starts it on PORT or a free loopback port; writes STATE_DIR/url, or
#                                STATE_DIR/skip with the reason the tests that need it are skipped
#   fixture.sh stop STATE_DIR    stops it
set -u
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
action="$1"
state="$2"

source "$(dirname "${BASH_SOURCE[0]}")/../../fixture_stop.sh"
stop() { stop_fixture "$state"; }

case "$action" in
  start)
    stop
    rm -rf "$state"
    mkdir -p "$state"
    if ! command -v node >/dev/null 2>&1; then
      echo "Node.js is not installed, so the OPC UA test server cannot run" >"$state/skip"
      exit 0
    fi
    if [ ! -d "$here/node_modules/node-opcua" ]; then
      echo "node-opcua is not installed in $here (scripts/test installs it with npm ci)" >"$state/skip"
      exit 0
    fi
    port="${3:-}"
    [ -n "$port" ] || port="$(node -e 'const s = require("net").createServer(); s.listen(0, "127.0.0.1", () => { console.log(s.address().port); s.close(); });')"
    setsid node "$here/server.js" --port "$port" "${@:4}" >"$state/log" 2>&1 </dev/null &
    echo $! >"$state/pid"
    for _ in $(seq 600); do
      if grep -q "^listening " "$state/log"; then
        echo "opc.tcp://127.0.0.1:$port" >"$state/url"
        exit 0
      fi
      if ! kill -0 "$(cat "$state/pid")" 2>/dev/null; then
        echo "the test server stopped before it listened:" >&2
        cat "$state/log" >&2
        exit 1
      fi
      sleep 0.1
    done
    echo "the test server did not listen within 60 s:" >&2
    cat "$state/log" >&2
    stop
    exit 1
    ;;
  stop)
    stop
    ;;
  *)
    echo "usage: fixture.sh start|stop STATE_DIR" >&2
    exit 2
    ;;
esac
