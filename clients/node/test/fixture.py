"""The peers of the Node client's tests, brought up with the repository's own test environment
(tests/env/) and held until standard input closes. The first output line is JSON describing them;
after it, each input line is one command and gets one JSON line back.

    fixture.py desktop   private session and system buses with dbusmock's logind,
                         gnome_screensaver and notification_daemon; a test CA with HTTPS, WSS and
                         a stalling TLS server on 127.0.0.1
                         commands: "sleep 1" / "sleep 0", "lock", "click-last", "stall-ended"
    fixture.py hosts     two hosts in network namespaces, each with its own avahi-daemon, and
                         for each a script that runs SolvaNearby inside it ({"skip": why} when
                         namespaces cannot be made here)
"""

import json
import os
import shutil
import stat
import sys
import tempfile

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "..")
sys.path.insert(0, os.path.join(ROOT, "tests", "env"))

import dbus  # noqa: E402

from testenv import DbusMock, PrivateBus  # noqa: E402

NOTIFICATIONS = "org.freedesktop.Notifications"


def reply(value):
    sys.stdout.write(json.dumps(value) + "\n")
    sys.stdout.flush()


def desktop(closers):
    from servers import HttpsServer, StallServer, TestCA, WssServer
    session, system = PrivateBus(), PrivateBus()
    closers += [session.close, system.close]
    logind = DbusMock(system, template="logind", system=True)
    closers.append(logind.close)
    screensaver = DbusMock(session, template="gnome_screensaver")
    closers.append(screensaver.close)
    notifications = DbusMock(session, template="notification_daemon", parameters={"capabilities": "body actions"})
    closers.append(notifications.close)
    ca = TestCA()
    closers.append(ca.close)
    https, wss, stall = HttpsServer(ca), WssServer(ca), StallServer(ca, tls=True)
    closers += [https.close, wss.close, stall.close]
    reply({"sessionBus": session.address, "systemBus": system.address, "caFile": ca.ca_file,
           "https": "https://127.0.0.1:%d" % https.port, "wss": wss.url(), "stall": stall.url()})
    for line in sys.stdin:
        words = line.split()
        if words[0] == "sleep":
            logind.emit_signal("org.freedesktop.login1.Manager", "PrepareForSleep", "b", [dbus.Boolean(words[1] == "1")])
        elif words[0] == "lock":
            screensaver.call("org.gnome.ScreenSaver", "SetActive", dbus.Boolean(True))
        elif words[0] == "click-last":
            # The template numbers notifications from 1; nothing here replaces one.
            count = len(notifications.call("org.freedesktop.DBus.Mock", "GetMethodCalls", "Notify"))
            notifications.emit_signal(NOTIFICATIONS, "ActionInvoked", "us", [dbus.UInt32(count), "default"])
        elif words[0] == "stall-ended":
            reply({"ended": stall.ended, "accepted": stall.accepted})
            continue
        reply({"ok": True})


def hosts(closers):
    from nearby_hosts import Link, unavailable_reason
    reason = unavailable_reason()
    if reason:
        reply({"skip": reason})
        sys.stdin.read()
        return
    link = Link()
    closers.append(link.close)
    folder = tempfile.mkdtemp(prefix="mirelo-node-hosts-")
    closers.append(lambda: shutil.rmtree(folder, ignore_errors=True))
    program = os.path.abspath(os.environ.get("SOLVA_NEARBY") or os.path.join(ROOT, "build", "nearby", "SolvaNearby"))
    nsenter = shutil.which("nsenter")
    described = {}
    for host in link.hosts:
        script = os.path.join(folder, host.name)
        with open(script, "w") as f:
            f.write("#!/bin/sh\nexec %s -t %d --net --mount --uts -- %s\n" % (nsenter, host.holder.pid, program))
        os.chmod(script, stat.S_IRWXU)
        described[host.name] = {"binary": script, "address": host.address}
    reply(described)
    sys.stdin.read()


def main():
    closers = []
    try:
        {"desktop": desktop, "hosts": hosts}[sys.argv[1]](closers)
    finally:
        for close in reversed(closers):
            try:
                close()
            except Exception:  # noqa: BLE001  ending everything matters more than the first failure
                pass


if __name__ == "__main__":
    main()
