"""Requests and WebSockets through proxies set in the environment (curl's rules) and in GNOME's
settings (GIO's resolver), against real tinyproxy and danted on loopback and proxies of the test's
own, hostile ones included. Names are answered by the getaddrinfo shim (env/proxies.py Hosts),
each program with its own file: a name only the proxy knows reaches its server only through it."""

import base64
import os
import shutil
import sys
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "env"))
from proxies import (Dante, GnomeSettings, Hosts, Https6Server, ScriptedProxy, Tinyproxy, basic,  # noqa: E402
                     make_certificate, program_env)
from servers import HttpsServer, TestCA, WssServer  # noqa: E402
from testenv import Program  # noqa: E402

NAMES = "DNS:localhost,DNS:api.example.test,DNS:direct.example.test,IP:127.0.0.1,IP:::1"
REMOTE = "api.example.test"     # known to the proxies only
DIRECT = "direct.example.test"  # known to the program only


def setUpModule():
    global CA
    if not shutil.which("tinyproxy") or not shutil.which("danted"):
        raise unittest.SkipTest("tinyproxy and dante-server are not installed (scripts/install-deps)")
    CA = TestCA()
    make_certificate(CA, "server", NAMES)


def tearDownModule():
    CA.close()


def body(reply):
    return base64.b64decode(reply["value"]["body"])


class ProxyCase(unittest.TestCase):
    def setUp(self):
        self.proxy_hosts = Hosts({REMOTE: ["127.0.0.1"]})
        self.addCleanup(self.proxy_hosts.close)
        self.hosts = Hosts({DIRECT: ["127.0.0.1"]})
        self.addCleanup(self.hosts.close)
        self.server = HttpsServer(CA)
        self.addCleanup(self.server.close)

    def start(self, **env):
        program = Program(env=program_env(self.hosts, SSL_CERT_FILE=CA.ca_file, **env))
        self.addCleanup(program.close)
        return program

    def get(self, program, path="/status/200", host=REMOTE, **extra):
        return program.request("g", "http", dict({"url": self.server.url(path, host=host)}, **extra), timeout=30)

    def wss_echo(self, program, host=REMOTE, sid="w"):
        wss = WssServer(CA)
        self.addCleanup(wss.close)
        url = "wss://%s:%d/" % (host, wss.port)
        opened = program.request("o", "socket-open", {"url": url, "socketId": sid}, timeout=15)
        if opened != {"id": "o", "value": True}:
            return opened
        program.request("s", "socket-send", {"socketId": sid, "data": "through"})
        program.send({"id": "r", "command": "socket-receive", "payload": {"socketId": sid}})
        lines = [program.read_json(10), program.read_json(10)]
        program.request("c", "socket-close", {"socketId": sid})
        return [line for line in lines if line.get("event")]


class EnvironmentHttpProxyTest(ProxyCase):
    def test_http_and_wss_through_tinyproxy(self):
        proxy = Tinyproxy(self.proxy_hosts)
        self.addCleanup(proxy.close)
        for variable in ["https_proxy", "HTTPS_PROXY", "all_proxy"]:
            with self.subTest(variable=variable):
                program = self.start(**{variable: proxy.url()})
                reply = self.get(program)
                self.assertEqual(reply["value"], {"status": 200, "body": base64.b64encode(b"status 200").decode()})
                self.assertEqual(self.wss_echo(program),
                                 [{"event": "socket-message", "socketId": "w", "data": "through"}])
                program.close()
        self.assertIn("CONNECT %s:%d" % (REMOTE, self.server.port), proxy.log())

    def test_no_scheme_is_http_and_kept_connections_are_reused(self):
        proxy = Tinyproxy(self.proxy_hosts)
        self.addCleanup(proxy.close)
        program = self.start(https_proxy="127.0.0.1:%d" % proxy.port)
        for _ in range(3):
            self.assertEqual(self.get(program)["value"]["status"], 200)
        self.assertEqual(self.server.accepted, 1)

    def test_no_proxy(self):
        proxy = Tinyproxy(self.proxy_hosts)
        self.addCleanup(proxy.close)
        cases = [
            ("example.test", DIRECT, True), (".example.test", DIRECT, True), ("*", DIRECT, True),
            ("127.0.0.1", "127.0.0.1", True), ("other.test", REMOTE, False), ("api.example.test.evil", REMOTE, False),
        ]
        for no_proxy, host, direct in cases:
            with self.subTest(no_proxy=no_proxy, host=host):
                program = self.start(https_proxy=proxy.url(), NO_PROXY=no_proxy)
                request = "): CONNECT %s:%d " % (host, self.server.port)
                before = proxy.log().count(request)
                self.assertEqual(self.get(program, host=host)["value"]["status"], 200)
                self.assertEqual(proxy.log().count(request) == before, direct)
                program.close()

    def test_credentials(self):
        proxy = Tinyproxy(self.proxy_hosts, auth=("mirelo", "s3cret.pw"))
        self.addCleanup(proxy.close)
        self.assertEqual(self.get(self.start(https_proxy=proxy.url(auth="mirelo:s3cret.pw")))["value"]["status"], 200)
        # tinyproxy answers a wrong password with 401, no password with 407.
        for auth, status in [(None, "407 Proxy Authentication Required"), ("mirelo:wrong", "401 Unauthorized")]:
            with self.subTest(auth=auth):
                reply = self.get(self.start(https_proxy=proxy.url(auth=auth)))
                self.assertEqual(reply, {"id": "g", "error": "proxy refused the tunnel: " + status})

    def test_password_needing_percent_encoding(self):
        # tinyproxy's BasicAuth takes only [-a-z0-9._]: our own proxy checks the header itself.
        expected = basic("m:u ser", "p@ss:w/rd%")

        def answer(head):
            if b"\r\nProxy-Authorization: " + expected.encode() + b"\r\n" in head + b"\r\n":
                return ("tunnel", b"HTTP/1.1 200 Connection established\r\n\r\n")
            return ("send", b"HTTP/1.1 407 Proxy Authentication Required\r\nContent-Length: 0\r\n\r\n")
        proxy = ScriptedProxy(answer)
        self.addCleanup(proxy.close)
        program = self.start(https_proxy=proxy.url(auth="m%3Au%20ser:p%40ss%3Aw%2Frd%25"))
        self.assertEqual(self.get(program, host="127.0.0.1")["value"]["status"], 200)
        self.assertTrue(proxy.heads[0].startswith(b"CONNECT 127.0.0.1:%d HTTP/1.1\r\nHost: 127.0.0.1:%d\r\n"
                                                  % (self.server.port, self.server.port)))

    def test_ipv6_literal_through_connect(self):
        server6 = Https6Server(CA)
        self.addCleanup(server6.close)
        proxy = Tinyproxy(self.proxy_hosts)
        self.addCleanup(proxy.close)
        program = self.start(https_proxy=proxy.url())
        reply = program.request("v6", "http", {"url": "https://[::1]:%d/six" % server6.port}, timeout=30)
        self.assertEqual(body(reply), b"v6 /six")
        self.assertIn("CONNECT [::1]:%d" % server6.port, proxy.log())
        self.assertEqual(server6.hosts, ["[::1]:%d" % server6.port])

    def test_unusable_setting_is_an_error(self):
        program = self.start(https_proxy="socks4://127.0.0.1:1080")
        self.assertEqual(self.get(program), {"id": "g", "error": "proxy setting not understood: https_proxy"})
        self.assertEqual(self.server.accepted, 0)


class EnvironmentSocksTest(ProxyCase):
    def test_socks5h_sends_the_name(self):
        proxy = Dante(self.proxy_hosts)
        self.addCleanup(proxy.close)
        program = self.start(https_proxy=proxy.url("socks5h"))
        self.assertEqual(self.get(program)["value"]["status"], 200)
        self.assertEqual(self.wss_echo(program), [{"event": "socket-message", "socketId": "w", "data": "through"}])

    def test_socks5_resolves_here(self):
        proxy = Dante(self.proxy_hosts)
        self.addCleanup(proxy.close)
        program = self.start(all_proxy=proxy.url("socks5"))
        # Only the program knows DIRECT; only the proxy knows REMOTE.
        self.assertEqual(self.get(program, host=DIRECT)["value"]["status"], 200)
        self.assertIn("Host not found", self.get(program, host=REMOTE)["error"])
        self.assertEqual(self.wss_echo(program, host=DIRECT),
                         [{"event": "socket-message", "socketId": "w", "data": "through"}])

    def test_user_and_password(self):
        proxy = Dante(self.proxy_hosts, user=("mirelo", "p@ss:w/rd %"))
        self.addCleanup(proxy.close)
        good = self.start(https_proxy=proxy.url(auth="mirelo:p%40ss%3Aw%2Frd%20%25"))
        self.assertEqual(self.get(good)["value"]["status"], 200)
        name = "127.0.0.1:%d" % proxy.port
        cases = [
            ("mirelo:wrong", "SOCKS5 proxy %s: refused the user name and password" % name),
            (None, "SOCKS5 proxy %s: wants a user name and password" % name),
        ]
        for auth, error in cases:
            with self.subTest(auth=auth):
                self.assertEqual(self.get(self.start(https_proxy=proxy.url(auth=auth))), {"id": "g", "error": error})

    def test_ipv6_literal_through_socks5(self):
        server6 = Https6Server(CA)
        self.addCleanup(server6.close)
        proxy = Dante(self.proxy_hosts)
        self.addCleanup(proxy.close)
        program = self.start(https_proxy=proxy.url("socks5h"))
        reply = program.request("v6", "http", {"url": "https://[::1]:%d/six" % server6.port}, timeout=30)
        self.assertEqual(body(reply), b"v6 /six")

    def test_refused_target_is_said(self):
        proxy = Dante(self.proxy_hosts)
        self.addCleanup(proxy.close)
        program = self.start(https_proxy=proxy.url("socks5h"))
        reply = program.request("g", "http", {"url": "https://127.0.0.1:1/"}, timeout=30)
        self.assertTrue(reply["error"].startswith("SOCKS5 proxy 127.0.0.1:%d: " % proxy.port), reply)


class HostileProxyTest(ProxyCase):
    """Proxies that refuse, vanish, stall or never stop talking: every request is answered, in time."""

    def scripted(self, action):
        proxy = ScriptedProxy(lambda head: action)
        self.addCleanup(proxy.close)
        return proxy

    def test_hostile_answers(self):
        closed = free_port_url()
        cases = [
            ("closed port", closed, None, "cannot reach proxy %s: Connection refused" % closed[len("http://"):]),
            ("403", None, ("send", b"HTTP/1.1 403 Forbidden\r\nContent-Length: 3\r\n\r\nno!"),
             "proxy refused the tunnel: 403 Forbidden"),
            ("200 then close", None, ("send", b"HTTP/1.1 200 Connection established\r\n\r\n"), None),
            ("close at once", None, ("close",), "closed the connection before opening the tunnel"),
            ("endless head", None, ("endless",), "sent a response head over 16 KiB"),
            ("not HTTP", None, ("send", b"SSH-2.0-OpenSSH\r\n\r\n"), "sent a malformed response"),
        ]
        for label, url, action, error in cases:
            with self.subTest(label):
                if url is None:
                    url = self.scripted(action).url()
                program = self.start(https_proxy=url)
                started = time.monotonic()
                reply = self.get(program, timeout=5)
                self.assertLess(time.monotonic() - started, 4)
                self.assertIn("error", reply)
                if error:
                    self.assertIn(error, reply["error"])
                self.assertEqual(program.request("o", "socket-open", {"url": "wss://%s:1/" % REMOTE, "socketId": "s"}),
                                 {"id": "o", "error": "网络连接未建立"})
                program.close()
        self.assertEqual(self.server.accepted, 0)

    def test_a_2xx_opens_the_tunnel_whatever_its_length_says(self):
        proxy = self.scripted(("tunnel", b"HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n"))
        program = self.start(https_proxy=proxy.url())
        self.assertEqual(self.get(program, host="127.0.0.1")["value"]["status"], 200)

    def test_unanswered_connect_times_out(self):
        proxy = self.scripted(("silent",))
        program = self.start(https_proxy=proxy.url())
        started = time.monotonic()
        reply = self.get(program, timeout=2)
        self.assertIn("timeout", reply["error"])
        self.assertLess(time.monotonic() - started, 4)
        self.assertEqual(proxy.wait_ended(1), 1)  # and the connection to the proxy is closed
        started = time.monotonic()
        self.assertEqual(program.request("o", "socket-open", {"url": "wss://%s:1/" % REMOTE, "socketId": "s"}, timeout=10),
                         {"id": "o", "error": "网络连接未建立"})
        self.assertLess(time.monotonic() - started, 7)  # the opening's 5 s

    def test_cancel_and_close_during_the_tunnel(self):
        proxy = self.scripted(("silent",))
        program = self.start(https_proxy=proxy.url())
        program.send({"id": "g", "command": "http", "payload": {"url": self.server.url("/", host=REMOTE), "requestId": "c"}})
        program.send({"id": "o", "command": "socket-open", "payload": {"url": "wss://%s:1/" % REMOTE, "socketId": "s"}})
        deadline = time.monotonic() + 10
        while len(proxy.heads) < 2 and time.monotonic() < deadline:
            time.sleep(0.05)
        started = time.monotonic()
        program.send({"id": "x", "command": "http-cancel", "payload": {"requestId": "c"}})
        program.send({"id": "c", "command": "socket-close", "payload": {"socketId": "s"}})
        got = {}
        for _ in range(4):
            line = program.read_json(5)
            got[line["id"]] = line
        self.assertLess(time.monotonic() - started, 2)
        self.assertEqual(got, {"g": {"id": "g", "error": "Operation canceled"}, "x": {"id": "x", "value": True},
                               "o": {"id": "o", "error": "网络连接已取消"}, "c": {"id": "c", "value": True}})
        self.assertEqual(proxy.wait_ended(2), 2)
        self.assertIsNone(program.read_line(1))

    def test_silent_socks_proxy_times_out(self):
        proxy = self.scripted(("silent",))  # never answers the SOCKS greeting either
        program = self.start(https_proxy="socks5h://127.0.0.1:%d" % proxy.port)
        started = time.monotonic()
        self.assertIn("timeout", self.get(program, timeout=2)["error"])
        self.assertLess(time.monotonic() - started, 4)


def free_port_url():
    from proxies import free_port
    return "http://127.0.0.1:%d" % free_port()


class GnomeSettingsTest(ProxyCase):
    """GIO's resolver reads GNOME's settings (glib-networking): it comes before the environment."""

    def setUp(self):
        super().setUp()
        self.gnome = GnomeSettings()
        self.addCleanup(self.gnome.close)

    def start_gnome(self, **env):
        return self.start(**self.gnome.env(), **env)

    def test_manual_https_proxy(self):
        proxy = Tinyproxy(self.proxy_hosts)
        self.addCleanup(proxy.close)
        self.gnome.write("manual", https=("127.0.0.1", proxy.port))
        # The environment names a proxy that is not there: GNOME's settings win.
        program = self.start_gnome(https_proxy="http://127.0.0.1:1")
        self.assertEqual(self.get(program)["value"]["status"], 200)
        self.assertEqual(self.wss_echo(program), [{"event": "socket-message", "socketId": "w", "data": "through"}])
        self.assertIn("CONNECT %s:%d" % (REMOTE, self.server.port), proxy.log())
        # Ignored hosts go direct.
        self.assertEqual(self.get(program, host="127.0.0.1")["value"]["status"], 200)
        self.assertNotIn("CONNECT 127.0.0.1:", proxy.log())

    def test_socks_sends_the_name(self):
        proxy = Dante(self.proxy_hosts)
        self.addCleanup(proxy.close)
        self.gnome.write("manual", socks=("127.0.0.1", proxy.port))
        program = self.start_gnome()
        self.assertEqual(self.get(program)["value"]["status"], 200)

    def test_mode_none_is_direct_whatever_the_environment(self):
        self.gnome.write("none")
        program = self.start_gnome(https_proxy="http://127.0.0.1:1")
        self.assertEqual(self.get(program, host=DIRECT)["value"]["status"], 200)

    def test_kept_connection_never_changes_route(self):
        # One connection kept through the proxy; the settings then say direct: the next request
        # takes a new, direct connection; through another proxy, a new tunnel again.
        proxy = Tinyproxy(self.proxy_hosts)
        self.addCleanup(proxy.close)
        self.hosts.write({DIRECT: ["127.0.0.1"], REMOTE: ["127.0.0.1"]})
        self.gnome.write("manual", https=("127.0.0.1", proxy.port))
        program = self.start_gnome()
        request = "): CONNECT %s:%d " % (REMOTE, self.server.port)
        self.assertEqual(self.get(program)["value"]["status"], 200)
        self.assertEqual((proxy.log().count(request), self.server.accepted), (1, 1))
        self.gnome.write("none")
        deadline = time.monotonic() + 10
        while self.server.accepted < 2 and time.monotonic() < deadline:  # until the change is seen
            self.assertEqual(self.get(program)["value"]["status"], 200)
            time.sleep(0.2)
        self.assertEqual((proxy.log().count(request), self.server.accepted), (1, 2))
        # Another proxy: another route, a new tunnel through it.
        second = Tinyproxy(self.proxy_hosts)
        self.addCleanup(second.close)
        self.gnome.write("manual", https=("127.0.0.1", second.port))
        deadline = time.monotonic() + 10
        while second.log().count(request) < 1 and time.monotonic() < deadline:
            self.assertEqual(self.get(program)["value"]["status"], 200)
            time.sleep(0.2)
        self.assertEqual((proxy.log().count(request), second.log().count(request), self.server.accepted), (1, 1, 3))

    def test_an_unusable_answer_is_an_error(self):
        self.gnome.write("manual", https=("127.0.0.1", 1))
        program = self.start_gnome()
        reply = self.get(program)
        self.assertEqual(reply, {"id": "g", "error": "cannot reach proxy 127.0.0.1:1: Connection refused"})


if __name__ == "__main__":
    unittest.main()
