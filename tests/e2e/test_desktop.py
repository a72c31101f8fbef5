"""The desktop service commands end to end: logind (dbusmock) on a private system bus for the power
assertion, idle time from a mocked Mutter or the X server of an Xvfb, the emoji chooser on Xvfb picked
with xdotool and read back with xclip, and legacy passwords from gnome-keyring on a private session bus."""

import base64
import os
import signal
import subprocess
import sys
import time
import unittest

import dbus

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "env"))
from testenv import DbusMock, PrivateBus, Program, TempHome, Xvfb, clean_env, desktop_session  # noqa: E402

UNAVAILABLE = "后台连接保活暂不可用"
DECLINED = "未完成钥匙串授权，旧记录未改动"
NOT_FOUND = "没有找到旧版记录所需的钥匙串项目"
LEGACY = ["Mirelo Safe Storage", "solvantio-mac Safe Storage", "Solvantio Safe Storage", "Electron Safe Storage"]


def value_or_error(reply):
    return reply["value"] if "value" in reply else ("error", reply.get("error"))


class BackgroundActivityTest(unittest.TestCase):
    def setUp(self):
        self.system = PrivateBus()
        self.addCleanup(self.system.close)

    def program(self):
        program = Program(env=clean_env(DBUS_SYSTEM_BUS_ADDRESS=self.system.address))
        self.addCleanup(program.close)
        return program

    def inhibitors(self, logind, expected, timeout=5):
        """logind's inhibitors once they number `expected` (a dropped one goes when logind sees the close)."""
        deadline = time.monotonic() + timeout
        while True:
            found = logind.call("org.freedesktop.login1.Manager", "ListInhibitors")
            if len(found) == expected or time.monotonic() > deadline:
                return [tuple(str(v) for v in inhibitor[:4]) for inhibitor in found]
            time.sleep(0.05)

    def test_one_inhibitor_taken_and_released(self):
        logind = DbusMock(self.system, template="logind", system=True)
        self.addCleanup(logind.close)
        program = self.program()
        held = [("sleep", "Mirelo", "Mirelo保持加密房间连接", "block")]
        self.assertEqual(program.request("0", "background-activity", {"enabled": False})["value"], False)
        self.assertEqual(program.request("1", "background-activity", {"enabled": True})["value"], True)
        self.assertEqual(program.request("2", "background-activity", {"enabled": 1})["value"], True)
        self.assertEqual(self.inhibitors(logind, 1), held)
        self.assertEqual(program.request("3", "background-activity", {"enabled": False})["value"], False)
        self.assertEqual(self.inhibitors(logind, 0), [])
        # Not a Boolean counts as absent, which releases.
        for rid, payload in [("4", {"enabled": "true"}), ("5", None), ("6", {"enabled": 2})]:
            with self.subTest(payload=payload):
                self.assertEqual(program.request("t" + rid, "background-activity", {"enabled": True})["value"], True)
                self.assertEqual(self.inhibitors(logind, 1), held)
                self.assertEqual(program.request(rid, "background-activity", payload)["value"], False)
                self.assertEqual(self.inhibitors(logind, 0), [])
        # The process ending drops a held inhibitor with it.
        self.assertEqual(program.request("7", "background-activity", {"enabled": True})["value"], True)
        program.close_input()
        self.assertEqual(program.wait(), 0)
        self.assertEqual(self.inhibitors(logind, 0), [])

    def test_refused_when_logind_cannot_give_one(self):
        def refusing():
            mock = DbusMock(self.system, name="org.freedesktop.login1", path="/org/freedesktop/login1",
                            interface="org.freedesktop.login1.Manager", system=True)
            mock.call("org.freedesktop.DBus.Mock", "AddMethod", "org.freedesktop.login1.Manager", "Inhibit", "ssss",
                      "h", "raise dbus.exceptions.DBusException('denied', "
                           "name='org.freedesktop.DBus.Error.AccessDenied')")
            return mock

        def stalled():
            mock = DbusMock(self.system, name="org.freedesktop.login1", path="/org/freedesktop/login1",
                            interface="org.freedesktop.login1.Manager", system=True)
            mock.call("org.freedesktop.DBus.Mock", "AddMethod", "org.freedesktop.login1.Manager", "Inhibit", "ssss",
                      "h", "import time; time.sleep(8)")
            return mock

        for name, make in [("no logind on the bus", None), ("logind refuses", refusing), ("logind stalls", stalled)]:
            with self.subTest(name):
                mock = make() if make else None
                with Program(env=clean_env(DBUS_SYSTEM_BUS_ADDRESS=self.system.address)) as program:
                    self.assertEqual(program.request("1", "background-activity", {"enabled": True}, timeout=15),
                                     {"id": "1", "error": UNAVAILABLE})
                    self.assertEqual(program.request("2", "background-activity", {"enabled": False})["value"], False)
                if mock:
                    mock.close()

    def test_no_system_bus(self):
        program = Program(env=clean_env())
        self.addCleanup(program.close)
        self.assertEqual(program.request("1", "background-activity", {"enabled": True}),
                         {"id": "1", "error": UNAVAILABLE})
        self.assertEqual(program.request("2", "background-activity", {"enabled": True}),
                         {"id": "2", "error": UNAVAILABLE})
        self.assertEqual(program.request("3", "background-activity")["value"], False)


class IdleTest(unittest.TestCase):
    def xdotool(self, env, *args):
        subprocess.run(["xdotool", *args], env=env, check=True, timeout=30, stdout=subprocess.DEVNULL)

    def test_x_server_idle_time_reset_by_input(self):
        env, program, _ = desktop_session(self)
        self.xdotool(env, "mousemove", "10", "10")
        time.sleep(1.2)
        idle = program.request("1", "idle")["value"]
        self.assertGreaterEqual(idle, 1.0)
        self.assertLess(idle, 60)
        self.xdotool(env, "mousemove", "200", "300")
        self.assertLess(program.request("2", "idle")["value"], idle)
        self.xdotool(env, "key", "shift")
        self.assertLess(program.request("3", "idle")["value"], 1.0)

    def desktop_with_session_bus(self):
        session = PrivateBus()
        self.addCleanup(session.close)
        return session, {"DBUS_SESSION_BUS_ADDRESS": session.address}

    def mock_idle_service(self, session, name, path, interface, method, signature, code):
        mock = DbusMock(session, name=name, path=path, interface=interface)
        self.addCleanup(mock.close)
        mock.call("org.freedesktop.DBus.Mock", "AddMethod", interface, method, "", signature, code)
        return mock

    def test_compositor_preferred_over_the_x_server(self):
        session, bus_env = self.desktop_with_session_bus()
        self.mock_idle_service(session, "org.freedesktop.ScreenSaver", "/org/freedesktop/ScreenSaver",
                               "org.freedesktop.ScreenSaver", "GetSessionIdleTime", "u", "ret = 7250")
        _, program, _ = desktop_session(self, bus_env)
        self.assertEqual(program.request("1", "idle")["value"], 7.25)
        mutter = self.mock_idle_service(session, "org.gnome.Mutter.IdleMonitor", "/org/gnome/Mutter/IdleMonitor/Core",
                                        "org.gnome.Mutter.IdleMonitor", "GetIdletime", "t", "ret = 123456789")
        self.assertEqual(program.request("2", "idle")["value"], 123456.789)
        mutter.close()  # gone again: the next in line answers
        self.assertEqual(program.request("3", "idle")["value"], 7.25)

    def test_stalled_compositor_falls_back_to_the_x_server(self):
        session, bus_env = self.desktop_with_session_bus()
        self.mock_idle_service(session, "org.gnome.Mutter.IdleMonitor", "/org/gnome/Mutter/IdleMonitor/Core",
                               "org.gnome.Mutter.IdleMonitor", "GetIdletime", "t", "import time; time.sleep(5); ret = 1")
        _, program, _ = desktop_session(self, bus_env)
        idle = program.request("1", "idle")["value"]
        self.assertLess(idle, 60)  # the X server's count since start, not the stalled service's
        self.assertEqual(program.request("2", "nope")["error"], "不支持的原生操作")

    def test_nothing_to_ask(self):
        with Program(env=clean_env()) as program:
            self.assertEqual(program.request("1", "idle"), {"id": "1", "value": 0})

    def test_stopped_x_server_answers_as_nothing_to_ask(self):
        xvfb = Xvfb()
        self.addCleanup(xvfb.close)
        home = TempHome()
        self.addCleanup(home.close)
        program = Program(env=clean_env(DISPLAY=xvfb.display, **home.env()))
        self.addCleanup(program.close)
        self.assertGreater(program.request("1", "idle", timeout=30)["value"], 0)  # the X server's count
        # The toolkit's own start-up talk with the X server is over before the server stops.
        time.sleep(1)
        self.assertEqual(program.request("c", "clipboard-text")["value"], "")
        os.kill(xvfb.process.pid, signal.SIGSTOP)
        self.addCleanup(os.kill, xvfb.process.pid, signal.SIGCONT)  # before close: a stopped one ignores SIGTERM
        for rid in ("2", "3"):  # every time, not only the first
            started = time.monotonic()
            self.assertEqual(program.request(rid, "idle", timeout=10), {"id": rid, "value": 0})
            self.assertLess(time.monotonic() - started, 3)
        self.assertEqual(program.request("4", "nope")["error"], "不支持的原生操作")
        os.kill(xvfb.process.pid, signal.SIGCONT)
        # The late answers are dropped; the next query is answered by the X server again.
        deadline = time.monotonic() + 10
        while program.request("5", "idle")["value"] == 0 and time.monotonic() < deadline:
            time.sleep(0.2)
        self.assertGreater(program.request("6", "idle")["value"], 0)


class EmojiPanelTest(unittest.TestCase):
    TITLE = "Mirelo 表情与符号"

    def setUp(self):
        self.env, self.program, _ = desktop_session(self)

    def xdotool(self, *args):
        return subprocess.run(["xdotool", *args], env=self.env, timeout=30, capture_output=True).stdout.decode()

    def palette_windows(self):
        return self.xdotool("search", "--onlyvisible", "--name", self.TITLE).split()

    def chooser(self):
        """The chooser's own window: the tall one on screen."""
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline:
            for window in self.xdotool("search", "--onlyvisible", "--name", "").split():
                geometry = self.xdotool("getwindowgeometry", "--shell", window)
                fields = dict(line.split("=", 1) for line in geometry.split())
                if int(fields.get("HEIGHT", 0)) > 300 and int(fields.get("WIDTH", 0)) < 1000:
                    return window
            time.sleep(0.1)
        self.fail("no emoji chooser on screen")

    def wait_until(self, condition, timeout=10):
        deadline = time.monotonic() + timeout
        while not condition() and time.monotonic() < deadline:
            time.sleep(0.1)
        return condition()

    def clipboard(self):
        return subprocess.run(["xclip", "-selection", "clipboard", "-o"], env=self.env, capture_output=True,
                              timeout=30).stdout.decode()

    def test_pick_goes_to_the_clipboard(self):
        self.assertEqual(self.program.request("w", "clipboard-write-text", {"text": "before"})["value"], True)
        self.assertEqual(self.program.request("1", "emoji-panel"), {"id": "1", "value": True})
        chooser = self.chooser()
        self.assertEqual(len(self.palette_windows()), 1)
        self.assertEqual(self.program.request("2", "emoji-panel", {"ignored": 1}), {"id": "2", "value": True})
        self.assertEqual(len(self.palette_windows()), 1)  # the open one, presented again
        self.xdotool("type", "--delay", "30", "grinning")
        time.sleep(0.5)
        self.xdotool("mousemove", "--window", chooser, "37", "118", "click", "1")  # the first result
        self.assertTrue(self.wait_until(lambda: self.clipboard().startswith("\N{GRINNING FACE}")))
        self.assertTrue(self.wait_until(lambda: not self.palette_windows()))
        self.assertEqual(self.program.request("3", "clipboard-text")["value"], self.clipboard())

    def test_dismissed_without_a_pick(self):
        self.assertEqual(self.program.request("w", "clipboard-write-text", {"text": "kept"})["value"], True)
        self.assertEqual(self.program.request("1", "emoji-panel")["value"], True)
        self.chooser()
        self.xdotool("key", "Escape")
        self.assertTrue(self.wait_until(lambda: not self.palette_windows()))
        self.assertEqual(self.clipboard(), "kept")
        self.assertEqual(self.program.request("2", "emoji-panel")["value"], True)  # opens afresh
        self.chooser()
        self.assertEqual(len(self.palette_windows()), 1)

    def test_without_a_display(self):
        with Program(env=clean_env()) as program:
            self.assertEqual(program.request("1", "emoji-panel"), {"id": "1", "value": True})
            self.assertEqual(program.request("2", "emoji-panel"), {"id": "2", "value": True})


class Keyring:
    """gnome-keyring-daemon (secrets only) on a private session bus, its login keyring unlocked with a
    known password. Unlock prompts come from gcr-prompter, which the bus starts on the given display."""

    PASSWORD = "keyring-password"
    LOGIN = "/org/freedesktop/secrets/collection/login"
    SESSION = "/org/freedesktop/secrets/collection/session"  # in memory, never locked

    def __init__(self, bus, env):
        self.bus = bus
        connection = bus.connection()
        connection.call_blocking("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                                 "UpdateActivationEnvironment", "a{ss}",
                                 [{k: env[k] for k in ("DISPLAY", "HOME", "XDG_RUNTIME_DIR", "GTK_A11Y",
                                                       "GSETTINGS_BACKEND", "NO_AT_BRIDGE") if k in env}])
        self.process = subprocess.Popen(["gnome-keyring-daemon", "--foreground", "--unlock", "--components=secrets"],
                                        stdin=subprocess.PIPE, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                        env=env)
        self.process.stdin.write(self.PASSWORD.encode())
        self.process.stdin.close()
        deadline = time.monotonic() + 10
        while not connection.name_has_owner("org.freedesktop.secrets"):
            if self.process.poll() is not None or time.monotonic() > deadline:
                raise RuntimeError("gnome-keyring-daemon did not start")
            time.sleep(0.05)
        self.connection = connection
        self.service = dbus.Interface(connection.get_object("org.freedesktop.secrets", "/org/freedesktop/secrets"),
                                      "org.freedesktop.Secret.Service")
        _, self.session = self.service.OpenSession("plain", dbus.String("", variant_level=1))
        self.wait_for_collection(self.LOGIN)

    def wait_for_collection(self, path, timeout=10):
        deadline = time.monotonic() + timeout
        while path not in [str(p) for p in self.service.Get("org.freedesktop.Secret.Service", "Collections",
                                                            dbus_interface="org.freedesktop.DBus.Properties")]:
            if time.monotonic() > deadline:
                raise RuntimeError("no collection " + path)
            time.sleep(0.05)

    def store(self, service, secret, collection=LOGIN):
        target = dbus.Interface(self.connection.get_object("org.freedesktop.secrets", collection),
                                "org.freedesktop.Secret.Collection")
        properties = dbus.Dictionary({
            "org.freedesktop.Secret.Item.Label": dbus.String(service),
            "org.freedesktop.Secret.Item.Attributes": dbus.Dictionary({"service": service}, signature="ss"),
        }, signature="sv")
        target.CreateItem(properties, (self.session, dbus.ByteArray(b""), dbus.ByteArray(secret),
                                       "application/octet-stream"), True)

    def secret_tool_store(self, label, secret, **attributes):
        """An item written as other programs write theirs: through libsecret's secret-tool, into the
        default collection."""
        arguments = [value for pair in attributes.items() for value in pair]
        subprocess.run(["secret-tool", "store", "--label=" + label, *arguments], input=secret, check=True, timeout=30,
                       env=clean_env(DBUS_SESSION_BUS_ADDRESS=self.bus.address), stdout=subprocess.DEVNULL)

    def clear(self, **attributes):
        subprocess.run(["secret-tool", "clear", *[v for pair in attributes.items() for v in pair]], timeout=30,
                       env=clean_env(DBUS_SESSION_BUS_ADDRESS=self.bus.address))

    def lock(self, collection=LOGIN):
        self.service.Lock([dbus.ObjectPath(collection)])

    def close(self):
        if self.process.poll() is None:
            self.process.terminate()
            self.process.wait(10)


class LegacyPasswordTest(unittest.TestCase):
    def setUp(self):
        self.session = PrivateBus(activatable=("org.gnome.keyring.SystemPrompter", "org.gnome.keyring.PrivatePrompter"))
        self.addCleanup(self.session.close)
        xvfb = Xvfb()
        self.addCleanup(xvfb.close)
        home = TempHome()
        self.addCleanup(home.close)
        self.env = clean_env(DISPLAY=xvfb.display, DBUS_SESSION_BUS_ADDRESS=self.session.address, **home.env())
        self.keyring = Keyring(self.session, self.env)
        self.addCleanup(self.keyring.close)
        self.program = Program(env=self.env)
        self.addCleanup(self.program.close)

    def legacy_password(self, rid="p", timeout=20):
        return value_or_error(self.program.request(rid, "legacy-password", timeout=timeout))

    def test_found_in_order(self):
        self.assertEqual(self.legacy_password(), ("error", NOT_FOUND))
        self.keyring.store("mirelo safe storage", b"wrong case")  # names compare exactly
        self.keyring.store(LEGACY[3], b"fourth")
        self.assertEqual(self.legacy_password(), base64.b64encode(b"fourth").decode())
        self.keyring.store(LEGACY[1], b"second")
        self.assertEqual(self.legacy_password(), base64.b64encode(b"second").decode())
        self.keyring.store(LEGACY[0], b"first", Keyring.SESSION)
        self.assertEqual(self.legacy_password(), base64.b64encode(b"first").decode())

    def test_items_chromium_key_storage_wrote(self):
        v2 = "chrome_libsecret_os_crypt_password_v2"
        v1 = "chrome_libsecret_os_crypt_password"
        # (items written, the reply): Chromium's items by `application`, the older ones by label alone,
        # each name tried every way before the next name.
        cases = [
            ([("Chromium Safe Storage", b"v2 solvantio", {"xdg:schema": v2, "application": "Solvantio"})],
             b"v2 solvantio"),
            ([("Electron Safe Storage", b"v2 electron", {"xdg:schema": v2, "application": "Electron"}),
              ("solvantio-mac Safe Storage", b"v1 solvantio-mac", {"xdg:schema": v1})], b"v1 solvantio-mac"),
            ([("Mirelo Safe Storage", b"v2 mirelo", {"xdg:schema": v2, "application": "Mirelo"}),
              (LEGACY[1], b"service second", {"service": LEGACY[1]})], b"v2 mirelo"),
            ([("Mirelo Safe Storage", b"v2 mirelo", {"xdg:schema": v2, "application": "Mirelo"}),
              (LEGACY[0], b"service first", {"service": LEGACY[0]})], b"service first"),
            # Not ours: another application, a name in another case, an older item of another label.
            ([("Mirelo Safe Storage", b"other", {"xdg:schema": v2, "application": "Other"}),
              ("Mirelo Safe Storage", b"case", {"xdg:schema": v2, "application": "mirelo"}),
              ("Chromium Safe Storage", b"chromium v1", {"xdg:schema": v1}),
              ("Mirelo Safe Storage", b"wrong schema", {"xdg:schema": "org.example.Other", "application": "Mirelo"})],
             None),
        ]
        for index, (items, expected) in enumerate(cases):
            with self.subTest(index):
                for label, secret, attributes in items:
                    self.keyring.secret_tool_store(label, secret, **attributes)
                reply = self.legacy_password("c%d" % index)
                self.assertEqual(reply, base64.b64encode(expected).decode() if expected else ("error", NOT_FOUND))
                for _, _, attributes in items:
                    self.keyring.clear(**attributes)

    def test_locked_chromium_item_asks_first(self):
        self.keyring.secret_tool_store("Chromium Safe Storage", b"locked v2",
                                       **{"xdg:schema": "chrome_libsecret_os_crypt_password_v2",
                                          "application": "Mirelo"})
        self.keyring.store(LEGACY[1], b"never asked for", Keyring.SESSION)
        self.keyring.lock()
        self.program.send({"id": "p", "command": "legacy-password"})
        self.assertTrue(self.prompt())
        self.xdotool("key", "Escape")
        self.assertEqual(self.program.read_json(20), {"id": "p", "error": DECLINED})

    def test_binary_secret(self):
        secret = bytes(range(256)) + b"\x00\xff\xfe"
        self.keyring.store(LEGACY[2], secret)
        self.assertEqual(base64.b64decode(self.legacy_password(), validate=True), secret)

    def prompt(self):
        return subprocess.run(["xdotool", "search", "--sync", "--onlyvisible", "--name", "Unlock"], env=self.env,
                              capture_output=True, timeout=30).stdout.split()

    def xdotool(self, *args):
        subprocess.run(["xdotool", *args], env=self.env, check=True, timeout=30, stdout=subprocess.DEVNULL)

    def test_locked_item_and_its_prompt(self):
        self.keyring.store(LEGACY[0], b"locked away")
        self.keyring.store(LEGACY[1], b"never asked for", Keyring.SESSION)
        self.keyring.lock()
        # Dismissed: the error, and the second name is not tried.
        self.program.send({"id": "p1", "command": "legacy-password"})
        self.assertTrue(self.prompt())
        # A request read while the prompt waits is answered after it, in order.
        self.program.send({"id": "later", "command": "idle"})
        self.assertIsNone(self.program.read_line(1))
        self.xdotool("key", "Escape")
        self.assertEqual(self.program.read_json(20), {"id": "p1", "error": DECLINED})
        self.assertEqual(self.program.read_json(10)["id"], "later")
        # Unlocked with the password: the first name's data.
        self.program.send({"id": "p2", "command": "legacy-password"})
        self.assertTrue(self.prompt())
        time.sleep(0.3)
        self.xdotool("type", "--delay", "20", Keyring.PASSWORD)
        self.xdotool("key", "Return")
        self.assertEqual(self.program.read_json(20), {"id": "p2", "value": base64.b64encode(b"locked away").decode()})

    def test_no_secret_service(self):
        with Program(env=clean_env()) as program:
            self.assertEqual(program.request("1", "legacy-password"), {"id": "1", "error": NOT_FOUND})

    def test_stalled_secret_service(self):
        bus = PrivateBus()
        self.addCleanup(bus.close)
        stalled = DbusMock(bus, name="org.freedesktop.secrets", path="/org/freedesktop/secrets",
                           interface="org.freedesktop.Secret.Service")
        self.addCleanup(stalled.close)
        stalled.call("org.freedesktop.DBus.Mock", "AddMethod", "org.freedesktop.Secret.Service", "SearchItems",
                     "a{ss}", "aoao", "import time; time.sleep(60)")
        with Program(env=clean_env(DBUS_SESSION_BUS_ADDRESS=bus.address)) as program:
            # Every call is bounded: each name's search gives up, and the lookup ends as found nothing.
            self.assertEqual(program.request("1", "legacy-password", timeout=40), {"id": "1", "error": NOT_FOUND})
            self.assertEqual(program.request("2", "idle")["id"], "2")


if __name__ == "__main__":
    unittest.main()
