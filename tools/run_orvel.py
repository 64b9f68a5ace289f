#!/usr/bin/env python3
"""Runs XKT.EXE under Wine against the simulated instrument on COM3.

    run_orvel.py --arch win32|win64 [--headless]

scripts/run-orvel installs and builds first, then starts this. The program
of the architecture's cross build (build/win or build/win64) runs in a fresh
data folder orvel-data/<date_time>/. With --headless it runs under Xvfb
through one scripted session (Connect, Read kV into run1.txt, Erase all,
Quit) and prints where the screenshot and the downloaded file are; without
it Orvel opens on $DISPLAY for the operator.
"""

import argparse
import datetime
import os
import shutil
import signal
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path[:0] = [os.path.join(ROOT, "tools"), os.path.join(ROOT, "tests", "wine")]
import resource_ids as ids   # noqa: E402
import simproc    # noqa: E402
import wineenv    # noqa: E402
import xktdrive   # noqa: E402

BUILD_DIRS = {"win32": "win", "win64": "win64"}
SIM = os.path.join(ROOT, "build", "native", "sim", "xkt-sim")
CACHE = os.path.join(ROOT, "build", "wine-cache")   # shared with the Wine tests
PORT = 3
FILE_NAME = "run1"

STATUS_NONE = " ------------- "
STATUS_LOST = " No Connection! "
MSG_RECEIVED = "     Data Received!       "
MSG_ERASED = "     Data Erased!       "
IDOK = 1   # also "Quit"


class Failed(Exception):
    pass


def say(text):
    print("run-orvel: " + text, flush=True)


def fresh_folder(parent, name):
    path, n = os.path.join(parent, name), 1
    while os.path.exists(path):
        n += 1
        path = os.path.join(parent, "%s_%d" % (name, n))
    os.makedirs(path)
    return path


def wait_connected(d, hwnd, timeout=30):
    """Waits out the port search; returns the identification."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        status = d.text(hwnd, ids.IDC_STATUS)
        if status == STATUS_LOST:
            raise Failed("Orvel found no instrument (status %r)" % status)
        if status != STATUS_NONE and not status.startswith("search"):
            return d.text(hwnd, ids.IDC_LAST_REPLY)
        time.sleep(0.2)
    raise Failed("no connection within %d s" % timeout)


def confirm(d, wanted, timeout):
    """Waits for Orvel's message box, presses OK, fails unless it said wanted."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        for caption in ("Success:", "Error:"):
            box = d.message_box(caption, 250)
            if box:
                d.click(box["hwnd"], IDOK)
                d.gone(box["hwnd"])
                if (caption, box["text"]) != ("Success:", wanted):
                    raise Failed("Orvel said %s %r, not %r" % (caption, box["text"], wanted))
                return
    raise Failed("no message box %r within %d s" % (wanted, timeout))


def wait_window(d, xkt, timeout=30):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if xkt.poll() is not None:
            raise Failed("XKT.EXE ended (exit code %d) before its window appeared" % xkt.returncode)
        hwnd = d.window("Orvel", 1000)
        if hwnd:
            return hwnd
    raise Failed("the Orvel window did not appear within %d s" % timeout)


def scripted_session(env, d, hwnd, xkt, data_dir):
    say("Connect")
    d.click(hwnd, ids.IDC_CONNECT)
    say("connected to %r" % wait_connected(d, hwnd))
    d.ok("type", hwnd, ids.IDC_FILE_KV, FILE_NAME)
    say("Read kV into %s.txt (a few hundred readings at 9600 baud take about 10 s)" % FILE_NAME)
    d.click(hwnd, ids.IDC_READ_KV)
    confirm(d, MSG_RECEIVED, 90)
    say("Erase all")
    d.click(hwnd, ids.IDC_ERASE_ALL)
    confirm(d, MSG_ERASED, 30)

    time.sleep(0.5)   # lets the window repaint where the box was
    bmp = os.path.join(env.run_dir, "connected.bmp")
    d.ok("shot", hwnd, env.windows_path(bmp))
    screenshot = os.path.join(data_dir, "connected.png")
    xktdrive.bmp_to_png(bmp, screenshot)

    say("Quit")
    d.click(hwnd, IDOK)
    try:
        xkt.wait(timeout=15)
    except subprocess.TimeoutExpired:
        raise Failed("Orvel did not end after Quit")

    download = os.path.join(data_dir, FILE_NAME + ".txt")
    if not os.path.isfile(download) or os.path.getsize(download) == 0:
        raise Failed("%s is missing or empty" % download)
    with open(download, "rb") as f:
        lines = f.read().count(b"\n")
    print("screenshot of the connected window: %s" % screenshot)
    print("downloaded kV data set (%d lines): %s" % (lines, download))


def run(arch, headless, data_dir, run_dir):
    build = os.path.join(ROOT, "build", BUILD_DIRS[arch])
    xkt_exe = os.path.join(build, "XKT.EXE")
    driver_exe = os.path.join(build, "tests", "wine", "xktdrive.exe")
    fresh = not os.path.isdir(wineenv.template_path(CACHE, arch))
    say("starting Wine (%s) on %s%s" % (arch, "Xvfb" if headless else os.environ["DISPLAY"],
                                        " (first run: building the template prefix, about 15 s)"
                                        if fresh else ""))
    with wineenv.WineEnv(CACHE, run_dir, arch=arch, use_display=not headless) as env:
        d = xktdrive.Driver(env.start_session([driver_exe]))
        sim = simproc.SimProcess(SIM, popen=env.popen)
        slave = sim.slave
        ports = {PORT: slave}
        env.set_ports(ports)
        complaints = env.check_ports(ports, d.ports())
        if complaints:
            raise Failed("COM ports not as wanted: " + "; ".join(complaints))
        say("simulated instrument on COM%d (%s)" % (PORT, slave))

        say("starting %s in %s" % (os.path.relpath(xkt_exe, ROOT), data_dir))
        xkt = env.run([xkt_exe], cwd=data_dir)
        hwnd = wait_window(d, xkt)
        if headless:
            scripted_session(env, d, hwnd, xkt, data_dir)
        else:
            say("Orvel is open on %s; close its window to end" % os.environ["DISPLAY"])
            xkt.wait()
        d.close()
        sim.close()
    say("stopped Wine%s and the simulator" % (", Xvfb" if headless else ""))


def interrupted(_signum, _frame):
    # One Ctrl-C stops the run; another must not cut the clean-up short.
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    raise KeyboardInterrupt


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[1])
    parser.add_argument("--arch", choices=wineenv.ARCHES, required=True)
    parser.add_argument("--headless", action="store_true",
                        help="a scripted session under Xvfb instead of $DISPLAY")
    args = parser.parse_args()
    headless = args.headless or not os.environ.get("DISPLAY")
    # Also when started in the background, where SIGINT comes in ignored.
    signal.signal(signal.SIGINT, interrupted)
    stamp = datetime.datetime.now().strftime("%Y-%m-%d_%H-%M-%S")
    data_dir = fresh_folder(os.path.join(ROOT, "orvel-data"), stamp)
    run_dir = os.path.join(ROOT, "build", "run-orvel", os.path.basename(data_dir))
    try:
        run(args.arch, headless, data_dir, run_dir)
        code = 0
    except KeyboardInterrupt:
        say("interrupted; everything this run started is stopped")
        code = 130
    except (Failed, xktdrive.DriverError, RuntimeError, OSError,
            subprocess.SubprocessError) as error:
        print("run-orvel: error: %s" % error, file=sys.stderr)
        print("run-orvel: Wine's log: %s" % os.path.join(run_dir, "wine.log"), file=sys.stderr)
        return 1
    shutil.rmtree(run_dir, ignore_errors=True)   # the logs only matter after an error
    return code


if __name__ == "__main__":
    sys.exit(main())
