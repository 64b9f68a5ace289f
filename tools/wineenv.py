"""Wine under Xvfb for the cross-built Orvel programs, with pty-backed COM ports.

Used as a module by the Wine tests and the demo:

    with WineEnv(cache_dir, run_dir) as env:
        keeper = env.start_session([driver_exe])     # a long-lived Win32 process
        env.set_ports({3: "/dev/pts/7"})              # every other COMn is absent
        problems = env.check_ports({3: "/dev/pts/7"}, env.probe_ports(driver_exe))
        proc = env.run([xkt_exe], cwd=work_dir)

A template prefix is built once per cache directory (about 12 s) and copied
for every run (well under a second). Everything started here ends in close(),
which also runs on Ctrl-C and SIGTERM.

Run as a script it builds the template: python3 wineenv.py CACHE_DIR
"""

import contextlib
import ctypes
import fcntl
import json
import os
import shutil
import signal
import subprocess
import sys
import time

PORTS = range(1, 9)
TEMPLATE_NAME = "wine-template"
VERSION_STAMP = "wine-version"   # in the template: the Wine that made it
DESKTOP_SIZE = "1024x768"

# Wine's settings for every process started here: a 32-bit prefix, no debug
# chatter, and no prompts to install Mono or Gecko.
WINE_SETTINGS = {
    "WINEARCH": "win32",
    "WINEDEBUG": "-all",
    "WINEDLLOVERRIDES": "mscoree,mshtml=",
}

# A virtual desktop: without a window manager every hide of a window costs
# about two seconds, and frames are missing.
DESKTOP_KEYS = """
[Software\\\\Wine\\\\Explorer] {stamp}
"Desktop"="Default"

[Software\\\\Wine\\\\Explorer\\\\Desktops] {stamp}
"Default"="{size}"
"""

MARLETT = "/usr/share/wine/fonts/marlett.ttf"


try:
    _PRCTL = ctypes.CDLL(None, use_errno=True).prctl
except (OSError, AttributeError):
    _PRCTL = None


def _die_with_parent():
    """Children get SIGTERM if the Python process is killed outright.

    Runs in the forked child: libc is looked up beforehand, so nothing here
    needs a lock that another thread may have held at the fork.
    """
    if _PRCTL:
        _PRCTL(1, int(signal.SIGTERM))   # PR_SET_PDEATHSIG


def wine_environment(prefix, display=None):
    env = dict(os.environ)
    env.update(WINE_SETTINGS)
    env["WINEPREFIX"] = prefix
    if display:
        env["DISPLAY"] = display
    return env


def _wineserver_stop(env, log, timeout=30):
    for flag in ("-k", "-w"):
        try:
            subprocess.run(["wineserver", flag], env=env, stdout=log, stderr=log,
                           timeout=timeout)
        except subprocess.TimeoutExpired:
            pass


def ensure_template(cache_dir, log_path=None):
    """Returns the template prefix in cache_dir, building it on first use.

    A lock keeps two runs from building it at once; the finished prefix is
    renamed into place, so a half-built one is never used.
    """
    os.makedirs(cache_dir, exist_ok=True)
    template = os.path.join(cache_dir, TEMPLATE_NAME)
    # A prefix made by another Wine version would be upgraded at every start.
    version = subprocess.run(["wine", "--version"], stdout=subprocess.PIPE,
                             stderr=subprocess.DEVNULL, check=True).stdout
    stamp = os.path.join(template, VERSION_STAMP)
    with open(os.path.join(cache_dir, TEMPLATE_NAME + ".lock"), "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        if os.path.isfile(stamp):
            with open(stamp, "rb") as f:
                if f.read() == version:
                    return template
        shutil.rmtree(template, ignore_errors=True)
        building = template + ".building"
        shutil.rmtree(building, ignore_errors=True)
        log_path = log_path or os.path.join(cache_dir, TEMPLATE_NAME + ".log")
        with open(log_path, "ab") as log:
            env = wine_environment(building)
            env.pop("DISPLAY", None)   # the prefix needs no display
            subprocess.run(["wineboot", "-i"], env=env, stdout=log, stderr=log,
                           timeout=300, preexec_fn=_die_with_parent, check=True)
            _wineserver_stop(env, log)
        # The server has ended, so its registry files can be extended directly.
        with open(os.path.join(building, "user.reg"), "a") as reg:
            reg.write(DESKTOP_KEYS.format(stamp=int(time.time()), size=DESKTOP_SIZE))
        fonts = os.path.join(building, "drive_c", "windows", "Fonts")
        os.makedirs(fonts, exist_ok=True)
        shutil.copy(MARLETT, fonts)
        with open(os.path.join(building, VERSION_STAMP), "wb") as f:
            f.write(version)
        os.rename(building, template)
        return template


class WineEnv:
    """One private prefix, one display, one Wine session."""

    def __init__(self, cache_dir, run_dir, use_display=False, keep_prefix=False):
        """use_display: False starts an Xvfb on a free display; True uses
        $DISPLAY; a string names the display to use."""
        self.cache_dir = os.path.abspath(cache_dir)
        self.run_dir = os.path.abspath(run_dir)
        self.prefix = os.path.join(self.run_dir, "prefix")
        self.log_path = os.path.join(self.run_dir, "wine.log")
        self.use_display = use_display
        self.keep_prefix = keep_prefix
        self.display = None
        self._xvfb = None
        self._log = None
        self._children = []
        self._empty_dir = os.path.join(self.run_dir, "absent-port")
        self._old_handlers = {}

    # ---- life cycle -------------------------------------------------------

    def __enter__(self):
        self._catch_signals()
        try:
            self.start()
        except BaseException:
            self.close()
            raise
        return self

    def __exit__(self, *exc):
        self.close()
        return False

    def start(self):
        os.makedirs(self.run_dir, exist_ok=True)
        self._log = open(self.log_path, "ab", buffering=0)
        template = ensure_template(self.cache_dir)
        shutil.rmtree(self.prefix, ignore_errors=True)
        subprocess.run(["cp", "-a", template, self.prefix], check=True)
        os.makedirs(self._empty_dir, exist_ok=True)
        if self.use_display:
            self.display = os.environ.get("DISPLAY") if self.use_display is True \
                else self.use_display
            if not self.display:
                raise RuntimeError("use_display asked for, but DISPLAY is not set")
        else:
            self._start_xvfb()

    def close(self):
        """Ends everything started here; safe to call more than once."""
        for proc in reversed(self._children):
            if proc.poll() is None:
                with contextlib.suppress(OSError):
                    proc.kill()
        if self._log and os.path.isdir(self.prefix):
            _wineserver_stop(self.env(), self._log)
        for proc in self._children:
            with contextlib.suppress(subprocess.TimeoutExpired):
                proc.wait(timeout=5)
        self._children = []
        if self._xvfb:
            self._xvfb.terminate()
            try:
                self._xvfb.wait(timeout=5)
            except subprocess.TimeoutExpired:
                self._xvfb.kill()
                self._xvfb.wait()
            self._xvfb = None
        if not self.keep_prefix:
            shutil.rmtree(self.prefix, ignore_errors=True)
        if self._log:
            self._log.close()
            self._log = None
        self._restore_signals()

    def _catch_signals(self):
        def stop(signum, _frame):
            raise KeyboardInterrupt("signal %d" % signum)
        for sig in (signal.SIGTERM, signal.SIGHUP):
            with contextlib.suppress(ValueError):   # not the main thread
                self._old_handlers[sig] = signal.signal(sig, stop)

    def _restore_signals(self):
        for sig, handler in self._old_handlers.items():
            with contextlib.suppress(ValueError):
                signal.signal(sig, handler)
        self._old_handlers = {}

    def _start_xvfb(self):
        # Xvfb picks a free display itself and writes its number when ready.
        read_fd, write_fd = os.pipe()
        self._xvfb = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write_fd), "-screen", "0", DESKTOP_SIZE + "x24",
             "-nolisten", "tcp"],
            pass_fds=(write_fd,), stdout=self._log, stderr=self._log,
            preexec_fn=_die_with_parent)
        os.close(write_fd)
        number = b""
        deadline = time.monotonic() + 30
        with os.fdopen(read_fd, "rb") as ready:
            while not number.endswith(b"\n") and time.monotonic() < deadline:
                chunk = ready.read(1)
                if not chunk:
                    break
                number += chunk
        if not number.strip().isdigit():
            raise RuntimeError("Xvfb did not start (see %s)" % self.log_path)
        self.display = ":" + number.strip().decode()

    # ---- running programs -------------------------------------------------

    def env(self):
        return wine_environment(self.prefix, self.display)

    def popen(self, argv, cwd=None, **kwargs):
        """Starts a Linux program with the Wine environment (wine, winepath...)."""
        kwargs.setdefault("stderr", self._log)
        proc = subprocess.Popen(argv, cwd=cwd, env=self.env(),
                                preexec_fn=_die_with_parent, **kwargs)
        self._children.append(proc)
        return proc

    def run(self, argv, cwd=None, **kwargs):
        """Starts a Win32 program; argv[0] is its path (Linux or Windows form).

        Its working directory is cwd, a Linux directory (Wine maps it to Z:).
        Returns the Popen; wait() on it, since a finished Wine process may
        otherwise stay a zombie.
        """
        return self.popen(["wine"] + list(argv), cwd=cwd, **kwargs)

    def start_session(self, argv, cwd=None, timeout=30, **kwargs):
        """Starts a long-lived Win32 program that holds the Wine session open.

        Wine's device manager links com1 to /dev/ttyS0 as a session starts;
        set_ports() must come after this, and the session must stay alive
        while the ports are used.
        """
        for port in PORTS:
            self._remove(self._port_link(port))
        kwargs.setdefault("stdin", subprocess.PIPE)
        kwargs.setdefault("stdout", subprocess.PIPE)
        keeper = self.run(argv, cwd=cwd, **kwargs)
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if keeper.poll() is not None:
                raise RuntimeError("session keeper ended at once (see %s)" % self.log_path)
            if self._session_settled():
                return keeper
            time.sleep(0.1)
        raise RuntimeError("Wine session did not settle in %d s" % timeout)

    def _session_settled(self):
        # The device manager has run (com1 is back, where the machine has a
        # /dev/ttyS0) and wineboot, which started it, has finished.
        if os.path.exists("/dev/ttyS0") and not os.path.lexists(self._port_link(1)):
            return False
        return not self._wineboot_running()

    def _wineboot_running(self):
        marker = ("WINEPREFIX=" + self.prefix).encode()
        for pid in os.listdir("/proc"):
            if not pid.isdigit():
                continue
            try:
                with open("/proc/%s/cmdline" % pid, "rb") as f:
                    if b"wineboot" not in f.read():
                        continue
                with open("/proc/%s/environ" % pid, "rb") as f:
                    if marker in f.read().split(b"\0"):
                        return True
            except OSError:
                continue
        return False

    # ---- COM ports --------------------------------------------------------

    def _port_link(self, port):
        return os.path.join(self.prefix, "dosdevices", "com%d" % port)

    @staticmethod
    def _remove(path):
        with contextlib.suppress(FileNotFoundError):
            os.unlink(path)

    def set_ports(self, ports):
        """Links COMn to ports[n] (a pty slave path); every other COMn is absent.

        An absent port is linked to an empty directory: with no link, or a
        dangling one, Wine would fall back to /dev/ttyS(n-1).
        """
        for port in PORTS:
            target = ports.get(port, self._empty_dir)
            link = self._port_link(port)
            temporary = link + ".new"
            self._remove(temporary)
            os.symlink(target, temporary)
            os.replace(temporary, link)

    def probe_ports(self, probe_exe):
        """{port: opened} as `probe_exe --ports` (xktdrive) finds COM1..COM8.

        Call it while the session runs: a Wine process started without one
        starts a new session, whose device manager re-links com1.
        """
        done = subprocess.run(["wine", probe_exe, "--ports"], env=self.env(),
                              stdout=subprocess.PIPE, stderr=self._log, timeout=60,
                              preexec_fn=_die_with_parent)
        lines = done.stdout.decode("ascii", "replace").strip().splitlines()
        reply = json.loads(lines[-1]) if lines else {}
        return {int(port): opened for port, opened in reply.get("opened", {}).items()}

    def port_layout(self):
        """{port: link target} as it stands in the prefix."""
        layout = {}
        for port in PORTS:
            with contextlib.suppress(OSError):
                layout[port] = os.readlink(self._port_link(port))
        return layout

    def check_ports(self, ports, opened):
        """Compares what a Win32 probe saw with the wanted layout.

        opened is {port: True/False} as a probe program reported after trying
        to open every COMn once. Returns a list of complaints (empty when the
        layout is right), covering links changed behind our back as well.
        """
        complaints = []
        layout = self.port_layout()
        for port in PORTS:
            want = ports.get(port, self._empty_dir)
            if layout.get(port) != want:
                complaints.append("com%d links to %s, not %s" % (port, layout.get(port), want))
            if opened.get(port) != (port in ports):
                complaints.append("COM%d %s" % (port, "opened" if opened.get(port)
                                                 else "did not open"))
        return complaints

    # ---- paths ------------------------------------------------------------

    def windows_path(self, path):
        """The Windows form of a Linux path, as Wine shows it to programs."""
        path = os.path.abspath(path)
        drive_c = os.path.join(self.prefix, "drive_c")
        if path == drive_c or path.startswith(drive_c + os.sep):
            rest = path[len(drive_c):]
            return "C:" + (rest.replace("/", "\\") or "\\")
        return "Z:" + path.replace("/", "\\")


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    print(ensure_template(sys.argv[1]))
