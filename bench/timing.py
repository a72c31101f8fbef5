"""What the network benchmarks share: timing requests through the program one at a time, the
same URLs through curl as the reference, and the local HTTPS server in a process of its own."""

import os
import subprocess
import sys
import tempfile
import time

ENV = os.path.join(os.path.dirname(__file__), "..", "tests", "env")


def timed_requests(program, lines, buffer_bytes=32 << 20):
    """Each request sent when the reply to the one before has arrived (checked, not parsed)."""
    buffer = bytearray(buffer_bytes)  # this side's memory warm, as a host's would be
    started = time.perf_counter()
    for line in lines:
        program.send(line)
        reply = program.read_line_into(buffer, 60)
        head = bytes(reply[:40]) if reply is not None else b""
        assert head.startswith(b'{"id":') and b'"value":{"body":' in head, bytes(reply or b"")[:200]
    return time.perf_counter() - started


def curl(ca, urls, proxy=None):
    """Seconds curl takes for `urls` in one process (one reused connection or tunnel)."""
    with tempfile.NamedTemporaryFile("w", suffix=".cfg", delete=False) as config:
        for url in urls:
            config.write('url = "%s"\noutput = "/dev/null"\n' % url)
    command = ["curl", "--silent", "--show-error", "--cacert", ca.ca_file, "--config", config.name]
    if proxy:
        command[1:1] = ["--proxy", proxy]
    started = time.perf_counter()
    subprocess.run(command, check=True)
    elapsed = time.perf_counter() - started
    os.unlink(config.name)
    return elapsed


def https_server(ca):
    """tests/env/servers.py's HTTPS server in a process of its own, so it shares no interpreter
    lock with the client; returns the process and its port."""
    serving = subprocess.Popen([sys.executable, os.path.join(ENV, "servers.py"), ca.dir],
                               stdin=subprocess.PIPE, stdout=subprocess.PIPE)
    return serving, int(serving.stdout.readline())
