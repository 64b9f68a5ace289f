#!/usr/bin/env python3
"""How long `orvel read all NAME --erase` takes at 9600 baud.

    bench_read_all.py --orvel PATH/orvel --sim PATH/xkt-sim [--sizes 2048,30720]

For each size, three data sets of that many bytes on a simulated instrument
paced as a 9600-baud line (960 bytes/s), read and erased by one command. It
prints the wall time of the whole command and of the line's own share (the
bytes of all downloads at 960 bytes/s), and fails only when it cannot
measure: a command that does not end with status 0 and all three erased.
"""

import argparse
import os
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tools"))

import simproc    # noqa: E402

LINE_BYTES_PER_SECOND = 960


def data_of_size(letter, size):
    """Reading lines, cut to exactly size bytes and ending in a line feed."""
    unit = {"v": "kV", "a": "uA", "o": "kOhm"}[letter]
    lines = []
    total = 0
    n = 0
    while total < size:
        line = "2024-03-05 %02d:%02d:%02d, %d.%02d %s\n" % (9 + n // 3600, n // 60 % 60, n % 60, n % 97, n % 100,
                                                              unit)
        lines.append(line)
        total += len(line)
        n += 1
    text = "".join(lines).encode()[:size - 1] + b"\n"
    return text


def measure(orvel, sim_path, size, work):
    files = []
    for letter in "vao":
        path = os.path.join(work, "data-%s-%d" % (letter, size))
        with open(path, "wb") as f:
            f.write(data_of_size(letter, size))
        files += ["--data-file", "%s=%s" % (letter, path)]
    link = os.path.join(work, "ttyBENCH%d" % size)
    sim = simproc.SimProcess(sim_path, ["--link", link, "--data", "paced"] + files)
    try:
        started = time.monotonic()
        done = subprocess.run([orvel, "read", "all", "run%d" % size, "--port", link, "--erase", "--overwrite"],
                              cwd=work, stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=1800)
        seconds = time.monotonic() - started
    finally:
        sim.close()
    out = done.stdout.decode(errors="replace").splitlines()
    if done.returncode != 0 or out[-3:] != ["erased kV", "erased uA", "erased kOhm"]:
        print("read all --erase, 3 x %d bytes: failed (%d): %s %s" % (size, done.returncode, out,
                                                                    done.stderr.decode(errors="replace")))
        return False
    line = 3 * size / LINE_BYTES_PER_SECOND
    print("read all --erase, 3 x %6d bytes: %6.1f s (one download of each on the line: %5.1f s)"
          % (size, seconds, line))
    return True


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--orvel", required=True)
    parser.add_argument("--sim", required=True)
    parser.add_argument("--sizes", default="2048,30720")
    args = parser.parse_args()
    ok = True
    with tempfile.TemporaryDirectory(prefix="bench-read-all-") as work:
        for size in (int(s) for s in args.sizes.split(",")):
            ok = measure(args.orvel, args.sim, size, work) and ok
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
