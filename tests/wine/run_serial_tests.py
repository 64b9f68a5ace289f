#!/usr/bin/env python3
"""Runs xkt_serial_test.exe under Wine against xkt-sim on a pty-backed COM port.

    run_serial_tests.py --sim PATH/xkt-sim --win-build CROSS_BUILD_DIR

The test program asks for simulator scenarios and line checks through lines
starting with '@' (see serial_test.cpp); this script answers them. It prints
the program's check lines and its closing "N passed, M failed" line, and exits
non-zero when a check or the set-up failed.
"""

import argparse
import os
import shutil
import subprocess
import sys
import termios
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "tools"))
sys.path.insert(0, HERE)

import simproc    # noqa: E402
import wineenv    # noqa: E402
import xktdrive   # noqa: E402

SIM_PORT = 3
ABSENT_PORT = 5
IDENT = "ORVEL-TEST SN0042 X"   # 19 bytes

SPEEDS = {9600: termios.B9600, 19200: termios.B19200}
BITS = {7: termios.CS7, 8: termios.CS8}


def make_data_files(directory):
    with open(os.path.join(directory, "v.bin"), "wb") as f:
        f.write(bytes(range(256)))
    with open(os.path.join(directory, "a.bin"), "wb") as f:
        f.write(bytes((i * 37 + 11) % 251 + 1 for i in range(60)))
    lines = ["2024-03-05 09:%02d:%02d  %6.2f kOhm\r\n" % (i // 6, i % 6 * 10, 100 + i * 0.25)
             for i in range(40)]
    with open(os.path.join(directory, "o.bin"), "wb") as f:
        f.write("".join(lines).encode("ascii"))


class Simulator(simproc.SimProcess):
    """The instrument for the serial test: data sets from files, sent at once."""

    def __init__(self, path, work_dir):
        args = ["--ident", IDENT, "--data", "instant"]
        for letter in "vao":
            args += ["--data-file", "%s=%s" % (letter, os.path.join(work_dir, letter + ".bin"))]
        super().__init__(path, args, log_path=os.path.join(work_dir, "sim.log"))
        self.log_mark = 0

    def logged(self):
        """Hex bytes received since the last clear_log()."""
        return ["%02x" % byte for _, byte in self.log_entries()[self.log_mark:]]

    def clear_log(self):
        self.log_mark = len(self.log_entries())


def line_settings(slave):
    fd = os.open(slave, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
    try:
        return termios.tcgetattr(fd)
    finally:
        os.close(fd)


# Flow control an earlier program may have left on a port, by the word the
# test uses for it: (termios field index, bits).
FLOWS = {"xonxoff": (0, termios.IXON | termios.IXOFF), "rtscts": (2, termios.CRTSCTS)}


def describe_line(slave):
    """'BAUD BITS STOP' and the flow control words that are on."""
    attrs = line_settings(slave)
    speed = {v: k for k, v in SPEEDS.items()}.get(attrs[5], "other")
    bits = {v: k for k, v in BITS.items()}.get(attrs[2] & termios.CSIZE, "other")
    stop = 2 if attrs[2] & termios.CSTOPB else 1
    flows = [word for word, (field, mask) in sorted(FLOWS.items()) if attrs[field] & mask]
    return " ".join(["%s %s %s" % (speed, bits, stop)] + flows)


def set_line(slave, speed, bits, stop, flows=()):
    fd = os.open(slave, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
    try:
        attrs = termios.tcgetattr(fd)
        attrs[2] = (attrs[2] & ~(termios.CSIZE | termios.CSTOPB)) | BITS[bits] | \
            (termios.CSTOPB if stop == 2 else 0)
        for word, (field, mask) in FLOWS.items():
            attrs[field] = attrs[field] | mask if word in flows else attrs[field] & ~mask
        attrs[4] = attrs[5] = SPEEDS[speed]
        termios.tcsetattr(fd, termios.TCSANOW, attrs)
    finally:
        os.close(fd)


class Adapter:
    """Pulls the simulator's adapter and plugs it back, now or a little later."""

    def __init__(self, env, sim):
        self.env = env
        self.sim = sim
        self.timer = None

    def pull(self):
        return "ok" if self.env.pull_adapter(self.sim) else "error the simulator did not vanish"

    def pull_in(self, ms):
        self.timer = threading.Timer(ms / 1000.0, self.pull)
        self.timer.start()
        return "ok"

    def plug(self):
        if self.timer:
            self.timer.join()
            self.timer = None
        if not self.env.plug_adapter(SIM_PORT, self.sim):
            return "error the simulator did not return"
        return "ok"


def answer(request, sim, adapter):
    verb, _, rest = request.partition(" ")
    if verb == "sim":
        return sim.command(rest)
    if verb == "line":
        return describe_line(sim.slave)
    if verb == "setline":
        words = rest.split()
        if any(word not in FLOWS for word in words[3:]):
            return "error unknown flow control in " + rest
        speed, bits, stop = (int(x) for x in words[:3])
        set_line(sim.slave, speed, bits, stop, words[3:])
        return "ok"
    if verb == "log":
        return " ".join(sim.logged())
    if verb == "clearlog":
        sim.clear_log()
        return "ok"
    if verb == "vanish":
        return adapter.pull() if not rest else adapter.pull_in(int(rest))
    if verb == "return":
        return adapter.plug()
    return "error unknown request " + verb


def run_test(env, exe, sim, work_dir):
    """Runs the test program, answering its requests.

    Returns (passed, failed) as its check lines counted them; a program that
    ended badly counts as one more failure.
    """
    proc = env.run([exe, str(SIM_PORT), str(ABSENT_PORT), IDENT], cwd=work_dir,
                   stdin=subprocess.PIPE, stdout=subprocess.PIPE)
    passed = failed = 0
    adapter = Adapter(env, sim)
    for raw in proc.stdout:
        line = raw.decode("latin-1").rstrip("\r\n")
        if line.startswith("@"):
            reply = answer(line[1:], sim, adapter)
            proc.stdin.write((reply + "\n").encode("latin-1"))
            proc.stdin.flush()
            continue
        if line.startswith("ok "):
            passed += 1
        elif line.startswith("FAIL "):
            failed += 1
        elif line.endswith(" failed"):
            continue   # its own count; the summary below adds the exit status
        print(line, flush=True)
    code = proc.wait()
    if code != 0 and failed == 0:
        print("FAIL xkt_serial_test ended with exit code %d" % code)
        failed += 1
    return passed, failed


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[1])
    parser.add_argument("--sim", required=True, help="the native xkt-sim program")
    parser.add_argument("--win-build", required=True, help="the cross build directory")
    parser.add_argument("--arch", choices=wineenv.ARCHES, default="win32",
                        help="the cross build's architecture (default: win32)")
    parser.add_argument("--cache", help="where the template prefixes are kept "
                        "(default: wine-cache beside WIN_BUILD)")
    parser.add_argument("--work", help="scratch directory (default: WIN_BUILD/wine-serial-test)")
    parser.add_argument("--use-display", action="store_true",
                        help="run on $DISPLAY instead of a private Xvfb")
    args = parser.parse_args()
    wineenv.exit_unless_host_runs(args.arch, "the Win32 serial tests")

    args.win_build = os.path.abspath(args.win_build)
    args.sim = os.path.abspath(args.sim)
    exe_dir = os.path.join(args.win_build, "tests", "wine")
    test_exe = os.path.join(exe_dir, "xkt_serial_test.exe")
    driver_exe = os.path.join(exe_dir, "xktdrive.exe")
    cache = args.cache or wineenv.default_cache(args.win_build)
    work = args.work or os.path.join(args.win_build, "wine-serial-test")
    for path in (args.sim, test_exe, driver_exe):
        if not os.path.exists(path):
            print("missing %s" % path)
            print("0 passed, 1 failed")
            return 1

    shutil.rmtree(work, ignore_errors=True)
    data_dir = os.path.join(work, "data")
    os.makedirs(data_dir)
    make_data_files(data_dir)
    started = time.monotonic()
    sim = Simulator(args.sim, data_dir)
    try:
        with wineenv.WineEnv(cache, os.path.join(work, "wine"),
                             arch=args.arch, use_display=args.use_display) as env:
            keeper = env.start_session([driver_exe])
            driver = xktdrive.Driver(keeper)
            wanted = {SIM_PORT: sim.slave}
            env.set_ports(wanted)
            complaints = env.check_ports(wanted, driver.ports())
            if complaints:
                print("COM port layout is wrong: " + "; ".join(complaints))
                print("0 passed, 1 failed")
                return 1
            passed, failed = run_test(env, test_exe, sim, data_dir)
            driver.close()
    except wineenv.WineError as error:
        print("Wine failed: %s" % error)
        print("0 passed, 1 failed")
        return 1
    finally:
        sim.close()
    print("serial tests took %.1f s (Wine log: %s)" % (time.monotonic() - started,
                                                        os.path.join(work, "wine", "wine.log")))
    print("%d passed, %d failed" % (passed, failed))
    return 0 if failed == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
