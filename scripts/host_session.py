"""A scripted host: starts MireloServices with private D-Bus buses standing in for the desktop,
sends a few requests, makes the "desktop" lock the screen and sleep, and prints every line."""

import os
import sys
import time

import dbus

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tests", "env"))
from testenv import DbusMock, PrivateBus, Program, clean_env  # noqa: E402


def show(direction, text):
    print("%s %s" % (direction, text), flush=True)


def main():
    with PrivateBus() as session, PrivateBus() as system, \
            DbusMock(system, template="logind", system=True) as logind, \
            DbusMock(session, template="gnome_screensaver") as screensaver:
        env = clean_env(DBUS_SESSION_BUS_ADDRESS=session.address, DBUS_SYSTEM_BUS_ADDRESS=system.address)
        with Program(env=env) as program:
            def send(line, expect_reply=True):
                show("host    ->", line)
                program.send(line.encode() + b"\n")
                if expect_reply:
                    show("program <-", program.read_line().decode())

            def desktop(what, action):
                show("desktop   ", what)
                action()
                show("program <-", program.read_line().decode())

            print("# unknown commands are answered with an error; \"/\" is written as \"\\/\"")
            send('{"id":"req/1","command":"qr-generate","payload":{"text":"mirelo://join/#abc"}}')
            print("# lines that are not requests are dropped without a reply")
            send('{"id":7,"command":"stop"}', expect_reply=False)
            send("not json", expect_reply=False)
            print("# the desktop's own events arrive as event lines")
            desktop("screen locks", lambda: screensaver.call("org.gnome.ScreenSaver", "SetActive", dbus.Boolean(True)))
            desktop("system goes to sleep", lambda: logind.emit_signal(
                "org.freedesktop.login1.Manager", "PrepareForSleep", "b", [dbus.Boolean(True)]))
            desktop("system wakes", lambda: logind.emit_signal(
                "org.freedesktop.login1.Manager", "PrepareForSleep", "b", [dbus.Boolean(False)]))
            print("# stop replies, then the program exits")
            send('{"id":"bye","command":"stop"}')
            started = time.monotonic()
            status = program.wait(10)
            print("# exit status %d after %.0f ms" % (status, (time.monotonic() - started) * 1000))


if __name__ == "__main__":
    main()
