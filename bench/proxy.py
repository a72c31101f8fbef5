"""Requests through an HTTP proxy: 1,000 sequential small HTTPS GETs through tinyproxy (CONNECT),
MireloServices against curl through the same proxy, in the same run (curl: one process, one kept
tunnel; the program keeps its connection through the proxy too). Goal: at most 1.2 x curl's time.

Run after a Release build: /usr/bin/python3 bench/proxy.py build-release [count]
"""

import json
import os
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tests", "env"))
if len(sys.argv) > 1:
    os.environ["MIRELO_BUILD_DIR"] = sys.argv[1]
from proxies import Hosts, Tinyproxy, program_env  # noqa: E402
from servers import TestCA  # noqa: E402
from testenv import Program  # noqa: E402


def timed_requests(program, lines):
    """Each request sent when the reply to the one before has arrived (checked, not parsed)."""
    buffer = bytearray(1 << 20)
    started = time.perf_counter()
    for line in lines:
        program.send(line)
        reply = program.read_line_into(buffer, 60)
        head = bytes(reply[:40]) if reply is not None else b""
        assert head.startswith(b'{"id":') and b'"value":{"body":' in head, bytes(reply or b"")[:200]
    return time.perf_counter() - started


def curl(ca, proxy, urls):
    with tempfile.NamedTemporaryFile("w", suffix=".cfg", delete=False) as config:
        for url in urls:
            config.write('url = "%s"\noutput = "/dev/null"\n' % url)
    started = time.perf_counter()
    subprocess.run(["curl", "--silent", "--show-error", "--cacert", ca.ca_file, "--proxy", proxy, "--config",
                    config.name], check=True)
    elapsed = time.perf_counter() - started
    os.unlink(config.name)
    return elapsed


def main():
    count = int(sys.argv[2]) if len(sys.argv) > 2 else 1000
    ca = TestCA()
    hosts = Hosts()
    proxy = Tinyproxy(hosts)
    # The server runs in a process of its own, so it shares no interpreter lock with this client.
    serving = subprocess.Popen([sys.executable, os.path.join(os.path.dirname(__file__), "..", "tests", "env", "servers.py"),
                                ca.dir], stdin=subprocess.PIPE, stdout=subprocess.PIPE)
    port = int(serving.stdout.readline())
    try:
        urls = ["https://127.0.0.1:%d/status/200?i=%d" % (port, i) for i in range(count)]
        lines = [json.dumps({"id": str(i), "command": "http", "payload": {"url": url}}).encode() + b"\n"
                 for i, url in enumerate(urls)]
        with Program(env=program_env(hosts, SSL_CERT_FILE=ca.ca_file, https_proxy=proxy.url())) as program:
            timed_requests(program, lines[:20])  # warm: one tunnel, kept
            ours = timed_requests(program, lines)
        reference = curl(ca, proxy.url(), urls)
        print("%d sequential GETs through tinyproxy: MireloServices %.2f s, curl %.2f s, ratio %.2f (goal <= 1.2)"
              % (count, ours, reference, ours / reference))
    finally:
        serving.stdin.close()
        serving.wait(10)
        proxy.close()
        hosts.close()
        ca.close()


if __name__ == "__main__":
    main()
