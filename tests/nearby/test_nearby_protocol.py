"""The line protocol of SolvaNearby over pipes, without any daemon: no system bus is reachable, so
after "start" the listener and the browser only report that they wait."""

import json
import os
import sys
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "env"))
from testenv import Program  # noqa: E402

LIMIT = 2_097_152
TXT = {"v": "1", "r": "room", "p": "key", "m": "me"}
START = {"command": "start", "name": "peer-one", "txt": TXT}
MARK = b'{"command":"mark"}\n'  # an unknown command: its answer shows what came before it


def nearby():
    return Program("SolvaNearby")


def sized_line(size):
    """A JSON object line of exactly `size` bytes (newline not counted) naming an unknown command."""
    head, tail = b'{"command":"nope","pad":"', b'"}'
    return head + b"x" * (size - len(head) - len(tail)) + tail


class Session:
    """Reads events, leaving out "status" (their timing depends on the daemon, absent here)."""

    def __init__(self, program):
        self.program = program

    def send(self, message):
        self.program.send(message)

    def next(self, timeout=10):
        while True:
            line = self.program.read_line(timeout)
            if line is None:
                raise AssertionError("no event within %s s" % timeout)
            event = json.loads(line)
            if event["event"] != "status":
                return event

    def error_after(self, message):
        self.send(message)
        return self.next()

    def silent(self, message, mark_code):
        """Sends `message` and checks that the first event after it answers the marker."""
        self.send(message)
        self.send(MARK)
        self.assertion = self.next()
        return self.assertion == {"event": "error", "code": mark_code}


class BeforeStartTest(unittest.TestCase):
    def test_refused_lines(self):
        cases = [
            (b"\n", "INVALID_JSON"),
            (b"[1]\n", "INVALID_JSON"),
            (b"3\n", "INVALID_JSON"),
            (b'"text"\n', "INVALID_JSON"),
            (b"not json\n", "INVALID_JSON"),
            (b'{"command":"stop"} x\n', "INVALID_JSON"),
            (b'{"command":"st\xffop"}\n', "INVALID_JSON"),
            (b"{}\n", "INVALID_COMMAND"),
            (b'{"command":5}\n', "INVALID_COMMAND"),
            (b'{"command":null}\n', "INVALID_COMMAND"),
            (b'{"command":"discovery","enabled":true,"windowId":"w"}\n', "NOT_STARTED"),
            (b'{"command":"nope"}\n', "NOT_STARTED"),
            (b'{"command":"connect","connectionId":"c","endpointId":"e"}\n', "NOT_STARTED"),
            (b'{"command":"Stop"}\n', "NOT_STARTED"),
            (b'{"command":"stop "}\n', "NOT_STARTED"),
            (b'{"command":"Start","name":"peer-one"}\n', "NOT_STARTED"),
        ]
        with nearby() as program:
            session = Session(program)
            for line, code in cases:
                with self.subTest(line=line):
                    self.assertEqual(session.error_after(line), {"event": "error", "code": code})
            program.send({"command": "stop"})
            self.assertEqual(program.read_line(), b'{"event":"stopped"}')
            self.assertEqual(program.wait(), 0)
            self.assertEqual(program.read_line(1), None)
            self.assertEqual(program.stderr_text(), b"")

    def test_lines_in_one_write_and_split_across_writes(self):
        with nearby() as program:
            program.send(b'{}\n[]\n{"command":"x"}\n')
            self.assertEqual([json.loads(program.read_line())["code"] for _ in range(3)],
                             ["INVALID_COMMAND", "INVALID_JSON", "NOT_STARTED"])
            for part in (b'{"comm', b'and":"x', b'"}', b"\n"):
                program.send(part)
                time.sleep(0.05)
            self.assertEqual(json.loads(program.read_line())["code"], "NOT_STARTED")

    def test_end_of_input(self):
        for tail in (b"", b'{"command":"x"}', b'{"command":"stop"}'):
            with self.subTest(tail=tail), nearby() as program:
                program.send(tail)  # without a line feed: never handled
                program.close_input()
                self.assertEqual(program.wait(), 0)
                self.assertEqual(program.read_line(1), None)

    def test_line_limit(self):
        with nearby() as program:
            program.send(sized_line(LIMIT) + b"\n")
            self.assertEqual(program.read_json(), {"event": "error", "code": "NOT_STARTED"})
        cases = [
            ("over the limit with a line feed", sized_line(LIMIT + 1) + b"\n"),
            ("over the limit before the line feed arrives", b"x" * (LIMIT + 1)),
            ("a short line, then too much without a line feed", b"{}\n" + b" " * (LIMIT + 1)),
        ]
        for name, data in cases:
            with self.subTest(name), nearby() as program:
                program.send(data)
                self.assertEqual(program.wait(), 2)
                out = program.process.stdout.read()
                expected = b'{"code":"INVALID_COMMAND","event":"error"}\n' if data.startswith(b"{}") else b""
                self.assertEqual(out, expected)
                program.process.returncode = 0  # the status was checked; let close() pass

    def test_host_closing_standard_output_ends_the_process(self):
        with nearby() as program:
            program.process.stdout.close()
            program.send(b"{}\n")
            self.assertEqual(program.wait(), 0)
            program.process.stdout = open(os.devnull, "rb")


class StartedTest(unittest.TestCase):
    def setUp(self):
        self.program = nearby()
        self.session = Session(self.program)
        self.program.send(START)

    def tearDown(self):
        self.program.close()

    def test_dispatch_after_start(self):
        three_byte_id = "€" * 22  # 22 characters, 66 bytes
        cases = [
            ({"command": "nope"}, "INVALID_CONNECTION"),
            ({"command": "nope", "connectionId": "c"}, "INVALID_COMMAND"),
            ({"command": "nope", "connectionId": ""}, "INVALID_COMMAND"),
            ({"command": "nope", "connectionId": 7}, "INVALID_CONNECTION"),
            ({"command": "discovery", "enabled": "true", "windowId": "w"}, "INVALID_CONNECTION"),
            ({"command": "discovery", "enabled": "true", "windowId": "w", "connectionId": "c"}, "INVALID_COMMAND"),
            ({"command": "discovery", "enabled": 1, "windowId": "w", "connectionId": "c"}, "INVALID_COMMAND"),
            ({"command": "discovery", "enabled": False, "connectionId": "c"}, "INVALID_COMMAND"),
            ({"command": "discovery", "enabled": False, "windowId": "w" * 65}, "INVALID_CONNECTION"),
            ({"command": "connect", "connectionId": "c" * 65, "endpointId": "e"}, "INVALID_CONNECTION"),
            ({"command": "connect", "connectionId": three_byte_id, "endpointId": "e"}, "INVALID_CONNECTION"),
            ({"command": "send", "requestId": "r", "data": "AA=="}, "INVALID_CONNECTION"),
            ({"command": "close"}, "INVALID_CONNECTION"),
            ({"command": "start", "name": "peer-two", "txt": TXT}, "INVALID_START"),
        ]
        for command, code in cases:
            with self.subTest(command=command):
                self.assertEqual(self.session.error_after(command), {"event": "error", "code": code})

    def test_commands_without_events(self):
        # A close or a send naming no channel writes nothing; a 64-byte id is accepted.
        for command in [
            {"command": "close", "connectionId": "c" * 64},
            {"command": "close", "connectionId": ""},
            {"command": "send", "connectionId": "nobody", "requestId": "r", "data": "AA=="},
            {"command": "send", "connectionId": "nobody", "requestId": "r", "data": "not base64"},
        ]:
            with self.subTest(command=command):
                self.assertTrue(self.session.silent(command, "INVALID_CONNECTION"), self.session.assertion)

    def test_connect_to_unknown_endpoints(self):
        for command in [
            {"command": "connect", "connectionId": "c1", "endpointId": "E"},
            {"command": "connect", "connectionId": "c1"},
            {"command": "connect", "connectionId": "c" * 64, "endpointId": 3},
        ]:
            with self.subTest(command=command):
                event = self.session.error_after(command)
                self.assertEqual(event, {"event": "connection-closed", "connectionId": command["connectionId"],
                                         "code": "ENDPOINT_UNAVAILABLE"})

    def test_output_is_compact_with_escaped_slash(self):
        self.session.send({"command": "connect", "connectionId": "a/é\"", "endpointId": "E"})
        line = self.program.read_line()
        while b'"status"' in line:
            line = self.program.read_line()
        self.assertEqual(line, '{"code":"ENDPOINT_UNAVAILABLE","connectionId":"a\\/é\\"","event":"connection-closed"}'
                         .encode())

    def test_discovery_window_events(self):
        combining = "e\u0301" * 64  # 64 characters of two code points each
        for enabled, window in [(False, "w1"), (False, "w2"), (True, combining), (True, ""), (False, "")]:
            with self.subTest(enabled=enabled, window=window):
                self.session.send({"command": "discovery", "enabled": enabled, "windowId": window})
                self.assertEqual(self.session.next(), {"event": "discovery-window", "open": enabled,
                                                       "windowId": window})

    def test_event_past_the_output_limit_is_dropped(self):
        # Each "/" grows to "\/" on output, so this window id fits in the input line but its event
        # does not fit in an output line: the window closes, the event is dropped, work goes on.
        head = b'{"command":"discovery","enabled":false,"windowId":"' + b"/" * 63 + b"a"
        tail = b'"}'
        mark = "\u0301".encode()
        line = head + mark * ((LIMIT - len(head) - len(tail)) // len(mark)) + tail
        self.assertTrue(self.session.silent(line + b"\n", "INVALID_CONNECTION"), self.session.assertion)


class StartValidationTest(unittest.TestCase):
    def test_refused_starts_change_nothing(self):
        def start(name="peer-one", **txt):
            values = dict(TXT)
            values.update(txt)
            return {"command": "start", "name": name, "txt": {k: v for k, v in values.items() if v is not None}}

        refused = [
            {"command": "start"},
            {"command": "start", "name": "peer-one"},
            {"command": "start", "name": "peer-one", "txt": "v=1"},
            start(name="a" * 7),
            start(name="a" * 64),
            start(name="peer one"),
            start(name="peer.one"),
            start(name="pääää-one"),
            start(name=12345678),
            start(m=None),
            start(x="5"),
            start(v=""),
            start(r="x" * 129),
            start(p="é" * 65),  # 130 bytes
            start(v=1),
            {"command": "start", "name": "peer-one", "txt": {"v": "1", "r": "2", "p": "3", "M": "4"}},
        ]
        with nearby() as program:
            session = Session(program)
            for command in refused:
                with self.subTest(command=command):
                    self.assertEqual(session.error_after(command), {"event": "error", "code": "INVALID_START"})
            self.assertEqual(session.error_after(b'{"command":"x"}\n'), {"event": "error", "code": "NOT_STARTED"})
            # The longest name and the bounds of the values are accepted.
            session.send(start(name="n" * 63, v="x", r="x" * 128, p="é" * 64))
            self.assertEqual(session.error_after(b'{"command":"x"}\n'),
                             {"event": "error", "code": "INVALID_CONNECTION"})

    def test_shortest_name_and_status_while_no_daemon(self):
        with nearby() as program:
            program.send({"command": "start", "name": "a_b-c123", "txt": TXT})
            statuses = [program.read_json() for _ in range(2)]
            self.assertEqual(sorted(s["component"] for s in statuses), ["browser", "listener"])
            for status in statuses:
                self.assertEqual(status["state"], "waiting")
                self.assertEqual(status["code"], "DNS_-65563")
            program.send({"command": "stop"})
            self.assertEqual(program.read_json(), {"event": "stopped"})
            self.assertEqual(program.wait(), 0)


if __name__ == "__main__":
    unittest.main()
