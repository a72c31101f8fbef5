"""Room card benchmarks through the program's pipes.

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


def main():
    with Program() as program:
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
