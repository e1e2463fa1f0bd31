#!/usr/bin/python3
"""Client-side helper for pykmip-server.sh, built on PyKMIP's own client (KMIP 1.1).

Commands (DIR is a folder prepared by `pykmip-server.sh start`; IDENTITY is `client` or `client2`):
  free-port                          print a currently free loopback TCP port
  probe DIR PORT                     exit 0 when a TLS handshake with the client certificate succeeds
  create DIR BITS STATE [IDENTITY]   create an AES key (operation policy `shared`) and move it to
                                     pre-active|active|deactivated|compromised; print its id
  state DIR ID [IDENTITY]            print the key's State value (1..4)
  key-info DIR ID [IDENTITY]         print "BITS SHA256HEX" of the key material (never the key)

Errors go to stderr with exit status 1; bad usage exits 2.
"""

import hashlib
import logging
import os
import socket
import ssl
import sys

STATES = ("pre-active", "active", "deactivated", "compromised")
IDENTITIES = ("client", "client2")
PROBE_TIMEOUT_SECONDS = 3


def usage(message):
    sys.stderr.write("pykmip_client: %s\n%s" % (message, __doc__))
    sys.exit(2)


def read_port(folder):
    with open(os.path.join(folder, "port"), encoding="ascii") as f:
        text = f.read(16).strip()
    if not text.isdigit() or not 0 < int(text) < 65536:
        raise ValueError("bad port file in %s" % folder)
    return int(text)


def free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def probe(folder, port):
    """A full TLS handshake as the first client identity, trusting the test CA."""
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
    context.load_verify_locations(os.path.join(folder, "ca.crt"))
    context.load_cert_chain(os.path.join(folder, "client.crt"), os.path.join(folder, "client.key"))
    with socket.create_connection(("127.0.0.1", port), timeout=PROBE_TIMEOUT_SECONDS) as raw:
        with context.wrap_socket(raw, server_hostname="127.0.0.1"):
            pass


def open_client(folder, identity):
    # Imported here so that free-port and probe stay fast.
    from kmip.core import enums
    from kmip.pie.client import ProxyKmipClient

    client = ProxyKmipClient(
        hostname="127.0.0.1",
        port=read_port(folder),
        cert=os.path.join(folder, identity + ".crt"),
        key=os.path.join(folder, identity + ".key"),
        ca=os.path.join(folder, "ca.crt"),
        config_file=os.path.join(folder, "client.conf"),
        kmip_version=enums.KMIPVersion.KMIP_1_1,
    )
    client.open()
    return client


def create_key(folder, bits, state, identity):
    from kmip.core import enums

    client = open_client(folder, identity)
    try:
        uid = client.create(enums.CryptographicAlgorithm.AES, bits, operation_policy_name="shared")
        if state in ("active", "deactivated"):
            client.activate(uid)
        if state == "deactivated":
            client.revoke(enums.RevocationReasonCode.CESSATION_OF_OPERATION, uid)
        elif state == "compromised":
            client.revoke(enums.RevocationReasonCode.KEY_COMPROMISE, uid)
        return uid
    finally:
        client.close()


def key_state(folder, uid, identity):
    client = open_client(folder, identity)
    try:
        _, attributes = client.get_attributes(uid, ["State"])
    finally:
        client.close()
    for attribute in attributes:
        if attribute.attribute_name.value == "State":
            return attribute.attribute_value.value.value
    raise RuntimeError("server returned no State for %s" % uid)


def key_info(folder, uid, identity):
    client = open_client(folder, identity)
    try:
        key = client.get(uid)
    finally:
        client.close()
    material = bytes(key.value)
    return "%d %s" % (len(material) * 8, hashlib.sha256(material).hexdigest())


def parse_identity(args, index):
    identity = args[index] if len(args) > index else "client"
    if identity not in IDENTITIES:
        usage("identity must be one of %s" % ", ".join(IDENTITIES))
    return identity


def parse_uid(text):
    if not text or len(text) > 128 or not text.isprintable():
        usage("bad key id")
    return text


def run(args):
    if not args:
        usage("missing command")
    command, rest = args[0], args[1:]
    if command == "free-port" and not rest:
        print(free_port())
    elif command == "probe" and len(rest) == 2 and rest[1].isdigit():
        probe(rest[0], int(rest[1]))
    elif command == "create" and len(rest) in (3, 4):
        if rest[1] not in ("128", "192", "256"):
            usage("BITS must be 128, 192 or 256")
        if rest[2] not in STATES:
            usage("STATE must be one of %s" % ", ".join(STATES))
        print(create_key(rest[0], int(rest[1]), rest[2], parse_identity(rest, 3)))
    elif command == "state" and len(rest) in (2, 3):
        print(key_state(rest[0], parse_uid(rest[1]), parse_identity(rest, 2)))
    elif command == "key-info" and len(rest) in (2, 3):
        print(key_info(rest[0], parse_uid(rest[1]), parse_identity(rest, 2)))
    else:
        usage("bad command or arguments")


def main():
    logging.basicConfig(level=logging.ERROR)
    try:
        run(sys.argv[1:])
    except SystemExit:
        raise
    except Exception as e:  # any client failure: one line, non-zero exit
        sys.stderr.write("pykmip_client: %s: %s\n" % (type(e).__name__, e))
        sys.exit(1)


if __name__ == "__main__":
    main()
