"""Relay throughput of SolvaNearby between two hosts (network namespaces joined by a veth pair,
each with its own avahi-daemon; tests/env/nearby_hosts.py): host -> program A -> TCP -> program B ->
host, with the protocol's Base64 and JSON both ways, against raw TCP between the same namespaces
measured in the same run. Also the peak resident memory of both programs during the transfer,
which the pending limits bound whatever the transfer's size, and the context switches of both
(every thread), each one a wake-up.

The host's side of the relay is bench/nearby_relay_host.cpp (C++, so that a slow host is not what
is measured); it keeps three sends of 699,050 bytes unacknowledged, within a channel's 2 MiB.

Run as root after a build: /usr/bin/python3 bench/nearby_relay.py [build dir] [MiB, default 256].
"""

import os
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tests", "env"))
if len(sys.argv) > 1:
    os.environ["MIRELO_BUILD_DIR"] = os.path.abspath(sys.argv[1])
from nearby_hosts import BUS, Link, unavailable_reason  # noqa: E402
from testenv import clean_env, program_path  # noqa: E402

MIB = int(sys.argv[2]) if len(sys.argv) > 2 else 256
TOTAL = MIB << 20

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


def relay(a, b):
    """host (C++: bench/nearby_relay_host.cpp) -> A -> TCP -> B -> host; MB/s and both peak RSS."""
    driver = os.path.join(os.environ.get("MIRELO_BUILD_DIR", "build"), "bench", "nearby_relay_host")
    program = os.path.abspath(program_path("SolvaNearby"))
    out = subprocess.run([driver, str(TOTAL)] + a.prefix() + [program, "::"] + b.prefix() + [program],
                         env=clean_env(DBUS_SYSTEM_BUS_ADDRESS=BUS), capture_output=True, timeout=600)
    if out.returncode != 0:
        raise SystemExit("relay failed: %s" % out.stderr.decode(errors="replace"))
    mbps, rss_a, rss_b, seconds, cpu_a, cpu_b, cpu_host, switches_a, switches_b = out.stdout.split()
    return (float(mbps), int(rss_a), int(rss_b), float(seconds), float(cpu_a), float(cpu_b), float(cpu_host),
            int(switches_a), int(switches_b))


def main():
    reason = unavailable_reason()
    if reason:
        raise SystemExit("cannot run: " + reason)
    with Link() as link:
        a, b = link.hosts
        raw = raw_tcp(a, b)
        through, rss_a, rss_b, seconds, cpu_a, cpu_b, cpu_host, switches_a, switches_b = relay(a, b)
        raw_after = raw_tcp(a, b)
    reference = (raw + raw_after) / 2
    print("raw TCP between the namespaces: %.0f MB/s (before %.0f, after %.0f)" % (reference, raw, raw_after))
    print("relay host -> A -> B -> host, %d MiB: %.0f MB/s = %.1f %% of raw" % (MIB, through, 100 * through / reference))
    print("peak RSS: sender %.1f MiB, receiver %.1f MiB" % (rss_a / 1024, rss_b / 1024))
    # On a machine whose cores are busy with other work, every hand-over between the four processes
    # waits for a time slice; the programs' own CPU time says what they would do alone.
    gb = MIB * 1.048576 / 1000
    print("CPU: sender %.2f s, receiver %.2f s, host %.2f s, in %.2f s; load average %s" %
          (cpu_a, cpu_b, cpu_host, seconds, open("/proc/loadavg").read().split()[0]))
    print("CPU seconds per GB relayed: sender %.2f, receiver %.2f, host %.2f" %
          (cpu_a / gb, cpu_b / gb, cpu_host / gb))
    # Each switch is a wake-up (or a preemption) paid in both CPU time and latency.
    print("context switches per 256 MiB: sender %.0f, receiver %.0f" %
          (switches_a * 256 / MIB, switches_b * 256 / MIB))


if __name__ == "__main__":
    main()
