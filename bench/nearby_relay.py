"""Relay throughput of SolvaNearby between two hosts (network namespaces joined by a veth pair,
each with its own avahi-daemon; tests/env/nearby_hosts.py): host -> program A -> TCP -> program B ->
host, with the protocol's Base64 and JSON both ways, against raw TCP between the same namespaces
measured in the same run. Also the peak resident memory of both programs during the transfer,
which the pending limits bound whatever the transfer's size.

Run as root after a build: /usr/bin/python3 bench/nearby_relay.py [build dir] [MiB, default 256].
"""

import base64
import json
import os
import subprocess
import sys
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tests", "env"))
if len(sys.argv) > 1:
    os.environ["MIRELO_BUILD_DIR"] = os.path.abspath(sys.argv[1])
from nearby_hosts import Link, unavailable_reason  # noqa: E402

MIB = int(sys.argv[2]) if len(sys.argv) > 2 else 256
TOTAL = MIB << 20
CHUNK = 699_050  # three of them fit within the 2,097,152 bytes a channel may have unacknowledged
IN_FLIGHT = 3

RECEIVER = """
import socket, sys, time
s = socket.socket(); s.bind(('0.0.0.0', 0)); s.listen()
print(s.getsockname()[1], flush=True)
c = s.accept()[0]
buf = bytearray(1 << 20); view = memoryview(buf); got = 0; total = int(sys.argv[1])
while got < total:
    n = c.recv_into(view)
    if not n: break
    got += n
print(got, flush=True)
"""

SENDER = """
import os, socket, sys, time
total = int(sys.argv[2]); block = os.urandom(1 << 20)
c = socket.create_connection((sys.argv[1], int(sys.argv[3])))
started = time.perf_counter(); sent = 0
while sent < total:
    c.sendall(block); sent += len(block)
c.shutdown(socket.SHUT_WR); c.recv(1)
print(time.perf_counter() - started, flush=True)
"""


def raw_tcp(a, b):
    receiver = b.spawn("/usr/bin/python3", "-c", RECEIVER, str(TOTAL), stdout=subprocess.PIPE)
    port = receiver.stdout.readline().strip().decode()
    sender = a.spawn("/usr/bin/python3", "-c", SENDER, b.address, str(TOTAL), port, stdout=subprocess.PIPE)
    got = int(receiver.stdout.readline())
    receiver.wait(30)
    seconds = float(sender.stdout.readline())
    sender.wait(30)
    assert got == TOTAL, got
    return TOTAL / seconds / 1e6


def events(program):
    """Parsed events, read in large chunks (the host's side of the relay is part of what is measured)."""
    fd = program.process.stdout.fileno()
    rest = b""
    while True:
        chunk = os.read(fd, 4 << 20)
        if not chunk:
            raise SystemExit("the program ended")
        lines = (rest + chunk).split(b"\n")
        rest = lines.pop()
        for line in lines:
            yield json.loads(line)


def wait_for(stream, match):
    for event in stream:
        if all(event.get(k) == v for k, v in match.items()):
            return event


def relay(a, b):
    pa, pb = a.program(), b.program()
    try:
        sa, sb = events(pa), events(pb)
        pa.send({"command": "start", "name": "bench-alpha", "txt": {"v": "1", "r": "r", "p": "p", "m": "alpha"}})
        pb.send({"command": "start", "name": "bench-bravo", "txt": {"v": "1", "r": "r", "p": "p", "m": "bravo"}})
        endpoint = wait_for(sa, {"event": "found", "txt": {"v": "1", "r": "r", "p": "p", "m": "bravo"}})["endpointId"]
        pa.send({"command": "connect", "connectionId": "bench", "endpointId": endpoint})
        wait_for(sa, {"event": "connection-ready"})
        inbound = wait_for(sb, {"event": "connection-ready"})["connectionId"]

        payload = os.urandom(CHUNK)
        count = (TOTAL + CHUNK - 1) // CHUNK
        window = threading.Semaphore(IN_FLIGHT)
        acks = []

        def acknowledge():
            for event in sa:
                if event["event"] == "sent":
                    window.release()
                    acks.append(1)
                    if len(acks) == count:
                        return
                elif event["event"] == "connection-closed":
                    raise SystemExit("the channel closed: %s" % event)

        received = [0]

        def receive():
            for event in sb:
                if event["event"] == "data" and event["connectionId"] == inbound:
                    received[0] += len(base64.b64decode(event["data"]))
                    if received[0] >= count * CHUNK:
                        return

        started = time.perf_counter()
        threads = [threading.Thread(target=acknowledge), threading.Thread(target=receive)]
        for thread in threads:
            thread.start()
        for n in range(count):
            window.acquire()
            line = json.dumps({"command": "send", "connectionId": "bench", "requestId": str(n),
                               "data": base64.b64encode(payload).decode()}).encode() + b"\n"
            pa.send(line)
        for thread in threads:
            thread.join()
        seconds = time.perf_counter() - started
        return count * CHUNK / seconds / 1e6, pa.peak_rss_kib(), pb.peak_rss_kib()
    finally:
        pa.close()
        pb.close()


def main():
    reason = unavailable_reason()
    if reason:
        raise SystemExit("cannot run: " + reason)
    with Link() as link:
        a, b = link.hosts
        raw = raw_tcp(a, b)
        through, rss_a, rss_b = relay(a, b)
        raw_after = raw_tcp(a, b)
    reference = (raw + raw_after) / 2
    print("raw TCP between the namespaces: %.0f MB/s (before %.0f, after %.0f)" % (reference, raw, raw_after))
    print("relay host -> A -> B -> host, %d MiB: %.0f MB/s = %.1f %% of raw" % (MIB, through, 100 * through / reference))
    print("peak RSS: sender %.1f MiB, receiver %.1f MiB" % (rss_a / 1024, rss_b / 1024))


if __name__ == "__main__":
    main()
