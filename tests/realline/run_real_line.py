#!/usr/bin/env python3
"""Both programs on real Linux serial drivers, in the project's guest.

    run_real_line.py --case uart|usb|unplug|break --sim XKT_SIM --orvel ORVEL
                     --win32-build DIR --win64-build DIR [--work DIR]

A pseudo-terminal ignores the speed, has no modem lines and never hangs up
the way a pulled adapter does; a real driver does all of that. The guest
(tools/vm) gets qemu's 16550 UART as /dev/ttyS1 (case uart) or qemu's FTDI
USB adapter as /dev/ttyUSB0 (cases usb and unplug), whose far end is a
pseudo-terminal here with the simulated instrument on it. qemu passes the
speed and stop bits the guest's driver programs on to that pseudo-terminal,
so the simulator's strict line hears a program only at 9600 baud 8N1.

The checks themselves run in the guest (guest_real_line.py); this side
starts the simulator, boots the guest once, follows the line settings that
reach the pseudo-terminal, pulls and plugs the USB adapter through qemu's
monitor (QMP) when the guest says so, and checks what the simulator
received. Case break puts the 16550's far end on qemu's telnet backend
instead, which can send a BREAK: this side then is the instrument itself,
and a telnet line carries no speed. Exits 77 where no guest can be had.
"""

import argparse
import json
import os
import shutil
import socket
import sys
import termios
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
PROJECT = os.path.normpath(os.path.join(HERE, "..", ".."))
sys.path[:0] = [os.path.join(PROJECT, "tools"), os.path.join(PROJECT, "tools", "vm")]

import guestvm    # noqa: E402
import simproc    # noqa: E402
from checklist import Checks   # noqa: E402

SKIPPED = 77
GUEST_SCRIPT = os.path.join(HERE, "guest_real_line.py")
# How long the job may take once the guest has booted: orvel and both
# Windows programs under emulation, each a search, downloads and erasures.
BOUND = int(os.environ.get("XKT_VM_BOUND", "1200"))
USB_ID = "ftdi"
USB_CHARDEV = "u2"

SPEEDS = {getattr(termios, name): int(name[1:]) for name in dir(termios)
          if name.startswith("B") and name[1:].isdigit()}


def data_sets(case):
    """{letter: bytes} the simulator sends: kV holds every byte value."""
    every = bytes(range(256)) + b"\n"
    lines = 20 if case != "unplug" else 300   # the unplug needs a download that lasts
    text = {letter: "".join("2024-03-05 09:%02d:%02d, %7.2f %s\n" % (
        i // 6 % 60, i % 6 * 10, 10 + i * 0.5, unit) for i in range(lines)).encode()
        for letter, unit in (("v", "kV"), ("a", "uA"), ("o", "kOhm"))}
    if case != "unplug":
        text["v"] = every + text["v"]
    return text


class LineWatch:
    """Follows the line settings that reach the pseudo-terminal from qemu."""

    def __init__(self, slave):
        self.fd = os.open(slave, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
        self.seen = []   # (seconds since start, description), one per change
        self.started = time.monotonic()
        self.stop = threading.Event()
        self.thread = threading.Thread(target=self._follow, daemon=True)
        self.thread.start()

    @staticmethod
    def describe(attrs):
        cflag = attrs[2]
        bits = {termios.CS5: 5, termios.CS6: 6, termios.CS7: 7, termios.CS8: 8}[cflag & termios.CSIZE]
        parity = "N" if not cflag & termios.PARENB else ("O" if cflag & termios.PARODD else "E")
        stop = 2 if cflag & termios.CSTOPB else 1
        flow = " rtscts" if cflag & termios.CRTSCTS else ""
        return "%s %d%s%d%s" % (SPEEDS.get(attrs[5], "?"), bits, parity, stop, flow)

    def _follow(self):
        last = None
        while not self.stop.wait(0.01):
            try:
                now = self.describe(termios.tcgetattr(self.fd))
            except termios.error:
                continue
            if now != last:
                self.seen.append((time.monotonic() - self.started, now))
                last = now

    def close(self):
        self.stop.set()
        self.thread.join()
        os.close(self.fd)

    def summary(self):
        """The settings in the order they came, with when each came."""
        return ", then ".join("%s at %.1f s" % (line, at) for at, line in self.seen)


class Monitor:
    """qemu's monitor over QMP: removes and adds the USB adapter."""

    def __init__(self, path):
        self.path = path
        self.sock = None
        self.buffer = b""
        self.events = []

    def connect(self, timeout=120):
        deadline = time.monotonic() + timeout
        while self.sock is None:
            try:
                sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
                sock.connect(self.path)
                self.sock = sock
            except OSError:
                sock.close()
                if time.monotonic() > deadline:
                    raise
                time.sleep(0.2)
        self.sock.settimeout(60)
        self._message()   # the greeting
        self.execute("qmp_capabilities")

    def _message(self):
        while b"\n" not in self.buffer:
            chunk = self.sock.recv(65536)
            if not chunk:
                raise OSError("qemu closed its monitor")
            self.buffer += chunk
        line, self.buffer = self.buffer.split(b"\n", 1)
        return json.loads(line)

    def execute(self, command, **arguments):
        self.sock.sendall(json.dumps({"execute": command, "arguments": arguments}).encode() + b"\n")
        while True:
            message = self._message()
            if "event" in message:
                self.events.append(message)
            elif "error" in message:
                raise OSError("%s: %s" % (command, message["error"].get("desc")))
            else:
                return message.get("return")

    def wait_event(self, name, timeout=60):
        deadline = time.monotonic() + timeout
        while True:
            for event in self.events:
                if event["event"] == name:
                    self.events.remove(event)
                    return True
            if time.monotonic() > deadline:
                return False
            self.sock.settimeout(max(0.1, deadline - time.monotonic()))
            try:
                message = self._message()
            except socket.timeout:
                return False
            if "event" in message:
                self.events.append(message)

    def close(self):
        if self.sock:
            self.sock.close()


class TelnetInstrument:
    """The instrument at the telnet end of the 16550 (case break): it answers
    the probe and the erase letters as the simulator does, and sends each
    data set with a BREAK (telnet's IAC BREAK, which qemu puts on the line)
    in the middle of it."""

    IAC, BREAK = 0xFF, 0xF3
    IDENT = b"HVM-3000 SN4711 V2."
    ACK = b"ERASED OK"

    def __init__(self, port):
        self.port = port
        self.letters = b""
        self.sock = None
        self.stop = threading.Event()
        self.thread = threading.Thread(target=self._serve, daemon=True)
        self.thread.start()

    @classmethod
    def data_set(cls, letter):
        unit = {"v": b"kV", "a": b"uA", "o": b"kOhm"}[letter]
        text = b"".join(b"2024-03-05 09:%02d:%02d, %7.2f %s\n" % (i // 6 % 60, i % 6 * 10, 10 + i * 0.5, unit)
                        for i in range(60))
        half = len(text) // 2
        return text[:half], text[half:]

    def _send(self, data):
        self.sock.sendall(data.replace(b"\xff", b"\xff\xff"))

    def _answer(self, letter):
        if letter == "y":
            self._send(self.IDENT)
        elif letter in "vao":
            head, tail = self.data_set(letter)
            self._send(head)
            time.sleep(0.5)   # the head is on the line before the BREAK
            self.sock.sendall(bytes([self.IAC, self.BREAK]))
            time.sleep(0.2)
            self._send(tail)
        elif letter in "VAOE":
            self._send(self.ACK)

    def _serve(self):
        deadline = time.monotonic() + 300
        while not self.stop.is_set() and self.sock is None:
            try:
                self.sock = socket.create_connection(("127.0.0.1", self.port), timeout=1)
            except OSError:
                if time.monotonic() > deadline:
                    print("host: qemu's telnet end never listened", flush=True)
                    return
                time.sleep(0.2)
        self.sock.settimeout(0.2)
        pending = b""
        while not self.stop.is_set():
            try:
                chunk = self.sock.recv(4096)
            except socket.timeout:
                continue
            except OSError:
                return
            if not chunk:
                return
            pending += chunk
            # qemu's telnet negotiation (IAC and a command, with an option
            # byte for WILL, WONT, DO and DONT) is no part of the line.
            while pending:
                if pending[0] != self.IAC:
                    byte, pending = pending[:1], pending[1:]
                elif len(pending) < 2:
                    break
                elif pending[1] == self.IAC:
                    byte, pending = pending[1:2], pending[2:]
                elif 251 <= pending[1] <= 254:
                    if len(pending) < 3:
                        break
                    pending = pending[3:]
                    continue
                else:
                    pending = pending[2:]
                    continue
                self.letters += byte
                self._answer(chr(byte[0]))

    def close(self):
        self.stop.set()
        self.thread.join(timeout=5)
        if self.sock:
            self.sock.close()


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def run_break(args, work, data_dir, overlay):
    """Case break: the checks in the guest, and the letters that came here."""
    checks = Checks()
    port = free_port()
    instrument = TelnetInstrument(port)
    devices = ["-serial", "telnet:127.0.0.1:%d,server=on,wait=off" % port]
    job = make_job(args, work, data_dir, devices, lambda line: None)
    print("real line: break, the instrument at qemu's telnet end of the 16550 (port %d); one guest boot"
          % port, flush=True)
    started = time.monotonic()
    try:
        status = job.run(overlay, BOUND)
    finally:
        instrument.close()
    print("guest: ended with exit %d after %.0f s (boot %.0f s, job %.0f s)" % (
        status, time.monotonic() - started, job.timings.get("boot", 0), job.timings.get("job", 0)))
    checks.check(status == 0, "the checks in the guest passed (exit %d)" % status)
    # Each command probes first; after the line error nothing else goes out.
    checks.check(instrument.letters == b"yvyv",
                 "the instrument received y v, y v and no erase letter (got %r)" % instrument.letters)
    return checks.summary()


class Host:
    """What the host does on the guest's cues ("real-line: CUE" lines)."""

    def __init__(self, sim, monitor, checks, line_fd):
        self.sim = sim
        self.monitor = monitor
        self.line_fd = line_fd
        self.checks = checks
        self.lock = threading.Lock()
        self.threads = []
        # Downloads asked for before the last plug; the cue may reach this
        # side after the download it announces has begun, so the count at
        # the cue would already hold it.
        self.downloads_before = 0

    def on_line(self, line):
        if not line.startswith("real-line: "):
            return
        cue = line.split()[1]
        target = {"pull-during-download": self.pull_during_download, "plug": self.plug}.get(cue)
        if target:
            thread = threading.Thread(target=target, daemon=True)
            thread.start()
            self.threads.append(thread)

    def _letters(self, letter):
        return sum(1 for _, byte in self.sim.log_entries() if byte == ord(letter))

    def pull_during_download(self):
        """Once the next download has begun, the adapter is pulled out."""
        with self.lock:
            before = self.downloads_before
            deadline = time.monotonic() + 120
            while self._letters("v") == before and time.monotonic() < deadline:
                time.sleep(0.1)
            if self._letters("v") == before:
                print("host: no download began within 120 s", flush=True)
                return
            time.sleep(1.0)   # some of the data set is on its way
            started = time.monotonic()
            try:
                self.monitor.execute("device_del", id=USB_ID)
                gone = self.monitor.wait_event("DEVICE_DELETED")
            except OSError as error:
                print("host: the USB adapter was not pulled: %s" % error, flush=True)
                return
            # The instrument's bytes on a pulled cable go nowhere; behind qemu
            # they would wait in the pty for the adapter's return, and arrive
            # in a burst as the next program opens the port.
            self.sim.command("unplug")
            termios.tcflush(self.line_fd, termios.TCIFLUSH)
            print("host: USB adapter pulled during the download (%s after %.1f s)" % (
                "gone" if gone else "NOT gone", time.monotonic() - started), flush=True)

    def plug(self):
        with self.lock:
            self.sim.command("plug")
            self.downloads_before = self._letters("v")
            try:
                self.monitor.execute("device_add", driver="usb-serial", bus="xhci.0",
                                     chardev=USB_CHARDEV, id=USB_ID)
            except OSError as error:   # the guest's checks fail for it
                print("host: the USB adapter was not plugged back in: %s" % error, flush=True)
                return
            print("host: USB adapter plugged back in", flush=True)

    def join(self):
        for thread in self.threads:
            thread.join(timeout=180)


def qemu_devices(case, slave, qmp_path):
    if case == "uart":
        # The console stays on the first UART; this one is /dev/ttyS1.
        return ["-serial", slave]
    return ["-device", "qemu-xhci,id=xhci",
            "-chardev", "serial,id=%s,path=%s" % (USB_CHARDEV, slave),
            "-device", "usb-serial,bus=xhci.0,chardev=%s,id=%s" % (USB_CHARDEV, USB_ID),
            "-qmp", "unix:%s,server=on,wait=off" % qmp_path]


def make_job(args, work, data_dir, devices, on_line):
    guest_args = ["--case", args.case, "--orvel", args.orvel, "--data", data_dir, "--work",
                  os.path.join(work, "guest"), "--win32-build", args.win32_build,
                  "--win64-build", args.win64_build]
    job = guestvm.Job(["python3", "-B", GUEST_SCRIPT] + guest_args, cwd=PROJECT,
                      env={"XKT_WINE_CACHE": guestvm.GUEST_CACHE,
                           "XKT_TIME_SCALE": guestvm.TIME_SCALE},
                      devices=devices, udev=True, on_line=on_line)
    for folder in ("tools", os.path.join("tests", "wine"), os.path.join("tests", "realline"), "res",
                   os.path.join("packaging", "linux")):
        job.add_tree(os.path.join(PROJECT, folder))
    job.add_file(args.orvel)
    for build in (args.win32_build, args.win64_build):
        job.add_file(os.path.join(build, "XKT.EXE"))
        job.add_file(os.path.join(build, "tests", "wine", "xktdrive.exe"))
    job.add_tree(data_dir)
    os.makedirs(os.path.join(work, "guest"), exist_ok=True)
    job.returns.append(os.path.join(work, "guest"))
    return job


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--case", required=True, choices=("uart", "usb", "unplug", "break"))
    parser.add_argument("--sim", required=True)
    parser.add_argument("--orvel", required=True)
    parser.add_argument("--win32-build", required=True)
    parser.add_argument("--win64-build", required=True)
    parser.add_argument("--work", help="scratch directory (default: real-line-CASE beside ORVEL's build)")
    args = parser.parse_args()
    for name in ("sim", "orvel", "win32_build", "win64_build"):
        setattr(args, name, os.path.abspath(getattr(args, name)))

    usable, how = guestvm.availability()
    if not usable:
        print("skipped: real serial drivers need the guest: %s" % how)
        return SKIPPED
    work = os.path.abspath(args.work or os.path.join(os.path.dirname(os.path.dirname(args.orvel)),
                                                     "real-line-" + args.case))
    shutil.rmtree(work, ignore_errors=True)
    data_dir = os.path.join(work, "data")
    os.makedirs(data_dir)
    if args.case == "break":
        try:
            overlay = guestvm.ensure_guest()
        except guestvm.GuestError as error:
            print("guest: %s" % error)
            return 1
        return run_break(args, work, data_dir, overlay)
    sim_args = []
    for letter, data in data_sets(args.case).items():
        path = os.path.join(data_dir, letter + ".bin")
        with open(path, "wb") as f:
            f.write(data)
        sim_args += ["--data-file", "%s=%s" % (letter, path)]
    try:
        overlay = guestvm.ensure_guest()
    except guestvm.GuestError as error:
        print("guest: %s" % error)
        return 1

    checks = Checks()
    qmp_path = os.path.join(work, "qmp.sock")
    sim = simproc.SimProcess(args.sim, sim_args, log_path=os.path.join(work, "sim.log"))
    watch = LineWatch(sim.slave)
    monitor = Monitor(qmp_path)
    host = Host(sim, monitor, checks, watch.fd)
    job = make_job(args, work, data_dir, qemu_devices(args.case, sim.slave, qmp_path), host.on_line)
    if args.case != "uart":
        threading.Thread(target=monitor.connect, daemon=True).start()
    print("real line: %s, the instrument on %s here; one guest boot" % (args.case, sim.slave), flush=True)
    started = time.monotonic()
    try:
        status = job.run(overlay, BOUND)
        host.join()
    finally:
        watch.close()
        monitor.close()
        received = bytes(byte for _, byte in sim.log_entries())
        sim.close()
    print("guest: ended with exit %d after %.0f s (boot %.0f s, job %.0f s)" % (
        status, time.monotonic() - started, job.timings.get("boot", 0), job.timings.get("job", 0)))
    print("qemu passed to the simulator's pseudo-terminal: %s" % watch.summary())
    checks.check(status == 0, "the checks in the guest passed (exit %d)" % status)
    # What only this side sees: the letters that reached the instrument
    # (each answered only at 9600 baud with one stop bit).
    wanted = {"uart": b"VAOE", "usb": b"VAOE", "unplug": b"v"}[args.case]
    checks.check(all(bytes([c]) in received for c in wanted),
                 "the instrument received %s (got %s)" % (
                     " ".join(chr(c) for c in wanted),
                     " ".join(sorted(set(chr(c) for c in received if chr(c).isalpha())))))
    # The guest's driver starts a port at 9600 8N1 of its own accord; what
    # stays on the line after the programs is what they set.
    last = watch.seen[-1][1] if watch.seen else "nothing"
    checks.check(last == "9600 8N1", "the programs left the line at 9600 8N1 (%s)" % last)
    return checks.summary()


if __name__ == "__main__":
    sys.exit(main())
