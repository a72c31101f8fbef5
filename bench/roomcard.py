"""Room card benchmarks through the program's pipes.

  room-card-encode, robust, of a 2000x1500 photo into a 1440x960 card: median wall time, process CPU
  time and minor faults per warm encode, the card's size; reference in the same run: ImageMagick
  drawing the same photo at the card's size as PNG (`convert photo.jpg -resize 1440x960! png:-`)
  room-card-decode of an 8 MiB card PNG whose chunk is intact (the chunk path decodes no pixels)
  room-card-decode of a robust card re-encoded as a half-size JPEG at quality 40 (watermark path)
  clipboard-card-write of a 2 MiB card, then xclip reading the PNG back (under a private Xvfb)

Run after a Release build: /usr/bin/python3 bench/roomcard.py build-release
"""

import base64
import json
import os
import statistics
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tests", "env"))
if len(sys.argv) > 1:
    os.environ["MIRELO_BUILD_DIR"] = sys.argv[1]
from testenv import Program, TempHome, Xvfb, clean_env  # noqa: E402

INVITE = "mirelo://join/#PC3-eyJyIjoiYmVuY2htYXJrIn0"


def convert(*args, data=None):
    return subprocess.run(["convert", *args], input=data, capture_output=True, check=True).stdout


def noise_png(target_bytes):
    side = int((target_bytes / 3) ** 0.5)
    while True:
        png = convert("-size", "%dx%d" % (side, side), "xc:", "+noise", "Random", "png:-")
        if len(png) <= target_bytes:
            return png
        side -= 8


def median_ms(program, command, payload, runs=15):
    """Median time from writing the request line (serialised beforehand) to reading its reply."""
    line = json.dumps({"id": "b", "command": command, "payload": payload}).encode() + b"\n"
    times = []
    for _ in range(runs):
        started = time.perf_counter()
        program.send(line)
        reply = program.read_json(60)
        times.append(time.perf_counter() - started)
        assert "value" in reply, reply
    return statistics.median(times) * 1000, reply["value"]


def encode(program, data, robust=False):
    reply = program.request("e", "room-card-encode", {"invitation": INVITE, "data": base64.b64encode(data).decode(),
                                                      "robust": robust}, timeout=60)
    return base64.b64decode(reply["value"].split(",", 1)[1])


def process_counters(pid):
    """CPU seconds (user + system, all threads) and minor faults of a process so far."""
    fields = open("/proc/%d/stat" % pid).read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK"), int(fields[7])


def robust_encode(program, photo, runs=7):
    line = json.dumps({"id": "r", "command": "room-card-encode",
                       "payload": {"invitation": INVITE, "data": base64.b64encode(photo).decode(), "robust": True}}
                      ).encode() + b"\n"
    samples = []
    for i in range(runs + 1):  # the first warms the process up
        cpu, faults = process_counters(program.process.pid)
        started = time.perf_counter()
        program.send(line)
        reply = program.read_json(60)
        wall = time.perf_counter() - started
        cpu_after, faults_after = process_counters(program.process.pid)
        assert "value" in reply, reply
        if i:
            samples.append((wall, cpu_after - cpu, faults_after - faults))
    size = len(base64.b64decode(reply["value"].split(",", 1)[1]))
    return [statistics.median(s[k] for s in samples) for k in range(3)] + [size]


def main():
    with Program() as program:
        photo = convert("-size", "2000x1500", "plasma:fractal", "-blur", "0x2", "-quality", "90", "jpg:-")
        wall, cpu, faults, size = robust_encode(program, photo)
        reference = []
        for _ in range(7):
            started = time.perf_counter()
            convert("jpg:-", "-resize", "1440x960!", "png:-", data=photo)
            reference.append(time.perf_counter() - started)
        print("room-card-encode, robust, 2000x1500 -> 1440x960: %.0f ms median, %.0f ms CPU, %d faults, %d-byte card; "
              "convert -resize to PNG: %.0f ms (%.2f x); load %s"
              % (wall * 1e3, cpu * 1e3, faults, size, statistics.median(reference) * 1e3,
                 wall / statistics.median(reference), open("/proc/loadavg").read().split()[0]))

        card = encode(program, noise_png(8_388_608 - 200))
        ms, value = median_ms(program, "room-card-decode", {"data": base64.b64encode(card).decode()})
        assert value == INVITE
        print("room-card-decode, %d-byte card PNG, chunk path: %.1f ms median" % (len(card), ms))

        photo = convert("-size", "2000x1500", "plasma:", "-blur", "0x2", "jpg:-")
        robust = encode(program, photo, robust=True)
        copy = convert("png:-", "-resize", "50%", "-quality", "40", "jpg:-", data=robust)
        ms, value = median_ms(program, "room-card-decode", {"data": base64.b64encode(copy).decode()})
        assert value == INVITE
        print("room-card-decode, %d-byte half-size JPEG copy, watermark path: %.1f ms median" % (len(copy), ms))

    with Xvfb() as xvfb, TempHome() as home:
        env = clean_env(DISPLAY=xvfb.display, **home.env())
        with Program(env=env) as program:
            card = encode(program, noise_png(2 * 1024 * 1024 - 200))
            url = "data:image/png;base64," + base64.b64encode(card).decode()
            times = []
            for i in range(10):
                started = time.perf_counter()
                assert program.request(str(i), "clipboard-card-write", {"data": url, "invitation": INVITE})["value"]
                out = subprocess.run(["xclip", "-selection", "clipboard", "-t", "image/png", "-o"], env=env,
                                     capture_output=True, timeout=30).stdout
                times.append(time.perf_counter() - started)
                assert out == card
            print("clipboard-card-write of a %d-byte card and xclip reading it back: %.1f ms median"
                  % (len(card), statistics.median(times) * 1000))


if __name__ == "__main__":
    main()
