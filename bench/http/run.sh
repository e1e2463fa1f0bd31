#!/usr/bin/env bash
# HTTP benchmark: warm generate_key calls against zyld, and in the same run the same requests
# against nginx answering a fixed JSON body on loopback (the floor of an HTTP server on this
# machine). For each connection count it prints both request rates and their ratio, both p99
# latencies and their ratio, and the CPU time each side spent per request (utime + stime of the
# daemon's process, of nginx's workers, over the requests answered); then the daemon's resident
# memory idle and under load, and the time from start to listening.
#
#   bash bench/http/run.sh             (after a Release build in build/release)
#   BENCH_CONNECTIONS="16 64" BENCH_SECONDS=20 bash bench/http/run.sh
#   BENCH_CONFIG_XML='<keyServerThreads>4</keyServerThreads>' bash bench/http/run.sh
#     (settings added to the daemon's configuration, to measure what one changes)
#
# CPU per request counts scheduler ticks (1/CLK_TCK s): runs shorter than a few seconds are coarse.
# Everything it starts (PyKMIP, zyld, nginx) is stopped on exit, also on failure.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
cd "$root"
export ZYLD_BUILD_DIR=${ZYLD_BUILD_DIR:-$root/build/release}
work=$root/var/bench-http
threads=${BENCH_THREADS:-2}
connection_counts=${BENCH_CONNECTIONS:-16 64}
seconds=${BENCH_SECONDS:-10}
readonly NGINX_READY_TIMEOUT_S=10
readonly START_SAMPLES=3
readonly WARM_TIMEOUT_S=30
readonly CLK_TCK=$(getconf CLK_TCK)

# shellcheck source=scripts/lib/zyld-stack.sh
source scripts/lib/zyld-stack.sh
stack_binaries
command -v wrk >/dev/null || stack_die "wrk is not installed (bash scripts/install-deps.sh)"
command -v nginx >/dev/null || stack_die "nginx is not installed (bash scripts/install-deps.sh)"
grep -q 'CMAKE_BUILD_TYPE:STRING=Release' "$ZYLD_BUILD_DIR/CMakeCache.txt" 2>/dev/null ||
  echo "warning: $ZYLD_BUILD_DIR is not a Release build; the figures will not be representative" >&2

nginx_stop() {
  local pid
  [[ -f "$work/nginx/nginx.pid" ]] || return 0
  pid=$(head -c 16 "$work/nginx/nginx.pid")
  rm -f "$work/nginx/nginx.pid"
  [[ "$pid" =~ ^[0-9]+$ ]] && kill -QUIT "$pid" 2>/dev/null || return 0
  local deadline=$((SECONDS + 5))
  while kill -0 "$pid" 2>/dev/null && ((SECONDS < deadline)); do sleep 0.05; done
  kill -KILL "$pid" 2>/dev/null || true
}

cleanup() {
  local status=$?
  trap - EXIT INT TERM
  nginx_stop
  stack_down "$work"
  exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# nginx_start PORT BODY: nginx with its own prefix, two workers, answering BODY to POST /api.
nginx_start() {
  local port=$1 body=$2 n=$work/nginx
  mkdir -p "$n/logs" "$n/tmp"
  cat >"$n/nginx.conf" <<EOF
worker_processes 2;
pid $n/nginx.pid;
error_log $n/logs/error.log warn;
events { worker_connections 1024; }
http {
  access_log off;
  keepalive_requests 1000000;
  client_body_temp_path $n/tmp/body;
  proxy_temp_path $n/tmp/proxy;
  fastcgi_temp_path $n/tmp/fastcgi;
  uwsgi_temp_path $n/tmp/uwsgi;
  scgi_temp_path $n/tmp/scgi;
  server {
    listen 127.0.0.1:$port;
    location = /api {
      default_type application/json;
      if (\$request_method != POST) { return 405; }
      return 200 '$body';
    }
  }
}
EOF
  nginx -p "$n" -c "$n/nginx.conf" || stack_die "nginx did not start (see $n/logs/error.log)"
  local deadline=$((SECONDS + NGINX_READY_TIMEOUT_S))
  until stack_listening "$port"; do
    ((SECONDS < deadline)) || stack_die "nginx did not listen on port $port"
    sleep 0.05
  done
}

rss_kb() { awk '/^VmRSS:/ { print $2 }' "/proc/$1/status"; }

# cpu_ticks PID...: user plus system time of the processes, in ticks (fields 14 and 15 of stat,
# counted after the parenthesised command name).
cpu_ticks() {
  local pid total=0 ticks
  for pid in "$@"; do
    ticks=$(sed 's/^.*) //' "/proc/$pid/stat" | awk '{ print $12 + $13 }')
    total=$((total + ticks))
  done
  echo "$total"
}

# nginx_workers: the process ids of the running nginx's workers.
nginx_workers() {
  local master
  master=$(head -c 16 "$work/nginx/nginx.pid")
  cat /proc/"$master"/task/*/children
}

# run_wrk URL CONNECTIONS PID...: prints the BENCH_RESULT line of the Lua script with the CPU time
# of the processes over the run appended as cpu_ticks=N.
run_wrk() {
  local url=$1 conns=$2 before after
  shift 2
  before=$(cpu_ticks "$@")
  wrk -t"$threads" -c"$conns" -d"${seconds}s" --latency -s "$here/post.lua" "$url" >"$work/wrk.out" 2>&1 ||
    { cat "$work/wrk.out" >&2; stack_die "wrk failed against $url"; }
  after=$(cpu_ticks "$@")
  cat "$work/wrk.out" >&2
  echo "$(grep '^BENCH_RESULT' "$work/wrk.out") cpu_ticks=$((after - before))"
}

value() { sed -n "s/.*$2=\([0-9.]*\).*/\1/p" <<<"$1"; }

stack_down "$work"
rm -rf "$work"
mkdir -p "$work"
export ZYLD_STACK_OWNER_PID=$$

stack_pykmip_start "$work"
stack_seed "$work"
PORT=$(stack_free_port)
# The first status refresh runs at start-up and fills the provider's key cache.
stack_config "$work" "$PORT" "${BENCH_CONFIG_XML:-}"

# Start-to-listen: a few cold starts, the last one stays up for the load.
starts=()
for ((i = 1; i <= START_SAMPLES; i++)); do
  stack_daemon_start "$work" "$PORT"
  starts+=("$START_MS")
  ((i == START_SAMPLES)) || stack_daemon_stop "$work"
done

export BENCH_TOKEN BENCH_BODY
BENCH_TOKEN=$(stack_token "$work" attestation)
BENCH_BODY=$(stack_generate_body)

stack_wait_warm "$work" "$PORT" "$BENCH_TOKEN" "$WARM_TIMEOUT_S"
rss_idle=$(rss_kb "$ZYLD_PID")

# nginx answers with a body of the same shape and size as the daemon's.
answer=$(stack_generate_key "$PORT" "$BENCH_TOKEN")
nginx_port=$(stack_free_port)
nginx_start "$nginx_port" "$answer"
[[ "$(curl -sS --max-time 5 -X POST "http://127.0.0.1:$nginx_port/api" -d x)" == "$answer" ]] ||
  stack_die "nginx does not answer the fixed body"
read -r -a nginx_pids <<<"$(nginx_workers | tr '\n' ' ')"

zyld_url=http://127.0.0.1:$PORT/api
nginx_url=http://127.0.0.1:$nginx_port/api
echo "== warm-up (2 s each)" >&2
wrk -t"$threads" -c16 -d2s -s "$here/post.lua" "$zyld_url" >/dev/null
wrk -t"$threads" -c16 -d2s -s "$here/post.lua" "$nginx_url" >/dev/null

# row NAME LINE: one result line; CPU per request in microseconds.
row() {
  local requests ticks
  requests=$(value "$2" requests) ticks=$(value "$2" cpu_ticks)
  printf '%-18s %10.0f req/s   p50 %6d us   p99 %6d us   CPU %6.1f us/req   errors %d\n' "$1" \
    "$(value "$2" rps)" "$(value "$2" p50_us)" "$(value "$2" p99_us)" \
    "$(awk -v t="$ticks" -v r="$requests" -v hz="$CLK_TCK" 'BEGIN { print (r > 0 ? t * 1e6 / hz / r : 0) }')" \
    "$(value "$2" errors)"
}

results=()
rss_load=0
for conns in $connection_counts; do
  echo "== zyld: wrk -t$threads -c$conns -d${seconds}s --latency (generate_key, keySize 32)" >&2
  ( sleep "$((seconds / 2))"; rss_kb "$ZYLD_PID" >"$work/rss.load" ) &
  sampler=$!
  daemon_line=$(run_wrk "$zyld_url" "$conns" "$ZYLD_PID")
  wait "$sampler" || true
  rss_now=$(cat "$work/rss.load" 2>/dev/null || echo 0)
  ((rss_now > rss_load)) && rss_load=$rss_now
  echo "== nginx: the same requests against a fixed ${#answer}-byte answer" >&2
  nginx_line=$(run_wrk "$nginx_url" "$conns" "${nginx_pids[@]}")
  results+=("$conns|$daemon_line|$nginx_line")
done

echo
for result in "${results[@]}"; do
  IFS='|' read -r conns daemon_line nginx_line <<<"$result"
  echo "== results ($conns connections, $threads threads, ${seconds}s each)"
  row "zyld generate_key" "$daemon_line"
  row "nginx fixed body" "$nginx_line"
  awk -v d="$(value "$daemon_line" rps)" -v n="$(value "$nginx_line" rps)" \
    -v dp="$(value "$daemon_line" p99_us)" -v np="$(value "$nginx_line" p99_us)" \
    'BEGIN { printf "ratio zyld/nginx   %.2f x req/s   %.2f x p99\n", (n > 0 ? d / n : 0), (np > 0 ? dp / np : 0) }'
done
printf 'zyld resident memory: idle %d KiB (%.1f MiB), under load %d KiB (%.1f MiB)\n' \
  "$rss_idle" "$(awk -v k="$rss_idle" 'BEGIN { print k / 1024 }')" \
  "$rss_load" "$(awk -v k="$rss_load" 'BEGIN { print k / 1024 }')"
echo "zyld start to listening: ${starts[*]} ms (${#starts[@]} cold starts)"
