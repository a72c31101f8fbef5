"""Smoke test of installed programs, the way a host that depends on the package drives them:
    smoke.py DIR VERSION
DIR holds MireloServices, its desktop module and SolvaNearby (/usr/libexec/mirelo once the .deb is
installed). A QR code round trip, an unknown command's error, the User-Agent against the package's
VERSION over HTTPS on loopback, and stop; SolvaNearby start and stop. Exits 1 on the first fault."""

import base64
import json
import os
import select
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "env"))
from servers import HttpsServer, TestCA  # noqa: E402


class Child:
    def __init__(self, path, env):
        # Run from an empty folder: the installed programs must need nothing of the source tree.
        self.process = subprocess.Popen([path], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                        stderr=subprocess.PIPE, env=env, cwd=tempfile.mkdtemp())
        self.pending = b""

    def send(self, message):
        self.process.stdin.write(json.dumps(message).encode() + b"\n")
        self.process.stdin.flush()

    def read(self, timeout=20):
        fd = self.process.stdout.fileno()
        while b"\n" not in self.pending:
            ready, _, _ = select.select([fd], [], [], timeout)
            chunk = os.read(fd, 1 << 20) if ready else b""
            if not chunk:
                raise AssertionError("no line within %s s (exit status %s)" % (timeout, self.process.poll()))
            self.pending += chunk
        line, self.pending = self.pending.split(b"\n", 1)
        return json.loads(line)

    def finish(self):
        status = self.process.wait(20)
        if status != 0 or self.process.stderr.read():
            raise AssertionError("exit status %s or output on standard error" % status)


def expect(got, wanted, what):
    if got != wanted:
        raise AssertionError("%s: %r, expected %r" % (what, got, wanted))
    print("ok   %s" % what)


def main():
    folder, version = sys.argv[1], sys.argv[2]
    ca = TestCA()
    server = HttpsServer(ca)
    env = {"PATH": "/usr/bin:/bin", "HOME": tempfile.mkdtemp(), "SSL_CERT_FILE": ca.ca_file}
    try:
        services = Child(os.path.join(folder, "MireloServices"), env)
        services.send({"id": "g", "command": "qr-generate", "payload": {"value": "mirelo smoke"}})
        png = services.read()["value"]
        expect(png.split(",", 1)[0], "data:image/png;base64", "qr-generate answers a PNG")
        services.send({"id": "d", "command": "qr-decode", "payload": {"data": png}})
        expect(services.read(), {"id": "d", "value": "mirelo smoke"}, "qr-decode reads it back")
        services.send({"id": "u", "command": "no-such-command"})
        expect(services.read(), {"id": "u", "error": "不支持的原生操作"}, "an unknown command is refused")
        services.send({"id": "h", "command": "http", "payload": {"url": server.url("/status/200"), "method": "GET",
                                                                  "timeout": 10}})
        reply = services.read()
        expect(base64.b64decode(reply["value"]["body"]), b"status 200", "an HTTPS request on loopback")
        expect(server.requests[-1]["headers"]["User-Agent"], "Mirelo/" + version, "the User-Agent is the package's")
        services.send({"id": "s", "command": "stop"})
        expect(services.read(), {"id": "s", "value": True}, "stop")
        services.finish()

        nearby = Child(os.path.join(folder, "SolvaNearby"), env)
        nearby.send({"command": "start", "name": "smoke-test", "txt": {"v": "1", "r": "room", "p": "pk", "m": "smoke"}})
        nearby.send({"command": "stop"})
        events = []
        while not events or events[-1].get("event") != "stopped":
            events.append(nearby.read())
        print("ok   SolvaNearby start and stop: %s" % ", ".join(e["event"] for e in events))
        nearby.finish()
    finally:
        server.close()
        ca.close()


if __name__ == "__main__":
    try:
        main()
    except AssertionError as fault:
        print("FAIL %s" % fault)
        sys.exit(1)
