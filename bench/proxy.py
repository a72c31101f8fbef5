"""Requests through an HTTP proxy: 1,000 sequential small HTTPS GETs through tinyproxy (CONNECT),
MireloServices against curl through the same proxy, in the same run (curl: one process, one kept
tunnel; the program keeps its connection through the proxy too). Goal: at most 1.2 x curl's time.

Run after a Release build: /usr/bin/python3 bench/proxy.py build-release [count]
"""

import json
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tests", "env"))
sys.path.insert(0, os.path.dirname(__file__))
if len(sys.argv) > 1:
    os.environ["MIRELO_BUILD_DIR"] = sys.argv[1]
from proxies import Hosts, Tinyproxy, program_env  # noqa: E402
from servers import TestCA  # noqa: E402
from timing import curl, https_server, timed_requests  # noqa: E402
from testenv import Program  # noqa: E402


def main():
    count = int(sys.argv[2]) if len(sys.argv) > 2 else 1000
    ca = TestCA()
    hosts = Hosts()
    proxy = Tinyproxy(hosts)
    serving, port = https_server(ca)
    try:
        urls = ["https://127.0.0.1:%d/status/200?i=%d" % (port, i) for i in range(count)]
        lines = [json.dumps({"id": str(i), "command": "http", "payload": {"url": url}}).encode() + b"\n"
                 for i, url in enumerate(urls)]
        with Program(env=program_env(hosts, SSL_CERT_FILE=ca.ca_file, https_proxy=proxy.url())) as program:
            timed_requests(program, lines[:20])  # warm: one tunnel, kept
            ours = timed_requests(program, lines)
        reference = curl(ca, urls, proxy.url())
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
