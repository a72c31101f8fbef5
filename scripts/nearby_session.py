"""A scripted session of two SolvaNearby programs on two hosts of a private link (network namespaces,
each with its own system bus and avahi-daemon, as the tests make them), printing every line both
ways: they find each other, open a channel and relay a message each way. Needs root (namespaces)."""

import base64
import json
import os
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tests", "env"))
from nearby_hosts import Link, unavailable_reason  # noqa: E402


def shorten(event):
    return {k: (v[:40] + "…" if isinstance(v, str) and len(v) > 44 else v) for k, v in event.items()}


class Node:
    def __init__(self, host, name):
        self.name = name
        self.program = host.program()
        self.seen = []

    def send(self, command):
        print("host %s -> %s" % (self.name, json.dumps(shorten(command), ensure_ascii=False)), flush=True)
        self.program.send(command)

    def expect(self, wanted, timeout=15):
        """The first event whose members include `wanted`; the ones before it are printed too."""
        deadline = time.monotonic() + timeout
        while True:
            for i, event in enumerate(self.seen):
                if all(event.get(k) == v for k, v in wanted.items()):
                    return self.seen.pop(i)
            left = deadline - time.monotonic()
            line = self.program.read_line(left) if left > 0 else None
            if line is None:
                raise SystemExit("%s: no %s within %s s" % (self.name, wanted, timeout))
            event = json.loads(line)
            print("host %s <- %s" % (self.name, json.dumps(shorten(event), ensure_ascii=False)), flush=True)
            self.seen.append(event)


def say(text):
    print("\n# " + text, flush=True)


def main():
    reason = unavailable_reason()
    if reason:
        print("\n# Two nearby programs: skipped (%s)" % reason)
        return
    say("Two SolvaNearby programs on two hosts of a private link, each host with its own avahi-daemon.")
    with Link() as link:
        a, b = link.hosts
        alice, bob = Node(a, "a"), Node(b, "b")
        try:
            for node in (alice, bob):
                node.send({"command": "start", "name": "demo-host-" + node.name,
                           "txt": {"v": "1", "r": "demo-room", "p": "pk-" + node.name, "m": "member-" + node.name}})
            for node in (alice, bob):
                node.expect({"event": "ready"})
            say("Each finds the other over DNS-SD.")
            found = alice.expect({"event": "found", "txt": {"v": "1", "r": "demo-room", "p": "pk-b", "m": "member-b"}})
            bob.expect({"event": "found", "txt": {"v": "1", "r": "demo-room", "p": "pk-a", "m": "member-a"}})
            say("Host a opens a channel to b's endpoint.")
            alice.send({"command": "connect", "connectionId": "to-b", "endpointId": found["endpointId"]})
            alice.expect({"event": "connection-ready", "connectionId": "to-b"})
            inbound = bob.expect({"event": "connection-ready", "outbound": False})["connectionId"]
            say("A message each way: bytes in Base64, acknowledged by \"sent\", arriving as \"data\".")
            for sender, cid, receiver, rid, text in ((alice, "to-b", bob, inbound, "hello from a"),
                                                     (bob, inbound, alice, "to-b", "hello back from b")):
                sender.send({"command": "send", "connectionId": cid, "requestId": "m-" + sender.name,
                             "data": base64.b64encode(text.encode()).decode()})
                sender.expect({"event": "sent", "requestId": "m-" + sender.name})
                data = receiver.expect({"event": "data", "connectionId": rid})["data"]
                print("         host %s read %r" % (receiver.name, base64.b64decode(data).decode()))
            say("Host a closes the channel, and both stop.")
            alice.send({"command": "close", "connectionId": "to-b"})
            bob.expect({"event": "connection-closed", "connectionId": inbound})
            for node in (alice, bob):
                node.send({"command": "stop"})
                node.expect({"event": "stopped"})
        finally:
            for node in (alice, bob):
                node.program.close()


if __name__ == "__main__":
    main()
