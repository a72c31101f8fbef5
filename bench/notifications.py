"""Benchmark of the notification commands against python3-dbusmock's notification daemon on a private
session bus.

  pairs:     1,000 `notify` + `notifications-clear` (room and message) pairs, one request at a time;
             replies per second and the median and p99 time of each reply
  reference: the same D-Bus traffic made directly by a dbus-python client against the same daemon
             (GetCapabilities, Notify, CloseNotification per pair), and a one-line request the
             program answers at once (`nope`), both measured in this run

The daemon is a Python process and dominates the figures; the reference shows its share.
Run after a build: /usr/bin/python3 bench/notifications.py [build dir].
"""

import os
import statistics
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tests", "env"))
if len(sys.argv) > 1:
    os.environ["MIRELO_BUILD_DIR"] = sys.argv[1]
from testenv import DbusMock, PrivateBus, Program, clean_env  # noqa: E402

PAIRS = 1000


def percentile(values, fraction):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(len(ordered) * fraction))]


def report(name, times, replies, elapsed):
    print("%s: %d replies in %.3f s = %.0f replies/s; reply time median %.3f ms, p99 %.3f ms"
          % (name, replies, elapsed, replies / elapsed, statistics.median(times) * 1000,
             percentile(times, 0.99) * 1000))


def timed(program, rid, command, payload=None):
    started = time.perf_counter()
    reply = program.request(rid, command, payload)
    took = time.perf_counter() - started
    assert reply.get("value") is True or command == "nope", reply
    return took


def pairs(bus):
    with Program(env=clean_env(DBUS_SESSION_BUS_ADDRESS=bus.address)) as program:
        for i in range(20):  # warm-up
            timed(program, "w", "notify", {"room": "warm", "messageId": str(i)})
        notify, clear = [], []
        started = time.perf_counter()
        for i in range(PAIRS):
            payload = {"room": "room-%d" % (i % 50), "messageId": str(i)}
            notify.append(timed(program, "n", "notify", payload))
            clear.append(timed(program, "c", "notifications-clear", payload))
        elapsed = time.perf_counter() - started
        report("notify + clear pairs", notify + clear, 2 * PAIRS, elapsed)
        report("  notify alone", notify, PAIRS, sum(notify))
        report("  clear alone", clear, PAIRS, sum(clear))
        floor = [timed(program, "x", "nope") for _ in range(PAIRS)]
        report("reference: unknown command (no D-Bus)", floor, PAIRS, sum(floor))


def direct(bus):
    import dbus
    connection = dbus.bus.BusConnection(bus.address)
    server = dbus.Interface(connection.get_object("org.freedesktop.Notifications", "/org/freedesktop/Notifications"),
                            "org.freedesktop.Notifications")
    times = []
    started = time.perf_counter()
    for _ in range(PAIRS):
        begin = time.perf_counter()
        server.GetCapabilities()
        nid = server.Notify("Mirelo", dbus.UInt32(0), "", "Mirelo", "你收到一个新消息", ["default", "打开"],
                            {"suppress-sound": dbus.Boolean(True), "category": "im.received"}, -1)
        times.append(time.perf_counter() - begin)
        begin = time.perf_counter()
        server.CloseNotification(dbus.UInt32(nid))
        times.append(time.perf_counter() - begin)
    elapsed = time.perf_counter() - started
    report("reference: dbus-python client, same calls", times, 2 * PAIRS, elapsed)


if __name__ == "__main__":
    with PrivateBus() as bus, DbusMock(bus, template="notification_daemon",
                                       parameters={"capabilities": "body actions"}):
        direct(bus)
        pairs(bus)
        direct(bus)
