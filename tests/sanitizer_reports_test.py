#!/usr/bin/env python3
"""A sanitized program started with an empty environment still reports.

    sanitizer_reports_test.py PROBE REPORT_DIR

PROBE (tests/sanitizer_probe.cpp) makes one fault on request. Each fault is
started as `env -i` would (no ASAN_OPTIONS, no UBSAN_OPTIONS), its stderr
captured and thrown away as a test's may be, and the report must still lie
in REPORT_DIR under the probe's process id: what scripts/run-tests counts as
a failure. The reports made here are removed again, and only they.
"""

import os
import subprocess
import sys
import unittest

PROBE = None
REPORTS = None

# (fault, the report file's stem, what it must say)
CASES = [
    ("address", "asan", "ERROR: AddressSanitizer: heap-buffer-overflow"),
    ("undefined", "ubsan", "runtime error: signed integer overflow"),
    ("leak", "asan", "ERROR: LeakSanitizer: detected memory leaks"),
]


class SanitizerReportsTest(unittest.TestCase):
    def test_a_child_without_environment_reports_to_the_folder(self):
        for fault, stem, said in CASES:
            with self.subTest(fault):
                proc = subprocess.Popen([PROBE, fault], env={}, stdout=subprocess.DEVNULL,
                                        stderr=subprocess.PIPE)
                proc.communicate(timeout=60)
                self.assertNotEqual(0, proc.returncode)
                report = os.path.join(REPORTS, "%s.%d" % (stem, proc.pid))
                try:
                    with open(report, errors="replace") as f:
                        text = f.read()
                finally:
                    for name in ("asan", "ubsan"):
                        path = os.path.join(REPORTS, "%s.%d" % (name, proc.pid))
                        if os.path.exists(path):
                            os.unlink(path)
                self.assertIn(said.lower(), text.lower())


if __name__ == "__main__":
    PROBE, REPORTS = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
    unittest.main(argv=sys.argv[:1], verbosity=2)
