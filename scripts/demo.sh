#!/usr/bin/env bash
# The whole job on one machine: installs the packages it needs, builds what it runs (the daemon,
# the store tool and the token tool; Release, no tests or benchmarks), starts a local
# PyKMIP server with a fresh AES-256 master key, seeds a fresh configuration store under
# ./var/demo (attestation and administration certificates, one provider), starts zyld, mints an
# attestation token and shows generate_key and decrypt answered over HTTP with curl. Everything it
# started is stopped on exit, also on failure or Ctrl-C.
#
#   bash scripts/demo.sh            (as root on Debian 12, from anywhere in the checkout)
#   DEMO_SKIP_SETUP=1 bash scripts/demo.sh    skips the package installation and the build
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
export ZYLD_BUILD_DIR=${ZYLD_BUILD_DIR:-$root/build/release}
demo=$root/var/demo
readonly CURL_TIMEOUT_S=30

step() { printf '\n\033[1m== %s\033[0m\n' "$*"; }
fail() { echo "demo: FAILED: $*" >&2; exit 1; }

if [[ -z "${DEMO_SKIP_SETUP:-}" ]]; then
  step "installing packages"
  bash scripts/install-deps.sh demo
  step "building zyld, ovik-configstore and zyld-token (Release) into $ZYLD_BUILD_DIR"
  BUILD_TARGETS="zyld ovik-configstore zyld-token" bash scripts/build.sh "$ZYLD_BUILD_DIR" \
    -DCMAKE_BUILD_TYPE=Release -DZYLD_TESTS=OFF -DZYLD_BENCH=OFF
fi

# shellcheck source=scripts/lib/zyld-stack.sh
source scripts/lib/zyld-stack.sh
stack_binaries

cleanup() {
  local status=$?
  trap - EXIT INT TERM
  step "stopping zyld and PyKMIP"
  stack_down "$demo"
  if ((status == 0)); then
    echo "demo: done; state and logs are kept under $demo"
  else
    echo "demo: failed (status $status); daemon log: $demo/zyld.log" >&2
  fi
  exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# A fresh state folder; a previous demo's leftovers are stopped first.
stack_down "$demo"
rm -rf "$demo"
mkdir -p "$demo"
export ZYLD_STACK_OWNER_PID=$$

step "PyKMIP server with a fresh AES-256 key"
stack_pykmip_start "$demo"

step "seeding the configuration store"
stack_seed "$demo"
echo "attestation certificate: certificate/attestation/ovik (from $demo/keys/attestation.crt)"
echo "administration certificate: certificate/authn/ovik (from $demo/keys/admin.crt)"
echo "provider (imported from $demo/provider.json, mode 0600; shown as the store exports it,"
echo "certificates cut to their first line, private keys left out):"
"$STORE_BIN" --db "$demo/store/ovik.db" export providers kms ovik |
  "$ZYLD_STACK_PY" -c 'import json,sys
t = json.load(sys.stdin)
def cut(o, name=""):
    if isinstance(o, dict): return {k: cut(v, k) for k, v in o.items()}
    if isinstance(o, list): return [cut(v, name) for v in o]
    if isinstance(o, str) and ("private" in name.lower() or "PRIVATE KEY" in o):
        return "(not shown)"
    if isinstance(o, str) and o.startswith("-----BEGIN"): return o.split("\n")[0] + " ..."
    return o
print(json.dumps(cut(t), indent=1))'

step "starting zyld"
PORT=$(stack_free_port)
stack_config "$demo" "$PORT"
stack_daemon_start "$demo" "$PORT"
echo "zyld (pid $ZYLD_PID) listens on 127.0.0.1:$PORT and [::1]:$PORT (after $START_MS ms)"

step "minting an attestation token (RS256, iss .../attestation, aud zyld)"
TOKEN=$(stack_token "$demo" attestation)
echo "token: ${TOKEN:0:40}..."

# call METHOD PARAMS_JSON: prints the request and the answer, leaves the answer in $answer.
call() {
  local body="{\"jsonrpc\":\"2.0\",\"id\":1,\"method\":\"$1\",\"params\":$2}"
  echo "request:  POST http://127.0.0.1:$PORT/api"
  echo "          $body"
  answer=$(curl -sS --max-time "$CURL_TIMEOUT_S" "http://127.0.0.1:$PORT/api" \
    -H 'Content-Type: application/json' -H "Authorization: Bearer $TOKEN" -d "$body") ||
    fail "curl could not reach zyld"
  echo "answer:   $answer"
}

# field JSON PATH...: prints a member of a JSON text, empty when absent.
field() {
  "$ZYLD_STACK_PY" -c 'import json,sys
v = json.loads(sys.argv[1])
for k in sys.argv[2:]:
    v = v.get(k) if isinstance(v, dict) else None
print("" if v is None else v)' "$@"
}

step "generate_key: a fresh 32-byte data key wrapped under the master key"
call com.velora.ovik.kms.key_operation.generate_key "{\"provider\":\"$ZYLD_STACK_PROVIDER\",\"keySize\":32}"
wrapped=$(field "$answer" result wrappedKey)
key=$(field "$answer" result key)
[[ -n "$wrapped" && -n "$key" ]] || fail "generate_key did not answer a key: $answer"

step "decrypt: unwrap the wrapped key"
call com.velora.ovik.kms.key_operation.decrypt "{\"provider\":\"$ZYLD_STACK_PROVIDER\",\"wrappedKey\":\"$wrapped\"}"
unwrapped=$(field "$answer" result key)
[[ -n "$unwrapped" ]] || fail "decrypt did not answer a key: $answer"
[[ "$unwrapped" == "$key" ]] || fail "the decrypted key differs from the generated one"
echo "the decrypted key equals the generated key"

step "audit records written for the two calls"
tail -n 2 "$demo/audit.log"
