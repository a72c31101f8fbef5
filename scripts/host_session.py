"""A scripted host session against MireloServices, printing every line both ways (long values are
shortened). Private D-Bus buses stand in for the desktop's, so the program's system events can be
shown too. Files the session makes go to a temporary folder, which is printed."""

import base64
import json
import os
import subprocess
import sys
import tempfile

import dbus

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tests", "env"))
from testenv import DbusMock, PrivateBus, Program, clean_env  # noqa: E402

PHOTO = os.path.join(os.path.dirname(os.path.abspath(__file__)), "demo-photo.jpg")
INVITATION = "mirelo://join/#PC3-eyJyIjoiZGVtby1yb29tIiwiayI6IjNmOWMyYTdlIn0"


def shorten(value):
    if isinstance(value, str) and len(value) > 72:
        return "%s…(%d characters)" % (value[:48], len(value))
    if isinstance(value, dict):
        return {k: shorten(v) for k, v in value.items()}
    return value


def show(direction, line):
    try:
        text = json.dumps(shorten(json.loads(line)), ensure_ascii=False, separators=(",", ":"))
        if direction.startswith("program"):
            text = text.replace("/", "\\/")  # as the program writes it
    except ValueError:
        text = line
    print("%s %s" % (direction, text), flush=True)


def say(text):
    print("\n# " + text, flush=True)


def main():
    folder = tempfile.mkdtemp(prefix="mirelo-demo-")
    with PrivateBus() as session, PrivateBus() as system, \
            DbusMock(system, template="logind", system=True) as logind, \
            DbusMock(session, template="gnome_screensaver") as screensaver:
        env = clean_env(DBUS_SESSION_BUS_ADDRESS=session.address, DBUS_SYSTEM_BUS_ADDRESS=system.address)
        with Program(env=env) as program:
            def send(request, expect_reply=True):
                line = request if isinstance(request, str) else json.dumps(request, ensure_ascii=False)
                show("host    ->", line)
                program.send(line.encode() + b"\n")
                if not expect_reply:
                    return None
                reply = program.read_line(120).decode()
                show("program <-", reply)
                return json.loads(reply)

            def desktop(what, action):
                print("desktop    " + what, flush=True)
                action()
                show("program <-", program.read_line().decode())

            say("A room card: the invitation goes into a photograph, as a PNG chunk and as a watermark.")
            with open(PHOTO, "rb") as f:
                photo = f.read()
            print("photograph %s, %d bytes" % (PHOTO, len(photo)))
            card = send({"id": "card", "command": "room-card-encode", "payload": {
                "invitation": INVITATION, "data": base64.b64encode(photo).decode(), "robust": True}})["value"]
            card_png = base64.b64decode(card.split(",", 1)[1])
            card_path = os.path.join(folder, "Mirelo房卡.png")
            with open(card_path, "wb") as f:
                f.write(card_png)
            print("saved the card: %s, %d bytes" % (card_path, len(card_png)))

            say("A chat app or a screenshot makes a copy: half the size, JPEG at quality 40; the chunk is gone.")
            copy = subprocess.run(["convert", card_path, "-resize", "50%", "-quality", "40", "jpg:-"],
                                  capture_output=True, check=True).stdout
            copy_path = os.path.join(folder, "copy.jpg")
            with open(copy_path, "wb") as f:
                f.write(copy)
            print("re-encoded copy: %s, %d bytes" % (copy_path, len(copy)))
            read = send({"id": "read", "command": "room-card-decode",
                         "payload": {"data": base64.b64encode(copy).decode()}})["value"]
            print("the invitation read from the copy %s the one written" % ("is" if read == INVITATION else "IS NOT"))

            say("A QR code for the invitation, read back.")
            qr = send({"id": "qr", "command": "qr-generate", "payload": {"value": INVITATION}})["value"]
            send({"id": "qr-read", "command": "qr-decode", "payload": {"data": qr}})

            say("Unknown commands are answered with an error; lines that are not requests get no reply.")
            send('{"id":"req/1","command":"no-such-command"}')
            send('{"id":7,"command":"stop"}', expect_reply=False)

            say("The desktop's own events arrive as event lines.")
            desktop("screen locks", lambda: screensaver.call("org.gnome.ScreenSaver", "SetActive", dbus.Boolean(True)))
            desktop("system goes to sleep", lambda: logind.emit_signal(
                "org.freedesktop.login1.Manager", "PrepareForSleep", "b", [dbus.Boolean(True)]))
            desktop("system wakes", lambda: logind.emit_signal(
                "org.freedesktop.login1.Manager", "PrepareForSleep", "b", [dbus.Boolean(False)]))

            say("stop replies, then the program exits.")
            send('{"id":"bye","command":"stop"}')
            print("exit status %d; the card and its copy are in %s" % (program.wait(10), folder))


if __name__ == "__main__":
    main()
