"""What the script-driven tests share: a list of checks that ends in the
closing line CTest's log readers know, the version the build reads, and
reading what a program wrote to a terminal."""

import os
import re

def read_until_closed(master):
    """All a program wrote to the pty whose master this is, once every writer
    has closed its side (Linux then answers EIO); closes the master."""
    shown = b""
    while True:
        try:
            chunk = os.read(master, 4096)
        except OSError:
            break
        if not chunk:
            break
        shown += chunk
    os.close(master)
    return shown


SOURCE = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))


class Checks:
    """One line per check, "ok" or "FAIL", and "N passed, M failed" at the end."""

    def __init__(self):
        self.passed = self.failed = 0

    def check(self, ok, what):
        print("%s %s" % ("ok  " if ok else "FAIL", what), flush=True)
        if ok:
            self.passed += 1
        else:
            self.failed += 1
        return ok

    def summary(self):
        print("%d passed, %d failed" % (self.passed, self.failed))
        return 0 if self.failed == 0 else 1


def version():
    """a.b.c.d from res/XKTVersion.h, as the build reads it."""
    with open(os.path.join(SOURCE, "res", "XKTVersion.h")) as f:
        numbers = re.search(r"#define\s+XKT_VERSION_NUMBERS\s+(\d+),(\d+),(\d+),(\d+)", f.read())
    return ".".join(numbers.groups())
