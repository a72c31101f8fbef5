"""Another X client destroys our emoji palette or our open panel (XDestroyWindow through
`xdotool windowclose`, XKillClient through `xdotool windowkill`): a dismissal. The command gets its
dismissed reply, standard output carries protocol lines only, and the next requests are answered."""

import json
import os
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "env"))
from testenv import desktop_session  # noqa: E402

PALETTE = "Mirelo 表情与符号"
PANEL = "选择要导入的图片"


class DestroyedWindowTest(unittest.TestCase):
    def find(self, env, title):
        return subprocess.run(["xdotool", "search", "--sync", "--onlyvisible", "--name", title], env=env,
                              capture_output=True, text=True, timeout=30).stdout.split()[0]

    def check_serving(self, program):
        self.assertEqual(program.request("e", "emoji-panel", timeout=10), {"id": "e", "value": True})
        self.assertEqual(program.request("c", "clipboard-text", timeout=10)["id"], "c")
        self.assertEqual(program.request("n", "nope")["error"], "不支持的原生操作")
        self.assertIsNone(program.process.poll())

    def test_palette_destroyed(self):
        for how in ("windowclose", "windowkill"):
            with self.subTest(how):
                env, program, _ = desktop_session(self)
                self.assertEqual(program.request("1", "emoji-panel", timeout=30), {"id": "1", "value": True})
                window = self.find(env, PALETTE)
                time.sleep(1)  # drawn and blinking
                subprocess.run(["xdotool", how, window], env=env, timeout=30)
                time.sleep(1)
                self.check_serving(program)

    def test_open_panel_destroyed(self):
        for how in ("windowclose", "windowkill"):
            with self.subTest(how):
                env, program, _ = desktop_session(self)
                program.send({"id": "pick", "command": "choose-images"})
                window = self.find(env, PANEL)
                time.sleep(0.5)
                subprocess.run(["xdotool", how, window], env=env, timeout=30)
                line = program.read_line(20)
                self.assertEqual(json.loads(line), {"id": "pick", "value": []})
                self.check_serving(program)


if __name__ == "__main__":
    unittest.main()
