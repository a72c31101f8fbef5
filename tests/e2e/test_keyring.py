"""legacy-password against keyring peers that misbehave: a Secret Service that answers slowly, one that
leaves the bus while its unlock prompt is open, and KWallet daemons holding what Chromium's key storage
writes there. The peers are the tests' own (tests/env/keyring_peers.py) on a private session bus."""

import base64
import os
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "env"))
from keyring_peers import KeyringPeer  # noqa: E402
from testenv import PrivateBus, Program, clean_env  # noqa: E402

DECLINED = "未完成钥匙串授权，旧记录未改动"
NOT_FOUND = "没有找到旧版记录所需的钥匙串项目"
LEGACY = ["Mirelo Safe Storage", "solvantio-mac Safe Storage", "Solvantio Safe Storage", "Electron Safe Storage"]


def item(service, secret, **extra):
    return dict({"label": service, "attributes": {"service": service},
                 "secret": base64.b64encode(secret).decode()}, **extra)


def b64(data):
    return base64.b64encode(data).decode()


class KeyringPeerTest(unittest.TestCase):
    def setUp(self):
        self.bus = PrivateBus()
        self.addCleanup(self.bus.close)
        self.folder = tempfile.mkdtemp(prefix="mirelo-keyring-")
        self.program = Program(env=clean_env(DBUS_SESSION_BUS_ADDRESS=self.bus.address))
        self.addCleanup(self.program.close)

    def peer(self, config, name="peer"):
        peer = KeyringPeer(self.bus.address, config, os.path.join(self.folder, name + ".log"))
        self.addCleanup(peer.close)
        return peer

    def legacy_password(self, rid, timeout=40):
        reply = self.program.request(rid, "legacy-password", timeout=timeout)
        return reply.get("value", ("error", reply.get("error")))

    def searched(self, peer):
        return [call[1].get("service") or call[1].get("application") or call[1].get("xdg:schema")
                for call in peer.calls() if call[0] == "SearchItems"]

    def test_service_that_leaves_during_its_prompt(self):
        service = self.peer({"kind": "secret-service", "prompt": "exit", "prompt_exit_after": 1,
                             "items": [item(LEGACY[0], b"locked", locked=True), item(LEGACY[1], b"older")]})
        started = time.monotonic()
        self.assertEqual(self.legacy_password("p1"), ("error", NOT_FOUND))
        self.assertLess(time.monotonic() - started, 15)  # at once, not at the prompt's bound
        self.assertEqual(service.wait_exit(), 0)
        self.assertIn(["Prompt"], service.calls())
        self.assertEqual(self.searched(service), [LEGACY[0]])  # the older secret is never looked at
        # The program keeps serving, and finds whoever owns the name next.
        self.assertEqual(self.program.request("i", "idle")["id"], "i")
        self.peer({"kind": "secret-service", "items": [item(LEGACY[0], b"back again")]}, "second")
        self.assertEqual(self.legacy_password("p2"), b64(b"back again"))

    def test_slow_answer_is_waited_for(self):
        self.peer({"kind": "secret-service",
                   "items": [item(LEGACY[0], b"newest", search_delay=4), item(LEGACY[1], b"older")]})
        started = time.monotonic()
        self.assertEqual(self.legacy_password("p"), b64(b"newest"))
        self.assertGreater(time.monotonic() - started, 3.5)

    def test_answer_too_late_returns_nothing_older(self):
        service = self.peer({"kind": "secret-service",
                             "items": [item(LEGACY[0], b"newest", search_delay=30), item(LEGACY[1], b"older")]})
        started = time.monotonic()
        self.assertEqual(self.legacy_password("p"), ("error", NOT_FOUND))
        self.assertLess(time.monotonic() - started, 25)
        self.assertEqual(self.searched(service), [LEGACY[0]])
        self.assertEqual(self.program.request("n", "nope")["error"], "不支持的原生操作")

    def kwallet(self, entries, name="org.kde.kwalletd5", open_mode="allow", log="kwallet"):
        return self.peer({"kind": "kwallet", "name": name, "entries": entries, "open": open_mode}, log)

    def test_kwallet_entries_in_order(self):
        cases = [
            ("kwalletd5", "org.kde.kwalletd5", {"Solvantio Keys": {LEGACY[2]: "third"}}, b64(b"third")),
            ("kwalletd6", "org.kde.kwalletd6", {"Mirelo Keys": {LEGACY[0]: "first"},
                                                "Electron Keys": {LEGACY[3]: "fourth"}}, b64(b"first")),
            # Chromium's own folder is shared by every app built on it: never taken for one of ours.
            ("shared folder", "org.kde.kwalletd5", {"Chromium Keys": {"Chromium Safe Storage": "shared"}},
             ("error", NOT_FOUND)),
            ("key of another name", "org.kde.kwalletd5", {"Mirelo Keys": {LEGACY[1]: "misfiled"}},
             ("error", NOT_FOUND)),
        ]
        for label, name, entries, expected in cases:
            with self.subTest(label):
                wallet = self.kwallet(entries, name, log=label)
                self.assertEqual(self.legacy_password(label), expected)
                wallet.close()

    def test_secret_service_and_kwallet_share_the_order_of_names(self):
        self.peer({"kind": "secret-service", "items": [item(LEGACY[1], b"second in the secret service")]})
        self.kwallet({"Mirelo Keys": {LEGACY[0]: "first in the wallet"}})
        self.assertEqual(self.legacy_password("p"), b64(b"first in the wallet"))

    def test_kwallet_refused_or_gone(self):
        wallet = self.kwallet({"Mirelo Keys": {LEGACY[0]: "first"}, "Solvantio Keys": {LEGACY[2]: "x"}},
                              open_mode="refuse", log="refuse")
        self.assertEqual(self.legacy_password("r"), ("error", DECLINED))
        self.assertEqual([c for c in wallet.calls() if c[0] == "open"], [["open", "kdewallet", "Mirelo"]])
        wallet.close()
        wallet = self.kwallet({"Mirelo Keys": {LEGACY[0]: "first"}}, open_mode="exit", log="exit")
        started = time.monotonic()
        self.assertEqual(self.legacy_password("g"), ("error", NOT_FOUND))
        self.assertLess(time.monotonic() - started, 15)
        self.assertEqual(self.program.request("i", "idle")["id"], "i")


if __name__ == "__main__":
    unittest.main()
