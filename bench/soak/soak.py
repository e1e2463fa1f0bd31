#!/usr/bin/env python3
"""Load waves against a running zyld stack, a latency probe and the final verdict.

Started by bench/soak/run.sh, which brings the stack up and waits until generate_key is warm.

  soak.py run                     the waves (settings from the SOAK_* environment, see run.sh)
  soak.py probe SECONDS OUT       warm generate_key calls on one keep-alive connection
  soak.py flood COUNT SECONDS     COUNT idle connections (every fourth sends one request)
  soak.py trickle COUNT SECONDS   bodies announced large and sent a byte a second
  soak.py cold THREADS SECONDS    decrypt calls naming master keys the key server does not hold

The helpers print one JSON line; `run` prints the table and exits 1 when the daemon died, its
resident memory grew beyond the bound, or a wave's warm p99 exceeded the bound.
"""

import base64
import datetime
import http.client
import json
import os
import secrets
import signal
import socket
import subprocess
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
PYKMIP_SERVER = "/usr/bin/pykmip-server"
PYKMIP_HELPER = os.path.join(ROOT, "scripts", "pykmip", "pykmip_client.py")

METHOD = "com.velora.ovik.kms.key_operation."
INTROSPECTION = "com.velora.mirel.std.introspection.provider.get"

# Bounds of the verdict (sanitizer builds raise both). Idle p99 on loopback is sub-millisecond and noisy, hence the floor.
RSS_GROWTH_BOUND_MIB = int(os.environ.get("SOAK_RSS_BOUND_MIB", "64"))
P99_FACTOR = 2.0
P99_FLOOR_MS = float(os.environ.get("SOAK_P99_FLOOR_MS", "5"))

# The daemon's cap of open connections; the flood leaves room for the probe and the other callers.
CONNECTION_CAP = int(os.environ.get("SOAK_CONNECTION_CAP", "1024"))
FLOOD_HEADROOM = 64
PROBE_INTERVAL_S = 0.01
CALL_TIMEOUT_S = 45          # above the stack provider's 30 s connection time-out
TRICKLE_CONNECTIONS = 16
TRICKLE_BODY_BYTES = 1_000_000
COLD_THREADS = 4
WRK_TIMEOUT = "10s"
WAVE_MIN_S, WAVE_MAX_S = 5, 30
IDLE_WAVE_S = 10
KMIP_STOP_WAIT_S = 15
KMIP_READY_WAIT_S = 30
HELPER_GRACE_S = 60          # a helper still running this long after its wave is killed
# Load generators run at a lower priority: on a small machine they would otherwise take the CPU
# from the daemon and the probe, and the probe would time the scheduler rather than the daemon.
LOAD_NICE = 10
# A status refresh that runs while the key server is down replaces the provider's cached master
# key with the failed probe's empty one, and key operations go to the key server until the next
# refresh. The outage waves therefore run only where no refresh falls into them.
OUTAGE_WAVES = ("stall", "restart")
REFRESH_MARGIN_S = 5
REFRESH_LINES = ("Status update done", "Status update interval")


def env(name):
    value = os.environ.get(name)
    if not value:
        sys.exit(f"soak.py: {name} is not set")
    return value


def rpc_body(method, params, call_id=1):
    return json.dumps({"jsonrpc": "2.0", "id": call_id, "method": method, "params": params})


def headers(token):
    h = {"Content-Type": "application/json"}
    if token:
        h["Authorization"] = "Bearer " + token
    return h


def percentile(samples, p):
    if not samples:
        return None
    ordered = sorted(samples)
    index = max(0, min(len(ordered) - 1, int(-(-p * len(ordered) // 100)) - 1))
    return ordered[index]


def wrapped_key_naming(key_id):
    """A well-formed wrapped key naming a master key the key server does not hold."""
    data = bytes([1, 0, 0x4B, 0x5A])
    for field in (key_id.encode(), b"i" * 12, b"t" * 16, b"c" * 32):
        data += len(field).to_bytes(2, "little") + field
    return base64.b64encode(data).decode()


# --- helpers (each runs as its own process, so the probe's timing is not shared with load) -------

def cmd_probe(seconds, out):
    port, token, provider = int(env("SOAK_PORT")), env("SOAK_TOKEN"), env("SOAK_PROVIDER")
    body = rpc_body(METHOD + "generate_key", {"provider": provider, "keySize": 32})
    latencies, errors = [], 0
    conn = None
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        try:
            if conn is None:
                conn = http.client.HTTPConnection("127.0.0.1", port, timeout=CALL_TIMEOUT_S)
                conn.connect()
            t0 = time.perf_counter()
            conn.request("POST", "/api", body, headers(token))
            answer = conn.getresponse().read()
            took = time.perf_counter() - t0
            if b'"wrappedKey"' in answer:
                latencies.append(took * 1000)
            else:
                errors += 1
        except (OSError, http.client.HTTPException):
            errors += 1
            if conn is not None:
                conn.close()
            conn = None
        time.sleep(PROBE_INTERVAL_S)
    result = {"n": len(latencies), "errors": errors, "p50_ms": percentile(latencies, 50),
              "p99_ms": percentile(latencies, 99), "max_ms": max(latencies, default=None)}
    with open(out, "w", encoding="utf-8") as f:
        json.dump(result, f)


def cmd_flood(count, seconds):
    port = int(env("SOAK_PORT"))
    request = (f"POST /api HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/json\r\n"
               f"Content-Length: {{}}\r\n\r\n{{}}")
    body = rpc_body(INTROSPECTION, {})
    socks, refused, answered, closed = [], 0, 0, 0
    for i in range(count):
        try:
            s = socket.create_connection(("127.0.0.1", port), timeout=5)
        except OSError:
            refused += 1
            continue
        socks.append(s)
        if i % 4 == 0:
            try:
                s.sendall(request.format(len(body), body).encode())
                if s.recv(65536):
                    answered += 1
            except OSError:
                pass
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        time.sleep(0.5)
    for s in socks:
        # A connection the daemon closed meanwhile reads end-of-stream at once.
        s.setblocking(False)
        try:
            if s.recv(1) == b"":
                closed += 1
        except BlockingIOError:
            pass
        except OSError:
            closed += 1
        s.close()
    print(json.dumps({"opened": len(socks), "refused": refused, "answered": answered,
                      "closed_by_daemon": closed, "errors": refused}))


def cmd_trickle(count, seconds):
    port = int(env("SOAK_PORT"))
    head = (f"POST /api HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: application/json\r\n"
            f"Content-Length: {TRICKLE_BODY_BYTES}\r\n\r\n").encode()
    socks, refused, sent, closed = [], 0, 0, 0
    for _ in range(count):
        try:
            s = socket.create_connection(("127.0.0.1", port), timeout=5)
            s.sendall(head)
            socks.append(s)
        except OSError:
            refused += 1
    end = time.monotonic() + seconds
    while socks and time.monotonic() < end:
        time.sleep(1)
        alive = []
        for s in socks:
            try:
                s.sendall(b" ")
                sent += 1
                alive.append(s)
            except OSError:
                closed += 1
                s.close()
        socks = alive
    for s in socks:
        s.close()
    print(json.dumps({"opened": count - refused, "refused": refused, "bytes_sent": sent,
                      "closed_by_daemon": closed, "errors": refused}))


def cmd_cold(threads, seconds):
    port, token, provider = int(env("SOAK_PORT")), env("SOAK_TOKEN"), env("SOAK_PROVIDER")
    end = time.monotonic() + seconds
    counts = {"calls": 0, "answered_error": 0, "errors": 0}
    lock = threading.Lock()

    def caller():
        while time.monotonic() < end:
            key = wrapped_key_naming("soak-unknown-" + secrets.token_hex(4))
            body = rpc_body(METHOD + "decrypt", {"provider": provider, "wrappedKey": key})
            kind = "errors"
            try:
                conn = http.client.HTTPConnection("127.0.0.1", port, timeout=CALL_TIMEOUT_S)
                conn.request("POST", "/api", body, headers(token))
                response = conn.getresponse()
                answer = response.read()
                conn.close()
                if response.status == 200 and b'"error"' in answer:
                    kind = "answered_error"
            except (OSError, http.client.HTTPException):
                pass
            with lock:
                counts["calls"] += 1
                counts[kind] += 1

    workers = [threading.Thread(target=caller) for _ in range(threads)]
    for w in workers:
        w.start()
    for w in workers:
        w.join()
    print(json.dumps(counts))


# --- the waves ------------------------------------------------------------------------------------

class Soak:
    def __init__(self):
        self.port = int(env("SOAK_PORT"))
        self.token = env("SOAK_TOKEN")
        self.provider = env("SOAK_PROVIDER")
        self.zyld_pid = int(env("SOAK_ZYLD_PID"))
        self.config = env("SOAK_CONFIG")
        self.work = env("SOAK_WORK")
        self.kmip_dir = os.path.join(self.work, "pykmip")
        self.seconds = int(env("SOAK_SECONDS"))
        self.log = env("SOAK_LOG")
        self.refresh_s = int(env("SOAK_REFRESH_SECONDS"))
        self.log_offset, self.refreshed_at = 0, 0.0
        self.children = []
        self.kmip_stopped = None
        self.rows = []

    # Children are ours: started here, stopped by pid.
    def spawn(self, args, **kwargs):
        child = subprocess.Popen(args, stdin=subprocess.DEVNULL, **kwargs)
        self.children.append(child)
        return child

    def stop_children(self):
        for child in self.children:
            if child.poll() is None:
                child.terminate()
        for child in self.children:
            try:
                child.wait(timeout=5)
            except subprocess.TimeoutExpired:
                child.kill()
                child.wait()
        self.children = []
        if self.kmip_stopped is not None:
            self.signal_kmip(signal.SIGCONT)

    def collect(self, child, wave_seconds):
        try:
            out, _ = child.communicate(timeout=wave_seconds + HELPER_GRACE_S)
        except subprocess.TimeoutExpired:
            child.kill()
            out, _ = child.communicate()
            return {"errors": 1, "note": "killed after its wave"}
        return out

    def daemon_alive(self):
        try:
            with open(f"/proc/{self.zyld_pid}/environ", "rb") as f:
                return f"ZYLD_CONFIG={self.config}".encode() in f.read().split(b"\0")
        except OSError:
            return False

    def rss_kib(self):
        try:
            with open(f"/proc/{self.zyld_pid}/status", encoding="utf-8") as f:
                for line in f:
                    if line.startswith("VmRSS:"):
                        return int(line.split()[1])
        except OSError:
            pass
        return None

    # --- status refresh ---
    def last_refresh(self):
        """Wall-clock time of the latest refresh the log shows (or of the daemon's start)."""
        with open(self.log, "rb") as f:
            f.seek(self.log_offset)
            for line in f:
                if not line.endswith(b"\n"):
                    break
                self.log_offset += len(line)
                text = line.decode("utf-8", "replace")
                if any(marker in text for marker in REFRESH_LINES):
                    stamp = datetime.datetime.strptime(text.split()[0], "%Y-%m-%dT%H:%M:%S.%fZ")
                    self.refreshed_at = stamp.replace(tzinfo=datetime.timezone.utc).timestamp()
        return self.refreshed_at

    def outage_fits(self, seconds):
        next_refresh = self.last_refresh() + self.refresh_s
        return time.time() + seconds + REFRESH_MARGIN_S < next_refresh

    def wait_for_refresh(self):
        before = self.last_refresh()
        deadline = time.monotonic() + self.refresh_s + 30
        while self.last_refresh() == before and time.monotonic() < deadline:
            time.sleep(0.2)

    # --- key server ---
    def kmip_pid(self):
        with open(os.path.join(self.kmip_dir, "server.pid"), encoding="utf-8") as f:
            pid = int(f.read(16).strip())
        # Only the process started with this stack's server configuration is ours.
        with open(f"/proc/{pid}/cmdline", "rb") as f:
            if os.path.join(self.kmip_dir, "server.conf").encode() not in f.read().split(b"\0"):
                raise RuntimeError(f"pid {pid} is not the stack's key server")
        return pid

    def signal_kmip(self, sig):
        pid = self.kmip_pid()
        os.kill(pid, sig)
        self.kmip_stopped = pid if sig == signal.SIGSTOP else None

    def restart_kmip(self):
        """Stops the key server (as its script does: SIGINT, bounded wait, SIGKILL of its group)
        and starts it again on the same folder, port, certificates and database."""
        pid = self.kmip_pid()
        with open(os.path.join(self.kmip_dir, "port"), encoding="utf-8") as f:
            kmip_port = int(f.read(8).strip())
        t0 = time.monotonic()
        os.kill(pid, signal.SIGINT)
        deadline = time.monotonic() + KMIP_STOP_WAIT_S
        while time.monotonic() < deadline and os.path.exists(f"/proc/{pid}/cmdline") and \
                open(f"/proc/{pid}/stat", encoding="utf-8").read().split()[2] != "Z":
            time.sleep(0.1)
        try:
            os.killpg(pid, signal.SIGKILL)   # its helper processes; the group id is its pid
        except ProcessLookupError:
            pass
        conf = os.path.join(self.kmip_dir, "server.conf")
        log = os.path.join(self.kmip_dir, "server.log")
        with open(os.path.join(self.kmip_dir, "server.out"), "ab") as out:
            # Same shape as the server script's launch: own session, group id in server.pid.
            self.spawn(["setsid", "bash", "-c", 'p=$1; shift; echo $$ >"$p"; exec "$@"', "_",
                        os.path.join(self.kmip_dir, "server.pid"), PYKMIP_SERVER, "-f", conf,
                        "-l", log], stdout=out, stderr=out)
        self.children.pop()          # it outlives the wave; the stack stops it
        deadline = time.monotonic() + KMIP_READY_WAIT_S
        while time.monotonic() < deadline:
            probe = subprocess.run([sys.executable, PYKMIP_HELPER, "probe", self.kmip_dir,
                                    str(kmip_port)], stdout=subprocess.DEVNULL,
                                   stderr=subprocess.DEVNULL, check=False, timeout=30)
            if probe.returncode == 0:
                return f"key server back after {time.monotonic() - t0:.1f}s"
            time.sleep(0.2)
        return "key server did not come back"

    # --- load ---
    def wrk(self, seconds, connections, body, expect, close=False):
        lua_env = dict(os.environ, CALL_BODY=body, CALL_EXPECT=expect, CALL_TOKEN=self.token)
        args = ["nice", "-n", str(LOAD_NICE), "wrk", "-t1", f"-c{connections}", f"-d{seconds}s",
                "--timeout", WRK_TIMEOUT, "-s", os.path.join(HERE, "..", "lib", "checked_call.lua")]
        if close:
            args += ["-H", "Connection: close"]
        args.append(f"http://127.0.0.1:{self.port}/api")
        return self.spawn(args, env=lua_env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                          text=True)

    def helper(self, *args):
        return self.spawn(["nice", "-n", str(LOAD_NICE), sys.executable, __file__,
                           *map(str, args)], stdout=subprocess.PIPE, text=True)

    def generated_key(self):
        body = rpc_body(METHOD + "generate_key", {"provider": self.provider, "keySize": 32})
        conn = http.client.HTTPConnection("127.0.0.1", self.port, timeout=CALL_TIMEOUT_S)
        conn.request("POST", "/api", body, headers(self.token))
        answer = json.loads(conn.getresponse().read())
        conn.close()
        return answer["result"]["wrappedKey"]

    def keepalive_load(self, seconds):
        generate = rpc_body(METHOD + "generate_key", {"provider": self.provider, "keySize": 32})
        decrypt = rpc_body(METHOD + "decrypt",
                           {"provider": self.provider, "wrappedKey": self.generated_key()})
        return [("wrk generate_key", self.wrk(seconds, 8, generate, '"wrappedKey"')),
                ("wrk decrypt", self.wrk(seconds, 4, decrypt, '"key"'))]

    def wave(self, name, seconds):
        probe_out = os.path.join(self.work, f"probe-{len(self.rows)}.json")
        probe = self.spawn([sys.executable, __file__, "probe", str(seconds), probe_out])
        loads, notes = [], []
        if name in ("keepalive", "stall", "restart", "mixed"):
            loads += self.keepalive_load(seconds)
        if name in ("newconn", "mixed"):
            generate = rpc_body(METHOD + "generate_key", {"provider": self.provider, "keySize": 32})
            loads.append(("wrk close", self.wrk(seconds, 2, generate, '"wrappedKey"', close=True)))
        if name in ("flood", "mixed"):
            loads.append(("flood", self.helper("flood", CONNECTION_CAP - FLOOD_HEADROOM,
                                               max(1, seconds - 2))))
        if name in ("trickle", "mixed"):
            loads.append(("trickle", self.helper("trickle", TRICKLE_CONNECTIONS, seconds)))
        if name in ("cold", "stall", "mixed"):
            loads.append(("cold", self.helper("cold", COLD_THREADS, seconds)))
        if name == "stall":
            time.sleep(1)
            self.signal_kmip(signal.SIGSTOP)
            time.sleep(max(1, seconds - 2))
            self.signal_kmip(signal.SIGCONT)
            notes.append(f"key server stopped {max(1, seconds - 2)}s")
        if name == "restart":
            time.sleep(1)
            notes.append(self.restart_kmip())
        requests, errors = 0, 0
        for label, child in loads:
            out = self.collect(child, seconds)
            if isinstance(out, dict):
                errors += out["errors"]
                notes.append(f"{label}: {out['note']}")
                continue
            line = next((l for l in out.splitlines() if l.startswith("CALL_RESULT")), None)
            if line is not None:        # wrk
                fields = dict(kv.split("=") for kv in line.split()[1:])
                requests += int(fields["requests"])
                errors += int(fields["errors"]) + int(fields["bad"])
                continue
            try:
                result = json.loads(out.strip().splitlines()[-1])
            except (ValueError, IndexError):
                errors += 1
                notes.append(f"{label}: no result")
                continue
            requests += result.get("calls", result.get("opened", 0))
            errors += result["errors"]
            notes.append(label + " " + ",".join(f"{k}={v}" for k, v in result.items()
                                                 if k != "errors"))
        probe.wait(timeout=seconds + HELPER_GRACE_S)
        with open(probe_out, encoding="utf-8") as f:
            p = json.load(f)
        self.children = [c for c in self.children if c.poll() is None]
        row = {"wave": name, "seconds": seconds, "rss_kib": self.rss_kib(), "probe": p,
               "requests": requests, "errors": errors + p["errors"], "notes": notes,
               "alive": self.daemon_alive()}
        self.rows.append(row)
        print(f"== {name:9} {seconds:3d}s  rss {fmt_mib(row['rss_kib'])} MiB  "
              f"warm p99 {fmt_ms(p['p99_ms'])} ms  requests {requests}  errors {row['errors']}  "
              f"{'; '.join(notes)}", file=sys.stderr, flush=True)
        return row["alive"]

    def run(self):
        order = ["keepalive", "stall", "restart", "newconn", "flood", "trickle", "cold", "mixed"]
        wave_s = max(WAVE_MIN_S, min(WAVE_MAX_S, self.seconds // len(order)))
        # Every kind once; then again without the restart while the duration lasts.
        schedule = list(order)
        again = [w for w in order if w != "restart"]
        while (len(schedule) + 1) * wave_s <= self.seconds:
            schedule.append(again[(len(schedule) - len(order)) % len(again)])
        if not self.wave("idle", IDLE_WAVE_S):
            return self.report()
        while schedule:
            name = schedule[0]
            if name in OUTAGE_WAVES and not self.outage_fits(wave_s):
                other = next((w for w in schedule if w not in OUTAGE_WAVES), None)
                if other is None:
                    print("== waiting for the next status refresh", file=sys.stderr, flush=True)
                    self.wait_for_refresh()
                    continue
                name = other
            schedule.remove(name)
            if not self.wave(name, wave_s):
                break
        return self.report()

    def report(self):
        idle = self.rows[0]
        idle_p99 = idle["probe"]["p99_ms"]
        bound_ms = None if idle_p99 is None else P99_FACTOR * idle_p99 + P99_FLOOR_MS
        print()
        print(f"{'wave':10} {'s':>4} {'RSS MiB':>8} {'warm n':>7} {'p50 ms':>7} {'p99 ms':>7} "
              f"{'max ms':>7} {'requests':>9} {'errors':>7}  alive")
        for r in self.rows:
            p = r["probe"]
            print(f"{r['wave']:10} {r['seconds']:4d} {fmt_mib(r['rss_kib']):>8} {p['n']:7d} "
                  f"{fmt_ms(p['p50_ms']):>7} {fmt_ms(p['p99_ms']):>7} {fmt_ms(p['max_ms']):>7} "
                  f"{r['requests']:9d} {r['errors']:7d}  {'yes' if r['alive'] else 'NO'}")
        failures = []
        alive = self.daemon_alive()
        if not alive:
            failures.append("the daemon died")
        last = self.rows[-1]["rss_kib"]
        growth = None
        if idle["rss_kib"] is not None and last is not None:
            growth = (last - idle["rss_kib"]) / 1024
            if growth > RSS_GROWTH_BOUND_MIB:
                failures.append(f"RSS grew {growth:.1f} MiB (bound {RSS_GROWTH_BOUND_MIB} MiB)")
        if bound_ms is None:
            failures.append("no warm samples while idle")
        else:
            for r in self.rows[1:]:
                p99 = r["probe"]["p99_ms"]
                if p99 is None:
                    failures.append(f"wave {r['wave']}: no warm samples")
                elif p99 > bound_ms:
                    failures.append(f"wave {r['wave']}: warm p99 {p99:.2f} ms > {bound_ms:.2f} ms")
        print()
        print(f"idle warm p99 {fmt_ms(idle_p99)} ms; bound under load {P99_FACTOR:g} x idle p99 + "
              f"{P99_FLOOR_MS:g} ms = {fmt_ms(bound_ms)} ms")
        print(f"RSS idle {fmt_mib(idle['rss_kib'])} MiB, after the last wave {fmt_mib(last)} MiB "
              f"(growth {'-' if growth is None else f'{growth:.1f}'} MiB, bound "
              f"{RSS_GROWTH_BOUND_MIB} MiB)")
        print(f"errors {sum(r['errors'] for r in self.rows)}; daemon alive: "
              f"{'yes' if alive else 'NO'}")
        with open(os.path.join(self.work, "soak.json"), "w", encoding="utf-8") as f:
            json.dump({"rows": self.rows, "failures": failures, "bound_ms": bound_ms}, f)
        for failure in failures:
            print(f"FAIL: {failure}")
        print("soak: " + ("FAILED" if failures else "passed"))
        return 1 if failures else 0


def fmt_ms(value):
    return "-" if value is None else f"{value:.2f}"


def fmt_mib(kib):
    return "-" if kib is None else f"{kib / 1024:.1f}"


def main():
    args = sys.argv[1:]
    if args[:1] == ["run"] and len(args) == 1:
        soak = Soak()
        signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
        try:
            sys.exit(soak.run())
        finally:
            soak.stop_children()
    elif args[:1] == ["probe"] and len(args) == 3:
        cmd_probe(float(args[1]), args[2])
    elif args[:1] in (["flood"], ["trickle"], ["cold"]) and len(args) == 3:
        {"flood": cmd_flood, "trickle": cmd_trickle, "cold": cmd_cold}[args[0]](
            int(args[1]), float(args[2]))
    else:
        sys.exit(__doc__)


if __name__ == "__main__":
    main()
