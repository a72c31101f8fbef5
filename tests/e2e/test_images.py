"""The image and QR commands through the program's pipes."""

import base64
import os
import random
import struct
import subprocess
import sys
import tempfile
import unittest
import zlib

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

    def convert(self, *arguments):
        return subprocess.run(["convert", *arguments], capture_output=True, check=True).stdout

    def test_heic_and_avif_wherever_images_are_decoded(self):
        code = self.program.request("g", "qr-generate", {"value": "mirelo://join/#heif"})["value"]
        with tempfile.TemporaryDirectory() as folder:
            qr = os.path.join(folder, "qr.png")
            with open(qr, "wb") as out:
                out.write(base64.b64decode(code.split(",", 1)[1]))
            for kind in ("heic", "avif"):
                with self.subTest(kind=kind):
                    photo = self.convert("-size", "400x300", "gradient:orange-purple", kind + ":-")
                    self.assertEqual(photo[4:8], b"ftyp")
                    data = base64.b64encode(photo).decode()
                    reply = self.program.request("n", "normalize-image", {"data": data}, timeout=60)["value"]
                    self.assertEqual((reply["width"], reply["height"]), (256, 192), reply)
                    card = self.program.request("c", "room-card-encode", {"data": data, "invitation": "mirelo://join/#h",
                                                                         "robust": True}, timeout=120)["value"]
                    self.assertEqual(self.program.request("d", "room-card-decode", {"data": card}, timeout=60),
                                     {"id": "d", "value": "mirelo://join/#h"})
                    shot = self.convert(qr, "-quality", "90", kind + ":-")
                    self.assertEqual(self.program.request("q", "qr-decode", {"data": base64.b64encode(shot).decode()},
                                                          timeout=60), {"id": "q", "value": "mirelo://join/#heif"})
        # libvips' HEIF module is mapped for them, and no other of its modules.
        with open("/proc/%d/maps" % self.program.process.pid) as maps:
            modules = {line.split("/")[-1].strip() for line in maps if "vips-modules" in line}
        self.assertEqual(modules, {"vips-heif.so"})

    def test_a_long_comment_is_never_inflated(self):
        # An 8 MB comment, compressed in a zTXt chunk: dropped unread, so neither the time nor the
        # memory of inflating it are spent, and the picture comes out as it would without it.
        plain = self.convert("-size", "216x144", "plasma:", "-define", "png:exclude-chunks=all", "png:-")
        text = bytes(97 + b % 26 for b in random.Random(3).randbytes(7_900_000))
        body = b"Comment\0\0" + zlib.compress(text, 9)
        chunk = struct.pack(">I", len(body)) + b"zTXt" + body + struct.pack(">I", zlib.crc32(b"zTXt" + body))
        tagged = plain[:33] + chunk + plain[33:]
        expected = self.program.request("p", "normalize-image", {"data": base64.b64encode(plain).decode()})["value"]
        before = self.program.peak_rss_kib()
        reply = self.program.request("t", "normalize-image", {"data": base64.b64encode(tagged).decode()}, timeout=60)
        self.assertEqual(reply["value"], expected)
        # The request line (about 6 MB of Base64) and its decoded bytes are all that is held.
        self.assertLess(self.program.peak_rss_kib() - before, 48 * 1024)

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
