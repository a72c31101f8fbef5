"""Network commands keep the order they were written in, whichever thread runs them: the reader
runs short ones itself while the main thread owes nothing, the main thread the rest."""

import json
import os
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "env"))
from servers import TestCA, WssServer  # noqa: E402
from testenv import Program, clean_env  # noqa: E402


class NetworkOrderTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.ca = TestCA()

    @classmethod
    def tearDownClass(cls):
        cls.ca.close()

    def setUp(self):
        self.wss = WssServer(self.ca)
        self.addCleanup(self.wss.close)
        self.program = Program(env=clean_env(SSL_CERT_FILE=self.ca.ca_file))
        self.addCleanup(self.program.close)
        opened = self.program.request("o", "socket-open", {"url": self.wss.url(), "socketId": "s"})
        self.assertEqual(opened["value"], True)

    def burst(self, lines):
        self.program.process.stdin.write(b"".join(line.encode() + b"\n" for line in lines))
        self.program.process.stdin.flush()

    def test_messages_keep_their_order_across_both_ways(self):
        # Lines over 1 MiB (control characters escape to six bytes) take the main thread; the
        # short ones after them must still reach the server after them. Some commands are spelt
        # with escapes, which also sends them the main thread's way.
        long_text = "\x01" * 200_000 + "-"
        messages, lines = [], []
        for i in range(24):
            text = (long_text if i % 4 == 1 else "") + str(i)
            messages.append(text)
            line = json.dumps({"id": f"s{i}", "command": "socket-send", "payload": {"socketId": "s", "data": text}})
            if i % 5 == 3:
                line = line.replace('"socket-send"', '"\\u0073ocket-send"')
            lines.append(line)
        lines.append(json.dumps({"id": "idle", "command": "idle", "payload": {}}))
        self.burst(lines)
        replies = {}
        while len(replies) < 25:
            line = self.program.read_json(20)
            replies[line["id"]] = line
        self.assertTrue(all(replies[f"s{i}"]["value"] is True for i in range(24)), replies)
        got = []
        for i in range(24):
            self.assertEqual(self.program.request(f"r{i}", "socket-receive", {"socketId": "s"})["value"], True)
            line = self.program.read_json(20)
            self.assertEqual(line["event"], "socket-message")
            got.append(line["data"])
        self.assertEqual(got, messages)

    def test_each_command_answered_once_when_both_ways_mix(self):
        # A receive armed twice is refused whichever way each went; a close settles it.
        self.burst([
            json.dumps({"id": "a", "command": "socket-receive", "payload": {"socketId": "s"}}),
            r'{"id":"b","command":"socket-\u0072eceive","payload":{"socketId":"s"}}',
            json.dumps({"id": "c", "command": "socket-close", "payload": {"socketId": "s"}}),
        ])
        lines = [self.program.read_json(10) for _ in range(4)]
        self.assertIn({"id": "a", "value": True}, lines)
        self.assertIn({"id": "b", "error": "网络读取已在进行"}, lines)
        self.assertIn({"id": "c", "value": True}, lines)
        self.assertIn({"event": "socket-closed", "socketId": "s"}, lines)
        self.assertIsNone(self.program.read_line(0.5))

    def test_network_command_waits_for_a_slow_main_thread_command_before_it(self):
        # The close is spelt with an escape and carries 20 MB the main thread must parse first; the
        # plain send and receive after it are read at once but must still find the socket closed.
        close = json.dumps({"id": "c", "command": "socket-close", "payload": {"socketId": "s", "pad": "x" * 20_000_000}})
        close = close.replace('"socket-close"', '"socket-\\u0063lose"')
        self.burst([
            close,
            json.dumps({"id": "s", "command": "socket-send", "payload": {"socketId": "s", "data": "late"}}),
            json.dumps({"id": "r", "command": "socket-receive", "payload": {"socketId": "s"}}),
        ])
        lines = [self.program.read_json(30) for _ in range(3)]
        self.assertEqual(lines, [{"id": "c", "value": True}, {"id": "s", "error": "网络连接已关闭"},
                                 {"id": "r", "error": "网络连接已关闭"}])
        self.assertIsNone(self.program.read_line(0.5))

    def test_round_trips_go_on_while_the_main_thread_works(self):
        # A 20 MB line the main thread parses, then round trips written after its reply was read:
        # the network thread serves them whatever the main thread does next.
        self.burst([json.dumps({"id": "n", "command": "nope", "payload": {"pad": "y" * 20_000_000}})])
        self.assertEqual(self.program.read_json(30), {"id": "n", "error": "不支持的原生操作"})
        for i in range(50):
            self.burst([json.dumps({"id": f"s{i}", "command": "socket-send", "payload": {"socketId": "s", "data": str(i)}}),
                        json.dumps({"id": f"r{i}", "command": "socket-receive", "payload": {"socketId": "s"}})])
            lines = [self.program.read_json(10) for _ in range(3)]
            self.assertIn({"id": f"s{i}", "value": True}, lines)
            self.assertIn({"id": f"r{i}", "value": True}, lines)
            self.assertIn({"data": str(i), "event": "socket-message", "socketId": "s"}, lines)

    def test_host_closing_input_mid_round_trip(self):
        # The end of input arrives while a send and a receive are in flight: the process ends at
        # once and cleanly, every line it wrote is whole, and no request is answered twice.
        self.burst([json.dumps({"id": "s", "command": "socket-send", "payload": {"socketId": "s", "data": "x" * 100_000}}),
                    json.dumps({"id": "r", "command": "socket-receive", "payload": {"socketId": "s"}})])
        self.program.close_input()
        self.assertEqual(self.program.wait(10), 0)
        lines = []
        while (line := self.program.read_line(5)) is not None:
            lines.append(json.loads(line))
        self.assertEqual(self.program._pending, b"")  # no line cut in half
        ids = [line["id"] for line in lines if "id" in line]
        self.assertEqual(len(ids), len(set(ids)), lines)
        self.assertTrue(set(ids) <= {"s", "r"}, lines)


if __name__ == "__main__":
    unittest.main()
