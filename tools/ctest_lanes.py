#!/usr/bin/env python3
"""What a ctest run of a build tree did, lane by lane, and what it skipped.

    ctest_lanes.py BUILD_DIR

Reads the run's JUnit file (BUILD_DIR/Testing/junit.xml, which
scripts/run-tests has ctest write) and the entries' locks (ctest
--show-only=json-v1). Prints, per lock ("guest", "wine_host", none), how
many entries ran under it and their seconds together: the entries of one
lock run one after another, so that sum is the lane's length. Then every
skipped entry by name with the reason it printed (its last line), since a
skip in CI means a missing tool or install step.
"""

import json
import os
import subprocess
import sys
import xml.etree.ElementTree as ET


def locks(build):
    done = subprocess.run(["ctest", "--test-dir", build, "--show-only=json-v1"],
                          stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, check=True)
    found = {}
    for test in json.loads(done.stdout).get("tests", []):
        lock = ""
        for prop in test.get("properties", []):
            if prop.get("name") == "RESOURCE_LOCK":
                lock = ",".join(prop.get("value") or [])
        found[test["name"]] = lock
    return found


def main(argv):
    if len(argv) != 1:
        print(__doc__, file=sys.stderr)
        return 2
    build = argv[0]
    junit = os.path.join(build, "Testing", "junit.xml")
    try:
        cases = ET.parse(junit).getroot().iter("testcase")
    except (OSError, ET.ParseError) as error:
        print("ctest_lanes: %s: %s" % (junit, error))
        return 1
    lock_of = locks(build)
    lanes = {}
    skipped = []
    for case in cases:
        name = case.get("name")
        seconds = float(case.get("time") or 0)
        lane = lanes.setdefault(lock_of.get(name, ""), [0, 0.0])
        lane[0] += 1
        lane[1] += seconds
        if case.find("skipped") is not None:
            out = (case.findtext("system-out") or "").strip().splitlines()
            skipped.append((name, out[-1] if out else case.find("skipped").get("message", "")))
    for lock, (count, seconds) in sorted(lanes.items()):
        print("ctest_lanes: %s: %-28s %3d entries, %6.0f s one after another" % (
            build, "lock " + lock if lock else "no lock", count, seconds))
    for name, why in skipped:
        print("ctest_lanes: %s: skipped %s: %s" % (build, name, why))
    if not skipped:
        print("ctest_lanes: %s: nothing skipped" % build)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
