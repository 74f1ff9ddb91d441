#!/bin/bash
# The DCOM test server as a CTest fixture.
#   fixture.sh start STATE_DIR [SERVER ARGUMENTS...]   starts it on free loopback ports; STATE_DIR/ports
#                                                      has them once it listens, or STATE_DIR/skip says
#                                                      why the tests that need it are skipped
#   fixture.sh stop STATE_DIR                          stops it
set -u
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
action="${1:-}"
state="${2:-}"
if [ -z "$action" ] || [ -z "$state" ]; then
  echo "usage: fixture.sh start|stop STATE_DIR [SERVER ARGUMENTS...]" >&2
  exit 2
fi

source "$(dirname "${BASH_SOURCE[0]}")/../../fixture_stop.sh"
stop() { stop_fixture "$state"; }

# impacket comes from Debian's python3-impacket, so Debian's interpreter is the one that has it;
# a python3 earlier on PATH (pyenv, a venv) usually does not.
find_python() {
  local py
  for py in /usr/bin/python3 python3; do
    if command -v "$py" >/dev/null 2>&1 && "$py" -c 'import impacket, Cryptodome' 2>/dev/null; then
      echo "$py"
      return 0
    fi
  done
  return 1
}

case "$action" in
  start)
    stop
    rm -rf "$state"
    mkdir -p "$state"
    if ! python="$(find_python)"; then
      echo "impacket is not installed (apt-get install python3-impacket), so the DCOM test server cannot run" >"$state/skip"
      exit 0
    fi
    setsid "$python" "$here/server.py" --state "$state" "${@:3}" >"$state/stderr" 2>&1 </dev/null &
    echo $! >"$state/pid"
    for _ in $(seq 300); do
      [ -f "$state/ports" ] && exit 0
      if ! kill -0 "$(cat "$state/pid")" 2>/dev/null; then
        echo "the DCOM test server stopped before it listened:" >&2
        cat "$state/stderr" >&2
        exit 1
      fi
      sleep 0.1
    done
    echo "the DCOM test server did not listen within 30 s:" >&2
    cat "$state/stderr" "$state/log" >&2 2>/dev/null
    stop
    exit 1
    ;;
  stop)
    stop
    ;;
  *)
    echo "usage: fixture.sh start|stop STATE_DIR [SERVER ARGUMENTS...]" >&2
    exit 2
    ;;
esac
