"""SolvaNearby on two hosts joined by a link, each with its own system bus and avahi-daemon
(tests/env/nearby_hosts.py): discovery, TXT rules, channels and their limits, the discovery window,
and the daemon going away under a running program."""

import base64
import hashlib
import json
import os
import random
import select
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "env"))
from nearby_hosts import Link, unavailable_reason  # noqa: E402

MAX_WRITE = 786_436
PER_CHANNEL = 2_097_152

LINK = None

# Publishes argv[1] instances over the host's system bus, then waits.
BULK_PUBLISHER = """
import sys, dbus
bus = dbus.SystemBus()
server = dbus.Interface(bus.get_object("org.freedesktop.Avahi", "/"), "org.freedesktop.Avahi.Server")
groups = []
for n in range(int(sys.argv[1])):
    if n % 8 == 0:  # the daemon takes a few services per group
        groups.append(dbus.Interface(bus.get_object("org.freedesktop.Avahi", server.EntryGroupNew()),
                                     "org.freedesktop.Avahi.EntryGroup"))
    txt = [dbus.ByteArray(t.encode()) for t in ("v=1", "r=2", "p=3", "m=bulk-%d" % n)]
    groups[-1].AddService(-1, 0, dbus.UInt32(0), "bulk-%03d" % n, "_solvantio._tcp", "", "", dbus.UInt16(4200), txt)
for group in groups:
    group.Commit()
print("published", flush=True)
import time; time.sleep(3600)
"""

# Publishes argv[1] instances whose TXT records are never reported (no "p", a value past 128
# bytes, a value that is not UTF-8, in turn), then waits.
FLOOD_PUBLISHER = """
import sys, dbus
bus = dbus.SystemBus()
server = dbus.Interface(bus.get_object("org.freedesktop.Avahi", "/"), "org.freedesktop.Avahi.Server")
groups = []
for n in range(int(sys.argv[1])):
    if n % 8 == 0:  # four records a service, 32 a group
        groups.append(dbus.Interface(bus.get_object("org.freedesktop.Avahi", server.EntryGroupNew()),
                                     "org.freedesktop.Avahi.EntryGroup"))
    txt = [[b"v=1", b"r=2", b"m=flood"], [b"v=1", b"r=" + b"x" * 129, b"p=3", b"m=flood"],
           [b"v=1", b"r=2", b"p=3", b"m=flood\\xff"]][n % 3]
    groups[-1].AddService(-1, 0, dbus.UInt32(0), "flood-%04d" % n, "_solvantio._tcp", "", "", dbus.UInt16(4300),
                          [dbus.ByteArray(t) for t in txt])
for group in groups:
    group.Commit()
print("published", flush=True)
import time; time.sleep(3600)
"""


def setUpModule():
    global LINK
    reason = unavailable_reason()
    if reason:
        raise unittest.SkipTest("no network namespaces with Avahi here: " + reason)
    LINK = Link()


def tearDownModule():
    if LINK:
        LINK.close()


class Peer:
    """One SolvaNearby on one host, with the events it has written and not yet been asked about."""

    counter = 0

    def __init__(self, host, label, txt=None, name=None):
        Peer.counter += 1
        self.name = name or "%s-node-%d" % (label, Peer.counter)
        self.host = host
        self.txt = txt or {"v": "1", "r": "room", "p": "pk", "m": self.name}
        self.program = host.program()
        self.backlog = []
        self.endpoints = {}  # "m" of the TXT record -> endpoint id, as last reported
        self.found_txt = {}  # "m" -> the TXT of the last "found"
        self.log = []  # every event, in the order written
        self.program.send({"command": "start", "name": self.name, "txt": self.txt})

    def send(self, command):
        self.program.send(command)

    def _read(self, timeout):
        line = self.program.read_line(timeout)
        if line is None:
            return None
        event = json.loads(line)
        self.log.append(event)
        if event["event"] == "found":
            self.endpoints[event["txt"]["m"]] = event["endpointId"]
            self.found_txt[event["txt"]["m"]] = event["txt"]
        elif event["event"] == "lost":
            self.endpoints = {m: e for m, e in self.endpoints.items() if e != event["endpointId"]}
        return event

    def expect(self, match, timeout=10, what=""):
        """The first event, read before or now, for which `match` holds (a dict matches by members)."""
        if isinstance(match, dict):
            wanted = match
            what = what or json.dumps(wanted)
            match = lambda e: all(e.get(k) == v for k, v in wanted.items())  # noqa: E731
        for i, event in enumerate(self.backlog):
            if match(event):
                return self.backlog.pop(i)
        deadline = time.monotonic() + timeout
        while True:
            left = deadline - time.monotonic()
            event = self._read(max(left, 0)) if left > 0 else None
            if event is None:
                raise AssertionError("%s: no event %s within %s s; unmatched: %s" %
                                     (self.name, what, timeout,
                                      self.backlog[-8:]))
            if match(event):
                return event
            self.backlog.append(event)

    def quiet(self, seconds, match=lambda e: True):
        """Events matching `match` written within `seconds` (the others are kept)."""
        deadline = time.monotonic() + seconds
        seen = [e for e in self.backlog if match(e)]
        self.backlog = [e for e in self.backlog if not match(e)]
        while time.monotonic() < deadline:
            event = self._read(deadline - time.monotonic())
            if event is None:
                break
            (seen if match(event) else self.backlog).append(event)
        return seen

    def endpoint_of(self, m, timeout=10):
        """The current endpoint id of the instance whose "m" is `m`, waiting for it to be found."""
        deadline = time.monotonic() + timeout
        while m not in self.endpoints:
            left = deadline - time.monotonic()
            event = self._read(left) if left > 0 else None
            if event is None:
                raise AssertionError("%s: %s not found within %s s" % (self.name, m, timeout))
            self.backlog.append(event)
        return self.endpoints[m]

    def after(self, event):
        """The events written after `event` (the first equal one), after reading what is there."""
        self.quiet(0.3)
        return self.log[self.log.index(event) + 1:]

    def ready(self, timeout=10):
        self.expect({"event": "ready"}, timeout, what="ready")

    def connect(self, cid, m):
        self.send({"command": "connect", "connectionId": cid, "endpointId": self.endpoint_of(m)})

    def send_bytes(self, cid, rid, data):
        self.send({"command": "send", "connectionId": cid, "requestId": rid, "data": base64.b64encode(data).decode()})

    def receive(self, cid, size, timeout=20):
        chunks = []
        got = 0
        while got < size:
            event = self.expect({"event": "data", "connectionId": cid}, timeout, "data")
            chunk = base64.b64decode(event["data"], validate=True)
            self.assert_chunk(chunk)
            chunks.append(chunk)
            got += len(chunk)
        return b"".join(chunks)

    @staticmethod
    def assert_chunk(chunk):
        assert 1 <= len(chunk) <= 65_536, len(chunk)

    def close(self):
        self.program.close()


class HostsTest(unittest.TestCase):
    def setUp(self):
        self.a, self.b = LINK.hosts
        self.peers = []
        self.extra = []

    def tearDown(self):
        for peer in self.peers:
            peer.close()
        for process in self.extra:
            if process.poll() is None:
                process.terminate()
                process.wait(5)

    def peer(self, host, label, txt=None, name=None):
        peer = Peer(host, label, txt, name)
        self.peers.append(peer)
        return peer

    def pair(self):
        """A on host a, B on host b, both ready and each seeing the other."""
        a, b = self.peer(self.a, "alpha"), self.peer(self.b, "bravo")
        a.ready()
        b.ready()
        a.endpoint_of(b.name)
        b.endpoint_of(a.name)
        return a, b

    def channel(self, a, b, cid):
        """An outbound channel from a to b; returns b's id for its inbound side."""
        a.connect(cid, b.name)
        a.expect({"event": "connection-ready", "connectionId": cid, "outbound": True})
        inbound = b.expect({"event": "connection-ready", "outbound": False})
        return inbound["connectionId"]

    def python(self, host, code, *args):
        process = host.spawn("/usr/bin/python3", "-c", code, *args, stdout=subprocess.PIPE, stdin=subprocess.DEVNULL)
        self.extra.append(process)
        return process

    def listening_port(self, host):
        out = host.run("ss", "-Hltn").stdout.decode().split("\n")
        ports = [line.split()[3].rsplit(":", 1)[1] for line in out if line.strip()]
        self.assertEqual(len(ports), 1, out)
        return int(ports[0])

    # -- discovery ---------------------------------------------------------------------------

    def test_discovery_both_ways_with_own_instance(self):
        a, b = self.pair()
        for peer in (a, b):
            for other in (a, b):
                with self.subTest(peer=peer.name, sees=other.name):
                    peer.endpoint_of(other.name)
                    self.assertEqual(peer.found_txt[other.name], other.txt)
                    self.assertRegex(peer.endpoints[other.name], r"^[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}$")
        # Statuses came before "ready", which is written once.
        self.assertEqual(a.quiet(1, lambda e: e["event"] == "ready"), [])

    def test_same_name_on_two_hosts(self):
        # The second to publish takes an alternative name; both are advertised and found.
        name = "same-name-%d" % os.getpid()
        first = self.peer(self.a, "", {"v": "1", "r": "r", "p": "p", "m": "first"}, name)
        first.ready()
        second = self.peer(self.b, "", {"v": "1", "r": "r", "p": "p", "m": "second"}, name)
        second.ready()
        for peer in (first, second):
            with self.subTest(peer=peer.txt["m"]):
                # The name moves from one service to the other during the rename, so wait for the end.
                deadline = time.monotonic() + 10
                while peer.endpoints.get("first", 1) == peer.endpoints.get("second", 1):
                    self.assertLess(time.monotonic(), deadline, peer.log)
                    peer.backlog.append(peer._read(deadline - time.monotonic()) or {"event": "none"})

    def test_txt_values_with_nul_reach_peers_whole(self):
        # U+0000 is one byte of a value like any other: the peer on the other host, and the
        # advertiser itself through its daemon, see every byte of every value.
        name = "nul-values-%d" % os.getpid()
        txt = {"v": "\u0000", "r": "a\u0000b=c\u0000", "p": "\u0000" * 128, "m": name + "\u0000\u00e9\u0000"}
        a = self.peer(self.a, "", txt, name)
        b = self.peer(self.b, "bravo")
        a.ready()
        b.ready()
        for peer in (b, a):
            with self.subTest(seen_by=peer.name):
                peer.endpoint_of(txt["m"])
                self.assertEqual(peer.found_txt[txt["m"]], txt)
        # The record on the wire, as another DNS-SD client reads it on host b.
        record = self.resolved_record(self.b, name)
        self.assertIn(b'"p=' + b"\\000" * 128 + b'"', record)
        self.assertIn(b'"r=a\\000b=c\\000"', record)

    def test_txt_rules_of_published_instances(self):
        a = self.peer(self.a, "alpha")
        a.ready()
        cases = [
            ("no-p", ["v=1", "r=2", "m=no-p"], None),
            ("extra", ["v=1", "r=2", "p=3", "m=extra", "x=9", "vv=8"], {"v": "1", "r": "2", "p": "3", "m": "extra"}),
            ("empty-v", ["v=", "r=2", "p=3", "m=empty-v"], {"v": "", "r": "2", "p": "3", "m": "empty-v"}),
            ("long-r", ["v=1", "r=" + "x" * 129, "p=3", "m=long-r"], None),
            ("max-r", ["v=1", "r=" + "x" * 128, "p=3", "m=max-r"], {"v": "1", "r": "x" * 128, "p": "3", "m": "max-r"}),
            # Keys are read without regard to case, and the first of a repeated key counts.
            ("dup-v", ["v=first", "v=second", "r=2", "p=3", "m=dup-v"], {"v": "first", "r": "2", "p": "3", "m": "dup-v"}),
            ("upper", ["V=9", "R=2", "P=3", "M=upper"], {"v": "9", "r": "2", "p": "3", "m": "upper"}),
        ]
        for name, txt, _ in cases:
            self.extra.append(self.b.publish("txt-" + name, 4000, txt))
        for name, _, expected in cases:
            if expected:
                with self.subTest(name=name):
                    event = a.expect(lambda e: e["event"] == "found" and e["txt"]["m"] == name, what=name)
                    self.assertEqual(event["txt"], expected)
        seen = a.quiet(1.5, lambda e: e["event"] == "found")
        names = {e["txt"]["m"] for e in seen} | set(a.endpoints)
        self.assertNotIn("no-p", names)
        self.assertNotIn("long-r", names)
        # Every change re-reports the valid instances under the ids they already have.
        ids = dict(a.endpoints)
        publisher = self.b.publish("txt-late", 4001, ["v=1", "r=2", "p=3", "m=late"])
        self.extra.append(publisher)
        a.endpoint_of("late")
        again = a.quiet(1, lambda e: e["event"] == "found")
        for event in again:
            if event["txt"]["m"] in ids:
                self.assertEqual(event["endpointId"], ids[event["txt"]["m"]])
        # An instance that goes away is lost.
        publisher.terminate()
        publisher.wait(5)
        a.expect({"event": "lost", "endpointId": a.endpoints["late"]}, what="lost")

    def test_endpoint_bound(self):
        a = self.peer(self.a, "alpha")
        a.ready()
        a.endpoint_of(a.name)
        victim = self.b.publish("bound-victim", 4100, ["v=1", "r=2", "p=3", "m=victim"])
        self.extra.append(victim)
        a.endpoint_of("victim")
        # 256 more in one entry group: with the own instance and the victim, 258 are on the link.
        bulk = self.python(self.b, BULK_PUBLISHER, "256")
        self.assertEqual(bulk.stdout.readline().strip(), b"published")
        deadline = time.monotonic() + 30
        while len(a.endpoints) < 256:
            self.assertLess(time.monotonic(), deadline, "found %d" % len(a.endpoints))
            a.quiet(0.5)
        a.quiet(2)
        self.assertEqual(len(a.endpoints), 256)
        self.assertEqual(len(set(a.endpoints.values())), 256)
        seen = {m for m in a.endpoints if m.startswith("bulk-")}
        self.assertLess(len(seen), 256)
        # One lost makes room: the next change reports one of those left out.
        victim.terminate()
        victim.wait(5)
        a.expect({"event": "lost", "endpointId": a.endpoints["victim"]})
        event = a.expect(lambda e: e["event"] == "found" and e["txt"]["m"].startswith("bulk-")
                         and e["txt"]["m"] not in seen, timeout=5, what="a newcomer")
        self.assertNotIn(event["endpointId"], [e["endpointId"] for e in a.log[:-1] if e["event"] == "found"])

    def resolved_record(self, host, name, timeout=20):
        """avahi-browse's line for the resolved instance `name` on `host` (TXT bytes escaped as \\ddd)."""
        browse = host.spawn("avahi-browse", "-r", "-p", "_solvantio._tcp", stdout=subprocess.PIPE,
                            stderr=subprocess.DEVNULL, stdin=subprocess.DEVNULL)
        self.extra.append(browse)
        deadline = time.monotonic() + timeout
        pending = b""
        try:
            while time.monotonic() < deadline:
                ready, _, _ = select.select([browse.stdout], [], [], max(deadline - time.monotonic(), 0))
                chunk = os.read(browse.stdout.fileno(), 65536) if ready else b""
                if not chunk:
                    break
                *lines, pending = (pending + chunk).split(b"\n")
                for line in lines:
                    if line.startswith(b"=") and (";%s;" % name).encode() in line:
                        return line
        finally:
            browse.terminate()
            browse.wait(5)
        self.fail("avahi-browse on %s did not resolve %s within %s s" % (host.name, name, timeout))

    def browsed(self, host):
        """How many instances of our type the daemon of `host` knows."""
        out = host.run("avahi-browse", "-t", "-p", "_solvantio._tcp", check=False).stdout
        return sum(1 for line in out.split(b"\n") if line.startswith(b"+"))

    def wait_browsed(self, host, condition, timeout=90):
        deadline = time.monotonic() + timeout
        while not condition(self.browsed(host)):
            self.assertLess(time.monotonic(), deadline, "the daemon of %s lists %d" % (host.name, self.browsed(host)))
            time.sleep(1)

    def test_valid_peers_found_during_and_after_a_flood(self):
        # 1,500 instances we never report: more than the daemon lets one client resolve at once, and
        # more than the instance table once held. Peers that start during the flood are found in
        # seconds, by a program that saw it come and by one that starts in the middle of it.
        watcher = self.peer(self.a, "watcher")
        watcher.ready()
        watcher.endpoint_of(watcher.name)
        flood = self.python(self.b, FLOOD_PUBLISHER, "1500")
        self.assertEqual(flood.stdout.readline().strip(), b"published")
        self.wait_browsed(self.a, lambda n: n >= 1500)
        # The daemon of host b, busy announcing the flood, may take a while to publish a newcomer:
        # "ready" follows the end of its announcement, and the seconds are counted from there.
        newcomer = self.peer(self.b, "newcomer")
        newcomer.ready(timeout=60)
        watcher.endpoint_of(newcomer.name, timeout=15)
        late = self.peer(self.a, "late")
        late.ready(timeout=60)
        for peer in (newcomer, late):
            for other in (watcher, newcomer, late):
                with self.subTest(peer=peer.name, sees=other.name):
                    peer.endpoint_of(other.name, timeout=15)
        # The flood ends: nothing it held is left behind, and the next peer is found as quickly.
        flood.terminate()
        flood.wait(5)
        # (Withdrawing so many takes host b's daemon a minute or more; "ready" of the next peer may
        # wait for that, and what is counted are the seconds from there.)
        after = self.peer(self.b, "after")
        after.ready(timeout=60)
        for peer in (watcher, late):
            with self.subTest(after_flood=peer.name):
                peer.endpoint_of(after.name, timeout=15)
                self.assertIn(newcomer.name, peer.endpoints)  # never lost meanwhile
                names = {e["endpointId"]: e["txt"]["m"] for e in peer.log if e["event"] == "found"}
                lost = [names.get(e["endpointId"]) for e in peer.log if e["event"] == "lost"]
                self.assertEqual([m for m in lost if m in (watcher.name, newcomer.name, late.name)], [])
                self.assertEqual([e for e in peer.log if e["event"] == "found" and e["txt"]["m"].startswith("flood")], [])

    def test_refused_resolvers_are_retried(self):
        # A daemon that lets the program hold 8 objects: the browser, the entry group and six
        # resolvers, all kept by reported endpoints. A seventh peer's resolver is refused until one
        # of them goes, and is then made again without any change of the browse results.
        self.a.restart_avahi(objects=8)
        try:
            a = self.peer(self.a, "alpha")
            a.ready()
            holders = [self.b.publish("holder-%d" % n, 4400 + n, ["v=1", "r=2", "p=3", "m=holder-%d" % n])
                       for n in range(5)]
            self.extra.extend(holders)
            for n in range(5):
                a.endpoint_of("holder-%d" % n, timeout=15)
            self.extra.append(self.b.publish("seventh", 4410, ["v=1", "r=2", "p=3", "m=seventh"]))
            self.wait_browsed(self.a, lambda n: n >= 7)
            self.assertEqual(a.quiet(3, lambda e: e["event"] == "found" and e["txt"]["m"] == "seventh"), [])
            holders[0].terminate()
            holders[0].wait(5)
            a.expect({"event": "lost", "endpointId": a.endpoints["holder-0"]}, timeout=10)
            a.endpoint_of("seventh", timeout=20)
        finally:
            for peer in self.peers:
                peer.close()
            self.peers = []
            self.a.restart_avahi()

    # -- channels ----------------------------------------------------------------------------

    def test_relay_both_ways_with_bounds(self):
        a, b = self.pair()
        inbound = self.channel(a, b, "c1")
        self.assertRegex(inbound, r"^[0-9A-F-]{36}$")
        cases = [(a, "c1", b, inbound, b"hello"), (b, inbound, a, "c1", bytes(range(256)) * 40),
                 (a, "c1", b, inbound, os.urandom(MAX_WRITE)), (b, inbound, a, "c1", os.urandom(MAX_WRITE))]
        for n, (sender, sid, receiver, rid, data) in enumerate(cases):
            with self.subTest(size=len(data), sender=sender.name):
                sender.send_bytes(sid, "r%d" % n, data)
                sender.expect({"event": "sent", "connectionId": sid, "requestId": "r%d" % n})
                self.assertEqual(receiver.receive(rid, len(data)), data)
        # One byte past the bound closes the channel; the peer sees an orderly end.
        a.send_bytes("c1", "over", os.urandom(MAX_WRITE + 1))
        self.assertEqual(a.expect({"event": "connection-closed", "connectionId": "c1"}),
                         {"event": "connection-closed", "connectionId": "c1", "code": "INVALID_WRITE"})
        self.assertEqual(b.expect({"event": "connection-closed", "connectionId": inbound}),
                         {"event": "connection-closed", "connectionId": inbound})

    def test_malformed_sends_close_the_channel(self):
        a, b = self.pair()
        cases = {
            "empty": {"requestId": "r", "data": ""},
            "unpadded": {"requestId": "r", "data": "AAA"},
            "line-break": {"requestId": "r", "data": "AAAA\nAAAA"},
            "url-safe": {"requestId": "r", "data": "-_-_"},
            "not-a-string": {"requestId": "r", "data": 5},
            "no-request-id": {"data": "AAAA"},
            "long-request-id": {"requestId": "x" * 65, "data": "AAAA"},
        }
        for cid in list(cases) + ["accepted"]:
            self.channel(a, b, cid)
        # A request id of 64 characters (128 code points) is accepted.
        a.send({"command": "send", "connectionId": "accepted", "requestId": "e\u0301" * 64, "data": "AAAA"})
        a.expect({"event": "sent", "connectionId": "accepted", "requestId": "e\u0301" * 64})
        for cid, fields in cases.items():
            with self.subTest(case=cid):
                a.send(dict(fields, command="send", connectionId=cid))
                self.assertEqual(a.expect({"event": "connection-closed", "connectionId": cid}),
                                 {"event": "connection-closed", "connectionId": cid, "code": "INVALID_WRITE"})
        self.assertEqual(a.quiet(0.5, lambda e: e["event"] in ("sent", "connection-closed")), [])

    def test_sends_in_every_shape(self):
        # Sends as any JSON writer may shape them relay their bytes; invalid JSON is refused as such
        # whatever it holds, and the channel stays open until a send of the wrong type.
        a, b = self.pair()
        inbound = self.channel(a, b, "f")
        relayed = [
            ('{"data":"QUJD","requestId":"o0","connectionId":"f","command":"send"}', b"ABC"),
            ('{"command":"send","connectionId":"f","requestId":"o1","data":"\\/\\/\\/\\/"}', b"\xff\xff\xff"),
            ('{"command":"send","connectionId":"f","requestId":"o2","data":"QUJ\\u0044"}', b"ABC"),
            ('{"command":"send","connectionId":"f","requestId":"o3","data":"AAAA","data":"QUJD"}', b"ABC"),
            ('{"command":"send","connectionId":"f","requestId":"o4","data":"QUJD","x":[1,{"y":null}]}', b"ABC"),
            (' { "command" : "send" , "connectionId":"f", "requestId":"o5" ,\t"data" : "QUJD" } \r', b"ABC"),
        ]
        # A large send from a writer that escapes every "/".
        large = os.urandom(300_000)
        relayed.append(('{"command":"send","connectionId":"f","requestId":"o6","data":"%s"}' %
                        base64.b64encode(large).decode().replace("/", "\\/"), large))
        for n, (text, data) in enumerate(relayed):
            with self.subTest(line=text):
                a.send(text.encode() + b"\n")
                a.expect({"event": "sent", "connectionId": "f", "requestId": "o%d" % n})
                self.assertEqual(b.receive(inbound, len(data)), data)
        for raw in (b'{"command":"send","connectionId":"f","requestId":"r","data":"QU\x01D"}',
                    b'{"command":"send","connectionId":"f","requestId":"r","data":"QU\xff\xfe"}',
                    b'{"command":"send","connectionId":"f","requestId":"r\xff","data":"QUJD"}',
                    b'{"command":"send","connectionId":"f","requestId":"r","data":"QUJD"} x'):
            with self.subTest(line=raw):
                a.send(raw + b"\n")
                self.assertEqual(a.expect({"event": "error"}), {"event": "error", "code": "INVALID_JSON"})
        a.send(b'{"command":"send","connectionId":"f","requestId":"r","data":["QUJD"]}\n')
        self.assertEqual(a.expect({"event": "connection-closed", "connectionId": "f"}),
                         {"event": "connection-closed", "connectionId": "f", "code": "INVALID_WRITE"})
        self.assertEqual(a.quiet(0.3, lambda e: e["event"] == "sent"), [])

    def test_connect_with_an_open_id_and_closing(self):
        a, b = self.pair()
        inbound = self.channel(a, b, "same")
        a.connect("same", b.name)
        self.assertEqual(a.expect({"event": "connection-closed"}),
                         {"event": "connection-closed", "connectionId": "same", "code": "ENDPOINT_UNAVAILABLE"})
        a.send_bytes("same", "still", b"works")
        a.expect({"event": "sent", "requestId": "still"})
        self.assertEqual(b.receive(inbound, 5), b"works")
        # The peer writes, then closes: its bytes arrive before an orderly close.
        b.send_bytes(inbound, "last", b"last words")
        b.expect({"event": "sent", "requestId": "last"})
        b.send({"command": "close", "connectionId": inbound})
        self.assertEqual(b.expect({"event": "connection-closed"}), {"event": "connection-closed", "connectionId": inbound})
        self.assertEqual(a.receive("same", 10), b"last words")
        self.assertEqual(a.expect({"event": "connection-closed"}), {"event": "connection-closed", "connectionId": "same"})
        # Closing again, or sending to the closed id, writes nothing.
        a.send({"command": "close", "connectionId": "same"})
        a.send_bytes("same", "gone", b"x")
        self.assertEqual(a.quiet(0.5, lambda e: e["event"] in ("sent", "connection-closed")), [])

    def test_waiting_while_refused_then_close(self):
        a = self.peer(self.a, "alpha")
        a.ready()
        self.extra.append(self.b.publish("nobody-home", 9, ["v=1", "r=2", "p=3", "m=nobody"]))
        a.connect("w", "nobody")
        self.assertEqual(a.expect({"event": "connection-waiting"}),
                         {"event": "connection-waiting", "connectionId": "w", "code": "ECONNREFUSED"})
        a.expect({"event": "connection-waiting"}, timeout=5)  # it keeps trying
        # A send before the channel is ready closes it; so does a close while it waits.
        a.send_bytes("w", "early", b"x")
        self.assertEqual(a.expect({"event": "connection-closed"}),
                         {"event": "connection-closed", "connectionId": "w", "code": "INVALID_WRITE"})
        a.connect("w2", "nobody")
        a.expect({"event": "connection-waiting", "connectionId": "w2"})
        a.send({"command": "close", "connectionId": "w2"})
        closed = a.expect({"event": "connection-closed"})
        self.assertEqual(closed, {"event": "connection-closed", "connectionId": "w2"})
        time.sleep(1.5)
        self.assertEqual([e for e in a.after(closed) if e["event"].startswith("connection")], [])

    def stalled_peer(self, a):
        """An instance on host b whose connections are accepted and never read."""
        stalled = self.python(self.b, (
            "import socket, time\n"
            "s = socket.socket()\n"
            "s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)\n"
            "s.bind(('0.0.0.0', 0)); s.listen()\n"
            "print(s.getsockname()[1], flush=True)\n"
            "held = []\n"
            "while True: held.append(s.accept()[0])\n"))
        port = int(stalled.stdout.readline())
        self.extra.append(self.b.publish("stalled-peer", port, ["v=1", "r=2", "p=3", "m=stalled"]))
        a.endpoint_of("stalled")

    def fill(self, a, cid):
        """Sends until one send stays unacknowledged (786,436 bytes pending on `cid`)."""
        chunk = os.urandom(MAX_WRITE)
        for n in range(40):
            a.send_bytes(cid, "fill%d" % n, chunk)
            try:
                a.expect({"event": "sent", "connectionId": cid, "requestId": "fill%d" % n}, timeout=1)
            except AssertionError:
                return
        self.fail("the stalled peer took everything")

    def test_queue_full_against_a_peer_that_does_not_read(self):
        a = self.peer(self.a, "alpha")
        a.ready()
        self.stalled_peer(a)
        a.connect("q", "stalled")
        a.expect({"event": "connection-ready", "connectionId": "q"})
        self.fill(a, "q")
        # Up to exactly 2,097,152 pending bytes are accepted, one byte more is not.
        a.send_bytes("q", "to-the-bound", os.urandom(PER_CHANNEL - 2 * MAX_WRITE))
        a.send_bytes("q", "filling", os.urandom(MAX_WRITE))
        self.assertEqual(a.quiet(0.5, lambda e: e["event"] == "connection-closed"), [])
        a.send_bytes("q", "over", b"x")
        closed = a.expect({"event": "connection-closed"})
        self.assertEqual(closed, {"event": "connection-closed", "connectionId": "q", "code": "QUEUE_FULL"})
        self.assertEqual([e for e in a.after(closed) if e["event"] == "sent"], [])
        # The host closing a channel with sends outstanding: one close without a code, no "sent".
        a.connect("q2", "stalled")
        a.expect({"event": "connection-ready", "connectionId": "q2"})
        self.fill(a, "q2")
        a.send({"command": "close", "connectionId": "q2"})
        closed = a.expect({"event": "connection-closed"})
        self.assertEqual(closed, {"event": "connection-closed", "connectionId": "q2"})
        time.sleep(0.5)
        self.assertEqual([e for e in a.after(closed) if e.get("connectionId") == "q2"], [])

    def test_total_pending_bound(self):
        # Eight stalled channels at 2 MiB each hold the 16 MiB all channels may have unacknowledged:
        # then one byte on a ninth, idle channel is refused.
        a = self.peer(self.a, "alpha")
        a.ready()
        self.stalled_peer(a)
        for n in range(9):
            a.connect("t%d" % n, "stalled")
        for n in range(9):
            a.expect({"event": "connection-ready", "connectionId": "t%d" % n})
        for n in range(8):
            self.fill(a, "t%d" % n)
            a.send_bytes("t%d" % n, "top", os.urandom(PER_CHANNEL - 2 * MAX_WRITE))
            a.send_bytes("t%d" % n, "up", os.urandom(MAX_WRITE))
        self.assertEqual(a.quiet(0.5, lambda e: e["event"] == "connection-closed"), [])
        a.send_bytes("t8", "one", b"x")
        self.assertEqual(a.expect({"event": "connection-closed"}),
                         {"event": "connection-closed", "connectionId": "t8", "code": "QUEUE_FULL"})
        # Closing one stalled channel gives its 2 MiB back.
        a.send({"command": "close", "connectionId": "t0"})
        a.expect({"event": "connection-closed", "connectionId": "t0"})
        a.connect("t9", "stalled")
        a.expect({"event": "connection-ready", "connectionId": "t9"})
        a.send_bytes("t9", "fits", b"x")
        a.expect({"event": "sent", "connectionId": "t9", "requestId": "fits"})

    def test_peer_reset_and_inbound_from_a_plain_socket(self):
        a = self.peer(self.a, "alpha")
        a.ready()
        # A peer that writes, then resets the connection: its bytes, then a close with the error.
        peer = self.python(self.b, (
            "import socket, struct, sys, time\n"
            "s = socket.create_connection(('169.254.10.1', int(sys.argv[1])))\n"
            "s.sendall(b'hello'); time.sleep(0.5)\n"
            "s.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack('ii', 1, 0))\n"
            "s.close(); print('done', flush=True)\n"), str(self.listening_port(self.a)))
        ready = a.expect({"event": "connection-ready", "outbound": False})
        cid = ready["connectionId"]
        self.assertEqual(a.receive(cid, 5), b"hello")
        self.assertEqual(peer.stdout.readline().strip(), b"done")
        self.assertEqual(a.expect({"event": "connection-closed"}),
                         {"event": "connection-closed", "connectionId": cid, "code": "POSIX_104"})

    def test_peer_that_drips_then_bursts(self):
        # A byte at a time, then a burst of several reads' worth: every byte once and in order, in
        # events of 1 to 65,536 bytes, then an orderly end.
        a = self.peer(self.a, "alpha")
        a.ready()
        size = 40 + 3 * (1 << 20) + 17
        self.python(self.b, (
            "import random, socket, sys, time\n"
            "data = random.Random(7).randbytes(int(sys.argv[2]))\n"
            "s = socket.create_connection(('169.254.10.1', int(sys.argv[1])))\n"
            "for n in range(40): s.sendall(data[n:n + 1]); time.sleep(0.01)\n"
            "s.sendall(data[40:]); s.close()\n"), str(self.listening_port(self.a)), str(size))
        cid = a.expect({"event": "connection-ready", "outbound": False})["connectionId"]
        self.assertEqual(a.receive(cid, size), random.Random(7).randbytes(size))
        self.assertEqual(a.expect({"event": "connection-closed"}), {"event": "connection-closed", "connectionId": cid})

    def test_peer_that_reads_in_drips(self):
        # The socket takes each send in many small pieces: the channel's whole 2 MiB arrives intact and
        # every send is acknowledged once, in order, after its bytes.
        a = self.peer(self.a, "alpha")
        a.ready()
        reader = self.python(self.b, (
            "import hashlib, socket, sys, time\n"
            "s = socket.socket()\n"
            "s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)\n"
            "s.bind(('0.0.0.0', 0)); s.listen()\n"
            "print(s.getsockname()[1], flush=True)\n"
            "c = s.accept()[0]; digest = hashlib.sha256(); left = int(sys.argv[1])\n"
            "while left > 0:\n"
            "    chunk = c.recv(4096); digest.update(chunk); left -= len(chunk); time.sleep(0.001)\n"
            "print(digest.hexdigest(), flush=True); time.sleep(60)\n"), str(PER_CHANNEL))
        port = int(reader.stdout.readline())
        self.extra.append(self.b.publish("dripping-peer", port, ["v=1", "r=2", "p=3", "m=drips"]))
        a.endpoint_of("drips")
        a.connect("d", "drips")
        a.expect({"event": "connection-ready", "connectionId": "d"})
        sends = [os.urandom(MAX_WRITE), os.urandom(MAX_WRITE), os.urandom(PER_CHANNEL - 2 * MAX_WRITE)]
        for n, data in enumerate(sends):
            a.send_bytes("d", "r%d" % n, data)
        acknowledged = [a.expect({"event": "sent", "connectionId": "d"}, timeout=30)["requestId"] for _ in sends]
        self.assertEqual(acknowledged, ["r0", "r1", "r2"])
        self.assertEqual(reader.stdout.readline().strip().decode(), hashlib.sha256(b"".join(sends)).hexdigest())
        self.assertEqual(a.quiet(0.3, lambda e: e.get("connectionId") == "d"), [])

    def test_host_that_stops_reading_at_full_speed(self):
        # B's host stops reading while A's host keeps two sends in flight: the relay holds back (the
        # "sent" events stop) and closes nothing; once B's host reads again every byte arrives once
        # and in order, and every send is acknowledged once and in order.
        a, b = self.pair()
        inbound = self.channel(a, b, "full")
        chunks = [os.urandom(MAX_WRITE) for _ in range(4)]
        issued, acknowledged = 0, []
        while True:
            if issued - len(acknowledged) < 2:
                a.send_bytes("full", "s%d" % issued, chunks[issued % 4])
                issued += 1
                self.assertLess(issued, 80, "nothing held the relay back")
                continue
            try:
                acknowledged.append(a.expect({"event": "sent", "connectionId": "full"}, timeout=2)["requestId"])
            except AssertionError:
                break  # held back: every buffer between the two hosts is full
        # Still held back a while later (a late "sent" on a loaded machine is no failure), nothing closed.
        late = a.quiet(1.0, lambda e: e.get("connectionId") == "full")
        self.assertEqual([e for e in late if e["event"] != "sent"], [])
        acknowledged += [e["requestId"] for e in late]
        self.assertLess(len(acknowledged), issued)
        expected = b"".join(chunks[n % 4] for n in range(issued))
        self.assertEqual(b.receive(inbound, len(expected)), expected)
        while len(acknowledged) < issued:
            acknowledged.append(a.expect({"event": "sent", "connectionId": "full"})["requestId"])
        self.assertEqual(acknowledged, ["s%d" % n for n in range(issued)])
        self.assertEqual(a.quiet(0.3, lambda e: e.get("connectionId") == "full"), [])
        self.assertEqual(b.quiet(0.3, lambda e: e.get("connectionId") == inbound), [])

    def test_channel_limit(self):
        a, b = self.pair()
        for n in range(128):
            a.connect("c%d" % n, b.name)
        for n in range(128):
            a.expect({"event": "connection-ready", "connectionId": "c%d" % n})
        for n in range(128):
            b.expect({"event": "connection-ready", "outbound": False})
        a.connect("c128", b.name)
        self.assertEqual(a.expect({"event": "connection-closed"}),
                         {"event": "connection-closed", "connectionId": "c128", "code": "ENDPOINT_UNAVAILABLE"})
        # B holds 128 channels: a further inbound connection is closed without an event.
        self.assert_inbound_refused_by_b()
        self.assertEqual(b.quiet(0.5, lambda e: e["event"].startswith("connection")), [])
        # A channel closed makes room again.
        a.send({"command": "close", "connectionId": "c0"})
        a.expect({"event": "connection-closed", "connectionId": "c0"})
        b.expect({"event": "connection-closed"})
        self.channel(a, b, "again")

    def assert_inbound_refused_by_b(self):
        """A raw connection from host A to B's listening port is closed at once, without data."""
        probe = self.python(self.a, (
            "import socket, sys\n"
            "s = socket.create_connection(('169.254.10.2', int(sys.argv[1])), timeout=5)\n"
            "try: print(repr(s.recv(1)), flush=True)\n"
            "except OSError as e: print(type(e).__name__, flush=True)\n"), str(self.listening_port(self.b)))
        self.assertIn(probe.stdout.readline().strip(), (b"b''", b"ConnectionResetError"))

    def test_peer_stop(self):
        a, b = self.pair()
        self.channel(a, b, "s")
        b_id = a.endpoints[b.name]
        b.send({"command": "stop"})
        b.expect({"event": "stopped"})
        self.assertEqual(b.program.wait(5), 0)
        self.assertEqual(a.expect({"event": "connection-closed"}), {"event": "connection-closed", "connectionId": "s"})
        a.expect({"event": "lost", "endpointId": b_id}, timeout=10)
        a.connect("after", b.name) if b.name in a.endpoints else a.send(
            {"command": "connect", "connectionId": "after", "endpointId": b_id})
        self.assertEqual(a.expect({"event": "connection-closed", "connectionId": "after"})["code"],
                         "ENDPOINT_UNAVAILABLE")

    # -- the discovery window ----------------------------------------------------------------

    def test_discovery_window_closed_and_reopened(self):
        a, b = self.pair()
        b_id = a.endpoints[b.name]
        inbound = self.channel(a, b, "kept")
        b.send({"command": "discovery", "enabled": False, "windowId": "w1"})
        self.assertEqual(b.expect({"event": "discovery-window"}),
                         {"event": "discovery-window", "open": False, "windowId": "w1"})
        # B withdraws its advertisement: A loses it; B refuses inbound connections; the channel stays.
        a.expect({"event": "lost", "endpointId": b_id})
        self.assert_inbound_refused_by_b()
        a.send_bytes("kept", "k", b"still here")
        self.assertEqual(b.receive(inbound, 10), b"still here")
        b.send({"command": "discovery", "enabled": False, "windowId": "w2"})
        self.assertEqual(b.expect({"event": "discovery-window"}),
                         {"event": "discovery-window", "open": False, "windowId": "w2"})
        time.sleep(1)
        later = b.after({"event": "discovery-window", "open": False, "windowId": "w1"})
        self.assertEqual([e for e in later if e["event"] in ("found", "lost")], [])
        # Reopened: a new browser, advertising again, found again under a new id; no second "ready".
        b.send({"command": "discovery", "enabled": True, "windowId": "w3"})
        self.assertEqual(b.expect({"event": "discovery-window"}),
                         {"event": "discovery-window", "open": True, "windowId": "w3"})
        b.expect({"event": "status", "component": "browser", "state": "ready"})
        b.endpoint_of(a.name)
        self.assertNotEqual(a.endpoint_of(b.name, timeout=10), b_id)
        self.assertEqual(b.quiet(0.5, lambda e: e["event"] == "ready"), [])

    def test_window_closes_after_sixty_seconds(self):
        a, b = self.pair()
        started = time.monotonic()
        b_id = a.endpoints[b.name]
        # A's window is reopened half-way, so it is still open when B's closes.
        time.sleep(30)
        a.send({"command": "discovery", "enabled": True, "windowId": "later"})
        a.expect({"event": "discovery-window", "open": True, "windowId": "later"})
        event = b.expect({"event": "discovery-window"}, timeout=45)
        self.assertEqual(event, {"event": "discovery-window", "open": False, "windowId": ""})
        self.assertGreater(time.monotonic() - started, 55)
        # B forgot its endpoints without "lost"; B's advertisement is withdrawn, so A loses it.
        self.assertEqual([e for e in b.after(event) if e["event"] == "lost"], [])
        b.send({"command": "connect", "connectionId": "x", "endpointId": b.endpoints[a.name]})
        self.assertEqual(b.expect({"event": "connection-closed"})["code"], "ENDPOINT_UNAVAILABLE")
        a.expect({"event": "lost", "endpointId": b_id})

    # -- the daemon --------------------------------------------------------------------------

    def test_daemon_absent_at_start(self):
        self.a.stop_avahi()
        try:
            a = self.peer(self.a, "alpha")
            for component in ("listener", "browser"):
                event = a.expect({"event": "status", "component": component})
                self.assertEqual(event, {"event": "status", "component": component, "state": "waiting",
                                         "code": "DNS_-65563"})
        finally:
            self.a.start_avahi()
        a.ready()
        a.endpoint_of(a.name)

    def test_daemon_restart_under_a_running_program(self):
        a = self.peer(self.a, "alpha")
        a.ready()
        a.endpoint_of(a.name)
        self.a.stop_avahi()
        try:
            for component in ("listener", "browser"):
                event = a.expect({"event": "status", "component": component, "state": "waiting"})
                self.assertEqual(event["code"], "DNS_-65563")
            a.expect({"event": "lost"})
        finally:
            self.a.start_avahi()
        for component in ("listener", "browser"):
            a.expect({"event": "status", "component": component, "state": "ready"}, timeout=15)
        a.endpoints.clear()
        a.endpoint_of(a.name, timeout=10)
        self.assertEqual(a.quiet(0.2, lambda e: e["event"] == "ready"), [])


if __name__ == "__main__":
    unittest.main()
