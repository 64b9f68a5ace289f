#!/usr/bin/env python3
"""orvel.exe under Wine against xkt-sim on pty-backed COM ports: a smoke test.

    test_orvel_wine.py --sim PATH/xkt-sim --win-build CROSS_BUILD_DIR --arch win32|win64

One instrument on COM3, found by the search of COM1 to COM8, and one on
COM12, a port the system lists (as Windows lists a USB adapter's), which
the search reaches after COM1 to COM8 and --port names (Windows opens it as
\\\\.\\COM12). Prints one line per check and closes with "N passed, M
failed"; exits 77 where the host cannot start the architecture's programs.
"""

import argparse
import os
import pty
import shutil
import subprocess
import sys
import time
import traceback

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "tools"))

import simproc    # noqa: E402
from checklist import read_until_closed   # noqa: E402
import wineenv    # noqa: E402

IDENT = "HVM-3000 SN4711 V2"
KV_DATA = b"2024-03-05 09:15:00   12.50 kV\n2024-03-05 09:15:10   12.75 kV\r\n"
SEARCHED_PORT, NAMED_PORT = 3, 12


class Smoke:
    def __init__(self, env, exe, work, sims):
        self.env, self.exe, self.work, self.sims = env, exe, work, sims
        self.passed = self.failed = 0

    def orvel(self, *args):
        """(exit status, stdout, stderr) with Wine's CR LF as LF."""
        proc = self.env.run([self.exe] + list(args), cwd=self.work,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        out, err = proc.communicate(timeout=120)
        return (proc.returncode, out.decode("ascii", "replace").replace("\r\n", "\n"),
                err.decode("ascii", "replace").replace("\r\n", "\n"))

    def received(self, port):
        return bytes(value for _, value in self.sims[port].log_entries())

    def check(self, name, step):
        started = time.monotonic()
        try:
            step()
        except AssertionError as error:
            self.failed += 1
            print("FAIL %s: %s" % (name, error))
            return
        except Exception:   # noqa: BLE001 - a broken check is a failed check
            self.failed += 1
            print("FAIL %s:\n%s" % (name, traceback.format_exc()))
            return
        self.passed += 1
        print("ok   %s (%.1f s)" % (name, time.monotonic() - started))

    def expect(self, want, got):
        if want != got:
            raise AssertionError("expected %r, got %r" % (want, got))

    # ---- the checks ----

    def layout(self, ports):
        self.env.set_ports({port: self.sims[port].slave for port in ports})

    def find_searches_com1_to_com8(self):
        # COM3 answers before COM12 is reached.
        before = len(self.received(NAMED_PORT))
        self.expect((0, "COM%d %s\n" % (SEARCHED_PORT, IDENT), ""), self.orvel("find"))
        self.expect(b"", self.received(NAMED_PORT)[before:])

    def find_goes_on_to_the_listed_com12(self):
        self.layout([NAMED_PORT])
        try:
            before = len(self.received(NAMED_PORT))
            self.expect((0, "COM%d %s\n" % (NAMED_PORT, IDENT), ""), self.orvel("find"))
            self.expect(b"y", self.received(NAMED_PORT)[before:])
        finally:
            self.layout([SEARCHED_PORT, NAMED_PORT])

    def read_from_com12(self):
        before = len(self.received(NAMED_PORT))
        content = KV_DATA.replace(b"\n", b"\r\n")
        self.expect((0, "run1.txt %d bytes\n" % len(content), ""),
                    self.orvel("read", "kV", "run1", "--port", "COM12"))
        with open(os.path.join(self.work, "run1.txt"), "rb") as f:
            self.expect(content, f.read())
        self.expect(b"yv", self.received(NAMED_PORT)[before:])   # a named port is probed first

    def erase_on_com12_by_number(self):
        before = len(self.received(NAMED_PORT))
        self.expect((0, "erased all\n", ""), self.orvel("erase", "all", "--port", "12"))
        self.expect(b"yE", self.received(NAMED_PORT)[before:])

    def erase_after_search(self):
        before = len(self.received(SEARCHED_PORT))
        self.expect((0, "erased kOhm\n", ""), self.orvel("erase", "kohm"))
        self.expect(b"yO", self.received(SEARCHED_PORT)[before:])

    def existing_file_is_kept(self):
        self.expect((3, "", "orvel: read kV: run1.txt: File Exists! Overwrite? No (--overwrite answers Yes)\n"),
                    self.orvel("read", "kV", "run1", "--port", "COM12"))

    def trace_shows_the_probe_and_the_reply(self):
        before = len(self.received(SEARCHED_PORT))
        code, out, err = self.orvel("find", "--port", "COM%d" % SEARCHED_PORT, "--trace", "-")
        self.expect((0, "COM%d %s\n" % (SEARCHED_PORT, IDENT)), (code, out))
        lines = err.splitlines()
        sent = [line for line in lines if " > " in line]
        self.expect(1, len(sent))
        self.expect(True, sent[0].endswith(" > 79  |y|"))
        self.expect(b"y", self.received(SEARCHED_PORT)[before:])
        received = "".join(line.split(" < ", 1)[1].split("  |")[0] + " " for line in lines if " < " in line)
        self.expect(IDENT.encode(), bytes.fromhex(received)[:len(IDENT)])
        self.expect(["check COM3: free", "open COM3 at 9600 baud", "close COM3"],
                    [line.split(" # ", 1)[1] for line in lines if " # " in line])

    def ports_lists_the_systems_com_ports(self):
        # Wine enters only the ports it found under /dev; the simulated ones
        # are entered here, as a driver would on Windows.
        for port in (NAMED_PORT, SEARCHED_PORT):
            proc = self.env.run(["reg", "add", r"HKLM\HARDWARE\DEVICEMAP\SERIALCOMM", "/v",
                                 r"\Device\OrvelSim%d" % port, "/t", "REG_SZ", "/d", "COM%d" % port, "/f"],
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE)
            proc.communicate(timeout=60)
            self.expect(0, proc.returncode)
        code, out, err = self.orvel("ports")
        self.expect((0, ""), (code, err))
        ours = [line for line in out.splitlines() if "OrvelSim" in line]
        self.expect(["COM3  \\Device\\OrvelSim3  free", "COM12  \\Device\\OrvelSim12  free"], ours)

    def help_shows_micro_on_a_console(self):
        # With a terminal as stdout Wine gives the program a console, which
        # shows text in its own code page; UTF-8 bytes would come out as two
        # wrong characters.
        master, slave = pty.openpty()
        proc = self.env.run([self.exe, "--help"], cwd=self.work, stdin=slave, stdout=slave,
                            stderr=subprocess.PIPE)
        os.close(slave)
        shown = read_until_closed(master)
        proc.communicate(timeout=60)
        self.expect(0, proc.returncode)
        self.expect(True, "uA may be written \u00b5A." in shown.decode("utf-8", "replace"))
        # No man page ships for Windows: the help sends the reader to the guide.
        self.expect(True, 'OPERATOR.txt, beside orvel.exe: "From the command line (orvel.exe)"' in shown.decode("utf-8", "replace"))

    def search_passes_ports_it_cannot_open_at_once(self):
        # Every COM port of the search (COM1 to COM8, and the listed COM12) is
        # one Windows refuses to open: each is said with Windows' reason, and
        # none is waited on.
        self.layout([])
        try:
            started = time.monotonic()
            code, out, err = self.orvel("find")
            elapsed = time.monotonic() - started
        finally:
            self.layout([SEARCHED_PORT, NAMED_PORT])
        lines = err.splitlines()
        self.expect((1, "", "orvel: find: No Connection! (searched 9 ports)"), (code, out, lines[0]))
        self.expect(["orvel: find: COM%d:" % n for n in list(range(1, 9)) + [NAMED_PORT]],
                    [" ".join(line.split()[:3]) for line in lines[1:]])
        # Wine's own start-up is most of it; nine waits would be nine seconds.
        if elapsed > 4.0:
            raise AssertionError("the search took %.1f s" % elapsed)
        print("     find over nine ports that cannot be opened: %.2f s, first: %s" % (elapsed, lines[1]))

    def absent_port_points_to_the_list(self):
        code, out, err = self.orvel("find", "--port", "COM13")
        self.expect((2, "", ["orvel: no such port: COM13", "orvel: 'orvel ports' lists this machine's serial ports"]),
                    (code, out, err.splitlines()))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sim", required=True, help="the native xkt-sim program")
    parser.add_argument("--win-build", required=True, help="the cross build directory")
    parser.add_argument("--arch", choices=wineenv.ARCHES, default="win32")
    parser.add_argument("--cache", help="template prefixes (default: wine-cache beside WIN_BUILD)")
    args = parser.parse_args()
    wineenv.exit_unless_host_runs(args.arch, "orvel.exe under Wine")

    win_build = os.path.abspath(args.win_build)
    exe = os.path.join(win_build, "cli", "orvel.exe")
    driver_exe = os.path.join(win_build, "tests", "wine", "xktdrive.exe")
    for path in (args.sim, exe, driver_exe):
        if not os.path.exists(path):
            print("missing %s" % path)
            print("0 passed, 1 failed")
            return 1
    run_dir = os.path.join(win_build, "wine-orvel")
    shutil.rmtree(run_dir, ignore_errors=True)
    work = os.path.join(run_dir, "work")
    os.makedirs(work)
    data = os.path.join(run_dir, "kv.dat")
    with open(data, "wb") as f:
        f.write(KV_DATA)

    sims = {}
    try:
        for port in (SEARCHED_PORT, NAMED_PORT):
            sims[port] = simproc.SimProcess(os.path.abspath(args.sim),
                                            ["--data", "instant", "--data-file", "v=" + data],
                                            log_path=os.path.join(run_dir, "com%d.log" % port))
        with wineenv.WineEnv(args.cache or wineenv.default_cache(win_build),
                             os.path.join(run_dir, "wine"), arch=args.arch,
                             listed_ports=[NAMED_PORT]) as env:
            keeper = env.start_session([driver_exe])
            smoke = Smoke(env, exe, work, sims)
            smoke.layout([SEARCHED_PORT, NAMED_PORT])
            for name in ("find_searches_com1_to_com8", "find_goes_on_to_the_listed_com12", "read_from_com12", "erase_on_com12_by_number",
                         "erase_after_search", "existing_file_is_kept", "absent_port_points_to_the_list",
                         "trace_shows_the_probe_and_the_reply", "ports_lists_the_systems_com_ports",
                         "help_shows_micro_on_a_console", "search_passes_ports_it_cannot_open_at_once"):
                smoke.check(name, getattr(smoke, name))
            keeper.stdin.write(b"quit\n")
            keeper.stdin.close()
    except wineenv.WineError as error:
        print("Wine failed: %s" % error)
        print("0 passed, 1 failed")
        return 1
    finally:
        for sim in sims.values():
            sim.close()
    print("%d passed, %d failed" % (smoke.passed, smoke.failed))
    return 0 if smoke.failed == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
