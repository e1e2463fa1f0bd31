#!/usr/bin/env bash
# Runs a PyKMIP 0.10 server on loopback as a KMIP peer for tests, benchmarks and demos.
#
#   pykmip-server.sh start DIR [PORT]          fresh CA and certificates, config, `shared` policy;
#                                              start the server and wait until it is ready; print
#                                              the port (also written to DIR/port). With
#                                              PYKMIP_OWNER_PID=PID in the environment a watcher
#                                              stops everything once process PID has gone (a test
#                                              that crashes leaves nothing running)
#   pykmip-server.sh stop DIR                  stop the server and the proxy (process groups);
#                                              idempotent
#   pykmip-server.sh proxy-start DIR           start an HTTP CONNECT proxy (tinyproxy) on loopback
#                                              admitting CONNECT to the server's port only; print
#                                              its port (also written to DIR/proxy.port)
#   pykmip-server.sh create-key DIR BITS STATE [IDENTITY]
#                                              create an AES key (128/192/256) readable by every
#                                              client identity, in STATE pre-active|active|
#                                              deactivated|compromised; print its unique id
#   pykmip-server.sh state DIR ID [IDENTITY]   print the key's State value (1..4)
#   pykmip-server.sh key-info DIR ID [IDENTITY]
#                                              print "BITS SHA256HEX" of the key as PyKMIP's
#                                              client reads it
#
# DIR afterwards holds ca.crt, server.crt/.key, client.crt/.key (CN kmip-client-a),
# client2.crt/.key (CN kmip-client-b), server.conf, client.conf, policies/, server.log, port and
# server.pid (the server's process group id); proxy.conf, proxy.log, proxy.port and proxy.pid
# after proxy-start. IDENTITY is `client` (default) or `client2`.
set -euo pipefail

HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
readonly HERE
readonly PY=/usr/bin/python3
readonly HELPER="$HERE/pykmip_client.py"
readonly SERVER=/usr/bin/pykmip-server
readonly PROXY=/usr/bin/tinyproxy
readonly READY_TIMEOUT_SECONDS=20
readonly STOP_TIMEOUT_SECONDS=5
readonly START_ATTEMPTS=3
# Validity of the test certificates: well past the 30 days within which the daemon's health warns.
readonly CERT_DAYS=365

die() { echo "pykmip-server.sh: $*" >&2; exit 1; }
usage() { sed -n '2,27p' "${BASH_SOURCE[0]}" | sed 's/^# \{0,1\}//' >&2; exit 2; }

# --- certificates -------------------------------------------------------------------------------

# issue NAME CN EXTENSIONS: an RSA-2048/SHA-256 certificate signed by the test CA.
issue() {
  local dir=$1 name=$2 cn=$3 ext=$4
  openssl req -new -newkey rsa:2048 -nodes -sha256 -subj "/CN=$cn" \
    -keyout "$dir/$name.key" -out "$dir/$name.csr" 2>/dev/null
  printf '%b' "$ext" >"$dir/$name.ext"
  openssl x509 -req -sha256 -days "$CERT_DAYS" -in "$dir/$name.csr" \
    -CA "$dir/ca.crt" -CAkey "$dir/ca.key" -set_serial "0x$(openssl rand -hex 8)" \
    -extfile "$dir/$name.ext" -out "$dir/$name.crt" 2>/dev/null
  rm -f "$dir/$name.csr" "$dir/$name.ext"
}

make_certificates() {
  local dir=$1
  openssl req -x509 -new -newkey rsa:2048 -nodes -sha256 -days "$CERT_DAYS" \
    -subj "/CN=zyld test KMIP CA" \
    -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign,cRLSign" \
    -keyout "$dir/ca.key" -out "$dir/ca.crt" 2>/dev/null || die "openssl could not create the CA"
  local common="basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature,keyEncipherment\n"
  issue "$dir" server 127.0.0.1 \
    "${common}extendedKeyUsage=serverAuth\nsubjectAltName=IP:127.0.0.1,DNS:localhost\n"
  issue "$dir" client kmip-client-a "${common}extendedKeyUsage=clientAuth\n"
  issue "$dir" client2 kmip-client-b "${common}extendedKeyUsage=clientAuth\n"
  chmod 600 "$dir"/*.key
}

# --- configuration ------------------------------------------------------------------------------

write_config() {
  local dir=$1 port=$2
  cat >"$dir/server.conf" <<EOF
[server]
hostname=127.0.0.1
port=$port
certificate_path=$dir/server.crt
key_path=$dir/server.key
ca_path=$dir/ca.crt
auth_suite=TLS1.2
policy_path=$dir/policies
enable_tls_client_auth=True
logging_level=INFO
database_path=$dir/pykmip.db
EOF
  # PyKMIP's client otherwise looks for ~/.pykmip/pykmip.conf and /etc/pykmip/pykmip.conf.
  cat >"$dir/client.conf" <<EOF
[client]
host=127.0.0.1
port=$port
ssl_version=PROTOCOL_SSLv23
timeout=30
EOF
  mkdir -p "$dir/policies"
  # Any identity may read keys created under `shared`; only the owner may change them.
  cat >"$dir/policies/shared.json" <<'EOF'
{
  "shared": {
    "preset": {
      "SYMMETRIC_KEY": {
        "GET": "ALLOW_ALL",
        "GET_ATTRIBUTES": "ALLOW_ALL",
        "GET_ATTRIBUTE_LIST": "ALLOW_ALL",
        "LOCATE": "ALLOW_ALL",
        "CHECK": "ALLOW_ALL",
        "ACTIVATE": "ALLOW_OWNER",
        "REVOKE": "ALLOW_OWNER",
        "DESTROY": "ALLOW_OWNER"
      }
    }
  }
}
EOF
}

# --- process control ----------------------------------------------------------------------------
# Each process runs in its own session and process group; DIR/NAME.pid holds the group id.

# live_group DIR NAME: prints the recorded group id when that group still runs the process
# started from DIR (its command line names DIR/NAME.conf); a recycled id is not mistaken for it.
live_group() {
  local dir=$1 name=$2 pgid pid
  [[ -f "$dir/$name.pid" ]] || return 1
  pgid=$(head -c 16 "$dir/$name.pid")
  [[ "$pgid" =~ ^[0-9]+$ ]] || return 1
  for pid in $(pgrep -g "$pgid" 2>/dev/null); do
    if tr '\0' ' ' <"/proc/$pid/cmdline" 2>/dev/null | grep -qF -- " $dir/$name.conf "; then
      echo "$pgid"
      return 0
    fi
  done
  return 1
}

# launch DIR NAME PROGRAM ARGS...: the inner shell leads a new session and process group, records
# its pid (= the group id), then becomes PROGRAM; helper processes PROGRAM forks stay in the group.
launch() {
  local dir=$1 name=$2
  shift 2
  rm -f "$dir/$name.pid"
  setsid bash -c 'pidfile=$1; shift; echo $$ >"$pidfile"; exec "$@"' _ "$dir/$name.pid" "$@" \
    </dev/null >"$dir/$name.out" 2>&1 &
  disown $!
  local waited=0
  while [[ ! -s "$dir/$name.pid" ]] && ((waited < 50)); do sleep 0.1; waited=$((waited + 1)); done
}

# True while a process of the group is still running (zombies awaiting their reaper do not count).
group_running() {
  ps -e -o pgid=,stat= | awk -v g="$1" '$1 == g && $2 !~ /^Z/ { found = 1 } END { exit !found }'
}

# wait_group PGID SECONDS: true once the group has ended within the bound.
wait_group() {
  local deadline=$((SECONDS + $2))
  while group_running "$1"; do
    ((SECONDS < deadline)) || return 1
    sleep 0.1
  done
}

# stop_group DIR NAME SIGNAL [TARGET]: signals the group leader (or, with TARGET `group`, the
# whole group), waits bounded, then kills the whole group.
stop_group() {
  local dir=$1 name=$2 pgid
  if pgid=$(live_group "$dir" "$name"); then
    if [[ "${4:-}" == group ]]; then
      kill "-$3" -- "-$pgid" 2>/dev/null || true
    else
      kill "-$3" "$pgid" 2>/dev/null || true
    fi
    if ! wait_group "$pgid" "$STOP_TIMEOUT_SECONDS"; then
      kill -KILL -- "-$pgid" 2>/dev/null || true
      wait_group "$pgid" 2 || die "process group $pgid survived SIGKILL"
    fi
  fi
  rm -f "$dir/$name.pid"
}

stop_all() {
  stop_group "$1" watch TERM group
  stop_group "$1" proxy TERM
  # SIGINT makes the server leave its accept loop at once (SIGTERM waits for its 10 s socket
  # time-out) and shut down its helper processes.
  stop_group "$1" server INT
  rm -f "$1/port" "$1/proxy.port"
}

# Server ready = the `shared` policy is loaded and a TLS handshake with the client certificate works.
wait_server_ready() {
  local dir=$1 port=$2 deadline=$((SECONDS + READY_TIMEOUT_SECONDS))
  local pgid
  while ((SECONDS < deadline)); do
    pgid=$(live_group "$dir" server) || return 1
    ps -o stat= -p "$pgid" | grep -qv '^Z' || return 1
    # Start-up errors (e.g. the port is taken) end the attempt at once; the server would only
    # wind down slowly.
    ! grep -q " - ERROR - " "$dir/server.log" 2>/dev/null || return 1
    if grep -q "Loading policy: shared" "$dir/server.log" 2>/dev/null &&
       "$PY" "$HELPER" probe "$dir" "$port" 2>/dev/null; then
      return 0
    fi
    sleep 0.2
  done
  return 1
}

# Proxy ready = it accepts TCP connections.
wait_proxy_ready() {
  local dir=$1 port=$2 deadline=$((SECONDS + READY_TIMEOUT_SECONDS))
  while ((SECONDS < deadline)); do
    live_group "$dir" proxy >/dev/null || return 1
    if (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then
      return 0
    fi
    sleep 0.1
  done
  return 1
}

write_proxy_config() {
  local dir=$1 port=$2 target=$3
  cat >"$dir/proxy.conf" <<EOF
Port $port
Listen 127.0.0.1
Timeout 30
MaxClients 32
Allow 127.0.0.1
ConnectPort $target
DisableViaHeader Yes
LogLevel Info
LogFile "$dir/proxy.log"
EOF
}

# start_watch DIR OWNER: a detached loop that runs `stop DIR` once OWNER has exited. Its command
# line names DIR/watch.conf (an empty marker file) so that live_group recognises it.
start_watch() {
  local dir=$1 owner=$2
  : >"$dir/watch.conf"
  launch "$dir" watch bash -c 'while kill -0 "$1" 2>/dev/null; do sleep 1; done
    rm -f "$3/watch.pid"; exec bash "$2" stop "$3"' _ "$owner" "$HERE/pykmip-server.sh" "$dir" "$dir/watch.conf"
}

# --- commands -----------------------------------------------------------------------------------

cmd_start() {
  local dir=$1 port=${2:-}
  [[ -x "$SERVER" ]] || die "$SERVER is not installed"
  [[ -z "$port" || "$port" =~ ^[1-9][0-9]{0,4}$ && "$port" -lt 65536 ]] || die "bad port '$port'"
  [[ "${PYKMIP_OWNER_PID:-1}" =~ ^[1-9][0-9]*$ ]] || die "bad PYKMIP_OWNER_PID"
  mkdir -p "$dir" || die "cannot create $dir"
  dir=$(cd "$dir" && pwd)
  ! live_group "$dir" server >/dev/null || die "a server already runs from $dir"
  make_certificates "$dir"
  local attempt chosen
  for ((attempt = 1; attempt <= START_ATTEMPTS; attempt++)); do
    chosen=${port:-$("$PY" "$HELPER" free-port)}
    write_config "$dir" "$chosen"
    rm -f "$dir/server.log" "$dir/pykmip.db"
    launch "$dir" server "$SERVER" -f "$dir/server.conf" -l "$dir/server.log"
    if wait_server_ready "$dir" "$chosen"; then
      echo "$chosen" >"$dir/port"
      [[ -z "${PYKMIP_OWNER_PID:-}" ]] || start_watch "$dir" "$PYKMIP_OWNER_PID"
      echo "$chosen"
      return 0
    fi
    # A server that failed to start may not heed SIGINT any more.
    stop_group "$dir" server KILL group
    # A given port is not retried; a picked one may have been taken meanwhile.
    [[ -z "$port" ]] || break
  done
  echo "pykmip-server.sh: server did not become ready; last log lines:" >&2
  tail -n 20 "$dir/server.log" "$dir/server.out" >&2 2>/dev/null || true
  exit 1
}

cmd_proxy_start() {
  local dir=$1 target attempt chosen
  [[ -x "$PROXY" ]] || die "$PROXY is not installed"
  ! live_group "$dir" proxy >/dev/null || die "a proxy already runs from $dir"
  target=$(head -c 8 "$dir/port")
  for ((attempt = 1; attempt <= START_ATTEMPTS; attempt++)); do
    chosen=$("$PY" "$HELPER" free-port)
    write_proxy_config "$dir" "$chosen" "$target"
    rm -f "$dir/proxy.log"
    launch "$dir" proxy "$PROXY" -d -c "$dir/proxy.conf"
    if wait_proxy_ready "$dir" "$chosen"; then
      echo "$chosen" >"$dir/proxy.port"
      echo "$chosen"
      return 0
    fi
    stop_group "$dir" proxy TERM
  done
  echo "pykmip-server.sh: proxy did not become ready; last log lines:" >&2
  tail -n 20 "$dir/proxy.log" "$dir/proxy.out" >&2 2>/dev/null || true
  exit 1
}

# Prints DIR as an absolute path when a server runs from it.
running_dir() {
  [[ -d "$1" ]] || die "no such folder $1"
  local dir
  dir=$(cd "$1" && pwd)
  live_group "$dir" server >/dev/null || die "no server runs from $1"
  echo "$dir"
}

main() {
  (($# >= 1)) || usage
  local command=$1 dir
  shift
  case "$command" in
    start) (($# == 1 || $# == 2)) || usage; cmd_start "$@" ;;
    stop) (($# == 1)) || usage; [[ ! -d "$1" ]] || stop_all "$(cd "$1" && pwd)" ;;
    proxy-start) (($# == 1)) || usage; dir=$(running_dir "$1"); cmd_proxy_start "$dir" ;;
    create-key) (($# == 3 || $# == 4)) || usage; dir=$(running_dir "$1"); shift
      exec "$PY" "$HELPER" create "$dir" "$@" ;;
    state | key-info) (($# == 2 || $# == 3)) || usage; dir=$(running_dir "$1"); shift
      exec "$PY" "$HELPER" "$command" "$dir" "$@" ;;
    *) usage ;;
  esac
}

main "$@"
