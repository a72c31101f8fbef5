"""The line protocol of MireloServices, driven over pipes as the host drives it."""

import base64
import json
import os
import signal
import sys
import threading
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "env"))
from servers import HttpsServer, TestCA  # noqa: E402
from testenv import SANITIZED, Program, clean_env  # noqa: E402

LIMIT = 25_165_824
UNSUPPORTED = "不支持的原生操作"
TOO_LARGE = '{"error":"请求过大","id":""}'.encode()


def sized_request(rid, size):
    """A request line of exactly `size` bytes: an unknown command whose payload pads it out."""
    head = ('{"id":"%s","command":"nope","payload":{"s":"' % rid).encode()
    tail = b'"}}'
    return head + b"x" * (size - len(head) - len(tail)) + tail


class ProtocolTest(unittest.TestCase):
    def setUp(self):
        self.program = Program()

    def tearDown(self):
        self.program.close()

    def assert_exits_cleanly(self):
        self.assertEqual(self.program.wait(10), 0)
        self.assertEqual(self.program.stderr_text(), b"")

    def test_unknown_commands_and_names_compared_exactly(self):
        for name in ["nope", "Stop", "STOP", "stop ", " stop", "", "socket_send"]:
            with self.subTest(name=name):
                self.assertEqual(self.program.request("r", name), {"id": "r", "error": UNSUPPORTED})
        self.program.close_input()
        self.assert_exits_cleanly()

    def test_output_is_compact_sorted_and_escapes_slash(self):
        self.program.send({"command": "nope", "id": "a/b", "payload": {"z": 1}})
        self.assertEqual(self.program.read_line(), '{"error":"不支持的原生操作","id":"a\\/b"}'.encode())

    def test_dropped_lines_write_nothing(self):
        dropped = [
            b"\n", b"   \n", b"not json\n", b"[1,2]\n", b'"text"\n', b"{\n", b'{"id":7,"command":"stop"}\n',
            b'{"id":null,"command":"stop"}\n', b'{"command":"stop"}\n', b'{"id":"x"}\n',
            b'{"id":"x","command":5}\n', b'{"id":"x","command":"stop"} trailing\n',
        ]
        for line in dropped:
            self.program.send(line)
        # The first line written is the reply to the request after them.
        self.assertEqual(self.program.request("after", "nope"), {"id": "after", "error": UNSUPPORTED})

    def test_payload_that_is_not_an_object_still_runs_the_command(self):
        for payload in ['[true]', '"x"', 'null', '3']:
            self.program.send(('{"id":"p","command":"nope","payload":%s}\n' % payload).encode())
            self.assertEqual(self.program.read_json(), {"id": "p", "error": UNSUPPORTED})

    def test_invalid_utf8_is_replaced(self):
        self.program.send(b'{"id":"a\xffb\xe2\x82","command":"nope"}\n')
        self.assertEqual(self.program.read_line(), '{"error":"不支持的原生操作","id":"a\ufffdb\ufffd"}'.encode())

    def test_crlf_and_last_line_without_terminator(self):
        self.program.send(b'{"id":"1","command":"nope"}\r\n{"id":"2","command":"nope"}')
        self.program.close_input()
        self.assertEqual([self.program.read_json()["id"] for _ in range(2)], ["1", "2"])
        self.assert_exits_cleanly()

    def test_line_limit_boundary(self):
        cases = [
            (sized_request("exact", LIMIT) + b"\n", b'{"error":"' + UNSUPPORTED.encode() + b'","id":"exact"}'),
            (sized_request("crlf", LIMIT) + b"\r\n", b'{"error":"' + UNSUPPORTED.encode() + b'","id":"crlf"}'),
            (sized_request("over", LIMIT + 1) + b"\n", TOO_LARGE),
            # Within the limit as bytes read, past it once the bad bytes become U+FFFD.
            (sized_request("grown", LIMIT - 30).replace(b"xxxxxxxxxx", b"\xff\xff\xff\xff\xff\xff\xff\xff\xff\xff", 3) + b"\n",
             TOO_LARGE),
        ]
        for line, reply in cases:
            with self.subTest(reply=reply[:40]):
                self.program.send(line)
                self.assertEqual(self.program.read_line(30), reply)
                self.assertEqual(self.program.request("next", "nope"), {"id": "next", "error": UNSUPPORTED})

    def test_huge_line_is_skipped_without_being_held(self):
        # 256 MiB without a newline: refused once, then the next line is read, and the process
        # never grew anywhere near the size of the line.
        chunk = b"y" * (1 << 20)

        def write():
            for _ in range(256):
                self.program.send(chunk)
            self.program.send(b'\n{"id":"after","command":"nope"}\n')

        writer = threading.Thread(target=write)
        writer.start()
        self.assertEqual(self.program.read_line(60), TOO_LARGE)
        self.assertEqual(self.program.read_json(60), {"id": "after", "error": UNSUPPORTED})
        writer.join()
        if not SANITIZED:  # the sanitizers' shadow memory makes the figure meaningless
            self.assertLess(self.program.peak_rss_kib(), 96 * 1024)

    def test_large_requests_back_to_back_in_one_write(self):
        # The second request is already read, past a read's worth, when the first one's large
        # buffer is given back.
        for sizes in [(1_200_000, 400_000), (3_000_000, 1_100_000, 70_000), (2_000_000, 10)]:
            with self.subTest(sizes=sizes):
                data = b"".join(sized_request("r%d" % i, max(size, 60)) + b"\n" for i, size in enumerate(sizes))
                writer = threading.Thread(target=self.program.send, args=(data,))
                writer.start()
                for i in range(len(sizes)):
                    self.assertEqual(self.program.read_json(30), {"id": "r%d" % i, "error": UNSUPPORTED})
                writer.join()

    def test_valid_json_with_numbers_past_64_bits_is_answered(self):
        for number in ["18446744073709551616", "-99999999999999999999", "1e400", "-1e400", "123456789012345678901234567890.5"]:
            with self.subTest(number=number):
                self.program.send(('{"id":"n","command":"nope","payload":{"unread":%s}}\n' % number).encode())
                self.assertEqual(self.program.read_json(), {"id": "n", "error": UNSUPPORTED})
        # Still strict: a malformed number drops the line.
        self.program.send(b'{"id":"bad","command":"nope","payload":{"x":1e400e1}}\n')
        self.assertEqual(self.program.request("after", "nope"), {"id": "after", "error": UNSUPPORTED})

    def test_stop_replies_then_exits(self):
        self.program.send(b'{"id":"1","command":"nope"}\n{"id":"2","command":"stop","payload":{"x":1}}\n'
                          b'{"id":"3","command":"nope"}\n')
        self.assertEqual(self.program.read_line(), '{"error":"不支持的原生操作","id":"1"}'.encode())
        self.assertEqual(self.program.read_line(), b'{"id":"2","value":true}')
        self.assertIsNone(self.program.read_line(5))
        self.assert_exits_cleanly()

    def test_host_closing_our_output_ends_the_process_cleanly(self):
        self.assertEqual(self.program.request("1", "nope")["id"], "1")
        self.program.process.stdout.close()
        self.program.send({"id": "2", "command": "nope"})
        self.assertEqual(self.program.wait(10), 0)
        self.program.process.stdout = open(os.devnull, "rb")  # for close()

    def test_sigterm_ends_the_process_cleanly(self):
        self.assertEqual(self.program.request("1", "nope")["id"], "1")
        self.program.process.send_signal(signal.SIGTERM)
        self.assert_exits_cleanly()

    def test_end_of_input_answers_everything_read_then_exits(self):
        count = 2000
        self.program.send(b"".join(b'{"id":"%d","command":"nope"}\n' % i for i in range(count)))
        self.program.close_input()
        ids = [self.program.read_json()["id"] for _ in range(count)]
        self.assertEqual(ids, [str(i) for i in range(count)])
        self.assertIsNone(self.program.read_line(5))
        self.assert_exits_cleanly()


class ExitWhileWritingTest(unittest.TestCase):
    """The end of input arrives while the network thread is in the middle of a long reply line."""

    def test_end_of_input_never_cuts_a_line_in_half(self):
        ca = TestCA()
        self.addCleanup(ca.close)
        server = HttpsServer(ca)
        self.addCleanup(server.close)
        program = Program(env=clean_env(SSL_CERT_FILE=ca.ca_file))
        self.addCleanup(program.close)
        program.send({"id": "big", "command": "http", "payload": {"url": server.url("/bytes/6000000"),
                                                                          "maxBytes": 6000000}})
        # Nothing is read yet: the reply (8 MB of Base64) fills the pipe and its writer waits.
        deadline = time.monotonic() + 30
        while not server.requests and time.monotonic() < deadline:
            time.sleep(0.05)
        time.sleep(10 if SANITIZED else 0.5)  # ThreadSanitizer takes seconds to encode the reply
        program.close_input()
        line = program.read_line(30)
        self.assertIsNotNone(line)
        reply = json.loads(line)
        self.assertEqual(reply["id"], "big", reply.get("error"))
        self.assertEqual(len(base64.b64decode(reply["value"]["body"])), 6_000_000)
        self.assertEqual(program.wait(10), 0)


if __name__ == "__main__":
    unittest.main()
