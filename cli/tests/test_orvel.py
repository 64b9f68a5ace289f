#!/usr/bin/env python3
"""orvel end to end, natively, against xkt-sim on pseudo-terminals.

    test_orvel.py --orvel PATH/orvel --sim PATH/xkt-sim [unittest arguments]
    test_orvel.py ... --strace         the order of orvel's system calls (strace)
    test_orvel.py ... --unprivileged   orvel as user nobody

Every test gets a fresh folder: dev/ stands in for /dev (ORVEL_DEVICE_DIR)
and holds links to the simulators' ptys, so no search ever reaches the
machine's own serial ports; the folder itself is the working directory.
"""

import argparse
import fcntl
import grp
import os
import re
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "tools"))

import simproc    # noqa: E402
from checklist import read_until_closed   # noqa: E402

ORVEL = None
SIM = None

IDENT = "HVM-3000 SN4711 V2"     # the simulator's default, as shown (18 of 19 bytes)
USAGE = ("usage: orvel find | read kV|uA|kOhm|all NAME | erase kV|uA|kOhm|all | watch | ports  "
         "[--port P] [--overwrite] [--erase] [--trace FILE]")
SKIPPED = 77      # CTest's SKIP_RETURN_CODE for this script
TRACE_LINE = re.compile(r"^(\d+\.\d{3}) ([<>]) ((?:[0-9a-f]{2})(?: [0-9a-f]{2})*)  \|(.*)\|$")
NOTE_LINE = re.compile(r"^(\d+\.\d{3}) # (.*)$")
STAMP = r"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d"

# Lines ending in LF and in CR LF, as an instrument may mix them.
DATA = {
    "v": b"2024-03-05 09:15:00   12.50 kV\n2024-03-05 09:15:10   12.75 kV\r\n",
    "a": b"2024-03-05 09:15:00   3.20 uA\n",
    "o": b"2024-03-05 09:15:00   880 kOhm\n2024-03-05 09:15:10   881 kOhm\n",
}


def text_mode(data):
    return data.replace(b"\n", b"\r\n")


class OrvelTest(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory(prefix="orvel-test-")
        self.dir = os.path.join(self.tmp.name, "work")
        self.dev = os.path.join(self.tmp.name, "dev")
        os.mkdir(self.dir)
        os.mkdir(self.dev)
        self.sims = []
        self.releases = {}   # device: lets go of a hold()

    def tearDown(self):
        for sim in list(self.sims):
            self.stop_sim(sim)
        self.tmp.cleanup()

    # ---- fixture ----

    def start_sim(self, link="ttyUSB0", *args, data=None):
        """A simulated instrument reached through dev/LINK; its data sets are DATA, or DATA updated by data."""
        files = []
        for letter, data in dict(DATA, **(data or {})).items():
            path = os.path.join(self.tmp.name, "data-%s-%s" % (link, letter))
            with open(path, "wb") as f:
                f.write(data)
            files += ["--data-file", "%s=%s" % (letter, path)]
        argv = ["--link", self.path(link), "--data", "instant"] + files + list(args)
        sim = simproc.SimProcess(SIM, argv, log_path=os.path.join(self.tmp.name, link + ".log"))
        self.sims.append(sim)
        return sim

    def stop_sim(self, sim):
        sim.close()   # takes its link along
        sim.proc.stdin.close()
        sim.proc.stdout.close()
        self.sims.remove(sim)

    def path(self, name):
        return os.path.join(self.dev, name)

    def env(self, **extra):
        return dict(os.environ, ORVEL_DEVICE_DIR=self.dev, **extra)

    def orvel(self, *args, timeout=60, env=None, prefix=()):
        started = time.monotonic()
        done = subprocess.run(list(prefix) + [ORVEL] + list(args), cwd=self.dir, env=env or self.env(),
                              timeout=timeout, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.elapsed = time.monotonic() - started
        return done.returncode, done.stdout.decode(errors="replace"), done.stderr.decode(errors="replace")

    def start_orvel(self, *args, **kwargs):
        return subprocess.Popen([ORVEL] + list(args), cwd=self.dir, env=self.env(), **kwargs)

    def received(self, sim):
        return bytes(value for _, value in sim.log_entries())

    def files(self):
        return sorted(os.listdir(self.dir))

    def write(self, name, data):
        with open(os.path.join(self.dir, name), "wb") as f:
            f.write(data)

    def read(self, name):
        with open(os.path.join(self.dir, name), "rb") as f:
            return f.read()

    def assertFails(self, result, status, lines):
        code, out, err = result
        self.assertEqual((status, "", lines), (code, out, err.splitlines()))

    # ---- success paths ----

    def test_find_prints_port_and_identification(self):
        self.start_sim()
        self.assertEqual((0, "%s %s\n" % (self.path("ttyUSB0"), IDENT), ""), self.orvel("find"))

    def test_port_forms(self):
        self.start_sim("com3")
        for args in (["--port", "3"], ["--port", "COM3"], ["--port=com3"], ["--port", self.path("com3")]):
            for order in (args + ["find"], ["find"] + args):
                with self.subTest(order=order):
                    self.assertEqual((0, "%s %s\n" % (self.path("com3"), IDENT), ""), self.orvel(*order))

    def test_search_order_takes_the_first_that_answers(self):
        silent = self.start_sim("ttyUSB0", "--probe", "silent")
        self.start_sim("ttyACM0")
        self.assertEqual((0, "%s %s\n" % (self.path("ttyACM0"), IDENT), ""), self.orvel("find"))
        self.assertEqual(b"y", self.received(silent))

    def test_search_beyond_eight_ports(self):
        # A list longer than the window's eight ports is searched to its end.
        for n in range(8):
            os.symlink(os.path.join(self.dir, "absent%d" % n), self.path("ttyUSB%d" % n))
        self.start_sim("ttyUSB8")
        self.assertEqual((0, "%s %s\n" % (self.path("ttyUSB8"), IDENT), ""), self.orvel("find", timeout=60))

    def test_read_writes_the_data_set(self):
        for unit, letter in (("kV", "v"), ("uA", "a"), ("\u00b5A", "a"), ("\u03bcA", "a"), ("KOHM", "o")):
            with self.subTest(unit=unit):
                sim = self.start_sim("com%d" % (len(self.sims) + 1))
                name = "run%d" % len(self.sims)
                code, out, err = self.orvel("read", unit, name, "--port", str(len(self.sims)))
                content = text_mode(DATA[letter])
                self.assertEqual((0, "%s.txt %d bytes\n" % (name, len(content)), ""), (code, out, err))
                self.assertEqual(content, self.read(name + ".txt"))
                # A named port too is asked who it is first.
                self.assertEqual(b"y" + letter.encode(), self.received(sim))

    def test_read_waits_out_a_pause_mid_data_set(self):
        # 2400 bytes (2.5 s on the line), a pause of a second, then the rest.
        data = b"".join(b"2024-03-05 09:%02d:%02d   12.%02d kV\n" % (i // 60 % 60, i % 60, i % 100)
                        for i in range(100))
        path = os.path.join(self.tmp.name, "long-v")
        with open(path, "wb") as f:
            f.write(data)
        self.assertGreater(len(data), 2400)
        self.start_sim("ttyUSB0", "--data-file", "v=" + path, "--data", "paused:2400:1000")
        code, out, err = self.orvel("read", "kV", "run1", "--port", self.path("ttyUSB0"))
        self.assertEqual((0, "run1.txt %d bytes\n" % len(text_mode(data)), ""), (code, out, err))
        self.assertEqual(text_mode(data), self.read("run1.txt"))

    def test_read_searches_without_port(self):
        sim = self.start_sim()
        self.assertEqual((0, "run1.txt %d bytes\n" % len(text_mode(DATA["v"])), ""), self.orvel("read", "kv", "run1"))
        self.assertEqual(b"yv", self.received(sim))

    def test_erase(self):
        sim = self.start_sim()
        for unit, letter, shown in (("kV", "V", "kV"), ("uA", "A", "uA"), ("\u00b5a", "A", "uA"),
                                    ("kOhm", "O", "kOhm"), ("all", "E", "all"), ("ALL", "E", "all")):
            with self.subTest(unit=unit):
                before = len(self.received(sim))
                self.assertEqual((0, "erased %s\n" % shown, ""), self.orvel("erase", unit, "--port", self.path("ttyUSB0")))
                self.assertEqual(b"y" + letter.encode(), self.received(sim)[before:])

    # ---- failures ----

    def test_find_without_instrument(self):
        for sims, lines in (([], ["orvel: find: No Connection! (no serial port to search)"]),
                            ([("ttyUSB0", "silent")], ["orvel: find: No Connection! (searched 1 port)",
                                                       "orvel: find: %s: no answer" % self.path("ttyUSB0")]),
                            ([("ttyUSB1", "long")], ["orvel: find: No Connection! (searched 2 ports)",
                                                     "orvel: find: %s: no answer" % self.path("ttyUSB0"),
                                                     "orvel: find: %s: a reply of the wrong length"
                                                     % self.path("ttyUSB1")])):
            with self.subTest(lines=lines):
                for link, probe in sims:
                    self.start_sim(link, "--probe", probe)
                self.assertFails(self.orvel("find"), 1, lines)
                # One silent port costs one probe, not eight.
                self.assertLess(self.elapsed, 4.0)

    def test_read_without_instrument(self):
        self.start_sim("ttyUSB0", "--probe", "silent")
        self.assertFails(self.orvel("read", "kV", "run1"), 1,
                         ["orvel: read kV: No Connection! (searched 1 port)",
                          "orvel: read kV: %s: no answer" % self.path("ttyUSB0")])
        self.assertEqual([], self.files())

    def test_search_says_why_each_port_failed_and_waits_on_none_it_cannot_open(self):
        # Eight ports that cannot be opened: pulled adapters, a held one, one
        # that is no serial port at all. None of them is waited on.
        for n in range(6):
            os.symlink(os.path.join(self.dir, "absent%d" % n), self.path("ttyUSB%d" % n))
        self.start_sim("ttyUSB6")
        pid, name = self.hold(self.path("ttyUSB6"))
        self.write("plain", b"")
        os.symlink(os.path.join(self.dir, "plain"), self.path("ttyUSB7"))
        code, out, err = self.orvel("find")
        self.assertLess(self.elapsed, 1.0)
        expected = ["orvel: find: No Connection! (searched 8 ports)"]
        expected += ["orvel: find: %s: no such port" % self.path("ttyUSB%d" % n) for n in range(6)]
        expected += ["orvel: find: %s: in use by %s (pid %d)" % (self.path("ttyUSB6"), name, pid),
                     "orvel: find: %s: not a serial port" % self.path("ttyUSB7")]
        self.assertEqual((1, "", expected), (code, out, err.splitlines()))

    def test_watch_finds_an_adapter_plugged_in_later(self):
        with self.start_orvel("watch", stdout=subprocess.PIPE, stderr=subprocess.PIPE) as watch:
            try:
                ready, _, _ = select.select([watch.stdout], [], [], 5)
                self.assertTrue(ready, "no first line")
                self.assertRegex(watch.stdout.readline().decode(), r"^%s not found\n$" % STAMP)
                # Plugged in after watch started, under a name it never saw.
                self.start_sim("ttyUSB3")
                ready, _, _ = select.select([watch.stdout], [], [], 6)
                self.assertTrue(ready, "the new adapter was not found within a round")
                self.assertRegex(watch.stdout.readline().decode(),
                                 r"^%s found %s %s\n$" % (STAMP, re.escape(self.path("ttyUSB3")), re.escape(IDENT)))
            finally:
                watch.send_signal(signal.SIGINT)
                self.assertEqual(130, watch.wait(timeout=5))

    def test_read_nothing_received(self):
        self.start_sim("ttyUSB0", "--data", "none")
        for unit, message, old in (("kV", "No Data Received!", None), ("uA", "No Data Recived!", None),
                                   ("kOhm", "No Data Recived!", b"old\r\n")):
            with self.subTest(unit=unit, old=old):
                if old:
                    self.write("run1.txt", old)
                self.assertFails(self.orvel("read", unit, "run1", "--overwrite", "--port", self.path("ttyUSB0")),
                                 1, ["orvel: read %s: %s" % (unit, message)])
                self.assertEqual(["run1.txt"] if old else [], self.files())
                if old:
                    self.assertEqual(old, self.read("run1.txt"))

    def test_line_lost_during_download(self):
        sim = self.start_sim("ttyUSB0", "--data", "paced", "--readings", "300")
        self.write("run1.txt", b"old\r\n")
        with self.start_orvel("read", "kV", "run1", "--overwrite", "--port", self.path("ttyUSB0"),
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE) as proc:
            time.sleep(1.0)
            sim.proc.kill()   # the far end of the line goes away
            out, err = proc.communicate(timeout=30)
        self.assertEqual((1, b"", b"orvel: read kV: Connection Lost! Data not saved.\n"),
                         (proc.returncode, out, err))
        self.assertEqual(["run1.txt"], self.files())
        self.assertEqual(b"old\r\n", self.read("run1.txt"))

    def test_existing_file(self):
        sim = self.start_sim()
        self.write("run1.txt", b"old\r\n")
        self.assertFails(self.orvel("read", "kV", "run1", "--port", self.path("ttyUSB0")), 3,
                         ["orvel: read kV: run1.txt: File Exists! Overwrite? No (--overwrite answers Yes)"])
        self.assertEqual(b"old\r\n", self.read("run1.txt"))
        self.assertEqual(b"y", self.received(sim))

        code, out, err = self.orvel("read", "kV", "run1", "--port", self.path("ttyUSB0"), "--overwrite")
        self.assertEqual((0, ""), (code, err))
        self.assertEqual(text_mode(DATA["v"]), self.read("run1.txt"))

    def test_name_that_cannot_be_created(self):
        sim = self.start_sim()
        self.assertFails(self.orvel("read", "kV", "nodir/run1", "--port", self.path("ttyUSB0")), 3,
                         ["orvel: read kV: nodir/run1.txt: Destination File Create Error!"])
        self.assertEqual(b"y", self.received(sim))

    def test_erase_failures(self):
        for ack, lines in (("none", ["orvel: erase kV: No Reply!"]),
                           ("long", ["orvel: erase kV: Data Transfer Error!", "orvel: erase kV: No Reply!"])):
            with self.subTest(ack=ack):
                self.start_sim("com%d" % (len(self.sims) + 1), "--ack", ack)
                self.assertFails(self.orvel("erase", "kV", "--port", str(len(self.sims))), 1, lines)

    # ---- read all ----

    def test_read_all(self):
        size = {letter: len(text_mode(data)) for letter, data in DATA.items()}
        saved = {"kV": "run-kV.txt %d bytes" % size["v"], "uA": "run-uA.txt %d bytes" % size["a"],
                 "kOhm": "run-kOhm.txt %d bytes" % size["o"]}
        all_files = ["run-kOhm.txt", "run-kV.txt", "run-uA.txt"]
        no_ua = "orvel: read uA: No Data Recived!"
        exists = "orvel: read uA: run-uA.txt: File Exists! Overwrite? No (--overwrite answers Yes)"
        # (case, instrument's options, empty data sets, files there before, options,
        #  exit status, stdout, stderr, bytes the instrument got, files afterwards)
        cases = (
            ("all three", [], "", [], [],
             0, [saved["kV"], saved["uA"], saved["kOhm"]], [], b"yvao", all_files),
            ("uA empty", [], "a", [], [],
             0, [saved["kV"], saved["kOhm"]], [no_ua], b"yvao", ["run-kOhm.txt", "run-kV.txt"]),
            # With --erase each set is read until two downloads agree, an empty one too.
            ("all empty", [], "vao", [], ["--erase"],
             1, [], ["orvel: read kV: No Data Received!", no_ua, "orvel: read kOhm: No Data Recived!",
                     "orvel: read all: no data set held any data"], b"yvvaaoo", []),
            ("uA exists", [], "", ["run-uA.txt"], [],
             3, [saved["kV"]], [exists], b"yv", ["run-kV.txt", "run-uA.txt"]),
            ("uA exists, overwritten", [], "", ["run-uA.txt"], ["--overwrite"],
             0, [saved["kV"], saved["uA"], saved["kOhm"]], [], b"yvao", all_files),
            # Erased after the last download, each set by its own letter, and
            # only the sets whose files were saved.
            ("erase, uA empty", [], "a", [], ["--erase"],
             0, [saved["kV"], saved["kOhm"], "erased kV", "erased kOhm"], [no_ua], b"yvvaaooVO",
             ["run-kOhm.txt", "run-kV.txt"]),
            ("erase after a failure", [], "", ["run-uA.txt"], ["--erase"],
             3, [saved["kV"]], [exists], b"yvv", ["run-kV.txt", "run-uA.txt"]),
            ("erase unacknowledged", ["--ack", "none"], "", [], ["--erase"],
             1, [saved["kV"], saved["uA"], saved["kOhm"]], ["orvel: erase kV: No Reply!"], b"yvvaaooV",
             all_files),
        )
        for n, (case, sim_args, empty, before, options, status, out, err, sent, after) in enumerate(cases):
            with self.subTest(case=case):
                for name in os.listdir(self.dir):
                    os.remove(os.path.join(self.dir, name))
                for name in before:
                    self.write(name, b"old\r\n")
                link = "ttyUSB%d" % n   # a log of its own
                sim = self.start_sim(link, *sim_args, data={letter: b"" for letter in empty})
                try:
                    result = self.orvel("read", "all", "run", "--port", self.path(link), *options)
                    self.assertEqual((status, out, err), (result[0], result[1].splitlines(), result[2].splitlines()))
                    self.assertEqual(sent, self.received(sim))
                    self.assertEqual(after, self.files())
                    for unit, letter in (("kV", "v"), ("uA", "a"), ("kOhm", "o")):
                        name = "run-%s.txt" % unit
                        if name in after:
                            wanted = b"old\r\n" if name in before and saved[unit] not in out else text_mode(DATA[letter])
                            self.assertEqual(wanted, self.read(name), name)
                finally:
                    self.stop_sim(sim)

    def test_read_all_searches_first(self):
        sim = self.start_sim("ttyACM0")
        code, out, err = self.orvel("read", "all", "run", "--erase")
        self.assertEqual((0, ""), (code, err))
        self.assertEqual(["run-kV.txt", "run-uA.txt", "run-kOhm.txt", "erased kV", "erased uA", "erased kOhm"],
                         [line.split()[0] if line.endswith("bytes") else line for line in out.splitlines()])
        self.assertEqual(b"yvvaaooVAO", self.received(sim))

    def test_erase_follows_only_downloads_that_agree(self):
        # A line that flips bits and an instrument still measuring: no two
        # downloads of the kV set agree, the last is kept, the command stops
        # there and nothing at all is erased.
        differed = ("orvel: read kV: its 4 downloads differed, no two in a row alike; the last is saved in "
                    "run-kV.txt and nothing was erased. A noisy line (use a shorter cable or another adapter) "
                    "or an instrument still measuring (stop it first) changes a data set between downloads")
        kv = b"".join(b"2024-03-05 09:%02d:00   12.%02d kV\n" % (i, i) for i in range(20))
        for n, (case, sim_args) in enumerate((("noisy line", ["--flip", "0.02", "--flip-seed", "7"]),
                                              ("still measuring", ["--measure", "0.5"]))):
            with self.subTest(case=case):
                for name in os.listdir(self.dir):
                    os.remove(os.path.join(self.dir, name))
                link = "ttyUSB%d" % n   # a log of its own
                sim = self.start_sim(link, *sim_args, data={"v": kv})
                code, out, err = self.orvel("read", "all", "run", "--port", self.path(link), "--erase")
                self.assertEqual((1, [differed]), (code, err.splitlines()))
                self.assertRegex(out, r"^run-kV\.txt \d+ bytes\n$")
                self.assertEqual(b"yvvvv", self.received(sim))
                self.assertEqual(["run-kV.txt"], self.files())
                saved = self.read("run-kV.txt")
                self.assertEqual(int(out.split()[1]), len(saved))
                if case == "still measuring":
                    self.assertTrue(saved.startswith(text_mode(kv)) and len(saved) > len(text_mode(kv)))
                else:
                    self.assertNotEqual(text_mode(kv), saved)
                self.stop_sim(sim)

    def test_a_letter_the_line_does_not_take(self):
        # Output held on the line as the uA letter goes out: a failure of its
        # own, never "no data"; read all stops there and nothing is erased.
        link = self.path("ttyUSB0")
        sim = self.start_sim("ttyUSB0")
        not_taken = ("orvel: read uA: %s: the line did not take the letter 'a' (a stalled adapter, or a line held "
                     "by flow control: replug the adapter); nothing was read or erased" % link)
        with self.start_orvel("read", "all", "run", "--port", link, "--erase",
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE) as proc:
            deadline = time.monotonic() + 20
            while self.received(sim) != b"yvv" and time.monotonic() < deadline:
                time.sleep(0.05)
            self.assertEqual(b"yvv", self.received(sim))
            self.assertEqual("ok", sim.command("stall"))
            out, err = proc.communicate(timeout=30)
        self.assertEqual("ok", sim.command("release"))
        self.assertEqual((1, b"run-kV.txt %d bytes\n" % len(text_mode(DATA["v"])), not_taken.encode() + b"\n"),
                         (proc.returncode, out, err))
        self.assertEqual(b"yvv", self.received(sim))
        self.assertEqual(["run-kV.txt"], self.files())

        # A search names it as the port's reason.
        self.assertEqual("ok", sim.command("stall"))
        self.assertFails(self.orvel("find", "--port", link), 1,
                         ["orvel: find: No Connection! (searched 1 port)",
                          "orvel: find: %s: the line did not take the letter 'y' (a stalled adapter, or a line held "
                          "by flow control: replug the adapter)" % link])
        self.assertEqual("ok", sim.command("release"))
        self.assertEqual(b"yvv", self.received(sim))

    def test_bad_arguments(self):
        for args, problem in (
                ([], "no command"),
                (["fetch"], "unknown command 'fetch'"),
                (["read", "mV", "run1"], "unknown unit 'mV'"),
                (["read", "all"], "read needs a file name"),
                (["read", "kV", "run1", "--erase"], "--erase goes with read all"),
                (["erase", "all", "--erase"], "--erase goes with read all"),
                (["erase", "kOhms"], "unknown unit 'kOhms'"),
                (["read", "kV"], "read needs a file name"),
                (["read", "kV", ""], "read needs a file name"),
                (["erase"], "erase needs a unit"),
                (["find", "now"], "too many arguments for find"),
                (["--fast", "find"], "unknown option '--fast'"),
                (["find", "--port"], "--port needs a port"),
                (["find", "--trace"], "--trace needs a file"),
                (["ports", "now"], "too many arguments for ports"),
                (["find", "--port", "COMx"], "not a port: 'COMx'")):
            with self.subTest(args=args):
                self.assertFails(self.orvel(*args), 2, ["orvel: " + problem, USAGE])

    def test_absent_port_points_to_the_list(self):
        """A right call to a port that is not there: no usage line, but where the ports are listed."""
        for args, port in ((["find", "--port", "7"], self.path("com7")),
                           (["read", "kV", "run1", "--port", self.path("ttyUSB9")], self.path("ttyUSB9"))):
            with self.subTest(args=args):
                self.assertFails(self.orvel(*args), 2, ["orvel: no such port: " + port,
                                                        "orvel: 'orvel ports' lists this machine's serial ports"])

    def test_help_and_version(self):
        code, out, err = self.orvel("--help")
        self.assertEqual((0, ""), (code, err))
        self.assertIn(USAGE.split()[1], out)
        for status in ("0    success", "1    instrument or line", "2    usage", "3    file", "129  hung up",
                       "130  interrupted"):
            self.assertIn("\n  " + status, out)
        self.assertEqual((0, "orvel 1.0.0.1\n", ""), self.orvel("--version"))

    # ---- the simulator as a script starts it ----

    def test_simulator_runs_detached_until_terminated(self):
        """`xkt-sim --link L &` in a script gets /dev/null as stdin: with --detached or
        without, it serves on until a signal; an input that ends (a pipe) still ends it."""
        link = self.path("ttyUSB0")
        for args in (["--detached"], []):
            with self.subTest(args=args):
                sim = subprocess.Popen([SIM, "--link", link] + args, stdin=subprocess.DEVNULL,
                                       stdout=subprocess.PIPE, text=True)
                try:
                    self.assertTrue(sim.stdout.readline().startswith("ready /dev/pts/"))
                    time.sleep(0.5)
                    self.assertIsNone(sim.poll(), "ended at the end of its empty input")
                    self.assertEqual((0, "%s %s\n" % (link, IDENT), ""), self.orvel("find", "--port", link))
                    sim.send_signal(signal.SIGTERM)
                    self.assertEqual(0, sim.wait(timeout=10))
                    self.assertFalse(os.path.lexists(link))
                finally:
                    if sim.poll() is None:
                        sim.kill()
                        sim.wait()
                    sim.stdout.close()
        sim = subprocess.Popen([SIM, "--link", link], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        try:
            self.assertTrue(sim.stdout.readline().startswith("ready /dev/pts/"))
            sim.stdin.close()
            self.assertEqual(0, sim.wait(timeout=10))
        finally:
            if sim.poll() is None:
                sim.kill()
                sim.wait()
            sim.stdout.close()

    def test_simulator_hears_only_the_instruments_line(self):
        """A program that leaves the pty at its 38400 gets no answer, unless --any-line."""
        for link, args, answer in (("ttyUSB0", [], b""), ("ttyUSB1", ["--any-line"], b"HVM-3000 SN4711 V2.")):
            with self.subTest(args=args):
                sim = self.start_sim(link, *args)
                fd = os.open(self.path(link), os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
                try:
                    os.write(fd, b"y")
                    got, end = b"", time.monotonic() + 0.5
                    while time.monotonic() < end:
                        if select.select([fd], [], [], 0.05)[0]:
                            got += os.read(fd, 64)
                    self.assertEqual(answer, got)
                    self.assertEqual(b"y", self.received(sim))
                finally:
                    os.close(fd)
                    self.stop_sim(sim)

    # ---- watch ----

    def test_watch_reports_found_lost_found(self):
        sim = self.start_sim()
        with self.start_orvel("watch", stdout=subprocess.PIPE, stderr=subprocess.PIPE) as watch:
            self.watch_found_lost_found(sim, watch)

    def watch_found_lost_found(self, sim, watch):
        try:
            lines = []

            def next_line(within):
                ready, _, _ = select.select([watch.stdout], [], [], within)
                self.assertTrue(ready, "no line within %s s after %r" % (within, lines))
                lines.append(watch.stdout.readline().decode().rstrip("\n"))
                return lines[-1]

            found = r"^%s found %s %s$" % (STAMP, re.escape(self.path("ttyUSB0")), re.escape(IDENT))
            self.assertRegex(next_line(5), found)
            self.assertEqual("ok", sim.command("unplug"))
            # One keep-alive period plus one probe time-out, with margin.
            self.assertRegex(next_line(8), r"^%s lost %s$" % (STAMP, re.escape(self.path("ttyUSB0"))))
            self.assertEqual("ok", sim.command("plug"))
            self.assertRegex(next_line(8), found)
            watch.send_signal(signal.SIGINT)
            self.assertEqual(130, watch.wait(timeout=2))
            self.assertEqual(b"", watch.stdout.read())
            self.assertEqual(b"", watch.stderr.read())
        finally:
            if watch.poll() is None:
                watch.kill()
                watch.wait()

    # ---- interruption ----

    def test_interrupt_stops_promptly_and_cleanly(self):
        for sig, command in ((signal.SIGINT, "read"), (signal.SIGTERM, "read"), (signal.SIGHUP, "read"),
                             (signal.SIGINT, "find"), (signal.SIGHUP, "find")):
            with self.subTest(signal=sig.name, command=command):
                if command == "read":
                    # About ten seconds of data at 9600 baud.
                    sim = self.start_sim("ttyUSB0", "--data", "paced", "--readings", "300")
                    self.write("run1.txt", b"old\r\n")
                else:
                    sim = self.start_sim("ttyUSB0", "--probe", "silent")
                try:
                    self.interrupt_and_check(sig, sim, command)
                finally:
                    self.stop_sim(sim)   # the next case starts afresh

    def interrupt_and_check(self, sig, sim, command):
        port = self.path("ttyUSB0")
        if command == "read":
            args, context = ["read", "kV", "run1", "--overwrite", "--port", port], b"read kV"
        else:
            args, context = ["find"], b"find"
        before = self.files()
        with self.start_orvel(*args, stdout=subprocess.PIPE, stderr=subprocess.PIPE) as proc:
            self.interrupt(proc, sig, sim, command, context)
        self.assertEqual(before, self.files())
        if command == "read":
            self.assertEqual(b"old\r\n", self.read("run1.txt"))
        # The port is free again: nobody holds its lock, and the next command runs.
        fd = os.open(port, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
        try:
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        finally:
            os.close(fd)
        if command == "read":
            self.assertEqual((0, "erased kV\n", ""), self.orvel("erase", "kV", "--port", port))

    def interrupt(self, proc, sig, sim, command, context):
        try:
            deadline = time.monotonic() + 5
            while not self.received(sim) and time.monotonic() < deadline:
                time.sleep(0.05)
            time.sleep(0.5)
            if command == "read":
                self.assertIn("run1.txt.tmp", self.files(), "the download is under way")
            proc.send_signal(sig)
            signalled = time.monotonic()
            code = proc.wait(timeout=5)
            self.assertLess(time.monotonic() - signalled, 1.0)
            # A closed terminal is a hang-up (129); otherwise an interruption.
            status = 129 if sig == signal.SIGHUP else 130
            self.assertEqual((status, b"", b"orvel: %s: interrupted\n" % context),
                             (code, proc.stdout.read(), proc.stderr.read()))
        finally:
            if proc.poll() is None:
                proc.kill()
                proc.wait()

    # ---- ports that cannot be used, and the list of ports ----

    def hold(self, device):
        """Another program holding the device's lock, as a terminal program or brltty would."""
        holder = subprocess.Popen(
            [sys.executable, "-c",
             "import fcntl, os, sys\n"
             "fd = os.open(sys.argv[1], os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)\n"
             "fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)\n"
             "print('held', flush=True)\n"
             "sys.stdin.read()\n", device],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        self.assertEqual(b"held\n", holder.stdout.readline())

        def release():
            if holder.returncode is None:
                holder.stdin.close()
                holder.stdout.close()
                holder.wait(timeout=5)
        self.addCleanup(release)
        self.releases[device] = release
        with open("/proc/%d/comm" % holder.pid) as f:
            return holder.pid, f.read().strip()

    def test_a_held_port_names_its_holder(self):
        sim = self.start_sim("ttyUSB0")
        pid, name = self.hold(self.path("ttyUSB0"))
        in_use = "in use by %s (pid %d)" % (name, pid)
        for command in (["find"], ["read", "kV", "run1"], ["erase", "all"]):
            with self.subTest(command=command):
                context = " ".join(command[:2])
                started = time.monotonic()
                self.assertFails(self.orvel(*(command + ["--port", self.path("ttyUSB0")])), 1,
                                 ["orvel: %s: %s: %s" % (context, self.path("ttyUSB0"), in_use)])
                self.assertLess(time.monotonic() - started, 1.0)   # no reply waited for
        self.assertEqual(b"", self.received(sim))
        self.assertEqual([], self.files())

    def test_ports_lists_free_and_held_devices(self):
        free = self.start_sim("ttyUSB0")
        held = self.start_sim("ttyUSB1")
        os.symlink(os.path.join(self.dir, "absent"), self.path("ttyACM0"))   # an adapter pulled
        pid, name = self.hold(self.path("ttyUSB1"))
        self.assertEqual((0, "%s  free\n%s  in use by %s (pid %d)\n%s  no such port\n"
                          % (self.path("ttyUSB0"), self.path("ttyUSB1"), name, pid, self.path("ttyACM0")), ""),
                         self.orvel("ports"))
        # Looked at, never written to; and left free.
        self.assertEqual((b"", b""), (self.received(free), self.received(held)))
        self.assertEqual((0, "%s %s\n" % (self.path("ttyUSB0"), IDENT), ""),
                         self.orvel("find", "--port", self.path("ttyUSB0")))

    def test_ports_with_none(self):
        self.assertEqual((0, "", "orvel: ports: no serial port found\n"), self.orvel("ports"))

    # ---- trace ----

    def parse_trace(self, text):
        """The bytes sent and received, and the notes, of a trace; every line checked."""
        sent, received, notes, times = b"", b"", [], []
        for line in text.splitlines():
            chunk, note = TRACE_LINE.match(line), NOTE_LINE.match(line)
            self.assertTrue(chunk or note, "not a trace line: %r" % line)
            if note:
                times.append(float(note.group(1)))
                notes.append(note.group(2))
                continue
            data = bytes.fromhex(chunk.group(3))
            self.assertEqual("".join(chr(b) if 0x20 <= b < 0x7F else "." for b in data), chunk.group(4))
            times.append(float(chunk.group(1)))
            if chunk.group(2) == ">":
                sent += data
            else:
                received += data
        self.assertEqual(sorted(times), times)
        return sent, received, notes

    def test_trace_shows_exactly_the_bytes_on_the_line(self):
        sim = self.start_sim("ttyUSB0")
        port = self.path("ttyUSB0")
        trace = os.path.join(self.tmp.name, "trace.txt")
        code, out, err = self.orvel("read", "kV", "run1", "--port", port, "--trace", trace)
        self.assertEqual((0, ""), (code, err))
        with open(trace) as f:
            sent, received, notes = self.parse_trace(f.read())
        self.assertEqual(self.received(sim), sent)
        self.assertEqual(b"yv", sent)             # the named port's probe, then the command
        self.assertEqual(IDENT.encode() + b"." + DATA["v"], received)   # as the instrument sent it
        opened = ["open %s at 9600 baud" % port, "%s cannot report line errors" % port, "close %s" % port]
        self.assertEqual(["check %s: free" % port] + opened + [opened[0], opened[2]], notes)

        # To stderr, with the search: the probe and the identification too.
        code, out, err = self.orvel("find", "--trace", "-")
        self.assertEqual((0, "%s %s\n" % (port, IDENT)), (code, out))
        sent, received, notes = self.parse_trace(err)
        self.assertEqual(b"y", sent)
        self.assertEqual(self.received(sim)[-1:], sent)
        self.assertEqual(IDENT.encode(), received[:len(IDENT)])
        self.assertEqual("open %s at 9600 baud" % port, notes[0])

    def test_trace_of_a_port_that_cannot_be_opened(self):
        self.start_sim("ttyUSB0")
        pid, name = self.hold(self.path("ttyUSB0"))
        code, out, err = self.orvel("find", "--trace", "-")
        self.assertEqual(1, code)
        notes = [line.split(" # ", 1)[1] for line in err.splitlines() if " # " in line]
        self.assertIn("cannot open %s: in use by %s (pid %d)" % (self.path("ttyUSB0"), name, pid), notes)

    def test_trace_that_cannot_be_written(self):
        self.start_sim()
        code, out, err = self.orvel("find", "--trace", os.path.join(self.dir, "nodir", "trace.txt"))
        self.assertEqual((3, ""), (code, out))
        self.assertRegex(err, r"^orvel: cannot write the trace .*nodir/trace\.txt: No such file or directory\n$")

    def test_trace_that_fails_later(self):
        # Opened, but every write fails: a trace with gaps fails a command
        # that worked, and leaves a failed one its own status.
        self.start_sim()
        code, out, err = self.orvel("find", "--trace", "/dev/full")
        self.assertEqual((3, "%s %s\n" % (self.path("ttyUSB0"), IDENT)), (code, out))
        self.assertEqual(["orvel: cannot write the trace /dev/full: No space left on device"], err.splitlines())
        code, out, err = self.orvel("erase", "kV", "--port", self.path("ttyUSB9"), "--trace", "/dev/full")
        self.assertEqual(2, code)

    # ---- outcomes under real faults ----

    def test_a_port_taken_mid_way_is_no_empty_data_set(self):
        # Another program takes the port between two downloads of read all
        # --erase: the command stops there, says who holds the port, saves
        # only what two downloads agreed on and erases nothing. The holder
        # queues behind the kV set's first download; a released flock goes to
        # whoever runs first, so on a busy machine orvel may take the port
        # once more for the second (then the kV set is whole and the µA set
        # is the one refused): both are right, anything else is not.
        sim = self.start_sim("ttyUSB0")
        port = self.path("ttyUSB0")
        holder = subprocess.Popen(
            [sys.executable, "-c",
             "import fcntl, os, sys\n"
             "print('ready', flush=True)\n"
             "sys.stdin.readline()\n"   # the cue: the first kV download holds the port
             "fd = os.open(sys.argv[1], os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)\n"
             "fcntl.flock(fd, fcntl.LOCK_EX)\n"   # granted the moment that download ends
             "print('held', flush=True)\n"
             "sys.stdin.read()\n", port],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        try:
            self.assertEqual(b"ready\n", holder.stdout.readline())
            proc = self.start_orvel("read", "all", "h", "--port", port, "--erase",
                                    stdout=subprocess.PIPE, stderr=subprocess.PIPE)
            # The letter v is on the line: the download holds the port for its
            # two quiet seconds at least, long enough to queue behind it
            # however busy the machine (a fixed sleep was not).
            deadline = time.monotonic() + 30
            while self.received(sim) != b"yv" and proc.poll() is None and time.monotonic() < deadline:
                time.sleep(0.01)
            holder.stdin.write(b"go\n")
            holder.stdin.flush()
            out, err = proc.communicate(timeout=60)
            code = proc.returncode
            self.assertEqual(b"held\n", holder.stdout.readline())
        finally:
            holder.stdin.close()
            holder.wait(timeout=5)
            holder.stdout.close()
        refused = "orvel: read %s: " + "%s: in use by python3 (pid %d)" % (port, holder.pid)
        outcomes = {
            # (stdout, stderr, letters, files)
            "between kV's downloads": ([], [refused % "kV"], b"yv", []),
            "between kV and uA": (["h-kV.txt 65 bytes"], [refused % "uA"], b"yvv", ["h-kV.txt"]),
        }
        self.assertEqual(1, code)
        self.assertIn((out.decode().splitlines(), err.decode().splitlines(), self.received(sim), self.files()),
                      list(outcomes.values()))

    def test_a_named_port_is_asked_who_it_is_first(self):
        # A device that does not answer the probe (a wrong adapter that may
        # still echo or act on letters) gets the probe and nothing else.
        for n, (command, context) in enumerate(((["read", "kV", "run1"], "read kV"), (["erase", "kV"], "erase kV"),
                                                (["read", "all", "run", "--erase"], "read all"))):
            with self.subTest(command=command):
                port = self.path("ttyUSB%d" % n)   # a log of its own
                sim = self.start_sim("ttyUSB%d" % n, "--probe", "silent")
                try:
                    self.assertFails(self.orvel(*(command + ["--port", port])), 1,
                                     ["orvel: %s: No Connection! (searched 1 port)" % context,
                                      "orvel: %s: %s: no answer" % (context, port)])
                    self.assertEqual(b"y", self.received(sim))
                    self.assertEqual([], self.files())
                finally:
                    self.stop_sim(sim)

    def test_a_stream_that_never_ends_is_never_saved(self):
        # The bound is reached while the line still streams, and the stream
        # goes on through every later command: no read saves any of it.
        self.start_sim("ttyUSB0", "--data", "endless")
        port = self.path("ttyUSB0")
        env = self.env(ORVEL_BULK_LIMIT="1.5")
        self.assertFails(self.orvel("read", "kV", "run1", "--port", port, env=env), 1,
                         ["orvel: read kV: Data Set Too Long! Data not saved."])
        self.assertLess(self.elapsed, 10)
        for args in (["read", "kV", "run1"], ["read", "kV", "run1", "--port", port]):
            with self.subTest(args=args):
                code, out, err = self.orvel(*args, env=env)
                self.assertEqual((1, ""), (code, out))
                self.assertIn("orvel: read kV: %s: a reply of the wrong length" % port, err.splitlines())
        self.assertEqual([], self.files())
        self.assertFails(self.orvel("find", env=self.env(ORVEL_BULK_LIMIT="soon")), 2,
                         ["orvel: ORVEL_BULK_LIMIT is not a number of seconds", USAGE])

    def test_watch_waits_for_a_named_port_and_says_why_it_was_lost(self):
        port = self.path("ttyUSB0")
        with self.start_orvel("watch", "--port", port, stdout=subprocess.PIPE, stderr=subprocess.PIPE) as watch:
            try:
                def next_line(within):
                    ready, _, _ = select.select([watch.stdout], [], [], within)
                    self.assertTrue(ready, "no line within %s s" % within)
                    return watch.stdout.readline().decode().rstrip("\n")

                # Not plugged in yet: said, and watched for.
                self.assertRegex(next_line(5), r"^%s not found$" % STAMP)
                self.start_sim("ttyUSB0")
                found = r"^%s found %s %s$" % (STAMP, re.escape(port), re.escape(IDENT))
                self.assertRegex(next_line(6), found)
                # Taken by another program: lost, with the reason.
                pid, name = self.hold(port)
                self.assertRegex(next_line(6), r"^%s lost %s: %s$" % (
                    STAMP, re.escape(port), re.escape("in use by %s (pid %d)" % (name, pid))))
                self.releases[port]()
                self.assertRegex(next_line(6), found)
            finally:
                watch.send_signal(signal.SIGINT)
                self.assertEqual(130, watch.wait(timeout=5))

    # ---- output that cannot be written ----

    def test_a_full_stdout_fails_the_command(self):
        sim = self.start_sim()
        for args in (["find", "--port", self.path("ttyUSB0")], ["ports"], ["--version"], ["--help"]):
            with self.subTest(args=args):
                with open("/dev/full", "w") as full:
                    done = subprocess.run([ORVEL] + args, cwd=self.dir, env=self.env(), timeout=30,
                                          stdout=full, stderr=subprocess.PIPE)
                self.assertEqual((1, b"orvel: cannot write to stdout: No space left on device\n"),
                                 (done.returncode, done.stderr))
        self.assertEqual(b"y", self.received(sim))
        # The data set itself was saved: only the report of it failed.
        with open("/dev/full", "w") as full:
            done = subprocess.run([ORVEL, "read", "kV", "run1", "--port", self.path("ttyUSB0")], cwd=self.dir,
                                  env=self.env(), timeout=30, stdout=full, stderr=subprocess.PIPE)
        self.assertEqual(1, done.returncode)
        self.assertEqual(text_mode(DATA["v"]), self.read("run1.txt"))

    # ---- progress ----

    def test_progress_line_on_a_terminal_only(self):
        self.start_sim("ttyUSB0", "--data", "paced")
        content = text_mode(DATA["v"])
        for on_tty in (True, False):
            with self.subTest(on_tty=on_tty):
                name = "tty" if on_tty else "pipe"
                args = ["read", "kV", name, "--port", self.path("ttyUSB0")]
                if on_tty:
                    master, slave = os.openpty()
                    proc = self.start_orvel(*args, stdout=subprocess.PIPE, stderr=slave)
                    os.close(slave)
                    err = read_until_closed(master)
                    out = proc.stdout.read()
                    proc.stdout.close()
                    code = proc.wait(timeout=30)
                else:
                    proc = self.start_orvel(*args, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
                    out, err = proc.communicate(timeout=30)
                    code = proc.returncode
                self.assertEqual((0, b"%s.txt %d bytes\n" % (name.encode(), len(content))), (code, out))
                if not on_tty:
                    self.assertEqual(b"", err)
                    continue
                # Redrawn in place, the last drawing with the total, then cleared.
                drawings = re.findall(rb"\rread kV: (\d+) bytes  (\d+\.\d) s  (\d+) bytes/s *", err)
                self.assertGreaterEqual(len(drawings), 3, err)
                self.assertEqual(str(len(DATA["v"])).encode(), drawings[-1][0])
                self.assertGreaterEqual(float(drawings[-1][1]), 2.0)
                self.assertNotIn(b"\n", err)
                self.assertTrue(re.fullmatch(rb".*\r +\r", err, re.S), err[-80:])

        # A read that an erase follows says which download of a set is under
        # way, so that the second does not look like a stall.
        master, slave = os.openpty()
        proc = self.start_orvel("read", "all", "run", "--erase", "--port", self.path("ttyUSB0"),
                                stdout=subprocess.PIPE, stderr=slave)
        os.close(slave)
        err = read_until_closed(master)
        proc.stdout.close()
        self.assertEqual(0, proc.wait(timeout=60))
        for unit in ("kV", "uA", "kOhm"):
            for download in (1, 2):
                self.assertRegex(err, rb"\rread %s, download %d: \d+ bytes  " % (unit.encode(), download))
        self.assertNotRegex(err, rb"download 3")


# ---- the order of the system calls, as strace sees them ----


class StraceTest(OrvelTest):
    """Runs on its own (--strace), so that a host without strace shows it as
    a skip of these checks and not as a pass or a skip of all the others."""

    def test_a_saved_file_is_durable_before_it_is_said_or_erased(self):
        # The order of the system calls: the data synced, renamed into
        # place, the folder synced; only then the line on stdout, and after
        # the last file the erase letters.
        self.start_sim("ttyUSB0")
        log = os.path.join(self.tmp.name, "strace.txt")
        # LeakSanitizer cannot work under ptrace: a sanitized build leaves leaks to the other tests.
        asan = (os.environ.get("ASAN_OPTIONS", "") + ":detect_leaks=0").lstrip(":")
        code, out, err = self.orvel("read", "all", "run", "--port", self.path("ttyUSB0"), "--erase",
                                    env=self.env(ASAN_OPTIONS=asan),
                                    prefix=["strace", "-f", "-y", "-e", "trace=fsync,fdatasync,rename,renameat,"
                                            "renameat2,write", "-o", log])
        self.assertEqual((0, ""), (code, err))
        with open(log) as f:
            calls = f.read().splitlines()

        def first(pattern, after=-1):
            for i, call in enumerate(calls):
                if i > after and re.search(pattern, call):
                    return i
            self.fail("no %r after line %d in:\n%s" % (pattern, after, "\n".join(calls)))

        folder = re.escape(os.path.realpath(self.dir))
        last = -1
        for unit in ("kV", "uA", "kOhm"):
            name = re.escape("run-%s.txt" % unit)
            synced = first(r"fsync\(\d+<[^>]*%s\.tmp>\)\s+= 0" % name, last)
            renamed = first(r"rename\w*\(.*%s\.tmp.*%s\"" % (name, name), synced)
            folder_synced = first(r"fsync\(\d+<%s>\)\s+= 0" % folder, renamed)
            said = first(r"write\(1<[^>]*>, \"%s \d+ bytes" % name, folder_synced)
            last = said
        first(r"write\(\d+<[^>]*>, \"V\", 1\)", last)

    def test_a_folder_that_cannot_be_synced(self):
        # The folder sync after the rename fails (EIO) or cannot be done at
        # all on this file system (EINVAL), injected into the second fsync:
        # the first syncs the data, the second the folder.
        asan = (os.environ.get("ASAN_OPTIONS", "") + ":detect_leaks=0").lstrip(":")
        not_synced = ("orvel: read kV: run-kV.txt: saved, but its folder could not be synced, so a power cut may "
                      "still lose it; nothing was erased")
        # (case, the fsyncs that fail, exit status, stderr, bytes the instrument got)
        cases = (
            ("EIO", "error=EIO:when=2", 3, [not_synced], b"yvv"),
            ("EINVAL", "error=EINVAL:when=2+2", 0, [], b"yvvaaooVAO"),
        )
        for n, (case, inject, status, err_lines, sent) in enumerate(cases):
            with self.subTest(case=case):
                link = "ttyUSB%d" % n
                sim = self.start_sim(link)
                trace = os.path.join(self.tmp.name, "trace-%s.txt" % case)
                code, out, err = self.orvel("read", "all", "run", "--port", self.path(link), "--erase", "--overwrite",
                                            "--trace", trace, env=self.env(ASAN_OPTIONS=asan),
                                            prefix=["strace", "-f", "-o", "/dev/null", "-e", "inject=fsync:" + inject])
                self.assertEqual((status, err_lines), (code, err.splitlines()))
                self.assertEqual(sent, self.received(sim))
                # The file is in place either way, and said on stdout only when durable.
                self.assertEqual(text_mode(DATA["v"]), self.read("run-kV.txt"))
                self.assertEqual(status == 0, "run-kV.txt" in out)
                with open(trace) as f:
                    notes = [line for line in f if "cannot be synced" in line]
                self.assertEqual(0 if status else 1, len(notes), notes)
                self.stop_sim(sim)


# ---- as a user who may not open the port ----

UNPRIVILEGED = ["setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups"]


def why_no_other_user():
    """Why this host cannot run orvel as another user; None when it can."""
    if os.geteuid() != 0:
        return "changing to user nobody needs root"
    if shutil.which("setpriv") is None:
        return "no setpriv (util-linux)"
    try:
        grp.getgrnam("dialout")
    except KeyError:
        return "no group dialout to give the device to"
    done = subprocess.run(UNPRIVILEGED + [ORVEL, "--version"], stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    if done.returncode != 0:
        return "user nobody cannot run %s: %s" % (ORVEL, done.stderr.decode(errors="replace").strip())
    return None


class UnprivilegedTest(OrvelTest):
    """The first thing a new Linux user meets: a USB adapter of group dialout."""

    def setUp(self):
        super().setUp()
        for path in (self.tmp.name, self.dir, self.dev):
            os.chmod(path, 0o777)

    def orvel(self, *args, timeout=60):
        done = subprocess.run(UNPRIVILEGED + [ORVEL] + list(args), cwd=self.dir, env=self.env(),
                              timeout=timeout, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        return done.returncode, done.stdout.decode(errors="replace"), done.stderr.decode(errors="replace")

    def test_permission_denied_names_the_devices_group(self):
        sim = self.start_sim("ttyUSB0")
        os.chown(sim.slave, 0, grp.getgrnam("dialout").gr_gid)
        os.chmod(sim.slave, 0o660)
        port = self.path("ttyUSB0")
        denied = ("permission denied: %s belongs to group dialout (sudo usermod -aG dialout $USER, "
                  "then log in again)" % port)
        self.assertFails(self.orvel("find", "--port", port), 1, ["orvel: find: %s: %s" % (port, denied)])
        self.assertEqual((0, "%s  %s\n" % (port, denied), ""), self.orvel("ports"))
        self.assertEqual(b"", self.received(sim))


def main():
    global ORVEL, SIM
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--orvel", required=True)
    parser.add_argument("--sim", required=True)
    parser.add_argument("--unprivileged", action="store_true",
                        help="only the tests that run orvel as user nobody (exit 77 where that cannot be)")
    parser.add_argument("--strace", action="store_true",
                        help="only the tests that watch or fail orvel's system calls (exit 77 without strace)")
    args, rest = parser.parse_known_args()
    ORVEL, SIM = os.path.abspath(args.orvel), os.path.abspath(args.sim)
    if args.strace:
        if shutil.which("strace") is None:
            print("skipped: strace is not installed (Debian package strace; scripts/install-deps installs it)")
            sys.exit(SKIPPED)
        # By name: StraceTest inherits every other case of OrvelTest.
        unittest.main(argv=[sys.argv[0], "StraceTest.test_a_saved_file_is_durable_before_it_is_said_or_erased",
                            "StraceTest.test_a_folder_that_cannot_be_synced"], verbosity=2)
    if not args.unprivileged:
        unittest.main(argv=[sys.argv[0]] + (rest or ["OrvelTest"]), verbosity=2)
    reason = why_no_other_user()
    if reason:
        print("skipped: %s" % reason)
        sys.exit(SKIPPED)
    unittest.main(argv=[sys.argv[0], "UnprivilegedTest.test_permission_denied_names_the_devices_group"],
                  verbosity=2)


if __name__ == "__main__":
    main()
