"""Soak: a random mix of every command, kept at the concurrency limits for a while, against local
HTTPS and WSS servers, a private X server and private buses. Checks that every request gets
exactly one well-formed reply and that resident memory reaches a plateau; prints the RSS of the
first and last minute and the replies per second.

Run after a Release build: /usr/bin/python3 bench/soak.py build-release [seconds, default 600]
"""

import base64
import json
import os
import random
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tests", "env"))
if len(sys.argv) > 1:
    os.environ["MIRELO_BUILD_DIR"] = sys.argv[1]
from servers import HttpsServer, TestCA, WssServer  # noqa: E402
from testenv import DbusMock, PrivateBus, Program, TempHome, Xvfb, clean_env, status_kib  # noqa: E402

SECONDS = int(sys.argv[2]) if len(sys.argv) > 2 else 600
IN_FLIGHT = 32  # the network client's own bound on requests in flight
INVITE = "mirelo://join/#PC3-eyJyIjoic29hayJ9"


def picture(size, fmt):
    return subprocess.run(["convert", "-size", size, "plasma:", fmt + ":-"], capture_output=True, check=True).stdout


def main():
    ca = TestCA()
    https, wss, xvfb, home, session, system = HttpsServer(ca), WssServer(ca), Xvfb(), TempHome(), PrivateBus(), PrivateBus()
    daemon = DbusMock(session, template="notification_daemon")
    program = Program(env=clean_env(SSL_CERT_FILE=ca.ca_file, DISPLAY=xvfb.display, **home.env(),
                                    DBUS_SESSION_BUS_ADDRESS=session.address, DBUS_SYSTEM_BUS_ADDRESS=system.address))
    photo = base64.b64encode(picture("640x480", "jpg")).decode()
    small = base64.b64encode(picture("200x150", "png")).decode()
    card = program.request("card", "room-card-encode", {"invitation": INVITE, "data": small}, timeout=60)["value"]
    qr = program.request("qr", "qr-generate", {"value": "PC3-soak"})["value"]
    random.seed(7)

    def one(rid):
        kind = random.random()
        if kind < 0.35:
            path = random.choice(["/bytes/1000", "/bytes/300000", "/chunked/50000", "/status/404", "/slow/0.2"])
            return {"id": rid, "command": "http", "payload": {"url": https.url(path), "maxBytes": 400000, "timeout": 10}}
        if kind < 0.40:
            return {"id": rid, "command": "http-cancel", "payload": {"requestId": "none"}}
        if kind < 0.50:
            return {"id": rid, "command": "normalize-image", "payload": {"data": photo, "edge": 256}}
        if kind < 0.60:
            return {"id": rid, "command": "qr-generate", "payload": {"value": "PC3-" + rid}}
        if kind < 0.65:
            return {"id": rid, "command": "qr-decode", "payload": {"data": qr}}
        if kind < 0.72:
            return {"id": rid, "command": "room-card-encode", "payload": {"invitation": INVITE, "data": small}}
        if kind < 0.80:
            return {"id": rid, "command": "room-card-decode", "payload": {"data": card}}
        if kind < 0.85:
            return {"id": rid, "command": "clipboard-write-text", "payload": {"text": "soak " + rid}}
        if kind < 0.88:
            return {"id": rid, "command": "clipboard-text"}
        if kind < 0.93:
            return {"id": rid, "command": "notify", "payload": {"room": "r%d" % random.randrange(40),
                                                                "messageId": str(random.randrange(1000))}}
        if kind < 0.96:
            return {"id": rid, "command": "notifications-clear", "payload": {"room": "r%d" % random.randrange(40)}}
        if kind < 0.97:
            return {"id": rid, "command": "notification-status"}
        return {"id": rid, "command": "unknown-command"}

    outstanding, replies, samples, next_id = set(), 0, [], 0
    started = time.monotonic()
    last_sample = started
    try:
        while time.monotonic() - started < SECONDS or outstanding:
            while len(outstanding) < IN_FLIGHT and time.monotonic() - started < SECONDS:
                rid = "s%d" % next_id
                next_id += 1
                program.send(one(rid))
                outstanding.add(rid)
            line = program.read_line(60)
            assert line is not None, "no reply within 60 s; %d outstanding" % len(outstanding)
            reply = json.loads(line)
            assert set(reply) in ({"id", "value"}, {"id", "error"}), line[:200]
            assert reply["id"] in outstanding, "a reply for %r that was not outstanding" % reply["id"]
            outstanding.discard(reply["id"])
            replies += 1
            now = time.monotonic()
            if now - last_sample >= 5:
                samples.append((now - started, status_kib(program.process.pid)))
                last_sample = now
        elapsed = time.monotonic() - started
        program.close_input()
        assert program.wait(30) == 0
    finally:
        program.close()
        for thing in (daemon, https, wss, xvfb, home, session, system, ca):
            thing.close()

    first = [kib for t, kib in samples if t <= 60]
    last = [kib for t, kib in samples if t >= elapsed - 60]
    half = [kib for t, kib in samples if t >= elapsed / 2]
    print("soak: %d requests, every one answered once, in %.0f s: %.0f replies/s" % (next_id, elapsed, replies / elapsed))
    print("RSS first minute: %d-%d MiB; last minute: %d-%d MiB; second half: %d-%d MiB" % (
        min(first) // 1024, max(first) // 1024, min(last) // 1024, max(last) // 1024, min(half) // 1024, max(half) // 1024))
    print("RSS samples (s, MiB): " + " ".join("%d:%d" % (t, kib // 1024) for t, kib in samples))


if __name__ == "__main__":
    main()
