#!/bin/bash
# Samba's RPC server (samba-dcerpcd, its endpoint mapper on 127.0.0.1:135) as an independent peer
# for our RPC and NTLM layers, with a configuration, a password database and a user of its own in
# STATE_DIR; nothing of the machine's Samba is touched.
#   samba_fixture.sh start STATE_DIR   STATE_DIR/ready once it answers, or STATE_DIR/skip saying why
#   samba_fixture.sh stop STATE_DIR
set -u
action="${1:-}"
state="${2:-}"
[ -n "$action" ] && [ -n "$state" ] || { echo "usage: samba_fixture.sh start|stop STATE_DIR" >&2; exit 2; }
daemon=/usr/libexec/samba/samba-dcerpcd
user=nobody
password=Vexa-Samba-1

source "$(dirname "${BASH_SOURCE[0]}")/../../fixture_stop.sh"
stop() { stop_fixture "$state"; }

skip() {
  echo "$1" > "$state/skip"
  exit 0
}

case "$action" in
  start)
    stop
    rm -rf "$state"
    mkdir -p "$state"/{private,lock,state,cache,pids,ncalrpc,log}
    [ "$(id -u)" -eq 0 ] || skip "the Samba check needs root for port 135 (CI runs as root)"
    [ -x "$daemon" ] || skip "Samba is not installed (apt-get install samba), so the Samba check cannot run"
    if (exec 3<>/dev/tcp/127.0.0.1/135) 2>/dev/null; then
      skip "something else listens on 127.0.0.1:135 already"
    fi
    cat > "$state/smb.conf" <<CONF
[global]
  netbios name = VEXASAMBA
  workgroup = VEXATEST
  server role = standalone server
  interfaces = lo
  bind interfaces only = yes
  private dir = $state/private
  lock directory = $state/lock
  state directory = $state/state
  cache directory = $state/cache
  pid directory = $state/pids
  ncalrpc dir = $state/ncalrpc
  log file = $state/log/%m.log
  passdb backend = tdbsam
  rpc start on demand helpers = no
  rpc server dynamic port range = 49200-49300
CONF
    printf '%s\n%s\n' "$password" "$password" |
      pdbedit -s "$state/smb.conf" -a -t -u "$user" > "$state/pdbedit.log" 2>&1 || skip "pdbedit failed: $(tail -1 "$state/pdbedit.log")"
    "$daemon" -F --libexec-rpcds -s "$state/smb.conf" > "$state/daemon.log" 2>&1 &
    echo $! > "$state/pid"
    for _ in $(seq 150); do
      if (exec 3<>/dev/tcp/127.0.0.1/135) 2>/dev/null; then
        printf 'VEXASAMBA\n%s\n%s\n' "$user" "$password" > "$state/ready"
        exit 0
      fi
      sleep 0.1
    done
    stop
    skip "samba-dcerpcd did not listen on 127.0.0.1:135 within 15 s: $(tail -1 "$state/daemon.log")"
    ;;
  stop)
    stop
    ;;
esac
