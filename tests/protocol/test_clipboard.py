"""The clipboard commands end to end: a private X server, and xclip as the other application."""

import base64
import os
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "env"))
from testenv import Program, TempHome, Xvfb, build_dir, clean_env, desktop_session  # noqa: E402

INVITE = "mirelo://join/#PC3-eyJyIjoiY2xpcGJvYXJkIn0"
NO_CARD = "没有识别到有效房卡，请复制完整原图或使用邀请链接"


def picture(size="900x600", fmt="png"):
    return subprocess.run(["convert", "-size", size, "plasma:", fmt + ":-"], capture_output=True, check=True).stdout


class ClipboardTest(unittest.TestCase):
    def setUp(self):
        self.env, self.program, self.folder = desktop_session(self)

    def xclip_out(self, *target):
        return subprocess.run(["xclip", "-selection", "clipboard", *target, "-o"], env=self.env, capture_output=True,
                              timeout=30).stdout

    def xclip_owns(self, data, target):
        """xclip takes the clipboard with `data` under `target` and serves it until the test ends."""
        path = os.path.join(self.folder, "offer")
        with open(path, "wb") as f:
            f.write(data)
        owner = subprocess.Popen(["xclip", "-quiet", "-selection", "clipboard", "-t", target, "-i", path],
                                 env=self.env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.addCleanup(lambda: (owner.terminate(), owner.wait()))
        # Owned once the clipboard gives back `data`: the target alone may still be listed by the
        # owner before it.
        deadline = time.monotonic() + 10
        while self.xclip_out("-t", target) != data and time.monotonic() < deadline:
            time.sleep(0.05)

    def misbehaving_owner(self, mode, target="UTF8_STRING", text="PC-dripped-invitation"):
        owner = subprocess.Popen([os.path.join(build_dir(), "tests", "clipboard_owner"), mode, target, text],
                                 env=self.env, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        self.addCleanup(lambda: (owner.kill(), owner.wait(), owner.stdout.close()))
        self.assertEqual(owner.stdout.readline(), b"ready\n")
        return owner

    def test_owner_that_drips_stalls_or_dies_reads_as_absent_within_bounds(self):
        # One bound for a whole command, however the owner answers; the next command is served.
        for mode in ["drip", "silent", "die"]:
            for command, empty in [("clipboard-text", {"value": ""}), ("clipboard-card-read", {"error": NO_CARD})]:
                with self.subTest(mode=mode, command=command):
                    owner = self.misbehaving_owner(mode)
                    started = time.monotonic()
                    self.program.send({"id": "slow", "command": command})
                    self.program.send({"id": "next", "command": "qr-generate", "payload": {"value": "x"}})
                    self.assertEqual(self.program.read_json(30), dict(empty, id="slow"))
                    self.assertEqual(self.program.read_json(30)["id"], "next")
                    self.assertLess(time.monotonic() - started, 10)
                    owner.kill()
                    owner.wait()

    def test_text_that_is_not_utf8_is_repaired_in_every_reply(self):
        self.xclip_owns(b"PC-invite-\xff\xfe", "UTF8_STRING")
        self.assertEqual(self.program.request("t", "clipboard-text")["value"], "PC-invite-\ufffd\ufffd")
        self.assertEqual(self.program.request("c", "clipboard-card-read")["value"], "PC-invite-\ufffd\ufffd")

    def card(self, invitation=INVITE):
        value = self.program.request("enc", "room-card-encode",
                                     {"invitation": invitation, "data": base64.b64encode(picture()).decode()})["value"]
        return value, base64.b64decode(value.split(",", 1)[1])

    def test_card_on_the_clipboard_for_other_programs(self):
        url, png = self.card()
        self.assertEqual(self.program.request("w", "clipboard-card-write", {"data": url, "invitation": INVITE}),
                         {"id": "w", "value": True})
        targets = self.xclip_out("-t", "TARGETS").decode().split()
        for target in ["image/png", "com.mirelo.room-card.original-png.v1", "com.mirelo.room-card.v1"]:
            self.assertIn(target, targets)
        self.assertEqual(self.xclip_out("-t", "image/png"), png)  # over 1 MiB: sent in INCR chunks
        self.assertEqual(self.xclip_out("-t", "com.mirelo.room-card.v1"), INVITE.encode())
        self.assertEqual(self.program.request("r", "clipboard-card-read")["value"], INVITE)
        self.assertEqual(self.program.request("t", "clipboard-text")["value"], "")  # an image, no text

    def test_text_both_ways(self):
        head = "房卡 / mirelo "
        text = head + "x" * (1048576 - len(head.encode()))  # exactly the largest text
        self.assertEqual(self.program.request("w", "clipboard-write-text", {"text": text})["value"], True)
        self.assertEqual(self.xclip_out().decode(), text)
        self.assertEqual(self.program.request("e", "clipboard-write-text", {"text": "y" * (1048576 + 1)}),
                         {"id": "e", "error": "剪贴板内容无效"})
        self.assertEqual(self.xclip_out().decode(), text)  # left as it was
        self.xclip_owns("from xclip ✓".encode(), "UTF8_STRING")
        self.assertEqual(self.program.request("r", "clipboard-text")["value"], "from xclip ✓")

    def test_reading_what_other_programs_put_there(self):
        _, png = self.card()
        _, other = self.card("mirelo://join/#other")
        cards = []
        for name, data in [("x.gif", other), ("card.PNG", png)]:
            path = os.path.join(self.folder, name)
            with open(path, "wb") as f:
                f.write(data)
            cards.append("file://" + path)
        tiff = subprocess.run(["convert", "png:-", "tiff:-"], input=png, capture_output=True, check=True).stdout
        cases = [
            ("image/png", png, INVITE),
            ("image/tiff", tiff, NO_CARD),  # a TIFF copy has no chunk; its pixels carry no watermark here
            ("text/uri-list", ("\r\n".join(cards) + "\r\n").encode(), INVITE),
            ("UTF8_STRING", b"mirelo://join/abc", "mirelo://join/abc"),
            ("UTF8_STRING", b"PC" + b"x" * 2047, NO_CARD),
        ]
        for target, data, expected in cases:
            with self.subTest(target=target, expected=expected[:30]):
                self.xclip_owns(data, target)
                reply = self.program.request("r", "clipboard-card-read")
                self.assertEqual(reply.get("value", reply.get("error")), expected)

    def test_robust_card_from_a_tiff(self):
        url, _ = self.card()
        robust = self.program.request("enc", "room-card-encode", {
            "invitation": INVITE, "data": base64.b64encode(picture("1200x800", "jpg")).decode(), "robust": True})["value"]
        png = base64.b64decode(robust.split(",", 1)[1])
        tiff = subprocess.run(["convert", "png:-", "tiff:-"], input=png, capture_output=True, check=True).stdout
        self.xclip_owns(tiff, "image/tiff")
        self.assertEqual(self.program.request("r", "clipboard-card-read")["value"], INVITE)


class SavePanelTest(unittest.TestCase):
    def setUp(self):
        self.env, self.program, self.folder = desktop_session(self)
        self.url = self.program.request("enc", "room-card-encode", {
            "invitation": INVITE, "data": base64.b64encode(picture("300x200")).decode()})["value"]

    def xdotool(self, *args):
        subprocess.run(["xdotool", *args], env=self.env, check=True, timeout=30, stdout=subprocess.DEVNULL)

    def wait_for_panel(self):
        self.xdotool("search", "--sync", "--onlyvisible", "--name", "保存完整 PNG 房卡，保留邀请信息")
        time.sleep(0.5)

    def test_saves_the_card(self):
        target = os.path.join(self.folder, "saved.png")
        self.program.send({"id": "s", "command": "room-card-save-file", "payload": {"data": self.url}})
        self.wait_for_panel()
        self.xdotool("key", "ctrl+a")
        self.xdotool("type", "--delay", "20", target)
        self.xdotool("key", "Return")
        self.assertEqual(self.program.read_json(30), {"id": "s", "value": True})
        with open(target, "rb") as f:
            self.assertEqual(f.read(), base64.b64decode(self.url.split(",", 1)[1]))

    def test_cancel_answers_false(self):
        self.program.send({"id": "c", "command": "room-card-save-file", "payload": {"data": self.url}})
        self.wait_for_panel()
        self.xdotool("key", "Escape")
        self.assertEqual(self.program.read_json(30), {"id": "c", "value": False})


class NoDisplayTest(unittest.TestCase):
    def test_without_a_display(self):
        with Program() as program:
            self.assertEqual(program.request("t", "clipboard-text"), {"id": "t", "value": ""})
            self.assertEqual(program.request("w", "clipboard-write-text", {"text": "x"}), {"id": "w", "value": False})
            self.assertEqual(program.request("r", "clipboard-card-read"), {"id": "r", "error": NO_CARD})
            card = program.request("e", "room-card-encode", {
                "invitation": INVITE, "data": base64.b64encode(picture("300x200")).decode()})["value"]
            self.assertEqual(program.request("c", "clipboard-card-write", {"data": card, "invitation": INVITE}),
                             {"id": "c", "error": "房卡未能写入剪贴板，请重试或保存 PNG 房卡"})
            self.assertEqual(program.request("s", "room-card-save-file", {"data": card}), {"id": "s", "value": False})


class DisplayGoneTest(unittest.TestCase):
    def test_program_outlives_its_x_server(self):
        # Non-display commands keep working; display commands answer as without a display.
        xvfb, home = Xvfb(), TempHome()
        self.addCleanup(home.close)
        self.addCleanup(xvfb.close)
        program = Program(env=clean_env(DISPLAY=xvfb.display, **home.env()))
        self.addCleanup(program.close)
        self.assertEqual(program.request("w", "clipboard-write-text", {"text": "mine"}), {"id": "w", "value": True})
        # The toolkit answers the new clipboard owner with requests of its own; a server gone in the
        # middle of those still crashes inside the toolkit (a known gap), so this test lets them end.
        time.sleep(1)
        xvfb.close()
        time.sleep(0.5)
        self.assertEqual(program.request("q", "qr-generate", {"value": "x"})["id"], "q")
        for command, payload, answer in [("clipboard-text", None, ""), ("clipboard-write-text", {"text": "x"}, False),
                                         ("choose-images", None, []), ("emoji-panel", None, True),
                                         ("clipboard-card-read", None, None)]:
            with self.subTest(command=command):
                reply = program.request(command, command, payload, timeout=10)
                if answer is None:
                    self.assertEqual(reply, {"id": command, "error": NO_CARD})
                else:
                    self.assertEqual(reply, {"id": command, "value": answer})
        # Not spinning on the dead connection.
        with open("/proc/%d/stat" % program.process.pid) as f:
            before = sum(int(v) for v in f.read().split()[13:15])
        time.sleep(1)
        with open("/proc/%d/stat" % program.process.pid) as f:
            after = sum(int(v) for v in f.read().split()[13:15])
        self.assertLess(after - before, 20)  # clock ticks of CPU in one second: well under a fifth
        program.close_input()
        self.assertEqual(program.wait(10), 0)


if __name__ == "__main__":
    unittest.main()
