#!/usr/bin/env python3
"""Checks that an architecture's Windows programs really run as that architecture.

    run_bitness.py --win-build CROSS_BUILD_DIR --arch win32|win64

Starts xkt_bitness.exe under Wine and compares what the program says of
itself (pointer size, WoW64, its image's machine) and what Linux says of the
process behind it (the ELF class and machine of /proc/PID/exe) with the
architecture's row below. A host or guest that quietly ran the program some
other way (the 64-bit loader under WoW64, another build) fails here.
"""

import argparse
import os
import platform
import struct
import subprocess
import sys
import threading

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "tools"))

import wineenv    # noqa: E402

# What each architecture must show: the program's own report, and the ELF
# class and e_machine of the Linux process running it.
EXPECTED = {
    "win32": {"pointer": "4", "wow64": "0", "machine": "0x14c", "elf": "32-bit i386"},
    "win64": {"pointer": "8", "wow64": "0", "machine": "0x8664", "elf": "64-bit x86-64"},
}
ELF_CLASSES = {1: "32-bit", 2: "64-bit"}
ELF_MACHINES = {3: "i386", 62: "x86-64"}


def elf_kind(path):
    """'32-bit i386' and the like, from an executable's ELF header."""
    with open(path, "rb") as f:
        header = f.read(20)
    if len(header) < 20 or header[:4] != b"\x7fELF":
        return "not ELF"
    machine = struct.unpack("<H", header[18:20])[0]
    return "%s %s" % (ELF_CLASSES.get(header[4], "class %d" % header[4]),
                      ELF_MACHINES.get(machine, "machine %d" % machine))


def first_line(stream, seconds):
    got = []
    reader = threading.Thread(target=lambda: got.append(stream.readline()), daemon=True)
    reader.start()
    reader.join(seconds)
    return got[0].decode("ascii", "replace").strip() if got else None


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--win-build", required=True, help="the cross build directory")
    parser.add_argument("--arch", choices=wineenv.ARCHES, default="win32")
    parser.add_argument("--cache", help="template prefixes (default: wine-cache beside WIN_BUILD)")
    args = parser.parse_args()
    wineenv.exit_unless_host_runs(args.arch, "the bitness check")

    win_build = os.path.abspath(args.win_build)
    exe = os.path.join(win_build, "tests", "wine", "xkt_bitness.exe")
    if not os.path.exists(exe):
        print("FAIL missing %s" % exe)
        return 1
    print("Linux kernel: %s %s" % (platform.machine(), platform.release()))
    seen = {}
    with wineenv.WineEnv(args.cache or wineenv.default_cache(win_build),
                         os.path.join(win_build, "wine-bitness"), arch=args.arch) as env:
        proc = env.run([exe], stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        # Wine starts the program in the very process it was started as.
        line = first_line(proc.stdout, 120)
        try:
            seen["elf"] = elf_kind("/proc/%d/exe" % proc.pid)
            loader = os.readlink("/proc/%d/exe" % proc.pid)
        except OSError as error:
            seen["elf"], loader = "unreadable (%s)" % error.strerror, "?"
        proc.stdin.write(b"\n")
        proc.stdin.close()
        proc.wait(timeout=60)
    print("xkt_bitness.exe said: %s" % line)
    print("its Linux process: %s, %s" % (loader, seen["elf"]))
    words = (line or "").split()
    seen.update(zip(words[0::2], words[1::2]))
    failed = 0
    for key, want in EXPECTED[args.arch].items():
        ok = seen.get(key) == want
        failed += not ok
        print("%s %s %s%s" % ("ok  " if ok else "FAIL", key, seen.get(key),
                              "" if ok else " (wanted %s)" % want))
    print("%d passed, %d failed" % (len(EXPECTED[args.arch]) - failed, failed))
    return 0 if failed == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
