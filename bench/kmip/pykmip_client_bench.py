#!/usr/bin/python3
"""PyKMIP's own client doing what kmip_session_bench does, for comparison.

usage: pykmip_client_bench.py DIR KEY_ID [N]
  DIR     server folder of scripts/pykmip/pykmip-server.sh (client.crt/.key, ca.crt, port)
  KEY_ID  an AES key readable by the `client` identity
  N       samples per mode (default 50)

Modes: fresh = open (TCP + TLS) + Get + close; open = one Get on an open connection.
Prints one line per mode: median and p90 of the wall time and the mean client CPU time per
operation, in milliseconds.
"""

import logging
import os
import statistics
import sys
import time

from kmip.core import enums
from kmip.pie.client import ProxyKmipClient


def make_client(folder):
    with open(os.path.join(folder, "port"), encoding="ascii") as f:
        port = int(f.read(16).strip())
    return ProxyKmipClient(
        hostname="127.0.0.1",
        port=port,
        cert=os.path.join(folder, "client.crt"),
        key=os.path.join(folder, "client.key"),
        ca=os.path.join(folder, "ca.crt"),
        config_file=os.path.join(folder, "client.conf"),
        kmip_version=enums.KMIPVersion.KMIP_1_1,
    )


def fresh_session_get(folder, key_id):
    client = make_client(folder)
    start, cpu = time.perf_counter(), time.process_time()
    client.open()
    try:
        client.get(key_id)
    finally:
        client.close()
    return time.perf_counter() - start, time.process_time() - cpu


def open_session_gets(folder, key_id, count):
    client = make_client(folder)
    client.open()
    samples = []
    try:
        for _ in range(count):
            start, cpu = time.perf_counter(), time.process_time()
            client.get(key_id)
            samples.append((time.perf_counter() - start, time.process_time() - cpu))
    finally:
        client.close()
    return samples


def report(mode, samples):
    """samples: (wall, client CPU) seconds per operation."""
    wall = sorted(s[0] for s in samples)
    p90 = wall[-(-len(wall) * 9 // 10) - 1]  # nearest rank
    cpu = statistics.mean(s[1] for s in samples)
    print("pykmip-client %-6s n=%d median=%.2f ms p90=%.2f ms client-cpu=%.2f ms"
          % (mode, len(wall), statistics.median(wall) * 1e3, p90 * 1e3, cpu * 1e3))


def main():
    if len(sys.argv) not in (3, 4) or (len(sys.argv) == 4 and not sys.argv[3].isdigit()):
        sys.stderr.write(__doc__)
        sys.exit(2)
    folder, key_id = sys.argv[1], sys.argv[2]
    count = int(sys.argv[3]) if len(sys.argv) == 4 else 50
    if not 1 <= count <= 100000:
        sys.stderr.write("N must be 1..100000\n")
        sys.exit(2)
    logging.basicConfig(level=logging.ERROR)
    fresh_session_get(folder, key_id)  # warm-up: imports, first handshake
    report("fresh", [fresh_session_get(folder, key_id) for _ in range(count)])
    report("open", open_session_gets(folder, key_id, count))


if __name__ == "__main__":
    main()
