"""choose-images end to end: GTK's own file dialog on a private X server, driven with xdotool."""

import base64
import os
import subprocess
import sys
import threading
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "env"))
from testenv import SANITIZED, Program, desktop_session  # noqa: E402

TITLE = "选择要导入的图片"


def make_image(path, width, height):
    subprocess.run(["convert", "-size", "%dx%d" % (width, height), "xc:#3366cc", path], check=True)
    with open(path, "rb") as f:
        return f.read()


class ChooseImagesTest(unittest.TestCase):
    def setUp(self):
        self.env, self.program, self.folder = desktop_session(self)

    def xdotool(self, *args):
        subprocess.run(["xdotool", *args], env=self.env, check=True, timeout=30, stdout=subprocess.DEVNULL)

    def wait_for_panel(self):
        self.xdotool("search", "--sync", "--onlyvisible", "--name", TITLE)
        time.sleep(0.5)  # mapped is not yet focused

    def test_picks_two_files(self):
        first = make_image(os.path.join(self.folder, "a.png"), 40, 30)
        second = make_image(os.path.join(self.folder, "b.JPG"), 30, 20)
        self.program.send({"id": "pick", "command": "choose-images", "payload": {"multiple": True}})
        self.wait_for_panel()
        self.xdotool("type", "--delay", "20", self.folder + "/")  # the location bar opens on "/"
        self.xdotool("key", "Return")
        time.sleep(1)
        self.xdotool("key", "ctrl+a")
        time.sleep(0.3)
        self.xdotool("key", "alt+o")
        reply = self.program.read_json(30)
        self.assertEqual(reply["id"], "pick")
        self.assertEqual(reply["value"], [
            {"name": "a.png", "type": "image/png", "data": base64.b64encode(first).decode()},
            {"name": "b.JPG", "type": "image/jpeg", "data": base64.b64encode(second).decode()},
        ])

    def test_cancel_gives_no_files(self):
        make_image(os.path.join(self.folder, "a.png"), 10, 10)
        self.program.send({"id": "cancel", "command": "choose-images"})
        self.wait_for_panel()
        self.xdotool("key", "Escape")
        self.assertEqual(self.program.read_json(30), {"id": "cancel", "value": []})
        # The program serves on after the panel.
        self.assertEqual(self.program.request("next", "nope")["error"], "不支持的原生操作")

    def test_requests_waiting_behind_the_panel_hold_only_their_lines(self):
        # A value parsed from `[{},{},…]` is tens of times its line: what waits must be the lines.
        self.program.send({"id": "panel", "command": "choose-images"})
        self.wait_for_panel()
        count, elements = 4, 5_000_000
        # A command that runs, so each payload is built (and refused for its missing value).
        lines = [b'{"id":"q%d","command":"qr-generate","payload":{"x":[' % i + b"{}," * (elements - 1) + b"{}]}}\n"
                 for i in range(count)]
        writer = threading.Thread(target=lambda: [self.program.send(line) for line in lines])
        writer.start()
        writer.join(60)
        self.assertFalse(writer.is_alive())
        time.sleep(1)  # the last line leaves the pipe
        if not SANITIZED:
            self.assertLess(self.program.rss_kib(), 300 * 1024)
        self.xdotool("key", "Escape")
        self.assertEqual(self.program.read_json(30), {"id": "panel", "value": []})
        for i in range(count):
            self.assertEqual(self.program.read_json(60), {"id": "q%d" % i, "error": "邀请内容无效"})
        if not SANITIZED:  # large buffers stay warm for a few idle seconds, then are given back
            deadline = time.monotonic() + 10
            while self.program.rss_kib() > 200 * 1024 and time.monotonic() < deadline:
                time.sleep(0.1)
            self.assertLess(self.program.rss_kib(), 200 * 1024)


class NoDisplayTest(unittest.TestCase):
    def test_without_a_display_the_panel_answers_empty(self):
        with Program() as program:
            self.assertEqual(program.request("x", "choose-images", {"multiple": True}), {"id": "x", "value": []})


if __name__ == "__main__":
    unittest.main()
