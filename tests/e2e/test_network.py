"""HTTPS requests and secure WebSockets against real TLS servers on 127.0.0.1."""

import base64
import os
import shutil
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "env"))
from servers import (SLOW_NAME, Http2OnlyServer, HttpsServer, SlowDns, StallServer, TestCA, WssServer,  # noqa: E402
                     pieces_body)
from testenv import Program, clean_env, program_path  # noqa: E402

CANCELLED = "Operation canceled"


def setUpModule():
    global CA
    CA = TestCA()


def tearDownModule():
    CA.close()


class NetworkTest(unittest.TestCase):
    def setUp(self):
        self.server = HttpsServer(CA)
        self.addCleanup(self.server.close)
        self.program = Program(env=clean_env(SSL_CERT_FILE=CA.ca_file))
        self.addCleanup(self.program.close)

    def http(self, rid, **payload):
        return self.program.request(rid, "http", payload, timeout=30)

    def replies(self, count, timeout=30):
        got = {}
        for _ in range(count):
            line = self.program.read_json(timeout)
            got[line["id"]] = line
        return got


class HttpTest(NetworkTest):
    def test_urls_taken_apart_oddly_are_refused(self):
        # Refused alike by http and socket-open; none of them may reach a host, the server included.
        port = self.server.port
        cases = ["{s}:#", "a:#", "{s}://h:8a", "{s}://127.0.0.1:%da" % port, "{s}://127.0.0.1:%d&r=2" % port,
                 "{s}://127.0.0.1:%d:9/" % port, "{s}://h:99999/", "{s}://h:0/", "{s}://exa%00mple.com/",
                 "{s}://127.0.0.1%00.example.com:" + str(port) + "/", "{s}://a%0d%0ab/", "{s}://a%7fb/",
                 "{s}://[v1.x]/",
                 # Empty labels: a leading dot would read as "any subdomain" in the certificate check.
                 "{s}://.localhost:%d/" % port, "{s}://a..localhost:%d/" % port, "{s}://localhost.:%d/" % port,
                 "{s}://./", "{s}://../", "{s}://%2elocalhost:" + str(port) + "/"]
        for case in cases:
            for command, scheme in [("http", "https"), ("socket-open", "wss")]:
                url = case.format(s=scheme)
                with self.subTest(url=url):
                    self.assertEqual(self.program.request("u", command, {"url": url, "socketId": "u"}),
                                     {"id": "u", "error": "网络地址无效"})
        self.assertEqual(self.http("plain", url="https://127.0.0.1:%d" % port)["value"]["status"], 200)
        self.assertEqual(self.http("query", url="https://127.0.0.1:%d?x=1" % port)["value"]["status"], 200)
        self.assertEqual([r["path"] for r in self.server.requests], ["/", "/?x=1"])

    def test_url_method_and_body_refusals(self):
        ok = self.server.url("/status/200")
        cases = [
            ({"url": "http://127.0.0.1/"}, "网络地址无效"),
            ({"url": "HTTPS://127.0.0.1/"}, "网络地址无效"),
            ({"url": "https://user@127.0.0.1/"}, "网络地址无效"),
            ({"url": "https://user:pw@127.0.0.1/"}, "网络地址无效"),
            ({"url": "https://127.0.0.1/#top"}, "网络地址无效"),
            ({"url": "https:///path"}, "网络地址无效"),
            ({"url": "not a url"}, "网络地址无效"),
            ({"url": 5}, "网络地址无效"),
            ({"url": "https://127.0.0.1/" + "a" * (2049 - len("https://127.0.0.1/"))}, "网络地址无效"),
            ({"url": "http://x/", "method": "get"}, "网络地址无效"),  # the URL is checked first
            ({"url": ok, "method": "get"}, "网络请求方式无效"),
            ({"url": ok, "method": "PUT", "body": "@"}, "网络请求方式无效"),  # the method before the body
            ({"url": ok, "method": "POST"}, "网络请求内容无效"),
            ({"url": ok, "method": "POST", "body": "QUJD\n"}, "网络请求内容无效"),
            ({"url": ok, "method": "POST", "body": "A" * (2097152 + 4)}, "网络请求内容无效"),
        ]
        for payload, error in cases:
            with self.subTest(payload=str(payload)[:60]):
                self.assertEqual(self.program.request("r", "http", payload), {"id": "r", "error": error})
        self.assertEqual(self.server.requests, [])

    def test_requests_as_sent(self):
        self.assertEqual(self.http("get", url=self.server.url("/status/200?q=1"), method=5, body="QUJD")["value"],
                         {"status": 200, "body": base64.b64encode(b"status 200").decode()})
        self.http("post", url=self.server.url("/echo"), method="POST", body="")
        self.http("post2", url=self.server.url("/echo"), method="POST", body=base64.b64encode(b'{"a":1}').decode())
        get, post, post2 = self.server.requests
        self.assertEqual((get["method"], get["path"], get["body"]), ("GET", "/status/200?q=1", b""))
        self.assertNotIn("Content-Type", get["headers"])
        self.assertEqual(get["headers"]["User-Agent"], "Mirelo/" + os.environ["MIRELO_VERSION"])
        self.assertEqual((post["method"], post["body"], post["headers"]["Content-Type"]), ("POST", b"", "application/json"))
        self.assertEqual(post["headers"]["Content-Length"], "0")
        self.assertEqual(post2["body"], b'{"a":1}')
        self.assertNotIn("Cookie", post2["headers"])

    def test_statuses_are_replies(self):
        for code in [200, 302, 404, 500]:
            with self.subTest(code=code):
                self.assertEqual(self.http("s", url=self.server.url("/status/%d" % code))["value"],
                                 {"status": code, "body": base64.b64encode(b"status %d" % code).decode()})
        self.assertEqual(len(self.server.requests), 4)  # the 302's location was not fetched

    def test_response_limits(self):
        cases = [
            ("/bytes/4096", {}, 4096),
            ("/bytes/4097", {}, None),                   # declared over the default limit
            ("/chunked/4096", {}, 4096),
            ("/chunked/5000", {}, None),                 # no declared length: fails as it passes
            ("/bytes/1", {"maxBytes": 0}, 1),
            ("/bytes/2", {"maxBytes": -5}, None),
            ("/bytes/100", {"maxBytes": 100.0}, 100),
            ("/chunked/200000", {"maxBytes": 100000000}, 200000),
        ]
        for path, extra, size in cases:
            with self.subTest(path=path, extra=extra):
                reply = self.http("l", url=self.server.url(path), **extra)
                if size is None:
                    self.assertEqual(reply, {"id": "l", "error": CANCELLED})
                else:
                    self.assertEqual(len(base64.b64decode(reply["value"]["body"])), size)

    def test_encoded_bodies_are_decoded(self):
        # Sent encoded whether asked or not; decoded as they arrive, the limit on the decoded bytes.
        big = 12582912
        cases = [
            ("/gzip/5000", {"maxBytes": 5000}, pieces_body(5000)),
            ("/gzip/5000/chunked", {"maxBytes": 5000}, pieces_body(5000)),
            ("/deflate/3000", {}, pieces_body(3000)),
            ("/rawdeflate/3000", {}, pieces_body(3000)),
            ("/gzip/0", {}, b""),
            ("/gzip/300000/chunked", {"maxBytes": 400000}, pieces_body(300000)),
            ("/gzip/4097", {}, CANCELLED),              # one byte over the default limit, decoded
            ("/bomb/1", {}, CANCELLED),                 # 1 MiB of zeros in about 1 KiB
            ("/bomb/12", {"maxBytes": big}, b"\0" * big),  # exactly the largest limit
            ("/bomb/64", {"maxBytes": big}, CANCELLED),
            ("/gzip/3000/cut", {}, "ends inside its gzip data"),
            ("/gzip/3000/trailing", {}, "not valid gzip data"),
            ("/brotli", {}, "unsupported Content-Encoding: br"),
        ]
        for path, extra, expected in cases:
            with self.subTest(path=path):
                reply = self.http("z", url=self.server.url(path), **extra)
                if isinstance(expected, bytes):
                    self.assertEqual(base64.b64decode(reply["value"]["body"]), expected)
                else:
                    self.assertIn(expected, reply.get("error", ""))
        self.assertTrue(all(r["headers"]["Accept-Encoding"] == "gzip, deflate" for r in self.server.requests))
        # Eight bombs of 12 MiB each, all decoded but their last bytes before any completes: the
        # 64 MiB over all requests counts decoded bytes, so no more than five can succeed.
        for i in range(8):
            self.program.send({"id": "b%d" % i, "command": "http",
                               "payload": {"url": self.server.url("/bomb/12/held"), "maxBytes": big}})
        done = self.replies(8, 120)
        failed = [line for line in done.values() if "error" in line]
        self.assertTrue(all(line["error"] == CANCELLED for line in failed))
        self.assertGreaterEqual(len(failed), 3)
        self.assertTrue(all(base64.b64decode(line["value"]["body"]) == b"\0" * big
                            for line in done.values() if "value" in line))
        self.assertEqual(self.http("after", url=self.server.url("/gzip/10"))["value"]["body"],
                         base64.b64encode(pieces_body(10)).decode())

    def test_server_that_speaks_only_http2(self):
        for alert in [True, False]:
            with self.subTest(alert=alert):
                server = Http2OnlyServer(CA, alert)
                self.addCleanup(server.close)
                reply = self.http("h2", url=server.url())
                self.assertIn("ALPN negotiation failed", reply.get("error", ""))

    def test_interim_heads_are_skipped(self):
        # Each answer is preceded by interim heads on one kept connection; each request gets its own.
        for tag, interim in [("1", "/103"), ("2", "/103"), ("3", "/100/103/103")]:
            with self.subTest(interim=interim):
                self.assertEqual(self.http(tag, url=self.server.url("/interim/" + tag + interim))["value"],
                                 {"status": 200, "body": base64.b64encode(b"final " + tag.encode()).decode()})
        reply = self.http("p", url=self.server.url("/interim/p/100"), method="POST", body="e30=")
        self.assertEqual(reply["value"], {"status": 200, "body": base64.b64encode(b"final p").decode()})
        self.assertEqual(self.server.accepted, 1)
        self.assertEqual(self.server.requests[-1]["body"], b"{}")

    def test_connection_with_unread_bytes_is_not_kept(self):
        self.assertEqual(self.http("a", url=self.server.url("/extra"))["value"]["body"], base64.b64encode(b"first").decode())
        self.assertEqual(self.http("b", url=self.server.url("/status/200"))["value"]["body"],
                         base64.b64encode(b"status 200").decode())
        self.assertEqual(self.server.accepted, 2)

    def test_body_ended_by_the_connection(self):
        # Without a length or chunks, the connection's end is the body's end, with or without TLS
        # close_notify. A declared length cut short stays an error.
        cases = [
            ("/eof/0", {}, 0),
            ("/eof/5000", {"maxBytes": 10000}, 5000),
            ("/eof/300000", {"maxBytes": 400000}, 300000),
            ("/eof-notify/5000", {"maxBytes": 10000}, 5000),
            ("/eof/5000", {}, CANCELLED),  # over the default limit of 4096
            ("/short/1000", {}, "truncated"),
        ]
        for path, extra, expected in cases:
            with self.subTest(path=path, extra=extra):
                reply = self.http("e", url=self.server.url(path), **extra)
                if isinstance(expected, int):
                    self.assertEqual(reply["value"], {"status": 200, "body": base64.b64encode(b"e" * expected).decode()})
                else:
                    self.assertIn(expected, reply.get("error", ""))
        self.assertEqual(self.http("after", url=self.server.url("/status/200"))["value"]["status"], 200)

    def test_body_in_odd_pieces_arrives_exactly(self):
        # Pieces of 1 to 7 bytes: the Base64 of the body is written as it arrives, three bytes at a time.
        for size in [1, 2, 3, 4, 29, 3001]:
            with self.subTest(size=size):
                reply = self.http("p", url=self.server.url("/pieces/%d" % size))
                self.assertEqual(base64.b64decode(reply["value"]["body"]), pieces_body(size))

    def test_dripping_server(self):
        # One byte every 20 ms: the whole answer takes longer than the timeout, each byte comes in time.
        reply = self.http("d", url=self.server.url("/drip/30/0.02"), timeout=1)
        self.assertEqual(reply["value"], {"status": 200, "body": base64.b64encode(b"d" * 30).decode()})
        # Cancelled in the middle of the head and of the body: answered at once, the connection dropped.
        for path in ["/drip/100/0.05", "/drip/1000/0.005"]:
            with self.subTest(path=path):
                self.server.server.drip_cut = False
                self.program.send({"id": "c", "command": "http", "payload": {"url": self.server.url(path),
                                                                             "requestId": "drip", "maxBytes": 5000}})
                time.sleep(0.5)
                self.program.send({"id": "x", "command": "http-cancel", "payload": {"requestId": "drip"}})
                self.assertEqual(self.replies(2, 5), {"x": {"id": "x", "value": True}, "c": {"id": "c", "error": CANCELLED}})
                deadline = time.monotonic() + 5
                while not self.server.drip_cut and time.monotonic() < deadline:
                    time.sleep(0.05)
                self.assertTrue(self.server.drip_cut)
        self.assertEqual(self.http("after", url=self.server.url("/status/200"))["value"]["status"], 200)

    def test_cancel_while_the_server_stalls(self):
        # Cancelled in the TLS handshake, and after it with the request sent and no answer: the
        # reply comes at once and the connection is ended.
        for tls in [False, True]:
            with self.subTest(tls=tls):
                stall = StallServer(CA, tls=tls)
                self.addCleanup(stall.close)
                self.program.send({"id": "h", "command": "http", "payload": {"url": stall.url(), "requestId": "st"}})
                self.assertEqual(stall.wait("secured" if tls else "accepted", 1), 1)
                time.sleep(0.2)
                self.program.send({"id": "x", "command": "http-cancel", "payload": {"requestId": "st"}})
                self.assertEqual(self.replies(2, 3), {"x": {"id": "x", "value": True}, "h": {"id": "h", "error": CANCELLED}})
                self.assertEqual((stall.wait("ended", 1), stall.accepted), (1, 1))

    def test_idle_server_times_out(self):
        started = time.monotonic()
        reply = self.http("t", url=self.server.url("/idle/5"), timeout=0.2)  # raised to 1 s
        self.assertIn("error", reply)
        self.assertLess(time.monotonic() - started, 4)

    def test_certificates(self):
        # What is checked in depth below the program (tests/network/tls_test.cpp), here once end
        # to end: the name, the subject CN never looked at, the trust.
        other = HttpsServer(CA, "other")
        self.addCleanup(other.close)
        cn_only = HttpsServer(CA, "cnonly")
        self.addCleanup(cn_only.close)
        untrusted = HttpsServer(CA, "untrusted")
        self.addCleanup(untrusted.close)
        self.assertEqual(self.http("ok", url=self.server.url("/status/200", host="localhost"))["value"]["status"], 200)
        for name, url in [("name", other.url("/status/200")), ("cn", cn_only.url("/status/200", host="localhost")),
                          ("self", untrusted.url("/status/200"))]:
            with self.subTest(name=name):
                self.assertIn("certificate verify failed", self.http(name, url=url).get("error", ""))
        for scheme_url in [cn_only.url("/", host="localhost").replace("https", "wss", 1)]:
            self.assertEqual(self.program.request("o", "socket-open", {"url": scheme_url, "socketId": "cn"}),
                             {"id": "o", "error": "网络连接未建立"})

    def test_trust_store_from_the_environment(self):
        # OpenSSL's SSL_CERT_DIR (a hashed folder) works like SSL_CERT_FILE; with neither the
        # system store is used, which does not hold the test CA.
        folder = os.path.join(CA.dir, "hashed")
        os.makedirs(folder, exist_ok=True)
        shutil.copy(CA.ca_file, os.path.join(folder, "ca.pem"))
        subprocess.run(["openssl", "rehash", folder], check=True, capture_output=True)
        for env, ok in [({"SSL_CERT_DIR": folder}, True), ({}, False), ({"SSL_CERT_DIR": CA.dir + "/none"}, False)]:
            with self.subTest(env=env):
                environment = clean_env(**env)
                for name in ["SSL_CERT_FILE", "SSL_CERT_DIR"]:
                    if name not in env:
                        environment.pop(name, None)
                program = Program(env=environment)
                self.addCleanup(program.close)
                reply = program.request("t", "http", {"url": self.server.url("/status/200")}, timeout=30)
                if ok:
                    self.assertEqual(reply["value"]["status"], 200)
                else:
                    self.assertIn("certificate verify failed", reply.get("error", ""))

    def test_no_connection_shared_between_host_names(self):
        # One server under two names: each name has its own connections, each its own check.
        for host in ["127.0.0.1", "localhost", "127.0.0.1", "localhost"]:
            self.assertEqual(self.http(host, url=self.server.url("/status/200", host=host))["value"]["status"], 200)
        self.assertEqual(self.server.accepted, 2)
        self.assertEqual([r["headers"]["Host"] for r in self.server.requests],
                         ["127.0.0.1:%d" % self.server.port, "localhost:%d" % self.server.port] * 2)

    def test_connection_reused(self):
        for i in range(3):
            self.assertEqual(self.http(str(i), url=self.server.url("/status/200"))["value"]["status"], 200)
        self.assertEqual(self.server.accepted, 1)

    def test_thirty_two_in_flight(self):
        for i in range(32):
            self.program.send({"id": "slow%d" % i, "command": "http",
                               "payload": {"url": self.server.url("/slow/1.5"), "requestId": "slow"}})
        time.sleep(0.3)
        self.assertEqual(self.http("extra", url=self.server.url("/status/200")),
                         {"id": "extra", "error": "网络请求过多，请稍候"})
        done = self.replies(32)
        self.assertTrue(all(line["value"]["status"] == 200 for line in done.values()))
        self.assertEqual(self.http("after", url=self.server.url("/status/200"))["value"]["status"], 200)

    def test_cancel(self):
        for rid, request_id in [("a", "shared"), ("b", "shared"), ("c", None), ("d", "other")]:
            payload = {"url": self.server.url("/slow/3")}
            if request_id:
                payload["requestId"] = request_id
            self.program.send({"id": rid, "command": "http", "payload": payload})
        time.sleep(0.3)
        self.assertEqual(self.program.request("x", "http-cancel", {"requestId": "unknown"}), {"id": "x", "value": True})
        self.assertEqual(self.program.request("y", "http-cancel", {"requestId": "shared"}), {"id": "y", "value": True})
        got = self.replies(2, 2)
        self.assertEqual(got, {"a": {"id": "a", "error": CANCELLED}, "b": {"id": "b", "error": CANCELLED}})
        self.assertEqual(self.program.request("z", "http-cancel", {"requestId": ""}), {"id": "z", "value": True})
        self.assertEqual(self.replies(1, 2), {"c": {"id": "c", "error": CANCELLED}})
        self.assertEqual(self.replies(1, 10)["d"]["value"]["status"], 200)


class WebSocketTest(NetworkTest):
    def setUp(self):
        self.wss = WssServer(CA)  # made first, so it is closed after the program
        self.addCleanup(self.wss.close)
        super().setUp()

    def open(self, socket_id="s", url=None):
        return self.program.request("open-" + socket_id, "socket-open", {"url": url or self.wss.url(), "socketId": socket_id})

    def wait_for(self, condition, timeout=10):
        deadline = time.monotonic() + timeout
        while not condition() and time.monotonic() < deadline:
            time.sleep(0.05)
        self.assertTrue(condition())

    def cmd(self, command, socket_id="s", **payload):
        payload["socketId"] = socket_id
        return self.program.request(command, command, payload)

    def test_open_echo_and_receive_rules(self):
        self.assertEqual(self.open()["value"], True)
        self.assertEqual(self.cmd("socket-send", data="hello ✓")["value"], True)
        self.assertEqual(self.cmd("socket-receive")["value"], True)
        self.assertEqual(self.program.read_json(), {"event": "socket-message", "socketId": "s", "data": "hello ✓"})
        self.assertEqual(self.cmd("socket-send", data="")["value"], True)
        self.cmd("socket-receive")
        self.assertEqual(self.program.read_json()["data"], "")
        self.assertEqual(self.cmd("socket-receive")["value"], True)
        self.assertEqual(self.cmd("socket-receive"), {"id": "socket-receive", "error": "网络读取已在进行"})
        self.assertEqual(self.cmd("socket-send", data=5), {"id": "socket-send", "error": "网络数据帧过大"})
        for command in ["socket-send", "socket-receive"]:
            self.assertEqual(self.cmd(command, "unknown", data="x"), {"id": command, "error": "网络连接已关闭"})
        self.assertEqual(self.cmd("socket-close", "unknown")["value"], True)
        # Closing with a receive outstanding: one "socket-closed", from the receive.
        self.assertEqual(self.cmd("socket-close")["value"], True)
        self.assertEqual(self.program.read_json(), {"event": "socket-closed", "socketId": "s"})
        self.assertIsNone(self.program.read_line(1))

    def test_send_and_receive_while_opening(self):
        # Asked for before the handshake is done, they wait for it.
        self.program.send({"id": "o", "command": "socket-open", "payload": {"url": self.wss.url(), "socketId": "early"}})
        self.program.send({"id": "s", "command": "socket-send", "payload": {"socketId": "early", "data": "first"}})
        self.program.send({"id": "r", "command": "socket-receive", "payload": {"socketId": "early"}})
        lines = [self.program.read_json() for _ in range(4)]
        for expected in [{"id": "o", "value": True}, {"id": "s", "value": True}, {"id": "r", "value": True},
                         {"event": "socket-message", "socketId": "early", "data": "first"}]:
            self.assertIn(expected, lines)

    def test_refusals(self):
        cases = [
            ({"url": "https://127.0.0.1/", "socketId": "a"}, "网络地址无效"),
            ({"url": self.wss.url()}, "连接标识无效"),
            ({"url": self.wss.url(), "socketId": "x" * 65}, "连接标识无效"),
        ]
        for payload, error in cases:
            self.assertEqual(self.program.request("o", "socket-open", payload), {"id": "o", "error": error})
        self.assertEqual(self.open("x" * 64)["value"], True)
        self.assertEqual(self.open("")["value"], True)

    def test_binary_and_oversized_messages_close(self):
        # With a receive armed: one "socket-closed" from it, one from the connection's end.
        for message, socket_id in [("binary", "bin"), ("big:786433", "big")]:
            with self.subTest(message=message):
                self.open(socket_id)
                self.cmd("socket-receive", socket_id)
                self.cmd("socket-send", socket_id, data=message)
                closed = [self.program.read_json(), self.program.read_json()]
                self.assertEqual(closed, [{"event": "socket-closed", "socketId": socket_id}] * 2)
        # Without one, the connection ends as the message arrives: one "socket-closed".
        for message, socket_id in [("binary", "bin2"), ("big:786433", "big2")]:
            with self.subTest(message=message, armed=False):
                self.open(socket_id)
                self.cmd("socket-send", socket_id, data=message)
                self.assertEqual(self.program.read_json(10), {"event": "socket-closed", "socketId": socket_id})
                self.assertEqual(self.cmd("socket-receive", socket_id), {"id": "socket-receive", "error": "网络连接已关闭"})
        self.open("exact")
        self.cmd("socket-send", "exact", data="big:786432")
        self.cmd("socket-receive", "exact")
        self.assertEqual(len(self.program.read_json(30)["data"]), 786432)
        self.assertEqual(self.cmd("socket-send", "exact", data="x" * 786433), {"id": "socket-send", "error": "网络数据帧过大"})

    def test_server_close_during_receive(self):
        self.open()
        self.cmd("socket-receive")
        self.cmd("socket-send", data="close")
        self.assertEqual([self.program.read_json(), self.program.read_json()],
                         [{"event": "socket-closed", "socketId": "s"}] * 2)

    def test_server_close_while_idle(self):
        # No receive armed: the close is answered at once, the socket leaves the table with one
        # "socket-closed", and later commands find it closed.
        self.open()
        self.cmd("socket-send", data="close")
        self.assertEqual(self.program.read_json(10), {"event": "socket-closed", "socketId": "s"})
        self.wait_for(lambda: len(self.wss.closes) == 1)
        code, seconds = self.wss.closes[0]
        self.assertEqual(code, 1000)
        self.assertLess(seconds, 0.9)  # answered, not left to the server's 1 s close timeout
        for command in ["socket-send", "socket-receive"]:
            self.assertEqual(self.cmd(command, data="x"), {"id": command, "error": "网络连接已关闭"})
        self.assertIsNone(self.program.read_line(0.5))
        # Messages the host had not asked for when the server closed end with the connection.
        self.open("b")
        self.cmd("socket-send", "b", data="burst-close:3")
        self.assertEqual(self.program.read_json(10), {"event": "socket-closed", "socketId": "b"})
        self.wait_for(lambda: len(self.wss.closes) == 2)
        self.assertEqual(self.wss.closes[1][0], 1000)
        self.assertEqual(self.cmd("socket-receive", "b"), {"id": "socket-receive", "error": "网络连接已关闭"})

    def test_pings_answered_while_idle(self):
        self.open()
        self.cmd("socket-send", data="ping")
        self.wait_for(lambda: self.wss.pongs)
        self.assertEqual(self.wss.pongs, [True])
        self.assertIsNone(self.program.read_line(0.3))  # nothing reaches the host unasked
        self.cmd("socket-receive")
        self.assertEqual(self.program.read_json(), {"event": "socket-message", "socketId": "s", "data": "pong"})

    def test_messages_wait_in_order_for_their_receives(self):
        # More than the inbox holds: reading pauses when it is full and goes on as the host takes
        # messages; none is lost or reordered, and a ping after them is answered once they are taken.
        self.open()
        self.cmd("socket-send", data="burst:40")
        self.cmd("socket-send", data="ping")
        time.sleep(1)
        self.assertIsNone(self.program.read_line(0.1))
        got = []
        for _ in range(41):
            self.assertEqual(self.cmd("socket-receive")["value"], True)
            line = self.program.read_json(10)
            self.assertEqual(line["event"], "socket-message")
            got.append(line["data"])
        self.assertEqual(got, [str(i) for i in range(40)] + ["pong"])

    def test_server_killed_mid_message(self):
        # The message never completes: the armed receive ends in "socket-closed", and the program
        # serves the next socket.
        self.open()
        self.cmd("socket-receive")
        self.cmd("socket-send", data="half:200000")
        self.assertEqual([self.program.read_json(), self.program.read_json()],
                         [{"event": "socket-closed", "socketId": "s"}] * 2)
        self.assertEqual(self.open("next")["value"], True)
        self.cmd("socket-send", "next", data="after")
        self.cmd("socket-receive", "next")
        self.assertEqual(self.program.read_json(), {"event": "socket-message", "socketId": "next", "data": "after"})

    def test_close_while_opening(self):
        # Servers that never answer the TLS handshake, or the WebSocket handshake after it, keep the
        # socket opening. Closed then, it is ended at once and nothing about it follows.
        for tls in [False, True]:
            with self.subTest(tls=tls):
                stall = StallServer(CA, tls=tls)
                self.addCleanup(stall.close)
                self.program.send({"id": "open", "command": "socket-open", "payload": {"url": stall.url("wss"), "socketId": "w"}})
                self.assertEqual(stall.wait("secured" if tls else "accepted", 1), 1)
                time.sleep(0.2)
                self.program.send({"id": "close", "command": "socket-close", "payload": {"socketId": "w"}})
                self.assertEqual(self.replies(2), {"open": {"id": "open", "error": "网络连接已取消"},
                                                   "close": {"id": "close", "value": True}})
                self.assertEqual((stall.wait("ended", 1), stall.accepted), (1, 1))
                self.assertIsNone(self.program.read_line(0.3))
        # Left alone, the same server fails the open after 5 seconds.
        self.program.send({"id": "open2", "command": "socket-open", "payload": {"url": stall.url("wss"), "socketId": "w2"}})
        got = [self.program.read_json(10), self.program.read_json(10)]
        self.assertIn({"id": "open2", "error": "网络连接未建立"}, got)
        self.assertIn({"event": "socket-closed", "socketId": "w2"}, got)
        self.assertEqual(stall.wait("ended", 2), 2)

    def test_the_129th_socket(self):
        for i in range(128):
            self.program.send({"id": str(i), "command": "socket-open", "payload": {"url": self.wss.url(), "socketId": str(i)}})
        opened = self.replies(128, 60)
        self.assertTrue(all(line.get("value") is True for line in opened.values()))
        self.assertEqual(self.open("one-more"), {"id": "open-one-more", "error": "连接过多"})


class ProgramWithResolver(Program):
    """The program in a mount namespace of its own, where /etc/resolv.conf is the given file."""

    def __init__(self, resolv_conf, env):
        script = 'mount --bind "$0" /etc/resolv.conf && exec "$1"'
        self.process = subprocess.Popen(
            ["unshare", "--mount", "--propagation", "private", "/bin/sh", "-c", script, resolv_conf,
             program_path("MireloServices")],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env)
        self._pending = b""


class SlowResolutionTest(unittest.TestCase):
    """Cancels and closes that arrive while a name is still being resolved (SlowDns answers late)."""

    @classmethod
    def setUpClass(cls):
        if os.geteuid() != 0 or not shutil.which("unshare"):
            raise unittest.SkipTest("a private resolv.conf needs root (a mount namespace and port 53)")
        cls.dns = SlowDns(delay=1.0)
        probe = subprocess.run(["unshare", "--mount", "--propagation", "private", "/bin/sh", "-c",
                                'mount --bind "$0" /etc/resolv.conf', cls.dns.resolv_conf], capture_output=True)
        if probe.returncode != 0:
            cls.dns.close()
            raise unittest.SkipTest("no mount namespace here: " + probe.stderr.decode(errors="replace").strip())

    @classmethod
    def tearDownClass(cls):
        cls.dns.close()

    def setUp(self):
        self.dns.hold(1.0)
        self.server = HttpsServer(CA)
        self.addCleanup(self.server.close)
        self.wss = WssServer(CA)
        self.addCleanup(self.wss.close)
        self.program = ProgramWithResolver(self.dns.resolv_conf, clean_env(SSL_CERT_FILE=CA.ca_file))
        self.addCleanup(self.program.close)

    def replies(self, count, timeout=10):
        got = {}
        for _ in range(count):
            line = self.program.read_json(timeout)
            got[line.get("id") or line.get("event")] = line
        return got

    def test_slow_name_is_reached(self):
        reply = self.program.request("get", "http", {"url": self.server.url("/status/200", host=SLOW_NAME)})
        self.assertEqual(reply["value"]["status"], 200)
        url = "wss://%s:%d/hello" % (SLOW_NAME, self.wss.port)
        self.assertEqual(self.program.request("o", "socket-open", {"url": url, "socketId": "s"}), {"id": "o", "value": True})
        self.program.send({"id": "r", "command": "socket-receive", "payload": {"socketId": "s"}})
        self.assertEqual(self.replies(2), {"r": {"id": "r", "value": True},
                                           "socket-message": {"event": "socket-message", "socketId": "s", "data": "hello"}})

    def test_resolution_slower_than_the_timeout(self):
        self.dns.hold(3)
        started = time.monotonic()
        reply = self.program.request("t", "http", {"url": self.server.url("/status/200", host=SLOW_NAME), "timeout": 1})
        self.assertIn("timeout", reply.get("error", ""))
        self.assertLess(time.monotonic() - started, 2.5)

    def test_http_cancel_while_resolving(self):
        # Six large POSTs cancelled before their names resolve: none reaches the server, and the
        # budget over all requests is whole afterwards (a 12 MiB answer still fits).
        self.dns.hold(30)
        big = 12582912
        for i in range(6):
            self.program.send({"id": "p%d" % i, "command": "http",
                               "payload": {"url": self.server.url("/bytes/%d" % big, host=SLOW_NAME), "method": "POST",
                                           "body": "e30=", "maxBytes": big, "requestId": "c%d" % i}})
            self.program.send({"id": "x%d" % i, "command": "http-cancel", "payload": {"requestId": "c%d" % i}})
        got = self.replies(12)  # while no name has resolved
        for i in range(6):
            self.assertEqual(got["p%d" % i], {"id": "p%d" % i, "error": CANCELLED})
            self.assertEqual(got["x%d" % i], {"id": "x%d" % i, "value": True})
        self.dns.release()
        self.assertIsNone(self.program.read_line(1.5))
        self.assertEqual((self.server.accepted, self.server.requests), (0, []))
        reply = self.program.request("big", "http", {"url": self.server.url("/bytes/%d" % big), "maxBytes": big}, timeout=30)
        self.assertEqual(len(base64.b64decode(reply["value"]["body"])), big)

    def test_socket_close_while_resolving(self):
        # Closed means closed: the receive armed while opening ends with the close, nothing is
        # delivered afterwards and nothing connects.
        self.dns.hold(30)
        url = "wss://%s:%d/hello" % (SLOW_NAME, self.wss.port)
        self.program.send({"id": "o", "command": "socket-open", "payload": {"url": url, "socketId": "w"}})
        self.program.send({"id": "r", "command": "socket-receive", "payload": {"socketId": "w"}})
        self.program.send({"id": "s", "command": "socket-send", "payload": {"socketId": "w", "data": "x"}})
        self.program.send({"id": "c", "command": "socket-close", "payload": {"socketId": "w"}})
        self.assertEqual(self.replies(5), {"o": {"id": "o", "error": "网络连接已取消"}, "r": {"id": "r", "value": True},
                                           "s": {"id": "s", "error": CANCELLED}, "c": {"id": "c", "value": True},
                                           "socket-closed": {"event": "socket-closed", "socketId": "w"}})
        self.dns.release()
        self.assertIsNone(self.program.read_line(1.5))
        self.assertEqual(self.wss.connections, 0)


if __name__ == "__main__":
    unittest.main()
