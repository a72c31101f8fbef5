"""Benchmarks of the MireloServices line protocol through real pipes.

  small requests: lines/s for one-line requests answered with one line (an unknown command)
  large request:  time to read, parse and answer a 24 MiB request line, and the peak resident
                  memory of the process

Run after a build: /usr/bin/python3 bench/protocol.py [build dir]. Use a Release build for figures.
"""

import os
import statistics
import sys
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tests", "env"))
if len(sys.argv) > 1:
    os.environ["MIRELO_BUILD_DIR"] = sys.argv[1]
from testenv import Program  # noqa: E402

LIMIT = 25_165_824


def small_requests(count=300_000):
    with Program() as program:
        program.request("warm", "nope")
        data = b"".join(b'{"id":"%d","command":"nope"}\n' % i for i in range(count))
        out = program.process.stdout.fileno()
        started = time.perf_counter()
        writer = threading.Thread(target=lambda: (program.send(data)))
        writer.start()
        lines = 0
        while lines < count:
            chunk = os.read(out, 1 << 20)
            if not chunk:
                raise SystemExit("program ended early")
            lines += chunk.count(b"\n")
        elapsed = time.perf_counter() - started
        writer.join()
    print("small requests: %d lines in %.3f s = %.0f lines/s" % (count, elapsed, count / elapsed))


def large_request(runs=15):
    head = b'{"id":"big","command":"nope","payload":{"s":"'
    tail = b'"}}'
    line = head + b"x" * (LIMIT - len(head) - len(tail)) + tail + b"\n"
    times = []
    with Program() as program:
        program.request("warm", "nope")
        baseline = program.peak_rss_kib()
        for _ in range(runs):
            started = time.perf_counter()
            program.send(line)
            reply = program.read_line(30)
            times.append(time.perf_counter() - started)
            assert reply and b'"id":"big"' in reply, reply
        peak = program.peak_rss_kib()
    print("large request: %d-byte line answered in %.1f ms median (min %.1f, max %.1f)"
          % (len(line) - 1, statistics.median(times) * 1000, min(times) * 1000, max(times) * 1000))
    print("large request: peak resident memory %.1f MiB (%.2f x the line; %.1f MiB before it)"
          % (peak / 1024, peak * 1024 / LIMIT, baseline / 1024))


if __name__ == "__main__":
    small_requests()
    large_request()
