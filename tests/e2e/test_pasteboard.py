"""The Pasteboard seam's contract against X: tests/platform/pasteboard_contract_test.cpp on a
private display, with xclip as the other application."""

import os
import subprocess
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "env"))
from testenv import TempHome, Xvfb, build_dir, clean_env  # noqa: E402


class PasteboardContractTest(unittest.TestCase):
    """The Pasteboard seam's cases (tests/platform/pasteboard_contract_test.cpp) against the X
    pasteboard on a private display, written by the same process and by another one, with xclip as
    the other application; the same cases run against the fake the command tests use."""

    def test_x11_pasteboard_reads_as_the_fake(self):
        xvfb, home = Xvfb(), TempHome()
        self.addCleanup(home.close)
        self.addCleanup(xvfb.close)
        result = subprocess.run([os.path.join(build_dir(), "tests", "pasteboard_contract_tests")],
                                env=clean_env(MIRELO_TEST_DISPLAY=xvfb.display, **home.env()), capture_output=True,
                                timeout=120)
        output = result.stdout.decode(errors="replace")
        self.assertEqual(result.returncode, 0, output + result.stderr.decode(errors="replace"))
        for backend in ["fake", "x11", "x11_peer"]:
            self.assertRegex(output, r"\[       OK \] \S+/%s \(" % backend)
        self.assertNotRegex(output, r"FAILED|SKIPPED")


if __name__ == "__main__":
    unittest.main()
