"""A notification round trip on the desktop's own session bus, when a notification server is there:
status, one notification shown, then cleared. One line, and nothing else, when there is none."""

import json
import os
import sys

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tests", "env"))
from testenv import Program, clean_env  # noqa: E402


def server_present():
    address = os.environ.get("DBUS_SESSION_BUS_ADDRESS")
    if not address:
        return False
    try:
        import dbus
        bus = dbus.bus.BusConnection(address)
        return bool(bus.name_has_owner("org.freedesktop.Notifications"))
    except Exception:  # no bus to reach: nothing to show
        return False


def main():
    if not server_present():
        print("\n# Notifications: skipped (no notification server on this session bus)")
        return
    print("\n# A notification on this desktop: status, shown, cleared.", flush=True)
    env = clean_env(DBUS_SESSION_BUS_ADDRESS=os.environ["DBUS_SESSION_BUS_ADDRESS"])
    with Program(env=env) as program:
        for rid, command, payload in (("s", "notification-status", {}),
                                      ("n", "notify", {"room": "demo-room", "messageId": "m1"}),
                                      ("c", "notifications-clear", {"room": "demo-room"}),
                                      ("x", "stop", None)):
            request = {"id": rid, "command": command}
            if payload is not None:
                request["payload"] = payload
            print("host    -> " + json.dumps(request, ensure_ascii=False), flush=True)
            program.send((json.dumps(request) + "\n").encode())
            print("program <- " + program.read_line(15).decode(), flush=True)


if __name__ == "__main__":
    main()
