#!/usr/bin/env python3
"""scripts/junit_count.py reads what ctest really writes: a throw-away CMake project with
one test of each outcome is run by this machine's ctest, and its JUnit file is counted."""
import subprocess
import sys
import tempfile
import unittest
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "scripts"))
import junit_count  # noqa: E402

GTEST_OUTPUT = r"[ RUN      ] Peer.Test\nserver_pool.h:66: Skipped\nno peer here\n (needs chrony 4.6)\n[  SKIPPED ] Peer.Test (1 ms)\n"

# name, shell command (or a program by its path), extra test properties, how it must be counted,
# the start of the reason shown; a test whose program is missing never ran, and is no skip
CASES = [
    ("missing", "/nonexistent/pelldor-no-such-tool", "", "failed", ""),
    ("passes", "true", "", "passed", None),
    ("fails", "echo broken; false", "", "failed", "fail"),
    ("gtest_skip", f"printf '{GTEST_OUTPUT}'", r'SKIP_REGULAR_EXPRESSION "\\[  SKIPPED \\]"',
     "skipped", "no peer here (needs chrony 4.6)"),
    ("code_skip", "echo preparing; echo needs root; exit 77", "SKIP_RETURN_CODE 77", "skipped", "needs root"),
    ("switched_off", "true", "DISABLED TRUE", "skipped", "disabled in CTest"),
]


class JunitCountTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.dir = tempfile.TemporaryDirectory(prefix="pelldor-junit-")
        root = Path(cls.dir.name)
        lines = ["cmake_minimum_required(VERSION 3.25)", "project(junit_count_check NONE)", "enable_testing()"]
        for name, command, properties, _, _ in CASES:
            shell = command if command.startswith("/") else f'sh -c "{command}"'
            lines.append(f"add_test(NAME {name} COMMAND {shell})")
            if properties:
                lines.append(f"set_tests_properties({name} PROPERTIES {properties})")
        (root / "CMakeLists.txt").write_text("\n".join(lines) + "\n")
        subprocess.run(["cmake", "-S", root, "-B", root / "build"], check=True, capture_output=True, timeout=60)
        cls.junit = root / "results.xml"
        subprocess.run(["ctest", "--test-dir", root / "build", "--output-junit", cls.junit],
                       capture_output=True, timeout=60)
        cls.passed, cls.failed, cls.skipped = junit_count.count(cls.junit)

    @classmethod
    def tearDownClass(cls):
        cls.dir.cleanup()

    def test_each_outcome_is_counted_with_its_reason(self):
        failed, skipped = dict(self.failed), dict(self.skipped)
        for name, _, _, outcome, reason in CASES:
            with self.subTest(name):
                self.assertEqual(name in failed, outcome == "failed")
                self.assertEqual(name in skipped, outcome == "skipped")
                if outcome == "failed":
                    self.assertTrue(failed[name].startswith(reason), failed[name])
                if outcome == "skipped":
                    self.assertEqual(skipped[name], reason)
        self.assertEqual(self.passed, sum(1 for case in CASES if case[3] == "passed"))

    def test_the_command_line_prints_counts_then_reasons(self):
        out = subprocess.run([sys.executable, junit_count.__file__, self.junit], capture_output=True, text=True,
                             timeout=60)
        self.assertEqual(out.returncode, 0, out.stderr)
        lines = out.stdout.splitlines()
        self.assertEqual(lines[0], f"counts {self.passed} {len(self.failed)} {len(self.skipped)}")
        self.assertIn("skipped\tcode_skip\tneeds root", lines)

    def test_a_file_that_is_not_ctest_junit_is_refused(self):
        bad = Path(self.dir.name) / "bad.xml"
        bad.write_text("ctest printed this, not XML")
        out = subprocess.run([sys.executable, junit_count.__file__, bad], capture_output=True, text=True, timeout=60)
        self.assertEqual(out.returncode, 2)
        self.assertEqual(out.stdout, "")


if __name__ == "__main__":
    unittest.main()
