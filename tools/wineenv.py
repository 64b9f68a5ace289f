"""Wine under Xvfb for the cross-built Orvel programs, with pty-backed COM ports.

Used as a module by the Wine tests and the demo:

    usable, why = host_runs("win32")                   # can this host start it?
    with WineEnv(cache_dir, run_dir, arch="win64") as env:
        keeper = env.start_session([driver_exe])     # a long-lived Windows process
        env.set_ports({3: "/dev/pts/7"})              # every other COMn is absent
        problems = env.check_ports({3: "/dev/pts/7"}, env.probe_ports(driver_exe))
        proc = env.run([xkt_exe], cwd=work_dir)

Two architectures: "win32" runs 32-bit programs with Wine's 32-bit loader in
a win32 prefix, "win64" runs 64-bit programs with the 64-bit loader in a
win64 prefix. Some hosts cannot start 32-bit programs at all (their kernel
refuses i386 executables); host_runs() finds that out once. There the win32
tests run in a small virtual machine (tools/vm/guestvm.py) where qemu can be
had: exit_unless_host_runs() hands the whole runner over to it.

A template prefix is built once per cache directory, architecture and Wine
version (about 15 s) and copied for every run (well under a second).
Everything started here ends in close(), which also runs on Ctrl-C and SIGTERM.

Run as a script:
    wineenv.py host                     which architectures this host runs, and
                                        how their tests run (natively, in a
                                        virtual machine, not at all)
    wineenv.py ways                     the same in one line for the build:
                                        win32=native|vm|none win64=...
    wineenv.py template CACHE_DIR ARCH  builds the template prefix
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

PORTS = range(1, 9)   # COM1 to COM8: every search's first ports
# What xktdrive --ports tries to open: COM1 to this.
PROBED_PORTS = 32
ARCHES = ("win32", "win64")
TEMPLATE_NAME = "wine-template"   # + "-" + architecture
VERSION_STAMP = "wine-version"   # in the template: the Wine that made it
DESKTOP_SIZE = "1024x768"

# The loaders themselves: Debian's `wine` wrapper tries the 32-bit loader
# first and exits 126 without a word where that cannot start.
LOADERS = {
    "win32": "/usr/lib/wine/wine",
    "win64": "/usr/lib/wine/wine64",
}

# Set (to anything but empty) to treat this host as one that cannot start
# 32-bit programs, whatever it can do.
NO_WIN32_SWITCH = "XKT_WINE_NO_WIN32"

# Where the template prefixes are kept, when set (instead of build/wine-cache).
CACHE_SWITCH = "XKT_WINE_CACHE"

# Set by the virtual machine (tools/vm) to how many times slower than the
# host its software emulation runs; bounds on answer times are scaled by it.
TIME_SCALE_SWITCH = "XKT_TIME_SCALE"

# Wine's settings for every process started here: no debug chatter, and no
# prompts to install Mono or Gecko. WINEARCH comes with the architecture.
WINE_SETTINGS = {
    "WINEDEBUG": "-all",
    "WINEDLLOVERRIDES": "mscoree,mshtml=",
}

# Ports above COM8 in the system's list: Wine's device manager reads them
# here as a session starts, enters them in HKLM\HARDWARE\DEVICEMAP\SERIALCOMM
# and links dosdevices/comN to the path given (any path will do: the tests
# link their ptys afterwards).
LISTED_PORTS_KEY = """
[Software\\\\Wine\\\\Ports] {stamp}
{values}
"""

# A virtual desktop: without a window manager every hide of a window costs
# about two seconds, and frames are missing.
DESKTOP_KEYS = """
[Software\\\\Wine\\\\Explorer] {stamp}
"Desktop"="Default"

[Software\\\\Wine\\\\Explorer\\\\Desktops] {stamp}
"Default"="{size}"
"""

MARLETT = "/usr/share/wine/fonts/marlett.ttf"


class WineError(RuntimeError):
    """A Wine command failed; the text carries Wine's own words."""


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


_host_answers = {}


def host_runs(arch):
    """(True, "") when this host can start arch's programs, else (False, why).

    Asks the loader once per process; the answer does not change while the
    machine runs.
    """
    if arch not in ARCHES:
        raise ValueError("unknown architecture %r" % arch)
    if arch not in _host_answers:
        _host_answers[arch] = _ask_loader(arch)
    return _host_answers[arch]


def _ask_loader(arch):
    if arch == "win32" and os.environ.get(NO_WIN32_SWITCH):
        return False, "%s is set: treated as a host that cannot start 32-bit programs" % \
            NO_WIN32_SWITCH
    loader = LOADERS[arch]
    if not os.path.exists(loader):
        package = "wine32:i386" if arch == "win32" else "wine64"
        return False, "%s is not installed (package %s)" % (loader, package)
    try:
        done = subprocess.run([loader, "--version"], stdout=subprocess.PIPE,
                              stderr=subprocess.STDOUT, timeout=60)
    except OSError as error:
        # ENOEXEC: the kernel refuses the executable's format.
        bits = "32" if arch == "win32" else "64"
        return False, "this host cannot start %s-bit programs (%s: %s)" % (
            bits, loader, error.strerror)
    except subprocess.TimeoutExpired:
        return False, "%s --version did not answer within 60 s" % loader
    if done.returncode != 0:
        return False, "%s --version failed (exit %d): %s" % (
            loader, done.returncode, done.stdout.decode(errors="replace").strip() or "no message")
    return True, ""


# How long making a prefix may take: about 12 s natively and 29 s in the
# guest on an idle machine, but in the guest on a two-core machine busy with
# builds and another guest (load average 8 to 9) wineboot had not ended
# after 300 s, twice, and was still registering its programs at 240 s.
WINEBOOT_BOUND = 900

# The exit code of a Wine test that this host cannot run (ctest's
# SKIP_RETURN_CODE for them).
SKIP_EXIT = 77


def time_scale():
    """How many times slower than a real machine this one runs (1 on a real one)."""
    try:
        return max(1.0, float(os.environ.get(TIME_SCALE_SWITCH) or 1))
    except ValueError:
        return 1.0


def _guestvm():
    sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "vm"))
    import guestvm
    return guestvm


def test_way(arch):
    """How arch's Wine tests run on this host: ("native" | "vm" | "none", how),
    where how says it in words, or for "none" why not.

    Where the host cannot start 32-bit programs, the win32 tests run in a
    small virtual machine that can (tools/vm), if qemu is there.
    """
    usable, why = host_runs(arch)
    if usable:
        return "native", "natively"
    if arch == "win32":
        ready, how = _guestvm().availability()
        if ready:
            return "vm", "in a virtual machine (%s)" % how
        why = "%s; no virtual machine either: %s" % (why, how)
    return "none", why


def exit_unless_host_runs(arch, what):
    """Returns when arch runs here. Otherwise runs this same script in the
    virtual machine and ends with its exit status, or, where that cannot be
    had either, ends with SKIP_EXIT, saying why."""
    usable, _ = host_runs(arch)
    if usable:
        return
    way, how = test_way(arch)
    if way == "vm":
        sys.exit(_guestvm().run_in_guest(sys.argv, what))
    print("skipped %s (%s): %s" % (what, arch, how), flush=True)
    sys.exit(SKIP_EXIT)


def default_cache(win_build):
    """The template cache beside the cross build directories (build/wine-cache),
    or $XKT_WINE_CACHE (the virtual machine keeps its template there)."""
    if os.environ.get(CACHE_SWITCH):
        return os.environ[CACHE_SWITCH]
    return os.path.join(os.path.dirname(os.path.abspath(win_build)), "wine-cache")


def wine_version(arch):
    """What the architecture's loader says of itself, as bytes."""
    return _checked([LOADERS[arch], "--version"], "%s --version" % LOADERS[arch]).stdout


def _checked(argv, what, **kwargs):
    """Runs a command; raises WineError with its output when it fails."""
    kwargs.setdefault("stdout", subprocess.PIPE)
    kwargs.setdefault("stderr", subprocess.STDOUT)
    try:
        done = subprocess.run(argv, **kwargs)
    except OSError as error:
        raise WineError("%s: %s" % (what, error.strerror or error)) from None
    except subprocess.TimeoutExpired as error:
        raise WineError("%s did not end within %d s" % (what, error.timeout)) from None
    if done.returncode != 0:
        said = (done.stdout or b"").decode(errors="replace").strip()
        raise WineError("%s failed (exit %d)%s" % (what, done.returncode,
                                                    ": " + said if said else ""))
    return done


def _tail(path, lines=8):
    with contextlib.suppress(OSError), open(path, "rb") as f:
        return "\n".join(f.read().decode(errors="replace").strip().splitlines()[-lines:])
    return ""


def wine_environment(prefix, arch, display=None):
    env = dict(os.environ)
    env.update(WINE_SETTINGS)
    env["WINEARCH"] = arch
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


def template_path(cache_dir, arch):
    return os.path.join(cache_dir, "%s-%s" % (TEMPLATE_NAME, arch))


def ensure_template(cache_dir, arch, log_path=None):
    """Returns arch's template prefix in cache_dir, building it on first use.

    A lock keeps two runs from building it at once; the finished prefix is
    renamed into place, so a half-built one is never used. Raises WineError
    when this host cannot start arch's programs or Wine fails.
    """
    usable, why = host_runs(arch)
    if not usable:
        raise WineError(why)
    os.makedirs(cache_dir, exist_ok=True)
    template = template_path(cache_dir, arch)
    # A prefix made by another Wine version would be upgraded at every start.
    version = wine_version(arch)
    stamp = os.path.join(template, VERSION_STAMP)
    with open(template + ".lock", "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        if os.path.isfile(stamp):
            with open(stamp, "rb") as f:
                if f.read() == version:
                    return template
        shutil.rmtree(template, ignore_errors=True)
        building = template + ".building"
        shutil.rmtree(building, ignore_errors=True)
        log_path = log_path or template + ".log"
        with open(log_path, "ab") as log:
            env = wine_environment(building, arch)
            env.pop("DISPLAY", None)   # the prefix needs no display
            try:
                _checked([LOADERS[arch], "wineboot", "-i"], "wineboot -i (%s)" % arch,
                         env=env, stdout=log, stderr=log, timeout=WINEBOOT_BOUND,
                         preexec_fn=_die_with_parent)
            except WineError as error:
                raise WineError("%s; Wine said:\n%s" % (error, _tail(log_path))) from None
            finally:
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

    def __init__(self, cache_dir, run_dir, arch="win32", use_display=False, keep_prefix=False,
                 listed_ports=()):
        """arch: "win32" or "win64". use_display: False starts an Xvfb on a
        free display; True uses $DISPLAY; a string names the display to use.
        listed_ports: COM numbers above 8 that the system lists, as Windows
        lists a USB adapter's port; set_ports() lays them out with COM1 to
        COM8."""
        if arch not in ARCHES:
            raise ValueError("unknown architecture %r" % arch)
        self.arch = arch
        self.loader = LOADERS[arch]
        self.cache_dir = os.path.abspath(cache_dir)
        self.run_dir = os.path.abspath(run_dir)
        self.prefix = os.path.join(self.run_dir, "prefix")
        self.log_path = os.path.join(self.run_dir, "wine.log")
        self.use_display = use_display
        self.keep_prefix = keep_prefix
        self.listed_ports = sorted(listed_ports)
        if any(port <= max(PORTS) or port > PROBED_PORTS for port in self.listed_ports):
            raise ValueError("listed ports go from COM%d to COM%d" % (max(PORTS) + 1, PROBED_PORTS))
        self.ports = list(PORTS) + self.listed_ports
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
        template = ensure_template(self.cache_dir, self.arch)
        shutil.rmtree(self.prefix, ignore_errors=True)
        subprocess.run(["cp", "-a", template, self.prefix], check=True)
        os.makedirs(self._empty_dir, exist_ok=True)
        if self.listed_ports:
            # No server runs on the fresh copy: its registry file takes the key.
            values = "\n".join('"COM%d"="%s"' % (port, self._empty_dir) for port in self.listed_ports)
            with open(os.path.join(self.prefix, "system.reg"), "a") as reg:
                reg.write(LISTED_PORTS_KEY.format(stamp=int(time.time()), values=values))
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
        return wine_environment(self.prefix, self.arch, self.display)

    def popen(self, argv, cwd=None, **kwargs):
        """Starts a Linux program with the Wine environment (wine, winepath...)."""
        kwargs.setdefault("stderr", self._log)
        proc = subprocess.Popen(argv, cwd=cwd, env=self.env(),
                                preexec_fn=_die_with_parent, **kwargs)
        self._children.append(proc)
        return proc

    def run(self, argv, cwd=None, **kwargs):
        """Starts a Windows program; argv[0] is its path (Linux or Windows form).

        Its working directory is cwd, a Linux directory (Wine maps it to Z:).
        Returns the Popen; wait() on it, since a finished Wine process may
        otherwise stay a zombie.
        """
        return self.popen([self.loader] + list(argv), cwd=cwd, **kwargs)

    def start_session(self, argv, cwd=None, timeout=30, **kwargs):
        """Starts a long-lived Win32 program that holds the Wine session open.

        Wine's device manager links com1 to /dev/ttyS0 as a session starts;
        set_ports() must come after this, and the session must stay alive
        while the ports are used.
        """
        for port in self.ports:
            self._remove(self._port_link(port))
        kwargs.setdefault("stdin", subprocess.PIPE)
        kwargs.setdefault("stdout", subprocess.PIPE)
        keeper = self.run(argv, cwd=cwd, **kwargs)
        # Under emulation everything Wine does at a session's start takes
        # longer in proportion; the bound is for setting up, not under test.
        timeout *= time_scale()
        started = time.monotonic()
        deadline = started + timeout
        while time.monotonic() < deadline:
            if keeper.poll() is not None:
                raise WineError("the session keeper ended at once (exit %s); Wine said:\n%s"
                                % (keeper.returncode, _tail(self.log_path)))
            if self._session_settled():
                if os.environ.get(TIME_SCALE_SWITCH):
                    print("wineenv: the session settled in %.1f s" % (time.monotonic() - started),
                          flush=True)
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
        """Links COMn to ports[n] (a pty slave path); every other COMn of
        COM1 to COM8 and the listed ports is absent.

        An absent port is linked to an empty directory: with no link, or a
        dangling one, Wine would fall back to /dev/ttyS(n-1).
        """
        for port in self.ports:
            target = ports.get(port, self._empty_dir)
            link = self._port_link(port)
            temporary = link + ".new"
            self._remove(temporary)
            os.symlink(target, temporary)
            os.replace(temporary, link)

    def pull_adapter(self, sim):
        """sim (a simproc.SimProcess) goes away as a pulled USB adapter.

        Every COMn leads to an empty directory in the same moment: a dangling
        link would fall back to /dev/ttyS(n-1). True when it went.
        """
        self.set_ports({})
        return sim.vanish()

    def plug_adapter(self, port, sim):
        """sim comes back on a fresh pty, linked as COM<port>; True when it did."""
        if not sim.reappear():
            return False
        self.set_ports({port: sim.slave})
        return True

    def probe_ports(self, probe_exe):
        """{port: opened} as `probe_exe --ports` (xktdrive) finds COM1..COM32.

        Call it while the session runs: a Wine process started without one
        starts a new session, whose device manager re-links com1.
        """
        done = subprocess.run([self.loader, probe_exe, "--ports"], env=self.env(),
                              stdout=subprocess.PIPE, stderr=self._log, timeout=60,
                              preexec_fn=_die_with_parent)
        lines = done.stdout.decode("ascii", "replace").strip().splitlines()
        reply = json.loads(lines[-1]) if lines else {}
        return {int(port): opened for port, opened in reply.get("opened", {}).items()}

    def port_layout(self):
        """{port: link target} as it stands in the prefix."""
        layout = {}
        for port in self.ports:
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
        for port in self.ports:
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


def main(argv):
    if argv[:1] == ["host"] and len(argv) == 1:
        for arch in ARCHES:
            usable, why = host_runs(arch)
            print("%s %s" % (arch, "yes" if usable else "no: " + why))
        for arch in ARCHES:
            way, how = test_way(arch)
            print("tests %s: %s" % (arch, how if way != "none" else "not at all: " + how))
        return 0
    if argv == ["ways"]:
        print(" ".join("%s=%s" % (arch, test_way(arch)[0]) for arch in ARCHES))
        return 0
    if argv[:1] == ["template"] and len(argv) == 3 and argv[2] in ARCHES:
        try:
            print(ensure_template(argv[1], argv[2]))
        except WineError as error:
            print("wineenv: %s" % error, file=sys.stderr)
            return 1
        return 0
    print(__doc__, file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
