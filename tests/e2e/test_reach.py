"""How connections reach their hosts: lookups that never wait for each other, and happy eyeballs
in a network namespace whose first addresses lead nowhere. Names are answered by the getaddrinfo
shim (env/proxies.py Hosts); no lookup leaves the machine."""

import os
import shutil
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "env"))
from proxies import BlackholeNamespace, Hosts, make_certificate, program_env  # noqa: E402
from servers import HttpsServer, TestCA, WssServer  # noqa: E402
from testenv import Program  # noqa: E402

NAMES = "DNS:localhost,DNS:api.example.test,DNS:slow.example.test,DNS:eyeballs.example.test,IP:127.0.0.1,IP:::1"


def setUpModule():
    global CA
    CA = TestCA()
    make_certificate(CA, "server", NAMES)


def tearDownModule():
    CA.close()


class SlowLookupTest(unittest.TestCase):
    def setUp(self):
        self.hosts = Hosts({"api.example.test": ["127.0.0.1"], "slow.example.test": ["127.0.0.1"]},
                           delays={"slow.example.test": 4})
        self.addCleanup(self.hosts.close)
        self.server = HttpsServer(CA)
        self.addCleanup(self.server.close)
        self.program = Program(env=program_env(self.hosts, SSL_CERT_FILE=CA.ca_file))
        self.addCleanup(self.program.close)

    def test_slow_lookup_holds_no_other_request(self):
        # Two slow names first, then a literal and a name: the fast ones answer while the slow
        # ones still look up, and the slow ones answer after their delay.
        for i in range(2):
            self.program.send({"id": "slow%d" % i, "command": "http",
                               "payload": {"url": self.server.url("/status/200", host="slow.example.test")}})
        started = time.monotonic()
        self.program.send({"id": "literal", "command": "http", "payload": {"url": self.server.url("/status/201")}})
        self.program.send({"id": "name", "command": "http",
                           "payload": {"url": self.server.url("/status/202", host="api.example.test")}})
        fast = [self.program.read_json(10), self.program.read_json(10)]
        self.assertLess(time.monotonic() - started, 2.5)
        self.assertEqual(sorted((r["id"], r["value"]["status"]) for r in fast), [("literal", 201), ("name", 202)])
        slow = [self.program.read_json(15), self.program.read_json(15)]
        self.assertEqual(sorted(r["id"] for r in slow), ["slow0", "slow1"])
        self.assertTrue(all(r["value"]["status"] == 200 for r in slow))

    def test_cancel_and_close_during_a_lookup_answer_at_once(self):
        self.hosts.write({"slow.example.test": ["127.0.0.1"]}, delays={"slow.example.test": 6})
        wss = WssServer(CA)
        self.addCleanup(wss.close)
        self.program.send({"id": "g", "command": "http",
                           "payload": {"url": self.server.url("/", host="slow.example.test"), "requestId": "c"}})
        self.program.send({"id": "o", "command": "socket-open",
                           "payload": {"url": "wss://slow.example.test:%d/" % wss.port, "socketId": "s"}})
        time.sleep(0.3)
        started = time.monotonic()
        self.program.send({"id": "x", "command": "http-cancel", "payload": {"requestId": "c"}})
        self.program.send({"id": "c", "command": "socket-close", "payload": {"socketId": "s"}})
        got = {}
        for _ in range(4):
            line = self.program.read_json(5)
            got[line["id"]] = line
        self.assertLess(time.monotonic() - started, 2)
        self.assertEqual(got, {"g": {"id": "g", "error": "Operation canceled"}, "x": {"id": "x", "value": True},
                               "o": {"id": "o", "error": "网络连接已取消"}, "c": {"id": "c", "value": True}})
        # The late answers are dropped: nothing connects, nothing more is said.
        self.assertIsNone(self.program.read_line(7))
        self.assertEqual((self.server.accepted, wss.connections), (0, 0))

    def test_unknown_test_name_fails_without_dns(self):
        reply = self.program.request("n", "http", {"url": "https://nowhere.example.test/"}, timeout=10)
        self.assertIn("Host not found", reply["error"])


class HappyEyeballsTest(unittest.TestCase):
    """The namespace's first addresses go nowhere (packets vanish); the next one answers."""

    @classmethod
    def setUpClass(cls):
        if os.geteuid() != 0 or not shutil.which("unshare") or not shutil.which("nsenter"):
            raise unittest.SkipTest("a network namespace needs root")
        cls.net = BlackholeNamespace(CA, "server")

    @classmethod
    def tearDownClass(cls):
        cls.net.close()

    def setUp(self):
        self.hosts = Hosts()
        self.addCleanup(self.hosts.close)
        self.program = self.net.program(program_env(self.hosts, SSL_CERT_FILE=CA.ca_file))
        self.addCleanup(self.program.close)

    def test_black_holed_first_addresses(self):
        cases = [
            ("IPv6 first", ["2001:db8::1", "2001:db8::2", "127.0.0.1"]),
            ("IPv4 first", ["198.51.100.1", "2001:db8::1", "198.51.100.2", "127.0.0.1"]),
            ("IPv6 answers", ["198.51.100.1", "::1"]),
        ]
        for label, addresses in cases:
            with self.subTest(label):
                self.hosts.write({"eyeballs.example.test": addresses})
                port = self.net.port6 if "::1" in addresses else self.net.port
                started = time.monotonic()
                reply = self.program.request("h", "http", {"url": "https://eyeballs.example.test:%d/status/200" % port},
                                             timeout=15)
                elapsed = time.monotonic() - started
                self.assertIn("value", reply, reply)
                self.assertEqual(reply["value"]["status"], 200)
                self.assertLess(elapsed, 1.5)
                if "::1" in addresses:
                    continue
                started = time.monotonic()
                url = "wss://eyeballs.example.test:%d/" % self.net.wss_port
                self.assertEqual(self.program.request("o", "socket-open", {"url": url, "socketId": label}),
                                 {"id": "o", "value": True})
                self.assertLess(time.monotonic() - started, 1.5)
                self.program.request("c", "socket-close", {"socketId": label})

    def test_every_address_black_holed_times_out(self):
        self.hosts.write({"eyeballs.example.test": ["2001:db8::1", "198.51.100.1"]})
        started = time.monotonic()
        reply = self.program.request("t", "http", {"url": "https://eyeballs.example.test:%d/" % self.net.port,
                                                   "timeout": 1}, timeout=10)
        self.assertIn("timeout", reply["error"])
        self.assertLess(time.monotonic() - started, 3)


if __name__ == "__main__":
    unittest.main()
