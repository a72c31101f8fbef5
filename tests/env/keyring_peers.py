"""Keyring peers of the tests' own making, for what a real keyring will not do on demand: a Secret
Service that answers slowly, or leaves the bus while its unlock prompt is open, and a KWallet daemon
(org.kde.KWallet) holding the entries Chromium's key storage writes.

Run as a program on a private bus (`python3 keyring_peers.py CONFIG_JSON`); `KeyringPeer` starts one
and ends it by its process id. Every call the peer answers is appended to the log file as one JSON
line, so a test can tell what was asked and in which order.

Secret Service configuration: {"kind": "secret-service", "log": path, "items": [{"label", "attributes",
"secret" (base64), "locked", "search_delay" (seconds before a search that finds it is answered)}],
"prompt": "exit" (the prompt never completes; the peer exits `prompt_exit_after` s after Prompt)}.
KWallet configuration: {"kind": "kwallet", "log": path, "name": "org.kde.kwalletd5" or "…6",
"entries": {folder: {key: password}}, "open": "allow" | "refuse" | "exit"}.
"""

import base64
import json
import os
import subprocess
import sys
import time

SYSTEM_PYTHON = "/usr/bin/python3"


def serve(config):
    import dbus
    import dbus.service
    from dbus.mainloop.glib import DBusGMainLoop
    from gi.repository import GLib

    DBusGMainLoop(set_as_default=True)
    bus = dbus.SessionBus()
    loop = GLib.MainLoop()

    def log(method, *args):
        with open(config["log"], "a") as out:
            out.write(json.dumps([method] + [json.loads(json.dumps(a)) for a in args]) + "\n")

    if config["kind"] == "secret-service":
        secret_service(config, bus, loop, log, dbus, GLib)
    else:
        kwallet(config, bus, loop, log, dbus, GLib)
    loop.run()


def secret_service(config, bus, loop, log, dbus, GLib):
    import dbus.service

    SERVICE = "org.freedesktop.Secret.Service"
    ITEM = "org.freedesktop.Secret.Item"
    PROMPT = "org.freedesktop.Secret.Prompt"
    PROPERTIES = "org.freedesktop.DBus.Properties"

    class Item(dbus.service.Object):
        def __init__(self, index, fields):
            self.path = "/org/freedesktop/secrets/collection/peer/i%d" % index
            self.fields = fields
            dbus.service.Object.__init__(self, bus, self.path)

        def properties(self):
            return {"Locked": dbus.Boolean(self.fields.get("locked", False)),
                    "Label": dbus.String(self.fields["label"]),
                    "Attributes": dbus.Dictionary(self.fields["attributes"], signature="ss"),
                    "Created": dbus.UInt64(0), "Modified": dbus.UInt64(0)}

        @dbus.service.method(PROPERTIES, in_signature="s", out_signature="a{sv}")
        def GetAll(self, interface):
            return self.properties()

        @dbus.service.method(PROPERTIES, in_signature="ss", out_signature="v")
        def Get(self, interface, name):
            return self.properties()[name]

        @dbus.service.method(ITEM, in_signature="o", out_signature="(oayays)")
        def GetSecret(self, session):
            log("GetSecret", self.fields["label"])
            return (session, dbus.ByteArray(b""), dbus.ByteArray(base64.b64decode(self.fields["secret"])),
                    "text/plain")

    class Prompt(dbus.service.Object):
        def __init__(self):
            dbus.service.Object.__init__(self, bus, "/org/freedesktop/secrets/prompt/p1")

        @dbus.service.method(PROMPT, in_signature="s", out_signature="")
        def Prompt(self, window):
            log("Prompt")
            # Never completes: the peer leaves the bus while the prompt is open.
            GLib.timeout_add(int(config.get("prompt_exit_after", 1) * 1000), lambda: os._exit(0))

        @dbus.service.method(PROMPT, in_signature="", out_signature="")
        def Dismiss(self):
            log("Dismiss")

    class Service(dbus.service.Object):
        def __init__(self):
            dbus.service.Object.__init__(self, bus, "/org/freedesktop/secrets")
            self.items = [Item(i, fields) for i, fields in enumerate(config.get("items", []))]
            self.prompt = Prompt()

        @dbus.service.method(PROPERTIES, in_signature="s", out_signature="a{sv}")
        def GetAll(self, interface):
            return {"Collections": dbus.Array([], signature="o")}

        @dbus.service.method(PROPERTIES, in_signature="ss", out_signature="v")
        def Get(self, interface, name):
            return self.GetAll(interface)[name]

        @dbus.service.method(SERVICE, in_signature="sv", out_signature="vo")
        def OpenSession(self, algorithm, value):
            if algorithm != "plain":
                raise dbus.exceptions.DBusException("plain only", name="org.freedesktop.DBus.Error.NotSupported")
            return dbus.String("", variant_level=1), "/org/freedesktop/secrets/session/s1"

        @dbus.service.method(SERVICE, in_signature="a{ss}", out_signature="aoao", async_callbacks=("reply", "error"))
        def SearchItems(self, attributes, reply, error):
            query = {str(k): str(v) for k, v in attributes.items()}
            log("SearchItems", query)
            found = [item for item in self.items if all(item.fields["attributes"].get(k) == v for k, v in query.items())]
            unlocked = dbus.Array([i.path for i in found if not i.fields.get("locked")], signature="o")
            locked = dbus.Array([i.path for i in found if i.fields.get("locked")], signature="o")
            delay = max([i.fields.get("search_delay", 0) for i in found] + [0])
            if delay:
                GLib.timeout_add(int(delay * 1000), lambda: reply(unlocked, locked) and False)
            else:
                reply(unlocked, locked)

        @dbus.service.method(SERVICE, in_signature="ao", out_signature="aoo")
        def Unlock(self, objects):
            log("Unlock", [str(o) for o in objects])
            return dbus.Array([], signature="o"), "/org/freedesktop/secrets/prompt/p1"

    Service.instance = Service()
    bus.request_name("org.freedesktop.secrets")


def kwallet(config, bus, loop, log, dbus, GLib):
    import dbus.service

    WALLET = "org.kde.KWallet"
    entries = config.get("entries", {})

    class Wallet(dbus.service.Object):
        @dbus.service.method(WALLET, in_signature="", out_signature="b")
        def isEnabled(self):
            log("isEnabled")
            return True

        @dbus.service.method(WALLET, in_signature="", out_signature="s")
        def networkWallet(self):
            return "kdewallet"

        @dbus.service.method(WALLET, in_signature="sxs", out_signature="i", async_callbacks=("reply", "error"))
        def open(self, wallet, window, appid, reply, error):
            log("open", str(wallet), str(appid))
            mode = config.get("open", "allow")
            if mode == "exit":
                GLib.timeout_add(1000, lambda: os._exit(0))  # leaves while the user is asked
            else:
                reply(7 if mode == "allow" else -1)

        @dbus.service.method(WALLET, in_signature="iss", out_signature="b")
        def hasFolder(self, handle, folder, appid):
            log("hasFolder", str(folder))
            return str(folder) in entries

        @dbus.service.method(WALLET, in_signature="isss", out_signature="b")
        def hasEntry(self, handle, folder, key, appid):
            return str(key) in entries.get(str(folder), {})

        @dbus.service.method(WALLET, in_signature="isss", out_signature="i")
        def entryType(self, handle, folder, key, appid):
            return 1

        @dbus.service.method(WALLET, in_signature="isss", out_signature="s")
        def readPassword(self, handle, folder, key, appid):
            log("readPassword", str(folder), str(key))
            return entries.get(str(folder), {}).get(str(key), "")

        @dbus.service.method(WALLET, in_signature="ibs", out_signature="i")
        def close(self, handle, force, appid):
            return 0

    name = config.get("name", "org.kde.kwalletd5")
    Wallet.instance = Wallet(bus, "/modules/" + name.rsplit(".", 1)[1])
    bus.request_name(name)


class KeyringPeer:
    """One peer on the bus at `bus_address`, started with `config` (see the module's text)."""

    def __init__(self, bus_address, config, log_path):
        import dbus
        config = dict(config, log=log_path)
        self.log_path = log_path
        open(log_path, "w").close()
        env = {k: v for k, v in os.environ.items() if k != "DISPLAY"}
        env["DBUS_SESSION_BUS_ADDRESS"] = bus_address
        self.process = subprocess.Popen([SYSTEM_PYTHON, os.path.abspath(__file__), json.dumps(config)], env=env,
                                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        name = "org.freedesktop.secrets" if config["kind"] == "secret-service" else config.get("name",
                                                                                                 "org.kde.kwalletd5")
        connection = dbus.bus.BusConnection(bus_address)
        deadline = time.monotonic() + 10
        while not connection.name_has_owner(name):
            if self.process.poll() is not None or time.monotonic() > deadline:
                raise RuntimeError("keyring peer %s did not start" % name)
            time.sleep(0.05)

    def calls(self):
        with open(self.log_path) as log:
            return [json.loads(line) for line in log if line.strip()]

    def wait_exit(self, timeout=10):
        return self.process.wait(timeout)

    def close(self):
        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(5)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()


if __name__ == "__main__":
    serve(json.loads(sys.argv[1]))
