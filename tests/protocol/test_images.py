"""The image and QR commands through the program's pipes."""

import base64
import os
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "env"))
from testenv import Program  # noqa: E402


class ImageCommandsTest(unittest.TestCase):
    def setUp(self):
        self.program = Program()
        self.addCleanup(self.program.close)

    def test_qr_round_trip(self):
        text = "mirelo://join/#房间-42/abc"
        generated = self.program.request("g", "qr-generate", {"value": text})
        self.assertTrue(generated["value"].startswith("data:image/png;base64,"))
        self.assertEqual(self.program.request("d", "qr-decode", {"data": generated["value"]}),
                         {"id": "d", "value": text})

    def test_normalize_reply(self):
        photo = subprocess.run(["convert", "-size", "800x400", "plasma:", "jpg:-"], capture_output=True,
                               check=True).stdout
        reply = self.program.request("n", "normalize-image", {"data": base64.b64encode(photo).decode()})["value"]
        self.assertEqual(reply["type"], "image/png")
        png = base64.b64decode(reply["data"])
        self.assertTrue(png.startswith(b"\x89PNG\r\n\x1a\n"))
        self.assertLessEqual(len(png), 65536)
        self.assertEqual(max(reply["width"], reply["height"]), reply["width"])
        self.assertLessEqual(reply["width"], 256)
        self.assertEqual(reply["height"] * 2, reply["width"])

    def test_errors_reach_the_host_unchanged(self):
        cases = [
            ("qr-generate", {}, "邀请内容无效"),
            ("qr-decode", {"data": "data:image/png;base64,"}, "图片编码无效"),
            ("qr-decode", {"data": base64.b64encode(b"<svg/>").decode()}, "图片尺寸无效或过大"),
            ("normalize-image", {"data": 12}, "图片数据过大"),
        ]
        for command, payload, error in cases:
            with self.subTest(command=command, error=error):
                self.assertEqual(self.program.request("e", command, payload), {"id": "e", "error": error})


if __name__ == "__main__":
    unittest.main()
