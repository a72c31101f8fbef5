"""Screen lock, sleep and wake reach the host as events, from real D-Bus signals on private buses."""

import os
import sys
import unittest

import dbus

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "env"))
from testenv import DbusMock, PrivateBus, Program, clean_env  # noqa: E402

SLEEP = b'{"event":"system-sleep"}'
WAKE = b'{"event":"system-wake"}'
LOCKED = b'{"event":"screen-locked"}'


class SystemEventsTest(unittest.TestCase):
    def setUp(self):
        self.session = PrivateBus()
        self.system = PrivateBus()
        self.addCleanup(self.session.close)
        self.addCleanup(self.system.close)
        self.logind = DbusMock(self.system, template="logind", system=True)
        self.addCleanup(self.logind.close)
        self.gnome = DbusMock(self.session, template="gnome_screensaver")
        self.addCleanup(self.gnome.close)
        self.freedesktop = DbusMock(self.session, name="org.freedesktop.ScreenSaver",
                                    path="/org/freedesktop/ScreenSaver", interface="org.freedesktop.ScreenSaver")
        self.addCleanup(self.freedesktop.close)
        self.program = Program(env=clean_env(DBUS_SESSION_BUS_ADDRESS=self.session.address,
                                             DBUS_SYSTEM_BUS_ADDRESS=self.system.address))
        self.addCleanup(self.program.close)
        # Its first reply means start-up is done: the observers were registered before the reader ran.
        self.program.request("ready", "nope")

    def sleep(self, going):
        self.logind.emit_signal("org.freedesktop.login1.Manager", "PrepareForSleep", "b", [dbus.Boolean(going)])

    def set_gnome_active(self, active):
        self.gnome.call("org.gnome.ScreenSaver", "SetActive", dbus.Boolean(active))

    def test_sleep_and_wake(self):
        self.sleep(True)
        self.assertEqual(self.program.read_line(), SLEEP)
        self.sleep(False)
        self.assertEqual(self.program.read_line(), WAKE)

    def test_one_event_per_lock_and_none_for_unlock(self):
        self.set_gnome_active(True)
        self.assertEqual(self.program.read_line(), LOCKED)
        self.set_gnome_active(True)   # repeated while locked
        self.set_gnome_active(False)  # unlock
        self.set_gnome_active(True)   # the next lock
        self.assertEqual(self.program.read_line(), LOCKED)
        # The other screensaver interface announcing the same lock adds nothing.
        self.freedesktop.emit_signal("org.freedesktop.ScreenSaver", "ActiveChanged", "b", [dbus.Boolean(True)])
        self.assertIsNone(self.program.read_line(1))
        self.set_gnome_active(False)
        self.freedesktop.emit_signal("org.freedesktop.ScreenSaver", "ActiveChanged", "b", [dbus.Boolean(False)])
        self.freedesktop.emit_signal("org.freedesktop.ScreenSaver", "ActiveChanged", "b", [dbus.Boolean(True)])
        self.assertEqual(self.program.read_line(), LOCKED)

    def test_services_leaving_the_bus_change_nothing(self):
        self.logind.close()
        self.gnome.close()
        self.assertEqual(self.program.request("still", "nope")["id"], "still")
        self.program.close_input()
        self.assertEqual(self.program.wait(10), 0)
        self.assertEqual(self.program.stderr_text(), b"")

    def test_buses_going_away_change_nothing(self):
        for mock in (self.logind, self.gnome, self.freedesktop):
            mock.close()
        self.session.close()
        self.system.close()
        self.assertEqual(self.program.request("still", "qr-generate", {"value": "x"})["id"], "still")
        self.program.close_input()
        self.assertEqual(self.program.wait(10), 0)
        self.assertEqual(self.program.stderr_text(), b"")


if __name__ == "__main__":
    unittest.main()
