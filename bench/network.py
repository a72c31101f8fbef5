"""Network benchmarks through MireloServices against local servers, with curl as the reference in
the same run:

  1,000 sequential small HTTPS GETs to one host (curl: one process, one reused connection)
  a 12 MiB download (throughput)
  WebSocket echo of 1 KiB text messages with one in flight (round trips per second)

Run after a Release build: /usr/bin/python3 bench/network.py build-release
"""

import json
import os
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tests", "env"))
sys.path.insert(0, os.path.dirname(__file__))
if len(sys.argv) > 1:
    os.environ["MIRELO_BUILD_DIR"] = sys.argv[1]
from servers import TestCA  # noqa: E402
from timing import curl, https_server, timed_requests  # noqa: E402
from testenv import Program, build_dir, clean_env  # noqa: E402


def main():
    ca = TestCA()
    serving, port = https_server(ca)

    class Remote:
        @staticmethod
        def url(path):
            return "https://127.0.0.1:%d%s" % (port, path)

    server = Remote()
    try:
        with Program(env=clean_env(SSL_CERT_FILE=ca.ca_file)) as program:
            small = [server.url("/status/200?i=%d" % i) for i in range(1000)]
            lines = [json.dumps({"id": str(i), "command": "http", "payload": {"url": url}}).encode() + b"\n"
                     for i, url in enumerate(small)]
            timed_requests(program, lines[:20])  # warm: one connection, kept
            ours = timed_requests(program, lines)
            reference = curl(ca, small)
            print("1000 sequential GETs: MireloServices %.2f s, curl %.2f s, ratio %.2f" % (ours, reference, ours / reference))

            size = 12 * 1024 * 1024
            big = [json.dumps({"id": "big", "command": "http", "payload": {
                "url": server.url("/bytes/%d" % size), "maxBytes": size, "timeout": 60}}).encode() + b"\n"]
            ours = min(timed_requests(program, big) for _ in range(3))
            reference = min(curl(ca, [server.url("/bytes/%d" % size)]) for _ in range(3))
            print("12 MiB download: MireloServices %.0f MB/s, curl %.0f MB/s, %.0f %% of curl"
                  % (size / ours / 1e6, size / reference / 1e6, 100 * reference / ours))

        echo = subprocess.Popen([os.path.join(build_dir(), "bench", "ws_echo_server"),
                                 os.path.join(ca.dir, "server.pem"), os.path.join(ca.dir, "server.key")],
                                stdout=subprocess.PIPE)
        try:
            port = int(echo.stdout.readline())
            with Program(env=clean_env(SSL_CERT_FILE=ca.ca_file)) as program:
                opened = program.request("o", "socket-open", {"url": "wss://127.0.0.1:%d/" % port, "socketId": "e"})
                assert opened.get("value") is True, opened
                message = "m" * 1024
                send = json.dumps({"id": "s", "command": "socket-send", "payload": {"socketId": "e", "data": message}})
                receive = json.dumps({"id": "r", "command": "socket-receive", "payload": {"socketId": "e"}})
                round_trip = (send + "\n" + receive + "\n").encode()
                count = 5000
                started = time.perf_counter()
                for _ in range(count):
                    program.send(round_trip)
                    seen = 0
                    while seen < 3:  # two replies and the message, in any order
                        program.read_line(10)
                        seen += 1
                elapsed = time.perf_counter() - started
                print("WebSocket echo, 1 KiB, one in flight: %.0f round trips per second" % (count / elapsed))
        finally:
            echo.terminate()
            echo.wait()
    finally:
        serving.stdin.close()
        serving.wait()
        ca.close()


if __name__ == "__main__":
    main()
