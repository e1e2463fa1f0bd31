#!/usr/bin/env python3
"""Drives the providers service of a running zyld on one keep-alive connection.

    admin.py pairs SECONDS    creates and deletes distinct providers, a pair after the other, for
                              SECONDS; prints "PAIRS pairs=N seconds=S p50_ms=.. p99_ms=.."
    admin.py create           creates provider B with the first set of servers
    admin.py updates READY    updates provider B as fast as the answers come, alternating its
                              servers between two sets, until SIGTERM; touches READY after the
                              first update; prints "UPDATES updates=N seconds=S p50_ms=.. p99_ms=.."

The port and the administration token come from BENCH_PORT and BENCH_ADMIN_TOKEN, provider B's
name from BENCH_PROVIDER_B. Any answer that is not a success ends the run with status 1.
"""
import http.client
import json
import os
import signal
import sys
import time

METHOD = "com.velora.ovik.kms.providers."
SERVER_SETS = (
    [{"name": "s1", "address": {"hostname": "10.1.0.1", "port": 5696}},
     {"name": "s2", "address": {"hostname": "10.1.0.2", "port": 5696}}],
    [{"name": "s1", "address": {"hostname": "10.1.0.3", "port": 5696}}],
)


class Admin:
    def __init__(self, port, token):
        self.conn = http.client.HTTPConnection("127.0.0.1", port, timeout=60)
        self.headers = {"Content-Type": "application/json", "Authorization": f"Bearer {token}"}
        self.next_id = 1

    def call(self, op, params):
        body = json.dumps({"jsonrpc": "2.0", "id": self.next_id, "method": METHOD + op,
                           "params": params}, separators=(",", ":"))
        self.next_id += 1
        self.conn.request("POST", "/api", body, self.headers)
        response = self.conn.getresponse()
        text = response.read()
        try:
            answer = json.loads(text)
        except ValueError:
            answer = None
        if response.status != 200 or not isinstance(answer, dict) or "error" in answer:
            sys.exit(f"admin.py: {op} {body} failed: HTTP {response.status} {text[:400]!r}")
        return answer


def percentile(sorted_values, p):
    if not sorted_values:
        return 0.0
    return sorted_values[min(len(sorted_values) - 1, int(len(sorted_values) * p / 100))]


def report(kind, count, seconds, durations):
    durations.sort()
    print(f"{kind} {kind.lower()}={count} seconds={seconds:.3f} "
          f"p50_ms={percentile(durations, 50) * 1e3:.3f} "
          f"p99_ms={percentile(durations, 99) * 1e3:.3f}", flush=True)


def create_params(name):
    return {"spec": {"provider": name, "masterKeyId": "1", "keyServer": {
        "type": "KMIP", "kmipServer": {"servers": [
            {"name": "s1", "address": {"hostname": "10.1.2.3", "port": 5696}}]}}}}


def pairs(admin, seconds):
    durations = []
    start = time.monotonic()
    deadline = start + seconds
    n = 0
    while time.monotonic() < deadline:
        name = f"bench-pair-{n}"
        t0 = time.monotonic()
        admin.call("create", create_params(name))
        admin.call("delete", {"provider": name})
        durations.append(time.monotonic() - t0)
        n += 1
    report("PAIRS", n, time.monotonic() - start, durations)


def updates(admin, provider, ready):
    stop = False

    def on_term(_signum, _frame):
        nonlocal stop
        stop = True

    signal.signal(signal.SIGTERM, on_term)
    durations = []
    start = time.monotonic()
    n = 0
    while not stop:
        t0 = time.monotonic()
        admin.call("update", {"provider": provider, "spec": {"keyServer": {"kmipServer": {
            "servers": SERVER_SETS[n % 2]}}}})
        durations.append(time.monotonic() - t0)
        n += 1
        if n == 1:
            open(ready, "w").close()
    report("UPDATES", n, time.monotonic() - start, durations)


def main():
    admin = Admin(int(os.environ["BENCH_PORT"]), os.environ["BENCH_ADMIN_TOKEN"])
    if len(sys.argv) == 3 and sys.argv[1] == "pairs":
        pairs(admin, float(sys.argv[2]))
    elif len(sys.argv) == 2 and sys.argv[1] == "create":
        admin.call("create", {"spec": {"provider": os.environ["BENCH_PROVIDER_B"],
                                       "masterKeyId": "1", "keyServer": {
                                           "type": "KMIP",
                                           "kmipServer": {"servers": SERVER_SETS[0]}}}})
    elif len(sys.argv) == 3 and sys.argv[1] == "updates":
        updates(admin, os.environ["BENCH_PROVIDER_B"], sys.argv[2])
    else:
        sys.exit(__doc__)


if __name__ == "__main__":
    main()
