#!/usr/bin/env bash
# A complete local zyld stack in one folder: a PyKMIP server with a fresh AES-256 master key, a
# configuration store seeded with the attestation and administration certificates and one provider,
# a configuration file and the daemon itself. Used by the demo, the HTTP benchmark and the
# integration tests; sourced for the single steps, or run as a command:
#
#   zyld-stack.sh up DIR          everything below, in order; writes DIR/stack.env
#   zyld-stack.sh down DIR        stops the daemon and the PyKMIP server started from DIR
#   zyld-stack.sh restart DIR [KILL|TERM]
#                                 stops the daemon (SIGTERM by default, or SIGKILL at once) and
#                                 starts it again on the same port; updates ZYLD_PID in stack.env
#   zyld-stack.sh token DIR attestation|admin [ENTITLEMENT...]
#                                 prints a fresh token of that kind
#
# Binaries come from ZYLD_BUILD_DIR (default build/release of the checkout). With
# ZYLD_STACK_OWNER_PID=PID the PyKMIP server stops by itself once process PID has gone;
# ZYLD_STACK_FIREWALL names the daemon's firewall backend (default none); ZYLD_STACK_HOST_LOG=NAME
# has the daemon write its host log to DIR/NAME (default: standard error, into zyld.log).
#
# DIR afterwards holds: pykmip/ (server folder), keys/ (attestation.key/.crt, admin.key/.crt),
# store/ovik.db, provider.json (the imported export text), zyld.xml, zyld.log, audit.log, zyld.pid
# and stack.env (PORT, PROVIDER, KEY_ID, KMIP_PORT, CONFIG, DB, AUDIT, LOG, HOST_LOG, ZYLD_PID, ...).
set -euo pipefail

ZYLD_STACK_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
readonly ZYLD_STACK_ROOT
readonly ZYLD_STACK_PYKMIP="$ZYLD_STACK_ROOT/scripts/pykmip/pykmip-server.sh"
readonly ZYLD_STACK_PY=/usr/bin/python3
readonly ZYLD_STACK_PROVIDER=prov1
readonly ZYLD_STACK_LISTEN_TIMEOUT_S=15
readonly ZYLD_STACK_STOP_TIMEOUT_S=10

stack_die() { echo "zyld-stack: $*" >&2; exit 1; }
stack_say() { [[ -n "${ZYLD_STACK_QUIET:-}" ]] || echo "== $*" >&2; }

# Sets ZYLD_BIN, STORE_BIN, TOKEN_BIN and METADATA from ZYLD_BUILD_DIR and checks they exist.
stack_binaries() {
  local build=${ZYLD_BUILD_DIR:-$ZYLD_STACK_ROOT/build/release}
  build=$(cd "$build" 2>/dev/null && pwd) || stack_die "no build folder $build"
  ZYLD_BIN=$build/apps/zyld/zyld
  STORE_BIN=$build/tools/ovik-configstore/ovik-configstore
  TOKEN_BIN=$build/tools/zyld-token/zyld-token
  METADATA=$build/zyl_mirel_metadata.json
  local f
  for f in "$ZYLD_BIN" "$STORE_BIN" "$TOKEN_BIN"; do
    [[ -x "$f" ]] || stack_die "$f is not built"
  done
  [[ -f "$METADATA" ]] || stack_die "$METADATA is not built"
}

# Prints a TCP port free on both 127.0.0.1 and ::1 at the moment of the call.
stack_free_port() {
  "$ZYLD_STACK_PY" - <<'EOF'
import socket
for _ in range(50):
    s4 = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    s4.bind(("127.0.0.1", 0))
    port = s4.getsockname()[1]
    try:
        s6 = socket.socket(socket.AF_INET6, socket.SOCK_STREAM)
        s6.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_V6ONLY, 1)
        s6.bind(("::1", port))
        s6.close()
    except OSError:
        s4.close()
        continue
    s4.close()
    print(port)
    break
else:
    raise SystemExit("no free port")
EOF
}

# stack_pykmip_start DIR: starts the server in DIR/pykmip and creates an Active AES-256 key.
# Sets KMIP_PORT and KEY_ID.
stack_pykmip_start() {
  local dir=$1
  stack_say "starting PyKMIP in $dir/pykmip"
  KMIP_PORT=$(PYKMIP_OWNER_PID=${ZYLD_STACK_OWNER_PID:-} bash "$ZYLD_STACK_PYKMIP" start "$dir/pykmip") ||
    stack_die "PyKMIP did not start (see $dir/pykmip/server.log)"
  KEY_ID=$(bash "$ZYLD_STACK_PYKMIP" create-key "$dir/pykmip" 256 active) ||
    stack_die "PyKMIP could not create the master key"
  stack_say "PyKMIP on 127.0.0.1:$KMIP_PORT, master key id $KEY_ID (AES-256, Active)"
}

# stack_signer DIR NAME CN: an RSA-2048 key and a self-signed certificate, DIR/NAME.key/.crt.
stack_signer() {
  local dir=$1 name=$2 cn=$3
  openssl req -x509 -new -newkey rsa:2048 -nodes -sha256 -days 30 -subj "/CN=$cn" \
    -keyout "$dir/$name.key" -out "$dir/$name.crt" 2>/dev/null || stack_die "openssl failed for $name"
  chmod 600 "$dir/$name.key"
}

# stack_provider_json DIR: the provider's export text (one provider, its server, the client
# certificate and key of the PyKMIP folder, the server certificate as the trusted one).
stack_provider_json() {
  local dir=$1
  "$ZYLD_STACK_PY" - "$dir/pykmip" "$ZYLD_STACK_PROVIDER" "$KEY_ID" "$KMIP_PORT" <<'EOF'
import json, sys
folder, provider, key_id, port = sys.argv[1], sys.argv[2], sys.argv[3], int(sys.argv[4])
read = lambda name: open(f"{folder}/{name}").read()
def obj(name, instance, values, subs):
    return {"name": name, "instance": instance, "values": values, "subObjects": subs}
server = obj("servers", "s1", {"hostname": "127.0.0.1", "name": "s1", "port": port}, [])
client = obj("client_certificate", "",
             {"certificate": read("client.crt"), "private_key": read("client.key")}, [])
kmip = obj("kmip_server", "", {}, [client, server])
key_server = obj("key_server", "", {"connection_timeout": 30, "server_cert": [read("server.crt")],
                                    "type": "KMIP"}, [kmip])
text = {"format": "ovik-configstore-export", "version": 1,
        "selection": {"key": "providers", "group": "kms", "component": "ovik"},
        "objects": [{"key": "providers", "group": "kms", "component": "ovik", "instance": provider,
                     "values": {"master_key_id": key_id, "provider": provider},
                     "subObjects": [key_server]}]}
print(json.dumps(text, separators=(",", ":")))
EOF
}

# stack_seed DIR: certificates and provider into DIR/store/ovik.db.
stack_seed() {
  local dir=$1 db=$1/store/ovik.db
  mkdir -p "$dir/keys" "$dir/store"
  stack_signer "$dir/keys" attestation "attestation daemon"
  stack_signer "$dir/keys" admin "host administration"
  stack_say "seeding the store $db"
  "$STORE_BIN" --db "$db" set-string certificate attestation ovik "" certificate "@$dir/keys/attestation.crt" >/dev/null
  "$STORE_BIN" --db "$db" set-string certificate authn ovik "" certificate "@$dir/keys/admin.crt" >/dev/null
  # The export text holds the provider's private key: owner-only, like the keys.
  (umask 077 && stack_provider_json "$dir" >"$dir/provider.json")
  "$STORE_BIN" --db "$db" import "$dir/provider.json" >/dev/null
}

# stack_host_log DIR: the host log file of the stack in DIR; empty for standard error.
stack_host_log() { [[ -z "${ZYLD_STACK_HOST_LOG:-}" ]] || echo "$1/$ZYLD_STACK_HOST_LOG"; }

# stack_config DIR PORT [EXTRA_XML]: writes DIR/zyld.xml (development settings, state in DIR).
stack_config() {
  local dir=$1 port=$2 extra=${3:-}
  cat >"$dir/zyld.xml" <<EOF
<?xml version="1.0" encoding="UTF-8"?>
<config>
  <log><level>${ZYLD_STACK_LOG_LEVEL:-info}</level><file>$(stack_host_log "$dir")</file></log>
  <configStore><path>$dir/store/ovik.db</path></configStore>
  <audit><path>$dir/audit.log</path></audit>
  <firewall><backend>${ZYLD_STACK_FIREWALL:-none}</backend></firewall>
  <metadata><path>$METADATA</path></metadata>
  <endpoint><port>$port</port></endpoint>
  <statsLogIntervalSeconds>300</statsLogIntervalSeconds>
$extra
</config>
EOF
}

# True once something accepts TCP connections on 127.0.0.1:PORT.
stack_listening() { (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }

# stack_daemon_start DIR PORT: starts zyld with DIR/zyld.xml in its own session, waits (bounded)
# until it listens. Sets ZYLD_PID and START_MS (milliseconds from exec to listening).
stack_daemon_start() {
  local dir=$1 port=$2 t0 deadline
  stack_say "starting zyld on 127.0.0.1:$port and [::1]:$port"
  t0=$(date +%s%N)
  ZYLD_CONFIG=$dir/zyld.xml setsid "$ZYLD_BIN" </dev/null >>"$dir/zyld.log" 2>&1 &
  ZYLD_PID=$!
  echo "$ZYLD_PID" >"$dir/zyld.pid"
  deadline=$((SECONDS + ZYLD_STACK_LISTEN_TIMEOUT_S))
  until stack_listening "$port"; do
    if ! kill -0 "$ZYLD_PID" 2>/dev/null; then
      tail -n 20 "$dir/zyld.log" >&2
      stack_die "zyld exited during start-up (log: $dir/zyld.log)"
    fi
    ((SECONDS < deadline)) || stack_die "zyld did not listen on port $port within ${ZYLD_STACK_LISTEN_TIMEOUT_S}s"
    sleep 0.005
  done
  START_MS=$((($(date +%s%N) - t0) / 1000000))
}

# stack_daemon_stop DIR: SIGTERM, bounded wait, then SIGKILL. Idempotent.
stack_daemon_stop() {
  local dir=$1 pid deadline
  [[ -f "$dir/zyld.pid" ]] || return 0
  pid=$(head -c 16 "$dir/zyld.pid")
  rm -f "$dir/zyld.pid"
  [[ "$pid" =~ ^[0-9]+$ ]] || return 0
  # Only a process that still runs our binary with this folder's configuration is ours.
  tr '\0' '\n' <"/proc/$pid/environ" 2>/dev/null | grep -qxF "ZYLD_CONFIG=$dir/zyld.xml" || return 0
  kill -TERM "$pid" 2>/dev/null || return 0
  deadline=$((SECONDS + ZYLD_STACK_STOP_TIMEOUT_S))
  while kill -0 "$pid" 2>/dev/null && ((SECONDS < deadline)); do sleep 0.05; done
  if kill -0 "$pid" 2>/dev/null; then
    echo "zyld-stack: zyld (pid $pid) ignored SIGTERM; killing it" >&2
    kill -KILL "$pid" 2>/dev/null || true
  fi
}

# stack_token DIR attestation|admin [ENTITLEMENT...]: prints a token valid for an hour.
stack_token() {
  local dir=$1 kind=$2
  shift 2
  case "$kind" in
    attestation)
      "$TOKEN_BIN" --key "$dir/keys/attestation.key" --alg RS256 --iss "https://localhost/attestation" \
        --aud zyld --sub "host-attestation" --ttl 3600 ;;
    admin)
      local args=() e
      for e in "$@"; do args+=(--entitlement "$e"); done
      "$TOKEN_BIN" --key "$dir/keys/admin.key" --alg RS256 --aud zyld --sub administrator --ttl 3600 "${args[@]}" ;;
    *) stack_die "unknown token kind $kind" ;;
  esac
}

# stack_generate_body: the JSON-RPC body of a 32-byte generate_key on the stack's provider.
stack_generate_body() {
  printf '{"jsonrpc":"2.0","id":1,"method":"com.velora.ovik.kms.key_operation.generate_key","params":{"provider":"%s","keySize":32}}' \
    "$ZYLD_STACK_PROVIDER"
}

# stack_generate_key PORT TOKEN: prints the answer of one generate_key; dies when it fails.
stack_generate_key() {
  local answer
  answer=$(curl -sS --max-time 30 "http://127.0.0.1:$1/api" -H 'Content-Type: application/json' \
    -H "Authorization: Bearer $2" -d "$(stack_generate_body)") || stack_die "curl could not reach zyld"
  [[ "$answer" == *'"wrappedKey"'* ]] || stack_die "generate_key failed: $answer"
  printf '%s' "$answer"
}

# stack_wait_warm DIR PORT TOKEN SECONDS: calls generate_key until one is answered without
# contacting the key server (the daemon logs each connection it opens), which holds once the first
# status refresh has filled the key cache; dies after SECONDS or on a failed call.
stack_wait_warm() {
  local dir=$1 port=$2 token=$3 limit=$4 before deadline
  contacts() { grep -c 'Create client context for server' "$dir/zyld.log" || true; }
  echo "== waiting for the first status refresh to fill the key cache (up to ${limit}s)" >&2
  deadline=$((SECONDS + limit))
  while :; do
    before=$(contacts)
    stack_generate_key "$port" "$token" >/dev/null
    (($(contacts) == before)) && return 0
    ((SECONDS < deadline)) || stack_die "generate_key still contacts the key server after ${limit}s"
    sleep 2
  done
}

stack_write_env() {
  local dir=$1
  cat >"$dir/stack.env" <<EOF
PORT=$PORT
PROVIDER=$ZYLD_STACK_PROVIDER
KEY_ID=$KEY_ID
KMIP_PORT=$KMIP_PORT
CONFIG=$dir/zyld.xml
DB=$dir/store/ovik.db
AUDIT=$dir/audit.log
LOG=$dir/zyld.log
HOST_LOG=$(stack_host_log "$dir")
ZYLD_PID=$ZYLD_PID
ZYLD_BIN=$ZYLD_BIN
STORE_BIN=$STORE_BIN
TOKEN_BIN=$TOKEN_BIN
METADATA=$METADATA
START_MS=$START_MS
EOF
}

# stack_up DIR: the whole stack; DIR must not hold a running one.
stack_up() {
  local dir=$1
  mkdir -p "$dir"
  dir=$(cd "$dir" && pwd)
  stack_binaries
  stack_pykmip_start "$dir"
  stack_seed "$dir"
  PORT=$(stack_free_port)
  stack_config "$dir" "$PORT" "${ZYLD_STACK_EXTRA_XML:-}"
  stack_daemon_start "$dir" "$PORT"
  stack_write_env "$dir"
}

# stack_restart DIR [KILL|TERM]: the daemon of DIR stopped and started again on its port.
stack_restart() {
  local dir=$1 how=${2:-TERM} pid
  dir=$(cd "$dir" && pwd)
  stack_binaries
  # shellcheck disable=SC1091
  source "$dir/stack.env"
  if [[ "$how" == KILL && -f "$dir/zyld.pid" ]]; then
    pid=$(head -c 16 "$dir/zyld.pid")
    if [[ "$pid" =~ ^[0-9]+$ ]] &&
      tr '\0' '\n' <"/proc/$pid/environ" 2>/dev/null | grep -qxF "ZYLD_CONFIG=$dir/zyld.xml"; then
      kill -KILL "$pid"
      while kill -0 "$pid" 2>/dev/null; do sleep 0.01; done
    fi
    rm -f "$dir/zyld.pid"
  fi
  stack_daemon_stop "$dir"
  stack_daemon_start "$dir" "$PORT"
  stack_write_env "$dir"
}

stack_down() {
  local dir=$1
  [[ -d "$dir" ]] || return 0
  dir=$(cd "$dir" && pwd)
  stack_daemon_stop "$dir"
  bash "$ZYLD_STACK_PYKMIP" stop "$dir/pykmip" 2>/dev/null || true
}

if [[ "${BASH_SOURCE[0]}" == "$0" ]]; then
  case "${1:-}:$#" in
    up:2) stack_up "$2" ;;
    down:2) stack_down "$2" ;;
    restart:2 | restart:3) stack_restart "$2" "${3:-TERM}" ;;
    token:*) (($# >= 3)) || stack_die "usage: zyld-stack.sh token DIR KIND [ENTITLEMENT...]"
      stack_binaries; d=$(cd "$2" && pwd); k=$3; shift 3; stack_token "$d" "$k" "$@" ;;
    *) sed -n '2,22p' "$0" | sed 's/^# \{0,1\}//' >&2; exit 2 ;;
  esac
fi
