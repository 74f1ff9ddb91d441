# Sourced by the test servers' fixture scripts: stop_fixture STATE_DIR ends the server whose
# process id STATE_DIR/pid holds (SIGTERM, then SIGKILL after 5 s).
stop_fixture() {
  local pidfile="$1/pid"
  [ -f "$pidfile" ] || return 0
  local pid
  pid="$(cat "$pidfile")"
  kill -TERM "$pid" 2>/dev/null
  for _ in $(seq 50); do
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  kill -KILL "$pid" 2>/dev/null
  rm -f "$pidfile"
}
