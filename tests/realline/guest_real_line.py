#!/usr/bin/env python3
"""The checks on real serial drivers, run inside the guest by run_real_line.py.

    guest_real_line.py --case uart|usb|unplug --orvel ORVEL --data DIR --work DIR
                       --win32-build DIR --win64-build DIR

The instrument is at the far end of /dev/ttyS1 (qemu's 16550, case uart) or
/dev/ttyUSB0 (qemu's FTDI adapter, cases usb and unplug). DIR holds the data
sets it sends (v.bin, a.bin, o.bin; kV has every byte value). A line
"real-line: CUE" asks the host to act: pull-during-download (the host pulls
the USB adapter once the next download has begun), plug (it comes back).
"""

import argparse
import fcntl
import os
import signal
import struct
import subprocess
import sys
import termios
import time

HERE = os.path.dirname(os.path.abspath(__file__))
PROJECT = os.path.normpath(os.path.join(HERE, "..", ".."))
sys.path[:0] = [os.path.join(PROJECT, "tools"), os.path.join(PROJECT, "tests", "wine")]

import resource_ids as ids   # noqa: E402
import wineenv    # noqa: E402
import xktdrive   # noqa: E402
from checklist import Checks   # noqa: E402

DEVICES = {"uart": "/dev/ttyS1", "usb": "/dev/ttyUSB0", "unplug": "/dev/ttyUSB0", "break": "/dev/ttyS1"}
COM_PORTS = {"uart": 1, "usb": 3, "unplug": 3}
USB_ID = "0403:6001"
IDENT = "HVM-3000 SN4711 V2"
STATUS_NONE = " ------------- "
STATUS_LOST = " No Connection! "
MSG_RECEIVED = "     Data Received!       "
MSG_ERASED = "     Data Erased!       "
MSG_LOST = "Connection Lost! Data not saved. "
RED = (255, 150, 150)
IDOK = 1
BUILD_DIRS = {}

checks = Checks()


def say(text):
    print("   %s" % text, flush=True)


def cue(word):
    print("real-line: %s" % word, flush=True)


def text_mode(data):
    return data.replace(b"\n", b"\r\n")


def read(path):
    with open(path, "rb") as f:
        return f.read()


# ---- the device ------------------------------------------------------------

def holders(device):
    """Pids of the processes (other than this one) that have device open."""
    found = set()
    for pid in os.listdir("/proc"):
        if not pid.isdigit() or int(pid) == os.getpid():
            continue
        try:
            for fd in os.listdir("/proc/%s/fd" % pid):
                if os.readlink("/proc/%s/fd/%s" % (pid, fd)) == device:
                    found.add(int(pid))
                    break
        except OSError:
            continue
    return found


def wait_held(device, timeout):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if holders(device):
            return True
        time.sleep(0.05)
    return False


# A line an earlier program might have left on the port, wrong in every way
# that matters to the instrument: another speed, 7 data bits, odd parity, two
# stop bits, both kinds of flow control, the receiver off, a stripped eighth
# bit, mapped line ends, marked breaks, a cooked line with echo. A real
# driver keeps all of it (a pseudo-terminal forces 8 data bits, no parity
# and the receiver on), so each check of check_line can fail. CLOCAL stays
# as it is: without it an open may wait for a carrier the far end never
# raises, and the modem lines are raised by the driver at every first open.
T = termios
SPOILED = (   # (termios field, bits set, bits cleared)
    (0, T.IXON | T.IXOFF | T.IXANY | T.ISTRIP | T.INLCR | T.IGNCR | T.ICRNL | T.PARMRK | T.BRKINT | T.IGNBRK |
     T.INPCK, 0),
    (1, T.OPOST | T.ONLCR, 0),
    (2, T.CS7 | T.PARENB | T.PARODD | T.CSTOPB | T.CRTSCTS, T.CSIZE | T.CREAD),
    (3, T.ICANON | T.ECHO | T.ISIG | T.IEXTEN, 0),
)

# What check_line wants while a program holds the line: (what is wrong,
# termios field, mask, value wanted); modem lines and speed apart.
WANTED = (
    ("not 8 data bits", 2, T.CSIZE, T.CS8),
    ("parity (parenb)", 2, T.PARENB, 0),
    ("two stop bits (cstopb)", 2, T.CSTOPB, 0),
    ("RTS/CTS (crtscts)", 2, T.CRTSCTS, 0),
    ("receiver off (-cread)", 2, T.CREAD, T.CREAD),
    ("modem control (-clocal)", 2, T.CLOCAL, T.CLOCAL),
    ("XON/XOFF out (ixon)", 0, T.IXON, 0),
    ("XON/XOFF in (ixoff)", 0, T.IXOFF, 0),
    ("eighth bit stripped (istrip)", 0, T.ISTRIP, 0),
    ("line ends mapped (inlcr, igncr, icrnl)", 0, T.INLCR | T.IGNCR | T.ICRNL, 0),
    ("errors marked (parmrk)", 0, T.PARMRK, 0),
    ("a break interrupts (brkint)", 0, T.BRKINT, 0),
    ("output processed (opost)", 1, T.OPOST, 0),
    ("cooked (icanon, echo, isig, iexten)", 3, T.ICANON | T.ECHO | T.ISIG | T.IEXTEN, 0),
)
# orvel sees a BREAK as a line error; Wine's own line settings ignore it
# (ignbrk), which no Windows program can change.
WANTED_ORVEL = WANTED + (("breaks ignored (ignbrk)", 0, T.IGNBRK, 0),)


def spoil_line(device):
    """Leaves the port as SPOILED has it, before a program opens it."""
    fd = os.open(device, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
    try:
        attrs = termios.tcgetattr(fd)
        for field, on, off in SPOILED:
            attrs[field] = (attrs[field] & ~off) | on
        attrs[4] = attrs[5] = termios.B19200
        termios.tcsetattr(fd, termios.TCSANOW, attrs)
        kept = termios.tcgetattr(fd)
    finally:
        os.close(fd)
    lost = [name for name, field, mask, _ in WANTED_ORVEL if (kept[field] ^ attrs[field]) & mask]
    checks.check(kept[5] == termios.B19200 and not lost,
                 "%s keeps a spoiled line (19200 7O2, RTS/CTS, XON/XOFF, cooked, ...)%s" % (
                     device, ": it refused " + ", ".join(lost) if lost else ""))


def check_line(device, who, wanted):
    """The line on the real device while the program holds it: 9600 8N1,
    raw, no flow control, DTR and RTS up."""
    if not checks.check(wait_held(device, 60), "%s holds %s" % (who, device)):
        return
    time.sleep(0.3)   # past its open and its settings
    fd = os.open(device, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
    try:
        attrs = termios.tcgetattr(fd)
        modem = struct.unpack("i", fcntl.ioctl(fd, termios.TIOCMGET, struct.pack("i", 0)))[0]
    finally:
        os.close(fd)
    wrong = [name for name, field, mask, value in wanted if attrs[field] & mask != value]
    wrong += [name for name, bad in (
        ("speed %s" % attrs[5], attrs[4] != termios.B9600 or attrs[5] != termios.B9600),
        ("DTR down", not modem & termios.TIOCM_DTR),
        ("RTS down", not modem & termios.TIOCM_RTS)) if bad]
    still = bool(holders(device))
    checks.check(not wrong and still, "%s: %s at 9600 8N1, raw, no flow control, DTR and RTS up, "
                 "while held%s" % (who, device, (": " + ", ".join(wrong)) if wrong else
                                   "" if still else ": released before the settings were read"))


def wait_device(device, present, timeout):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if os.path.exists(device) == present:
            return True
        time.sleep(0.2)
    return False


# ---- orvel -------------------------------------------------------------------

def orvel(args, *words, cwd, timeout=300):
    done = subprocess.run([args.orvel] + list(words), cwd=cwd, timeout=timeout,
                          stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    return done.returncode, done.stdout.decode(errors="replace"), done.stderr.decode(errors="replace")


def orvel_whole(args, data, device, folder):
    code, out, err = orvel(args, "ports", cwd=folder)
    line = next((l for l in out.splitlines() if l.split()[:1] == [device]), "")
    checks.check(code == 0 and line.endswith(" free") and
                 (USB_ID in line.split() if "USB" in device else True),
                 "orvel ports lists %s%s, free: %r" % (device, " with " + USB_ID if "USB" in device
                                                       else "", line or out + err))
    code, out, err = orvel(args, "find", "--port", device, cwd=folder)
    checks.check((code, out) == (0, "%s %s\n" % (device, IDENT)),
                 "orvel find on %s: %r %r (exit %d)" % (device, out, err, code))

    spoil_line(device)
    proc = subprocess.Popen([args.orvel, "read", "all", "run", "--erase", "--port", device], cwd=folder,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    check_line(device, "orvel read all", WANTED_ORVEL)
    out, err = (s.decode(errors="replace") for s in proc.communicate(timeout=300))
    checks.check(proc.returncode == 0, "orvel read all run --erase: exit %d %r" % (proc.returncode, err))
    for unit, letter in (("kV", "v"), ("uA", "a"), ("kOhm", "o")):
        path = os.path.join(folder, "run-%s.txt" % unit)
        got = read(path) if os.path.exists(path) else b""
        checks.check(got == text_mode(data[letter]), "orvel: %s whole (%d of %d bytes)%s" % (
            os.path.basename(path), len(got), len(text_mode(data[letter])),
            ", every byte value" if letter == "v" else ""))
        checks.check("erased %s" % unit in out.splitlines(), "orvel: erased %s" % unit)


def orvel_unplug(args, device, folder):
    cue("pull-during-download")
    code, out, err = orvel(args, "read", "kV", "lost", "--port", device, cwd=folder)
    checks.check(code == 1 and "Connection Lost!" in err,
                 "orvel read kV with the adapter pulled: exit %d, %r" % (code, err.strip()))
    checks.check(os.listdir(folder) == [], "orvel left no file: %s" % os.listdir(folder))
    checks.check(wait_device(device, False, 60), "%s is gone" % device)

    watch = subprocess.Popen([args.orvel, "watch"], cwd=folder, stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE)
    time.sleep(3)
    cue("plug")
    found = ""
    deadline = time.monotonic() + 120
    os.set_blocking(watch.stdout.fileno(), False)
    seen = b""
    while time.monotonic() < deadline and not found:
        chunk = watch.stdout.read() or b""
        seen += chunk
        for line in seen.decode(errors="replace").splitlines():
            if " found %s %s" % (device, IDENT) in line:
                found = line
        time.sleep(0.2)
    watch.send_signal(signal.SIGINT)
    watch.communicate(timeout=30)
    checks.check(bool(found), "orvel watch finds the adapter plugged back in: %r" % (found or seen))


def udev_rule(args, device, folder):
    """The example udev rule, with this adapter's serial number put in, as
    the operator installs it: udev takes it, names the adapter /dev/orvel
    and keeps ModemManager away from it."""
    usb = os.path.realpath("/sys/class/tty/%s/device" % os.path.basename(device))
    while usb != "/" and not os.path.exists(os.path.join(usb, "idVendor")):
        usb = os.path.dirname(usb)
    serial = read(os.path.join(usb, "serial")).decode().strip() if usb != "/" else ""
    with open(os.path.join(PROJECT, "packaging", "linux", "60-orvel.rules")) as f:
        rule = f.read().replace('ATTRS{serial}=="A1B2C3D4"', 'ATTRS{serial}=="%s"' % serial)
    with open("/etc/udev/rules.d/60-orvel.rules", "w") as f:
        f.write(rule)
    subprocess.run(["udevadm", "control", "--reload"], check=False)
    tested = subprocess.run(["udevadm", "test", "--action=add", "/sys/class/tty/" + os.path.basename(device)],
                            stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    said = tested.stdout.decode(errors="replace").splitlines()
    complaints = [line for line in said if "60-orvel.rules" in line and
                  any(word in line.lower() for word in ("invalid", "error", "unknown", "ignoring"))]
    checks.check(tested.returncode == 0 and not complaints and "ID_MM_DEVICE_IGNORE=1" in said,
                 "udevadm test takes the example rule (serial %r) and sets ID_MM_DEVICE_IGNORE=1%s"
                 % (serial, ": " + "; ".join(complaints or said[-5:]) if complaints or
                    "ID_MM_DEVICE_IGNORE=1" not in said else ""))
    subprocess.run(["udevadm", "trigger", "--action=add", "/sys/class/tty/" + os.path.basename(device)],
                   check=False)
    subprocess.run(["udevadm", "settle", "--timeout=60"], check=False)
    code, out, err = orvel(args, "find", "--port", "/dev/orvel", cwd=folder)
    checks.check((code, out) == (0, "/dev/orvel %s\n" % IDENT),
                 "the rule's /dev/orvel finds the instrument: %r %r" % (out, err))
    os.unlink("/etc/udev/rules.d/60-orvel.rules")


# ---- XKT.EXE -------------------------------------------------------------------

def wait_window(d, xkt, timeout=120):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if xkt.poll() is not None:
            return None
        hwnd = d.window("Orvel", 1000)
        if hwnd:
            return hwnd
    return None


def wait_status(d, hwnd, timeout=180):
    """The status once the search has ended."""
    deadline = time.monotonic() + timeout
    status = ""
    while time.monotonic() < deadline:
        status = d.text(hwnd, ids.IDC_STATUS)
        if status != STATUS_NONE and not status.startswith("search"):
            return status
        time.sleep(0.3)
    return status


def wait_box(d, timeout):
    """(caption, text) of the next message box, which is closed with OK."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        for caption in ("Success:", "Error:", "Warning:"):
            box = d.message_box(caption, 250)
            if box:
                d.click(box["hwnd"], IDOK)
                d.gone(box["hwnd"])
                return caption, box["text"]
    return None, None


def connect(d, hwnd, who):
    d.click(hwnd, ids.IDC_CONNECT)
    status = wait_status(d, hwnd)
    reply = d.text(hwnd, ids.IDC_LAST_REPLY)
    return checks.check(status != STATUS_LOST and reply.startswith(IDENT),
                        "%s: Connect finds the instrument (%r, %r)" % (who, status, reply))


def with_window(arch, build, case, device, data_dir, work, action):
    """XKT.EXE of arch under Wine, COM<n> on the real device, registered as a port."""
    port = COM_PORTS[case]
    who = "XKT.EXE (%s) on COM%d" % (arch, port)
    folder = os.path.join(work, "xkt-" + arch)
    os.makedirs(folder, exist_ok=True)
    with wineenv.WineEnv(wineenv.default_cache(build), os.path.join(work, "wine-" + arch),
                         arch=arch) as env:
        # The system's list of serial ports names it, as a driver would.
        with open(os.path.join(env.prefix, "system.reg"), "a") as reg:
            reg.write('\n[Software\\\\Wine\\\\Ports] %d\n"COM%d"="%s"\n' % (time.time(), port, device))
        d = xktdrive.Driver(env.start_session([os.path.join(build, "tests", "wine", "xktdrive.exe")]))
        env.set_ports({port: device})
        complaints = env.check_ports({port: device}, d.ports())
        if not checks.check(not complaints, "%s: the COM ports as wanted %s" % (who, complaints)):
            return
        if case != "unplug":
            spoil_line(device)
        xkt = env.run([os.path.join(build, "XKT.EXE")], cwd=folder)
        hwnd = wait_window(d, xkt)
        if checks.check(bool(hwnd), "%s: the window opens" % who) and connect(d, hwnd, who):
            action(d, hwnd, who, device, folder)
        if hwnd:
            d.click(hwnd, IDOK)
        try:
            xkt.wait(timeout=60)
        except subprocess.TimeoutExpired:
            checks.check(False, "%s ends after Quit" % who)
        d.close()


def xkt_whole(data):
    def action(d, hwnd, who, device, folder):
        d.ok("type", hwnd, ids.IDC_FILE_KV, "run1")
        d.click(hwnd, ids.IDC_READ_KV)
        check_line(device, who, WANTED)
        checks.check(wait_box(d, 180) == ("Success:", MSG_RECEIVED), "%s: Read kV: Data Received!" % who)
        path = os.path.join(folder, "run1.txt")
        got = read(path) if os.path.exists(path) else b""
        checks.check(got == text_mode(data["v"]), "%s: run1.txt whole, every byte value (%d of %d bytes)"
                     % (who, len(got), len(text_mode(data["v"]))))
        d.click(hwnd, ids.IDC_ERASE_ALL)
        checks.check(wait_box(d, 120) == ("Success:", MSG_ERASED), "%s: Erase all: Data Erased!" % who)
    return action


def xkt_unplug(d, hwnd, who, device, folder):
    d.ok("type", hwnd, ids.IDC_FILE_KV, "lost")
    cue("pull-during-download")
    d.click(hwnd, ids.IDC_READ_KV)
    box = wait_box(d, 240)
    checks.check(box == ("Error:", MSG_LOST), "%s: the adapter pulled during Read kV: %r" % (who, box))
    time.sleep(1.0)   # the window repaints where the box was
    status, color = d.text(hwnd, ids.IDC_STATUS), d.pixel(hwnd, ids.IDC_STATUS)
    checks.check((status, color) == (STATUS_LOST, RED), "%s: %r on light red (%s)" % (who, status, color))
    checks.check(not os.path.exists(os.path.join(folder, "lost.txt")), "%s: no file saved" % who)
    cue("plug")
    if checks.check(wait_device(device, True, 120), "%s is back" % device):
        time.sleep(2)   # udev settles its permissions and links
        connect(d, hwnd, who + ", plugged back in")


def orvel_break(args, device, folder):
    """A BREAK in the middle of the kV data set (the host's telnet end of the
    16550 sends it): the driver counts it and hands a NUL byte on with the
    data. The data set is not whole: nothing saved, nothing erased."""
    lines = ["orvel: read kV: Line Error! Data not saved."]
    code, out, err = orvel(args, "read", "kV", "run", "--port", device, "--trace", "trace.txt", cwd=folder)
    checks.check((code, out, err.splitlines()) == (1, "", lines),
                 "orvel read kV: a BREAK mid-data set is a line error, exit 1 (%d, %r, %r)" % (code, out, err))
    with open(os.path.join(folder, "trace.txt")) as f:
        notes = [line.split(" # ", 1)[1] for line in f.read().splitlines() if " # " in line]
    checks.check("line error on %s: break" % device in notes,
                 "the trace names the break (%s)" % "; ".join(notes))
    code, out, err = orvel(args, "read", "all", "run", "--port", device, "--erase", cwd=folder)
    checks.check((code, out, err.splitlines()) == (1, "", lines),
                 "orvel read all --erase: the line error ends it before anything is erased "
                 "(%d, %r, %r)" % (code, out, err))
    files = sorted(name for name in os.listdir(folder) if name != "trace.txt")
    checks.check(files == [], "no data set file is left (%s)" % files)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--case", required=True, choices=sorted(DEVICES))
    parser.add_argument("--orvel", required=True)
    parser.add_argument("--data", required=True)
    parser.add_argument("--work", required=True)
    parser.add_argument("--win32-build", required=True)
    parser.add_argument("--win64-build", required=True)
    args = parser.parse_args()
    device = DEVICES[args.case]
    os.makedirs(args.work, exist_ok=True)
    if not checks.check(wait_device(device, True, 60), "the guest has %s (%s)" % (
            device, os.path.realpath("/sys/class/tty/%s/device/driver" % os.path.basename(device)))):
        return checks.summary()
    folder = os.path.join(args.work, "orvel")
    os.makedirs(folder)
    started = time.monotonic()
    if args.case == "break":
        orvel_break(args, device, folder)
        return checks.summary()
    data = {letter: read(os.path.join(args.data, letter + ".bin")) for letter in "vao"}
    if args.case == "unplug":
        orvel_unplug(args, device, folder)
        say("orvel took %.0f s" % (time.monotonic() - started))
        started = time.monotonic()
        with_window("win32", args.win32_build, args.case, device, args.data, args.work, xkt_unplug)
        say("XKT.EXE (win32) took %.0f s" % (time.monotonic() - started))
    else:
        orvel_whole(args, data, device, folder)
        if args.case == "usb":
            udev_rule(args, device, folder)
        say("orvel took %.0f s" % (time.monotonic() - started))
        for arch, build in (("win32", args.win32_build), ("win64", args.win64_build)):
            started = time.monotonic()
            with_window(arch, build, args.case, device, args.data, args.work, xkt_whole(data))
            say("XKT.EXE (%s) took %.0f s" % (arch, time.monotonic() - started))
    return checks.summary()


if __name__ == "__main__":
    sys.exit(main())
