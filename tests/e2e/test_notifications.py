"""Notifications against python3-dbusmock's notification_daemon on a private session bus: what is
posted, replaced, clicked, cleared and closed, and how overtaken, refused and restarted cases answer;
servers that answer late, stall, or give every notification the same id; bursts of commands."""

import json
import os
import shutil
import sys
import tempfile
import time
import unittest

import dbus

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "env"))
from testenv import SANITIZED, DbusMock, PrivateBus, Program, clean_env  # noqa: E402

IFACE = "org.freedesktop.Notifications"
MOCK = "org.freedesktop.DBus.Mock"
INVALID = "通知标识无效"
DENIED = "系统通知未授权"
BODY = "你收到一个新消息"

ZWJ_FAMILY = "\U0001F468\u200D\U0001F469\u200D\U0001F467\u200D\U0001F466"
FLAG = "\U0001F1E8\U0001F1F3"
SKIN_TONE = "\U0001F44D\U0001F3FD"


def activation(room, message):
    return json.dumps({"event": "notification-activate", "messageId": message, "room": room},
                      ensure_ascii=False, separators=(",", ":")).encode()


class Session:
    """A private session bus, a notification server on it (dbusmock) and the program."""

    def __init__(self, test, capabilities="body actions", server=True, bus_limits=None):
        self.test = test
        self.bus = PrivateBus(limits=bus_limits)
        test.addCleanup(self.bus.close)
        self.capabilities = capabilities
        self.mock = self.start_server() if server else None
        self.program = Program(env=clean_env(DBUS_SESSION_BUS_ADDRESS=self.bus.address))
        test.addCleanup(self.program.close)
        self.barriers = 0

    def start_server(self):
        mock = DbusMock(self.bus, template="notification_daemon", parameters={"capabilities": self.capabilities})
        self.test.addCleanup(mock.close)
        return mock

    def replace_method(self, name, in_sig, out_sig, code):
        self.mock.call(MOCK, "AddMethod", IFACE, name, in_sig, out_sig, code)

    def slow_method(self, name, in_sig, out_sig, seconds, ret):
        """The server takes `seconds` to answer `name`; `wait_until_asked` returns once it has begun."""
        self.marker = os.path.join(tempfile.mkdtemp(prefix="mirelo-mock-"), "asked")
        self.test.addCleanup(shutil.rmtree, os.path.dirname(self.marker), True)
        self.replace_method(name, in_sig, out_sig, "import time; open(%r, 'w').close(); time.sleep(%s); ret = %r"
                            % (self.marker, seconds, ret))

    def slow_capabilities(self, seconds):
        self.slow_method("GetCapabilities", "", "as", seconds, self.capabilities.split())

    def wait_until_asked(self, timeout=10):
        deadline = time.monotonic() + timeout
        while not os.path.exists(self.marker):
            self.test.assertLess(time.monotonic(), deadline, "the server was never asked")
            time.sleep(0.01)

    def numbered_notify(self, first_delay):
        """Notify answers 7, 8, 9, … in turn, the first only after `first_delay` seconds;
        `wait_until_asked` returns once the first has begun."""
        self.marker = os.path.join(tempfile.mkdtemp(prefix="mirelo-mock-"), "asked")
        self.test.addCleanup(shutil.rmtree, os.path.dirname(self.marker), True)
        self.replace_method("Notify", "susssasa{sv}i", "u",
                            "import os, time; n = os.path.getsize(%r) if os.path.exists(%r) else 0; "
                            "open(%r, 'a').write('x'); time.sleep(%s if n == 0 else 0); ret = 7 + n"
                            % (self.marker, self.marker, self.marker, first_delay))

    def calls(self, method):
        return [list(args) for _, args in self.mock.call(MOCK, "GetMethodCalls", method)]

    def notify_calls(self):
        """(replaces_id, actions) of every Notify the server got."""
        return [(int(args[1]), [str(a) for a in args[5]]) for args in self.calls("Notify")]

    def closed(self):
        return sorted(int(args[0]) for args in self.calls("CloseNotification"))

    def signal(self, member, signature, args):
        self.mock.emit_signal(IFACE, member, signature, args)

    def request(self, rid, command, payload=None):
        return self.program.request(rid, command, payload)

    def notify(self, room, message, rid="n"):
        return self.request(rid, "notify", {"room": room, "messageId": message})

    def barrier(self):
        """A notify of a fresh pair: once it is answered, everything the program sent the server before
        it has reached the server, and every signal the server sent before has reached the program."""
        self.barriers += 1
        reply = self.notify("barrier", str(self.barriers), rid="barrier")
        self.test.assertEqual(reply, {"id": "barrier", "value": True})


class NotificationTest(unittest.TestCase):
    def test_notify_arguments(self):
        for capabilities, actions in [("body actions", ["default", "打开"]), ("body", [])]:
            with self.subTest(capabilities=capabilities):
                session = Session(self, capabilities)
                self.assertEqual(session.notify("A", "1"), {"id": "n", "value": True})
                [args] = session.calls("Notify")
                self.assertEqual(
                    [str(args[0]), int(args[1]), str(args[2]), str(args[3]), str(args[4]),
                     [str(a) for a in args[5]], {str(k): v for k, v in args[6].items()}, int(args[7])],
                    ["Mirelo", 0, "", "Mirelo", BODY, actions, {"suppress-sound": True, "category": "im.received"}, -1])
                self.assertIsInstance(args[6]["suppress-sound"], dbus.Boolean)

    def test_status_with_a_server(self):
        session = Session(self)
        self.assertEqual(session.request("s", "notification-status"),
                         {"id": "s", "value": {"status": "idle", "supported": True}})

    def test_same_identifier_replaces(self):
        session = Session(self)
        self.assertEqual(session.notify("A", "1")["value"], True)
        self.assertEqual(session.notify("A", "1")["value"], True)
        self.assertEqual(session.notify("A", "2")["value"], True)
        # Sent back to back: the second waits for the first's id to replace it.
        session.program.send({"id": "x", "command": "notify", "payload": {"room": "B", "messageId": "1"}})
        session.program.send({"id": "y", "command": "notify", "payload": {"room": "B", "messageId": "1"}})
        self.assertEqual(sorted(json.dumps(session.program.read_json()) for _ in range(2)),
                         ['{"id": "x", "value": true}', '{"id": "y", "value": true}'])
        self.assertEqual([replaces for replaces, _ in session.notify_calls()], [0, 1, 0, 0, 3])
        # The server closed it: nothing is left to replace or to close. The barrier lets the signal
        # reach the program before the clear does (they come by different ways).
        session.signal("NotificationClosed", "uu", [dbus.UInt32(1), dbus.UInt32(2)])
        session.barrier()
        self.assertEqual(session.request("c", "notifications-clear", {"room": "A", "messageId": "1"})["value"], True)
        self.assertEqual(session.notify("A", "1")["value"], True)
        session.barrier()
        self.assertEqual(session.closed(), [])
        self.assertEqual(session.notify_calls()[6][0], 0)

    def test_click_back(self):
        session = Session(self)
        session.notify("A", "1")
        session.notify("A", "2")
        session.signal("ActionInvoked", "us", [dbus.UInt32(1), "default"])
        self.assertEqual(session.program.read_line(), activation("A", "1"))
        session.barrier()
        self.assertEqual(session.closed(), [1])  # that notification only
        # Other programs' ids, other actions, and a notification already gone: nothing.
        session.signal("ActionInvoked", "us", [dbus.UInt32(99), "default"])
        session.signal("ActionInvoked", "us", [dbus.UInt32(2), "reply"])
        session.signal("ActionInvoked", "us", [dbus.UInt32(1), "default"])
        session.barrier()
        session.signal("ActionInvoked", "us", [dbus.UInt32(2), "default"])
        self.assertEqual(session.program.read_line(), activation("A", "2"))

    def test_each_clear_closes_exactly_its_notifications(self):
        pairs = [("A", "1"), ("A", "2"), ("B", "1")]
        cases = [
            ({"room": "A", "messageId": "1"}, [("A", "1")]),
            ({"room": "A"}, [("A", "1"), ("A", "2")]),
            ({}, pairs),
            ({"messageId": "1"}, pairs),
            ({"room": 5, "messageId": "1"}, pairs),
            ({"room": "C"}, []),
            ({"room": "A", "messageId": "3"}, []),
        ]
        session = Session(self, capabilities="body")
        next_id = 1  # the mock numbers new notifications 1, 2, 3, …
        for payload, closed in cases:
            with self.subTest(payload=payload):
                session.mock.call(MOCK, "ClearCalls")
                ids = {}
                for pair in pairs:
                    self.assertEqual(session.notify(*pair)["value"], True)
                    ids[pair] = next_id
                    next_id += 1
                self.assertEqual(session.request("c", "notifications-clear", payload), {"id": "c", "value": True})
                session.barrier()
                next_id += 1
                self.assertEqual([i for i in session.closed() if i in ids.values()], sorted(ids[p] for p in closed))
                # Nothing of this case is left for the next one.
                session.request("all", "notifications-clear", {})
                session.barrier()
                next_id += 1

    def test_notify_overtaken_by_a_clear_shows_nothing(self):
        session = Session(self)
        session.slow_capabilities(0.8)
        cases = [({"room": "A0", "messageId": "1"}, False), ({"room": "A1"}, False), ({}, False),
                 ({"room": "other"}, True), ({"room": "A4", "messageId": "2"}, True)]
        for number, (clear, shown) in enumerate(cases):
            with self.subTest(clear=clear):
                room = "A%d" % number
                session.program.send({"id": "n", "command": "notify", "payload": {"room": room, "messageId": "1"}})
                # The clear answers while the notify still waits for the server.
                self.assertEqual(session.request("c", "notifications-clear", clear), {"id": "c", "value": True})
                self.assertEqual(session.program.read_json(), {"id": "n", "value": shown})
        self.assertEqual(len(session.notify_calls()), 2)

    def test_clear_while_the_server_shows_it_closes_it(self):
        # Handed over before the clear (true), shown after it: whatever the answer shows is closed.
        for clear in [{"room": "A", "messageId": "1"}, {"room": "A"}, {}]:
            with self.subTest(clear=clear):
                session = Session(self)
                session.slow_method("Notify", "susssasa{sv}i", "u", 1, 7)
                session.program.send({"id": "n", "command": "notify", "payload": {"room": "A", "messageId": "1"}})
                session.wait_until_asked()  # permission given; the Notify is with the server
                self.assertEqual(session.request("c", "notifications-clear", clear), {"id": "c", "value": True})
                self.assertEqual(session.program.read_json(), {"id": "n", "value": True})
                session.replace_method("Notify", "susssasa{sv}i", "u", "ret = 8")
                session.barrier()
                self.assertEqual(session.closed(), [7])

    def test_slow_server_does_not_delay_other_commands(self):
        session = Session(self)
        session.slow_capabilities(2)
        session.program.send({"id": "slow", "command": "notify", "payload": {"room": "A", "messageId": "1"}})
        self.assertEqual(session.request("other", "nope")["id"], "other")
        self.assertEqual(session.request("status", "notification-status")["value"]["status"], "idle")
        self.assertEqual(session.program.read_json(), {"id": "slow", "value": True})

    def test_server_errors_pass_through(self):
        session = Session(self)
        session.replace_method("Notify", "susssasa{sv}i", "u",
                               "raise dbus.exceptions.DBusException('screen full', name='org.example.Full')")
        self.assertEqual(session.notify("A", "1"), {"id": "n", "error": "screen full"})

    def test_identifier_lengths_count_user_perceived_characters(self):
        session = Session(self, server=False)  # accepted requests then fail for want of a server
        cases = []
        for unit in ["r", "房", ZWJ_FAMILY, FLAG, SKIN_TONE]:
            cases += [({"room": unit * 128, "messageId": "m"}, DENIED), ({"room": unit * 129, "messageId": "m"}, INVALID),
                      ({"room": "r", "messageId": unit * 64}, DENIED), ({"room": "r", "messageId": unit * 65}, INVALID)]
        cases += [({"room": "", "messageId": ""}, DENIED), ({"room": "r"}, INVALID), ({"messageId": "m"}, INVALID),
                  ({"room": 1, "messageId": "m"}, INVALID), ({"room": "r", "messageId": None}, INVALID), (None, INVALID)]
        for payload, error in cases:
            with self.subTest(payload=payload):
                self.assertEqual(session.request("n", "notify", payload), {"id": "n", "error": error})

    def test_compaction_after_513_rooms(self):
        bus = PrivateBus()
        self.addCleanup(bus.close)
        mock = DbusMock(bus, template="notification_daemon")
        self.addCleanup(mock.close)
        mock.call(MOCK, "AddMethod", IFACE, "GetCapabilities", "", "as", "import time; time.sleep(0.8); ret = []")
        for rooms, shown in [(512, True), (513, False)]:
            with self.subTest(rooms=rooms), Program(env=clean_env(DBUS_SESSION_BUS_ADDRESS=bus.address)) as program:
                program.send(b"".join(b'{"id":"c","command":"notifications-clear","payload":{"room":"r%d"}}\n' % i
                                      for i in range(rooms)))
                for _ in range(rooms):
                    self.assertEqual(program.read_json(), {"id": "c", "value": True})
                program.send({"id": "n", "command": "notify", "payload": {"room": "other", "messageId": "m"}})
                # A clear of an unrelated message: past 512 rooms it first drops every counter.
                self.assertEqual(program.request("c", "notifications-clear", {"room": "r0", "messageId": "x"}),
                                 {"id": "c", "value": True})
                self.assertEqual(program.read_json(), {"id": "n", "value": shown})

    def test_without_a_server(self):
        for name, env in [("no session bus", clean_env()), ("no server on the bus", None)]:
            with self.subTest(name):
                if env is None:
                    bus = PrivateBus()
                    self.addCleanup(bus.close)
                    env = clean_env(DBUS_SESSION_BUS_ADDRESS=bus.address)
                with Program(env=env) as program:
                    self.assertEqual(program.request("s", "notification-status"),
                                     {"id": "s", "value": {"status": "denied", "supported": True}})
                    self.assertEqual(program.request("n", "notify", {"room": "A", "messageId": "1"}),
                                     {"id": "n", "error": DENIED})
                    self.assertEqual(program.request("c", "notifications-clear", {"room": "A"}), {"id": "c", "value": True})
                    self.assertEqual(program.request("e", "stop"), {"id": "e", "value": True})
                    self.assertEqual(program.wait(), 0)
                    self.assertEqual(program.stderr_text(), b"")

    def test_server_replaced_mid_run(self):
        session = Session(self)
        self.assertEqual(session.notify("A", "1")["value"], True)  # id 1 of the first server
        session.mock.close()
        self.assertEqual(session.notify("A", "1"), {"id": "n", "error": DENIED})
        self.assertEqual(session.request("s", "notification-status")["value"]["status"], "denied")
        session.mock = session.start_server()
        # The old id means nothing to the new server: no replacement, and its 1 is someone else.
        self.assertEqual(session.notify("B", "1")["value"], True)  # id 1 of the new server
        self.assertEqual(session.notify("A", "1")["value"], True)  # id 2
        self.assertEqual([replaces for replaces, _ in session.notify_calls()], [0, 0])
        session.signal("ActionInvoked", "us", [dbus.UInt32(1), "default"])
        self.assertEqual(session.program.read_line(), activation("B", "1"))

    def test_server_leaving_while_asked_answers_once(self):
        session = Session(self)
        session.slow_capabilities(5)
        session.program.send({"id": "n", "command": "notify", "payload": {"room": "A", "messageId": "1"}})
        session.wait_until_asked()
        session.mock.close()
        self.assertEqual(session.program.read_json(), {"id": "n", "error": DENIED})
        session.mock = session.start_server()
        self.assertEqual(session.notify("A", "2", rid="next"), {"id": "next", "value": True})

    def test_shown_table_is_bounded(self):
        session = Session(self, capabilities="body")
        count = 1025
        session.program.send(b"".join(
            b'{"id":"n","command":"notify","payload":{"room":"A","messageId":"%d"}}\n' % i for i in range(count)))
        for _ in range(count):
            self.assertEqual(session.program.read_json(), {"id": "n", "value": True})
        session.barrier()  # the 1026th: the two oldest give way
        self.assertEqual(session.closed(), [1, 2])

    def test_notify_answered_too_late_is_closed(self):
        # The command gives up at 10 s; the server shows it at 12 s. Its id is not thrown away.
        session = Session(self)
        session.numbered_notify(12)
        session.program.send({"id": "late", "command": "notify", "payload": {"room": "A", "messageId": "1"}})
        session.wait_until_asked()
        self.assertEqual(session.program.read_json(15), {"id": "late", "error": "Timeout was reached"})
        # The same pair again while the late answer is still out: it waits for it, then is shown anew.
        session.program.send({"id": "again", "command": "notify", "payload": {"room": "A", "messageId": "1"}})
        self.assertEqual(session.program.read_json(15), {"id": "again", "value": True})
        session.barrier()
        self.assertEqual(session.closed(), [7])
        self.assertEqual([replaces for replaces, _ in session.notify_calls()], [0, 0, 0])
        session.signal("ActionInvoked", "us", [dbus.UInt32(8), "default"])
        self.assertEqual(session.program.read_line(), activation("A", "1"))
        # One the host never hears of again: closed at once, with nothing else asked of the program.
        session.numbered_notify(12)
        session.program.send({"id": "late", "command": "notify", "payload": {"room": "B", "messageId": "1"}})
        self.assertEqual(session.program.read_json(15), {"id": "late", "error": "Timeout was reached"})
        deadline = time.monotonic() + 10
        while 7 not in session.closed()[1:] and time.monotonic() < deadline:
            time.sleep(0.1)
        self.assertEqual(session.closed(), [7, 7, 8])  # 8: the click closed A's

    def test_server_giving_one_id_to_everything(self):
        # Every Notify answered 1: each new notification took the place of the one before, whose
        # record must go. Memory stays flat.
        session = Session(self)
        session.replace_method("Notify", "susssasa{sv}i", "u", "ret = 1")
        room = "房" * 120
        batch, total = 500, 20000
        rss = []
        for start in range(0, total, batch):
            session.program.send(b"".join(
                b'{"id":"n","command":"notify","payload":{"room":"%s","messageId":"%064d"}}\n'
                % (room.encode(), i) for i in range(start, start + batch)))
            for _ in range(batch):
                self.assertEqual(session.program.read_json(30), {"id": "n", "value": True})
            rss.append(session.program.rss_kib())
        if not SANITIZED:  # the sanitizers' quarantine keeps freed memory
            self.assertLess(rss[-1] - rss[3], 2048, rss)
        # The last one is the one shown under 1, and the only one of ours.
        session.signal("ActionInvoked", "us", [dbus.UInt32(1), "default"])
        self.assertEqual(session.program.read_line(), activation(room, "%064d" % (total - 1)))
        session.barrier()
        self.assertEqual(session.closed(), [1])

    def test_burst_of_notify_commands(self):
        # A bus that lets a connection wait for few replies at once, as a busy session bus does.
        session = Session(self, bus_limits={"max_replies_per_connection": 16})
        count = 500
        lines = []
        for i in range(count):
            lines.append(b'{"id":"n%d","command":"notify","payload":{"room":"A","messageId":"%d"}}\n' % (i, i))
            if i % 10 == 0:
                lines.append(b'{"id":"s%d","command":"notification-status"}\n' % i)
        session.program.send(b"".join(lines))
        replies = {}
        for _ in range(len(lines)):
            reply = session.program.read_json(60)
            replies[reply["id"]] = reply
        self.assertEqual(len(replies), len(lines))
        for rid, reply in replies.items():
            expected = True if rid.startswith("n") else {"status": "idle", "supported": True}
            self.assertEqual(reply, {"id": rid, "value": expected})
        self.assertEqual(len(session.notify_calls()), count)

    def test_stalled_server_holds_no_command_and_no_slot_for_good(self):
        # More commands than may be out at once, to a server that stops answering: every one is
        # answered at its deadline; once the server is gone a new one is served at once.
        session = Session(self)
        session.slow_method("Notify", "susssasa{sv}i", "u", 60, 7)
        count = 12
        session.program.send(b"".join(b'{"id":"n%d","command":"notify","payload":{"room":"A","messageId":"%d"}}\n'
                                      % (i, i) for i in range(count)))
        replies = sorted(json.dumps(session.program.read_json(20), sort_keys=True) for _ in range(count))
        self.assertEqual(replies, sorted(json.dumps({"error": "Timeout was reached", "id": "n%d" % i}, sort_keys=True)
                                         for i in range(count)))
        session.mock.close()
        session.mock = session.start_server()
        self.assertEqual(session.notify("B", "1"), {"id": "n", "value": True})

    def test_process_end_closes_what_is_shown(self):
        for ending in ["stop", "end of input"]:
            with self.subTest(ending):
                session = Session(self)
                for room, message in [("A", "1"), ("B", "2"), ("C", "3")]:
                    self.assertEqual(session.notify(room, message)["value"], True)
                session.request("c", "notifications-clear", {"room": "A", "messageId": "1"})
                # One still waiting for the server is left alone and never answered.
                session.slow_capabilities(1)
                session.program.send({"id": "late", "command": "notify", "payload": {"room": "D", "messageId": "4"}})
                if ending == "stop":
                    self.assertEqual(session.request("e", "stop"), {"id": "e", "value": True})
                else:
                    session.program.close_input()
                self.assertEqual(session.program.wait(), 0)
                self.assertIsNone(session.program.read_line(0.5))
                deadline = time.monotonic() + 5
                while session.closed() != [1, 2, 3] and time.monotonic() < deadline:
                    time.sleep(0.05)
                self.assertEqual(session.closed(), [1, 2, 3])


if __name__ == "__main__":
    unittest.main()
