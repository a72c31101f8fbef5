"""Start-up: the toolkit and the image libraries are in the desktop module, which the program
loads on the first command that needs it; without the module those commands fail cleanly."""

import base64
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "env"))
from testenv import Program, build_dir, desktop_session, program_path  # noqa: E402

MODULE = os.path.join(build_dir(), "services", "MireloServicesDesktop.so")
HEAVY = ("libvips", "libgtk-4", "libxcb.so", "MireloServicesDesktop")


def mapped(program):
    """The heavy libraries mapped into the running program."""
    with open("/proc/%d/maps" % program.process.pid) as maps:
        text = maps.read()
    return {name for name in HEAVY if name in text}


LINKER_MARKS = {"_end", "_edata", "__bss_start"}  # every ELF object has its own


def symbols(path, *options, kinds=None):
    """Names in the dynamic symbol table of `path` as nm lists them, of the given kinds (nm letters)."""
    out = subprocess.run(["nm", "-D", *options, path], capture_output=True, text=True, check=True).stdout
    rows = [line.split() for line in out.splitlines()]
    return {row[-1] for row in rows if kinds is None or (len(row) == 3 and row[1] in kinds)} - LINKER_MARKS


class LoadedOnFirstUseTest(unittest.TestCase):
    def test_image_commands_load_the_module(self):
        program = Program()
        self.addCleanup(program.close)
        self.assertEqual(program.request("a", "nope"), {"id": "a", "error": "不支持的原生操作"})
        self.assertEqual(mapped(program), set())
        generated = program.request("g", "qr-generate", {"value": "mirelo://join/1"})
        self.assertTrue(generated["value"].startswith("data:image/png;base64,"), generated)
        self.assertEqual(program.request("d", "qr-decode", {"data": generated["value"]}),
                         {"id": "d", "value": "mirelo://join/1"})
        self.assertTrue({"libvips", "MireloServicesDesktop"} <= mapped(program))
        # libvips' optional modules (PDF, slides, HEIF, JPEG XL, ImageMagick) stay out; the five
        # formats taken are built into libvips itself.
        for kind in ("png", "jpeg", "gif", "webp", "tiff"):
            with self.subTest(kind=kind):
                data = subprocess.run(["convert", "-size", "40x30", "gradient:red-blue", kind + ":-"],
                                      capture_output=True, check=True).stdout
                reply = program.request("n", "normalize-image", {"data": base64.b64encode(data).decode()})
                self.assertEqual((reply["value"]["width"], reply["value"]["height"]), (40, 30), reply)
        with open("/proc/%d/maps" % program.process.pid) as maps:
            self.assertNotIn("vips-modules", maps.read())

    def test_display_commands_on_a_display(self):
        env, program, _ = desktop_session(self)
        self.assertEqual(program.request("a", "nope"), {"id": "a", "error": "不支持的原生操作"})
        self.assertEqual(mapped(program), set())
        self.assertEqual(program.request("w", "clipboard-write-text", {"text": "从启动后"}), {"id": "w", "value": True})
        other = subprocess.run(["xclip", "-selection", "clipboard", "-o"], env=env, capture_output=True, timeout=10)
        self.assertEqual(other.stdout.decode(), "从启动后")
        self.assertTrue({"libgtk-4", "MireloServicesDesktop"} <= mapped(program))
        # The image side of the same module works after the display side loaded it.
        self.assertIn("value", program.request("g", "qr-generate", {"value": "x"}))

    def test_one_copy_of_the_shared_floors(self):
        # Functions and data the executable exports (common/, protocol/, the platform seams) are
        # never defined again in the module: it binds to the executable's.
        program = symbols(program_path("MireloServices"), "--defined-only", kinds=set("TDBR"))
        self.assertEqual(program & symbols(MODULE, "--defined-only", kinds=set("TDBR")), set())
        bound = program & symbols(MODULE, "--undefined-only")
        self.assertTrue(any("base64Decode" in name for name in bound), bound)


class WithoutDisplayTest(unittest.TestCase):
    def test_display_commands_load_nothing(self):
        # No DISPLAY: the toolkit could reach no X server, so the display commands answer without it.
        program = Program()
        self.addCleanup(program.close)
        for command, payload, value in [("clipboard-text", {}, ""), ("clipboard-write-text", {"text": "x"}, False),
                                        ("emoji-panel", {}, True), ("idle", {}, 0)]:
            with self.subTest(command=command):
                self.assertEqual(program.request("r", command, payload), {"id": "r", "value": value})
        self.assertEqual(mapped(program), set())


class ModuleMissingTest(unittest.TestCase):
    def alone(self):
        """The executable copied into a build folder of its own, without its module next to it."""
        folder = tempfile.mkdtemp(prefix="mirelo-alone-")
        self.addCleanup(shutil.rmtree, folder, True)
        os.mkdir(os.path.join(folder, "services"))
        shutil.copy2(program_path("MireloServices"), os.path.join(folder, "services"))
        saved = os.environ.get("MIRELO_BUILD_DIR")
        os.environ["MIRELO_BUILD_DIR"] = folder
        try:
            return Program()
        finally:
            if saved is None:
                del os.environ["MIRELO_BUILD_DIR"]
            else:
                os.environ["MIRELO_BUILD_DIR"] = saved

    def test_commands_answer_without_it(self):
        program = self.alone()
        self.addCleanup(program.close)
        missing = "图片与桌面组件无法加载"
        cases = [
            ("qr-generate", {"value": "x"}, {"error": missing}),
            ("normalize-image", {"data": "AAAA"}, {"error": missing}),
            ("room-card-decode", {"data": "AAAA"}, {"error": missing}),
            ("clipboard-card-read", {}, {"error": missing}),
            ("clipboard-text", {}, {"value": ""}),
            ("clipboard-write-text", {"text": "x"}, {"value": False}),
            ("emoji-panel", {}, {"value": True}),
            ("idle", {}, {"value": 0}),
        ]
        for command, payload, answer in cases:
            with self.subTest(command=command):
                self.assertEqual(program.request("r", command, payload), {"id": "r", **answer})
        self.assertEqual(program.request("s", "stop"), {"id": "s", "value": True})


if __name__ == "__main__":
    unittest.main()
