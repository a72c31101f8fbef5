"""Memory traffic of large payloads through MireloServices, driven over pipes like the host (1 MiB
reads), counting the process's minor page faults (fresh pages) around each request in a warm
process. Each figure is printed with its reference, measured in the same run:

  12 MiB HTTPS body:    time and faults; reference `curl | base64 -w0 > /dev/null` on the same server
  24 MiB request line:  an unknown command: median time, faults, peak RSS against the line
  normalize-image:      a 12 MP JPEG to a 256-pixel PNG; reference: sharp (libvips from Node) doing
                        the same steps on the same file, when `node` finds the sharp module
                        (`npm install` in bench/, which pins it, or anywhere on NODE_PATH). Besides
                        the wall time, the CPU time of each side (every thread of the process),
                        which a loaded machine stretches less.

Run after a Release build: /usr/bin/python3 bench/large_payloads.py build-release [section...]
with sections among https, line, normalize (all when none is named).
"""

import base64
import json
import os
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tests", "env"))
if len(sys.argv) > 1:
    os.environ["MIRELO_BUILD_DIR"] = sys.argv[1]
from servers import TestCA  # noqa: E402
from testenv import Program, clean_env, minor_faults  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
LINE_LIMIT = 25_165_824


def cpu_seconds(pid):
    """User and system time of every thread the process has had, ended ones included."""
    with open("/proc/%d/stat" % pid) as stat:
        fields = stat.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def timed(program, line, check, runs, cpu=None):
    """Median seconds and median minor faults of `runs` requests, after one to warm up; the mean
    CPU seconds per request go into `cpu` when given (clock ticks: a mean over the runs)."""
    times, faults = [], []
    buffer = bytearray(32 << 20)  # this side's memory warm, as a host's would be
    for i in range(runs + 1):
        if i == 1:
            cpu_before = cpu_seconds(program.process.pid)
        before = minor_faults(program.process.pid)
        started = time.perf_counter()
        program.send(line)
        reply = program.read_line_into(buffer, 60)
        elapsed = time.perf_counter() - started
        assert reply is not None and check(bytes(reply[:64])), bytes(reply or b"")[:200]
        if i:
            times.append(elapsed)
            faults.append(minor_faults(program.process.pid) - before)
    if cpu is not None:
        cpu.append((cpu_seconds(program.process.pid) - cpu_before) / runs)
    return statistics.median(times), statistics.median(faults)


def https_body(ca, runs=7):
    serving = subprocess.Popen([sys.executable, os.path.join(HERE, "..", "tests", "env", "servers.py"), ca.dir],
                               stdin=subprocess.PIPE, stdout=subprocess.PIPE)
    try:
        port = int(serving.stdout.readline())
        size = 12 * 1024 * 1024
        url = "https://127.0.0.1:%d/bytes/%d" % (port, size)
        with Program(env=clean_env(SSL_CERT_FILE=ca.ca_file)) as program:
            line = json.dumps({"id": "big", "command": "http",
                               "payload": {"url": url, "maxBytes": size, "timeout": 60}}).encode() + b"\n"
            ours, faults = timed(program, line, lambda r: r.startswith(b'{"id":"big","value":{"body":"'), runs)
        pipeline = "curl --silent --show-error --cacert %s %s | base64 -w0 > /dev/null" % (ca.ca_file, url)
        references = []
        for _ in range(runs):
            started = time.perf_counter()
            subprocess.run(["bash", "-c", pipeline], check=True)
            references.append(time.perf_counter() - started)
        reference = statistics.median(references)
        print("12 MiB HTTPS body: %.0f ms median (%.0f MB/s), %d minor faults warm; "
              "reference curl | base64 -w0: %.0f ms (%.0f MB/s); throughput %.2f x the reference"
              % (ours * 1000, size / ours / 1e6, faults, reference * 1000, size / reference / 1e6, reference / ours))
    finally:
        serving.stdin.close()
        serving.wait()


def large_line(runs=15):
    head = b'{"id":"big","command":"nope","payload":{"s":"'
    tail = b'"}}'
    line = head + b"x" * (LINE_LIMIT - len(head) - len(tail)) + tail + b"\n"
    with Program() as program:
        program.request("warm", "nope")
        before = program.peak_rss_kib()
        ours, faults = timed(program, line, lambda r: b'"id":"big"' in r, runs)
        peak = program.peak_rss_kib()
    print("24 MiB request line (unknown command): %.1f ms median, %d minor faults warm; peak RSS %.1f MiB "
          "= %.2f x the line (%.1f MiB before it)" % (ours * 1000, faults, peak / 1024, peak * 1024 / LINE_LIMIT,
                                                       before / 1024))


def photograph(path):
    """A 4000 x 3000 JPEG with photograph-like detail (noise over gradients), made by ImageMagick."""
    subprocess.run(["convert", "-size", "4000x3000", "gradient:#3060a0-#e0c080", "(", "-size", "4000x3000",
                    "plasma:fractal", ")", "-compose", "overlay", "-composite", "-quality", "90", path], check=True)


def sharp_reference(path, runs):
    script = os.path.join(HERE, "sharp_normalize.js")
    env = dict(os.environ, NODE_PATH=os.pathsep.join(filter(None, [os.path.join(HERE, "node_modules"),
                                                                    os.environ.get("NODE_PATH")])))
    done = subprocess.run(["node", script, path, str(runs)], capture_output=True, text=True, env=env)
    if done.returncode != 0:
        return None
    wall, _, cpu = done.stdout.split()
    return float(wall) / 1000, float(cpu) / 1000


def normalize(runs=15):
    with tempfile.TemporaryDirectory() as scratch:
        path = os.path.join(scratch, "photo.jpg")
        photograph(path)
        with open(path, "rb") as f:
            data = f.read()
        line = json.dumps({"id": "n", "command": "normalize-image",
                           "payload": {"data": base64.b64encode(data).decode()}}).encode() + b"\n"
        cpu = []
        with Program() as program:
            ours, faults = timed(program, line, lambda r: r.startswith(b'{"id":"n","value":{"data":"'), runs, cpu)
        reference = sharp_reference(path, runs)
    text = "normalize-image, 12 MP JPEG (%d bytes): %.1f ms median, %.1f ms CPU, %d minor faults warm" % (
        len(data), ours * 1000, cpu[0] * 1000, faults)
    if reference is None:
        print(text + "; reference sharp: not found (npm install in bench/)")
    else:
        wall, sharp_cpu = reference
        print(text + "; reference sharp: %.1f ms, %.1f ms CPU; %.2f x sharp's time, %.2f x its CPU"
              % (wall * 1000, sharp_cpu * 1000, ours / wall, cpu[0] / sharp_cpu))


def main():
    sections = sys.argv[2:] or ["https", "line", "normalize"]
    if "https" in sections:
        ca = TestCA()
        try:
            https_body(ca)
        finally:
            ca.close()
    if "line" in sections:
        large_line()
    if "normalize" in sections:
        normalize()


if __name__ == "__main__":
    main()
