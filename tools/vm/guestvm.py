"""A small Debian guest under qemu for the 32-bit Wine tests.

Some hosts run a kernel that refuses every 32-bit x86 executable, so Wine's
32-bit loader cannot start there. A whole virtual machine can: a Debian 12
guest with the cloud kernel (IA32 emulation) and 32-bit Wine, under
qemu-system-x86_64 in software emulation. A test runner started on such a
host hands itself to run_in_guest(), which boots the guest once for it:

    status = guestvm.run_in_guest(sys.argv, what="the end-to-end tests")

The guest sees the project at the same path as the host does (the sources
and the built programs it needs, carried in on a second disk), runs the same
command there, and its output comes back over the serial console as it is
printed. What the runner wrote under the project (logs, screenshots) comes
back on a third disk; the exit status becomes the host's.

The guest is built from Debian's packages by build-guest (debootstrap, about
five minutes) and cached under build/vm, keyed by a hash of its recipe; the
win32 template prefix is made once inside it and kept in an overlay keyed by
the recipe and tools/wineenv.py. Each run boots a throw-away overlay of that.

Run as a script:
    guestvm.py status        how the guest stands on this host
    guestvm.py build         builds the guest (root) unless it is there
    guestvm.py run -- CMD..  runs CMD in the guest (cwd and paths as here)
    guestvm.py batch --results DIR --bound S --part NAME S SCRIPT ARGS.. [--part ..]
                             runs several runners in one boot (see run_batch)
"""

import contextlib
import ctypes
import fcntl
import hashlib
import glob
import io
import os
import queue
import re
import secrets
import shlex
import shutil
import signal
import subprocess
import sys
import tarfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
PROJECT = os.path.dirname(os.path.dirname(HERE))
TOOLS = os.path.dirname(HERE)
RECIPE = [os.path.join(HERE, "build-guest"), os.path.join(HERE, "init")]
WINEENV = os.path.join(TOOLS, "wineenv.py")

QEMU = "qemu-system-x86_64"
# Set (to anything but empty) to do without the virtual machine.
NO_VM_SWITCH = "XKT_NO_VM"
QEMU_IMG = "qemu-img"
# Where the template prefix lives inside the guest (wineenv's XKT_WINE_CACHE).
GUEST_CACHE = "/var/cache/xkt-wine"
# Two processors and 3 GiB: Wine, Xvfb, the simulator and Python side by side
# without swapping; more processors than the host has only slow emulation.
MEMORY = "3G"
CPUS = "2"
# Another count for a measurement (XKT_VM_CPUS=1 ...), never needed to pass.
CPUS_SWITCH = "XKT_VM_CPUS"

# The project's Wine tests took about 2.5 times their native time in the
# guest; bounds on how fast a window answers are widened by this much there.
TIME_SCALE = "2.5"

# Software emulation of a whole PC is slow: the kernel and the init take
# about 10 s on an idle machine, a minute or more on a busy one. With the
# job's own bound (XKT_VM_BOUND) these stay under ctest's TIMEOUT.
BOOT_BOUND = 180
# How long the guest may take to power off and hand back its files.
END_BOUND = 60
CONSOLE_LINES = 40   # shown when the guest fails

# Names under a build directory that never go into the guest: objects and
# the run directories of earlier Wine tests (prefixes of 600 MB).
SKIPPED_NAMES = ("CMakeFiles", "Testing", "_CPack_Packages", ".git", "orvel-data")
SKIPPED_PREFIXES = ("wine-",)
SKIPPED_SUFFIXES = (".o", ".obj", ".a", ".zip", ".msi", ".deb")


def vm_dir():
    return os.environ.get("XKT_VM_DIR") or os.path.join(PROJECT, "build", "vm")


def _sha(paths, extra=b""):
    digest = hashlib.sha256(extra)
    for path in paths:
        with open(path, "rb") as f:
            digest.update(os.path.basename(path).encode() + b"\0" + f.read() + b"\0")
    return digest.hexdigest()[:16]


def guest_dir():
    return os.path.join(vm_dir(), "guest-" + _sha(RECIPE))


def root_ready():
    return all(os.path.isfile(os.path.join(guest_dir(), name))
               for name in ("root.img", "vmlinuz", "initrd.img"))


# The template prefixes made once inside the guest: win32 for the 32-bit
# tests, win64 for the 64-bit program on the real serial drivers.
GUEST_ARCHES = ("win32", "win64")


def prefix_overlay():
    return os.path.join(guest_dir(), "prefix-%s.qcow2" % _sha(
        [WINEENV], extra=" ".join(GUEST_ARCHES).encode()))


# ---- Debian's mirror, as this machine's apt is configured -----------------

# The suites the guest is built from; the security suite is optional.
SUITE = "bookworm"
SECURITY_SUITE = "bookworm-security"
# What debootstrap can fetch from: no cdrom:, no apt transports it lacks.
MIRROR_SCHEMES = ("http://", "https://", "file:/")


def _sources_entries(text):
    """(uri, suites) of the deb lines of a one-line sources.list."""
    entries = []
    for line in text.splitlines():
        line = line.split("#", 1)[0]
        # Options sit in one bracketed group, spaces allowed inside it.
        line = re.sub(r"\[[^\]]*\]", " ", line)
        words = line.split()
        if words[:1] == ["deb"] and len(words) >= 3:
            entries.append((words[1], [words[2]]))
    return entries


def _deb822_entries(text):
    """(uri, suites) of the enabled deb stanzas of a .sources file."""
    entries = []
    for stanza in re.split(r"\n[ \t]*\n", text):
        fields, key = {}, None
        for line in stanza.splitlines():
            if line.startswith("#"):
                continue
            if line[:1] in (" ", "\t") and key:
                fields[key] += " " + line.strip()   # a folded field goes on
            elif ":" in line:
                key, value = line.split(":", 1)
                key = key.strip().lower()
                fields[key] = value.strip()
        if "deb" in fields.get("types", "").split() and \
                fields.get("enabled", "yes").strip().lower() != "no":
            for uri in fields.get("uris", "").split():
                entries.append((uri, fields.get("suites", "").split()))
    return entries


def apt_mirrors(etc_apt="/etc/apt"):
    """(mirror, security mirror or None) from this machine's apt sources.

    Both formats count: sources.list and sources.list.d/*.list (one line per
    source), sources.list.d/*.sources (deb822 stanzas). Raises GuestError
    when no source of the guest's suite is there: the guest is then built
    from nowhere rather than from a mirror this machine was never given.
    """
    entries = []
    one_line = [os.path.join(etc_apt, "sources.list")] + \
        sorted(glob.glob(os.path.join(etc_apt, "sources.list.d", "*.list")))
    for path in one_line:
        with contextlib.suppress(OSError), open(path, errors="replace") as f:
            entries += _sources_entries(f.read())
    for path in sorted(glob.glob(os.path.join(etc_apt, "sources.list.d", "*.sources"))):
        with contextlib.suppress(OSError), open(path, errors="replace") as f:
            entries += _deb822_entries(f.read())
    entries = [(uri.rstrip("/"), suites) for uri, suites in entries
               if uri.startswith(MIRROR_SCHEMES)]
    mirror = next((uri for uri, suites in entries if SUITE in suites), None)
    security = next((uri for uri, suites in entries if SECURITY_SUITE in suites), None)
    if not mirror:
        raise GuestError(
            "no Debian mirror for the guest: none of %s/sources.list, %s/sources.list.d/*.list "
            "and *.sources names a deb source of suite %s over http, https or file; add "
            "this machine's mirror there (apt-get must work on this machine too)"
            % (etc_apt, etc_apt, SUITE))
    return mirror, security


# ---- can this host use the guest? -------------------------------------------

def availability():
    """(True, how) when the win32 tests can run in the guest here, else (False, why)."""
    if os.environ.get(NO_VM_SWITCH):
        return False, "%s is set" % NO_VM_SWITCH
    if not shutil.which(QEMU):
        return False, "%s is not installed (package qemu-system-x86)" % QEMU
    if not shutil.which(QEMU_IMG):
        return False, "%s is not installed (package qemu-utils)" % QEMU_IMG
    how = "%s, software emulation" % QEMU
    if root_ready():
        return True, "%s; guest %s" % (how, os.path.relpath(guest_dir(), PROJECT))
    missing = [tool for tool in ("debootstrap", "mkfs.ext4") if not shutil.which(tool)]
    if missing:
        return False, "the guest is not built, and building it needs %s (packages debootstrap, " \
            "e2fsprogs)" % " and ".join(missing)
    if os.geteuid() != 0:
        return False, "the guest is not built, and building it (debootstrap) needs root: " \
            "run scripts/run-tests as root once"
    return True, "%s; guest built on first use in %s (about 5 min)" % (
        how, os.path.relpath(guest_dir(), PROJECT))


# ---- building ----------------------------------------------------------------

class GuestError(RuntimeError):
    """The guest could not be built or did not run its job."""


def _say(text):
    print("guest: %s" % text, flush=True)


@contextlib.contextmanager
def _locked():
    os.makedirs(vm_dir(), exist_ok=True)
    with open(os.path.join(vm_dir(), ".lock"), "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        yield


def ensure_guest():
    """Builds what is missing: the root disk, then the template prefix in it.

    Returns the overlay that holds the prefix. A lock keeps two runs from
    building at once; finished parts are renamed into place, so a half-built
    one is never used.
    """
    with _locked():
        if not root_ready():
            _build_root()
        overlay = prefix_overlay()
        if not os.path.isfile(overlay):
            _build_prefix(overlay)
        return overlay


def _build_root():
    target = guest_dir()
    mirror, security = apt_mirrors()
    # Guests of other recipes are of no more use (3 GB each).
    for old in glob.glob(os.path.join(vm_dir(), "guest-*")):
        _remove_tree(old)
    building = target + ".building"
    _say("building %s from %s (debootstrap, Wine; about 5 min)" % (
        os.path.relpath(target, PROJECT), mirror))
    started = time.monotonic()
    argv = [RECIPE[0], building, mirror] + ([security] if security else [])
    done = subprocess.run(argv, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                          preexec_fn=_stop_with_parent)
    said = done.stdout.decode(errors="replace").strip()
    if done.returncode != 0:
        raise GuestError("build-guest failed (exit %d)%s" % (
            done.returncode, ":\n" + said if said else ""))
    # Where the minutes went: each step's seconds, as build-guest timed them.
    for line in said.splitlines():
        if line.startswith("build-guest: "):
            _say(line[len("build-guest: "):])
    os.rename(building, target)
    size = sum(os.stat(p).st_blocks * 512 for p in glob.glob(os.path.join(target, "*")))
    _say("built in %.0f s, %.1f GB on disk" % (time.monotonic() - started, size / 1e9))


def _mounts_under(path):
    found = []
    with open("/proc/self/mounts") as f:
        for line in f:
            point = line.split()[1].replace("\\040", " ")
            if _under(point, path):
                found.append(point)
    return found


def _remove_tree(path):
    """Removes a guest directory, unmounting first what a stopped build left
    mounted in its root (the host's /dev is bound there while apt runs)."""
    path = os.path.realpath(path)
    for point in sorted(_mounts_under(path), reverse=True):
        subprocess.run(["umount", "-l", point], stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL)
    left = _mounts_under(path)
    if left:
        raise GuestError("cannot remove %s: %s still mounted" % (path, ", ".join(left)))
    shutil.rmtree(path, ignore_errors=True)


def _build_prefix(overlay):
    for old in glob.glob(os.path.join(guest_dir(), "prefix-*")):
        os.unlink(old)
    building = overlay + ".building"
    subprocess.run([QEMU_IMG, "create", "-q", "-f", "qcow2", "-F", "raw", "-b", "root.img",
                    building], check=True, cwd=guest_dir())
    _say("making the %s template prefixes inside the guest" % " and ".join(GUEST_ARCHES))
    started = time.monotonic()
    make = " && ".join("python3 /xkt-job/wineenv.py template %s %s" % (GUEST_CACHE, arch)
                       for arch in GUEST_ARCHES)
    job = Job(["sh", "-c", make], cwd="/")
    job.add_file(WINEENV, "xkt-job/wineenv.py")
    # Both prefixes, each within wineenv's own bound for wineboot.
    status = job.run(building, bound=2 * 900 + 300, keep=True, out=_Quiet())
    if status != 0:
        os.unlink(building)
        raise GuestError("the template prefix was not made in the guest (exit %s):\n%s"
                         % (status, "\n".join(job.console_tail())))
    os.rename(building, overlay)
    _say("template prefixes made in %.0f s" % (time.monotonic() - started))


# ---- running a job -------------------------------------------------------------

try:
    _PRCTL = ctypes.CDLL(None, use_errno=True).prctl
except (OSError, AttributeError):
    _PRCTL = None


def _die_with_parent():
    # qemu goes when the runner goes, also when ctest kills it at its time-out.
    if _PRCTL:
        _PRCTL(1, int(signal.SIGKILL))   # PR_SET_PDEATHSIG


def _stop_with_parent():
    # The build gets a chance to unmount what it mounted in the guest's root.
    if _PRCTL:
        _PRCTL(1, int(signal.SIGTERM))


class _Quiet:
    def write(self, text):
        pass

    def flush(self):
        pass


class Job:
    """One command run in a freshly booted guest."""

    def __init__(self, argv, cwd, env=None, devices=(), udev=False, on_line=None):
        """devices: more qemu arguments (serial lines, a USB adapter, a
        monitor); udev: the guest starts udev before the job, which loads
        the drivers of those devices; on_line: called with every line the
        job prints, as it comes, so the host can act on the job's cue."""
        self.argv = list(argv)
        self.cwd = cwd
        self.env = dict(env or {})
        self.devices = list(devices)
        self.udev = udev
        self.on_line = on_line
        self.files = {}        # archive name -> host path
        self.returns = []      # guest directories whose new files come back
        self.token = "xkt-guest-" + secrets.token_hex(8)
        self._console = []
        self.timings = {}

    def add_file(self, host_path, name=None):
        self.files[name or host_path.lstrip("/")] = host_path

    def add_tree(self, host_dir):
        """The files under host_dir, at the same path in the guest."""
        for top, dirs, files in os.walk(host_dir):
            dirs[:] = [d for d in dirs if not _skipped(d)
                       and os.path.join(top, d) != vm_dir()]
            for name in files:
                if not name.endswith(SKIPPED_SUFFIXES):
                    self.add_file(os.path.join(top, name))

    def console_tail(self):
        return self._console[-CONSOLE_LINES:]

    def _script(self):
        env = {"PATH": "/usr/sbin:/usr/bin:/sbin:/bin", "HOME": "/root", "LANG": "C.UTF-8",
               "PYTHONUNBUFFERED": "1"}
        env.update(self.env)
        words = ["env", "-i"] + ["%s=%s" % item for item in sorted(env.items())] + self.argv
        return "mkdir -p %s && cd %s && exec %s\n" % (
            shlex.quote(self.cwd), shlex.quote(self.cwd), " ".join(map(shlex.quote, words)))

    def _write_payload(self, path):
        with tarfile.open(path, "w") as tar:
            def text(name, content):
                data = content.encode()
                info = tarfile.TarInfo(name)
                info.size = len(data)
                info.mode = 0o755
                info.mtime = time.time()
                tar.addfile(info, io.BytesIO(data))
            text("xkt-job/job.sh", self._script())
            text("xkt-job/token", self.token + "\n")
            if self.returns:
                text("xkt-job/return", "".join(d + "\n" for d in self.returns))
            if self.udev:
                text("xkt-job/udev", "")
            for name, host_path in sorted(self.files.items()):
                tar.add(host_path, arcname=name, recursive=False)

    def run(self, root_disk, bound, keep=False, out=None):
        """Boots the guest on root_disk, runs the job; returns its exit status.

        keep: the guest's writes stay in root_disk (making the template);
        otherwise they go to a throw-away overlay. Raises nothing for a
        guest that failed: its console's last lines are printed and 1 returned.
        """
        out = out or sys.stdout
        runs = os.path.join(vm_dir(), "runs")
        os.makedirs(runs, exist_ok=True)
        _remove_stale(runs)
        stem = os.path.join(runs, "%d-%s" % (os.getpid(), self.token[-8:]))
        payload, outbox = stem + ".tar", stem + ".out"
        try:
            self._write_payload(payload)
            with open(outbox, "wb") as f:
                f.truncate(1 << 30)   # sparse: only what the guest writes takes room
            status = self._boot(root_disk, payload, outbox, bound, keep, out)
            if status is not None and self.returns:
                self._take_back(outbox)
            return 1 if status is None else status
        finally:
            for path in (payload, outbox):
                with contextlib.suppress(OSError):
                    os.unlink(path)

    def _qemu_argv(self, root_disk, payload, outbox, keep):
        guest = guest_dir()
        return [
            QEMU, "-nodefaults", "-display", "none", "-no-reboot",
            "-machine", "q35", "-accel", "tcg,thread=multi",
            "-m", MEMORY, "-smp", os.environ.get(CPUS_SWITCH) or CPUS,
            "-serial", "stdio", "-monitor", "none", "-nic", "none",
            "-kernel", os.path.join(guest, "vmlinuz"),
            "-initrd", os.path.join(guest, "initrd.img"),
            "-append", "root=/dev/vda rw rootfstype=ext4 console=ttyS0 init=/sbin/xkt-init "
                       "quiet loglevel=3 panic=-1",
            "-drive", "file=%s,if=virtio,format=%s,snapshot=%s,cache=unsafe" % (
                root_disk, "qcow2" if root_disk.endswith((".qcow2", ".building")) else "raw",
                "off" if keep else "on"),
            "-drive", "file=%s,if=virtio,format=raw,readonly=on" % payload,
            "-drive", "file=%s,if=virtio,format=raw" % outbox,
        ] + self.devices

    def _boot(self, root_disk, payload, outbox, bound, keep, out):
        """Streams the job's output to out; None when the guest failed."""
        started = time.monotonic()
        proc = subprocess.Popen(self._qemu_argv(root_disk, payload, outbox, keep),
                                stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                stderr=subprocess.STDOUT, preexec_fn=_die_with_parent)
        lines = queue.Queue()

        def read():
            for raw in proc.stdout:
                lines.put(raw.decode(errors="replace").rstrip("\r\n").replace("\r", ""))
            lines.put(None)
        reader = threading.Thread(target=read, daemon=True)
        reader.start()

        phase, status, problem = "boot", None, None
        deadline = started + BOOT_BOUND
        job_started = started
        try:
            while True:
                try:
                    line = lines.get(timeout=max(0.1, deadline - time.monotonic()))
                except queue.Empty:
                    line = False
                if line is None:
                    if phase != "end":
                        problem = "the guest stopped (qemu exit %s) %s" % (
                            proc.wait(), {"boot": "before the job started",
                                          "job": "while the job ran"}[phase])
                    break
                if time.monotonic() >= deadline:
                    problem = {"boot": "the guest did not start the job within %d s" % BOOT_BOUND,
                               "job": "the job did not end within %d s" % bound,
                               "end": "the guest did not power off within %d s" % END_BOUND}[phase]
                    break
                if line is False:
                    continue
                if line.startswith(self.token + " "):
                    word = line.split()[1]
                    if word == "begin" and phase == "boot":
                        phase, deadline = "job", time.monotonic() + bound
                        self.timings["boot"] = time.monotonic() - started
                        out.write("guest: booted in %.0f s (%s)\n" % (
                            self.timings["boot"], " ".join(line.split()[2:])))
                        job_started = time.monotonic()
                    elif word == "exit" and phase == "job":
                        status = int(line.split()[2])
                        self.timings["job"] = time.monotonic() - job_started
                        phase, deadline = "end", time.monotonic() + END_BOUND
                    out.flush()
                    continue
                self._console.append(line)
                del self._console[:-CONSOLE_LINES]
                if phase == "job":
                    out.write(line + "\n")
                    out.flush()
                    if self.on_line:
                        self.on_line(line)
        finally:
            if proc.poll() is None:
                with contextlib.suppress(subprocess.TimeoutExpired):
                    proc.wait(timeout=30 if problem is None else 0)
            if proc.poll() is None:
                proc.kill()
                proc.wait()
            reader.join(timeout=5)
        if phase == "job" and "job" not in self.timings:
            self.timings["job"] = time.monotonic() - job_started
        if problem:
            out.write("guest: %s; the console's last lines:\n" % problem)
            for line in self._console[-CONSOLE_LINES:]:
                out.write("guest|  %s\n" % line)
            out.flush()
            return None if status is None else status
        return status

    def _take_back(self, outbox):
        """Unpacks what the guest returned into the same places on the host."""
        with contextlib.suppress(tarfile.ReadError, OSError), tarfile.open(outbox) as tar:
            for member in tar:
                target = os.path.normpath("/" + member.name)
                if not member.isfile() or not _under(target, PROJECT) or \
                        _under(target, vm_dir()):
                    continue
                os.makedirs(os.path.dirname(target), exist_ok=True)
                with tar.extractfile(member) as source, open(target, "wb") as sink:
                    shutil.copyfileobj(source, sink)
                os.chmod(target, member.mode & 0o777)


def _remove_stale(runs):
    """Disks of runs that were killed (their process is gone) are removed."""
    for name in os.listdir(runs):
        pid = name.split("-", 1)[0]
        if pid.isdigit() and not os.path.exists("/proc/" + pid):
            with contextlib.suppress(OSError):
                os.unlink(os.path.join(runs, name))


def _skipped(name):
    return name in SKIPPED_NAMES or name.startswith(SKIPPED_PREFIXES)


def _under(path, directory):
    return path == directory or path.startswith(directory.rstrip("/") + "/")


def _runner_job(argvs):
    """One job that runs each of argvs (a Python script and its arguments,
    as sys.argv) in turn; the project's sources and every build file or
    directory named on a command line go in, and what the runners write
    under those build directories comes back."""
    job = Job([], cwd=os.getcwd(), env={"XKT_WINE_CACHE": GUEST_CACHE, "XKT_TIME_SCALE": TIME_SCALE})
    build = os.path.join(PROJECT, "build")
    for top in os.listdir(PROJECT):
        path = os.path.join(PROJECT, top)
        if top in ("build", ".git") or _skipped(top):
            continue
        if os.path.isdir(path):
            job.add_tree(path)
        elif os.path.isfile(path):
            job.add_file(path)
    for argv in argvs:
        for arg in argv[1:]:
            path = os.path.abspath(arg)
            if not arg.startswith("-") and _under(path, build) and os.path.exists(path):
                if os.path.isdir(path):
                    job.add_tree(path)
                    if path not in job.returns:
                        job.returns.append(path)
                else:
                    job.add_file(path)
        script = os.path.abspath(argv[0])
        if not _under(script, PROJECT):
            job.add_file(script)
    return job


def run_in_guest(argv, what, bound=None):
    """Runs this Python script (argv as sys.argv) in the guest; its exit status.

    Where a batch (run_batch) already ran this very command in a guest
    booted for several, its output and exit status are taken from there
    instead of booting again.
    """
    taken = take_batch_result(argv)
    if taken is not None:
        return taken
    bound = bound or int(os.environ.get("XKT_VM_BOUND", "1000"))
    job = _runner_job([argv])
    job.argv = ["python3", "-B", os.path.abspath(argv[0])] + list(argv[1:])
    try:
        overlay = ensure_guest()
    except GuestError as error:
        print("guest: %s" % error, flush=True)
        return 1
    print("guest: running %s in a virtual machine (%s, software emulation): this host "
          "cannot start 32-bit programs" % (what, QEMU), flush=True)
    started = time.monotonic()
    status = job.run(overlay, bound)
    print("guest: %s ended with exit %d after %.0f s (boot %.0f s, job %.0f s)" % (
        what, status, time.monotonic() - started, job.timings.get("boot", 0),
        job.timings.get("job", 0)), flush=True)
    return status


# ---- several runners in one boot ---------------------------------------------
#
# Booting the emulated PC costs from ten seconds to over a minute on a busy
# machine. The test entries that need the same plain guest (no devices) can
# share one boot: a batch entry runs each runner in turn, in a fresh prefix
# and Xvfb of its own as always, and files each one's output and exit status
# under XKT_GUEST_BATCH_DIR. The runner's own entry then finds its part
# there (run_in_guest), reports it as its own and removes it; where there is
# none (the entry was run by itself, the batch is off, the guest broke off
# half-way) it boots as before. The batch runs only where XKT_GUEST_BATCH is
# set (scripts/run-tests sets it for a whole run).

BATCH_SWITCH = "XKT_GUEST_BATCH"
BATCH_DIR_SWITCH = "XKT_GUEST_BATCH_DIR"
BATCH_SKIPPED = 77   # its entry's SKIP_RETURN_CODE


def _batch_key(argv):
    words = [os.path.abspath(argv[0])] + list(argv[1:])
    return hashlib.sha256("\0".join(words).encode()).hexdigest()[:16]


def take_batch_result(argv):
    """The exit status of argv's part of a batch, its output printed; None
    when the batch left no result for it. A result is taken once."""
    folder = os.environ.get(BATCH_DIR_SWITCH)
    if not folder:
        return None
    stem = os.path.join(folder, _batch_key(argv))
    try:
        with open(stem + ".status") as f:
            status = int(f.read().split()[0])
        with open(stem + ".log", errors="replace") as f:
            output = f.read()
    except (OSError, ValueError, IndexError):
        return None
    for path in (stem + ".status", stem + ".log"):
        with contextlib.suppress(OSError):
            os.unlink(path)
    print("guest: run in the guest booted once for several entries (the batch's log has them all):",
          flush=True)
    sys.stdout.write(output)
    print("guest: this entry's part ended with exit %d" % status, flush=True)
    return status


def run_batch(parts, folder, bound):
    """Runs parts ((name, part bound, argv), ...) in one boot of the guest.

    Each part's output goes to folder/KEY.log and its exit status, once it
    has ended, to folder/KEY.status. Returns 0 when the guest ran the batch
    to its end (the parts' own results are their entries' to report), 1
    when it did not, BATCH_SKIPPED when the batch is off.
    """
    shutil.rmtree(folder, ignore_errors=True)
    os.makedirs(folder)
    if not os.environ.get(BATCH_SWITCH):
        # A batch that ran nothing shows as skipped, not as passed.
        print("skipped: the batch is off (%s is not set): each entry boots the guest for itself"
              % BATCH_SWITCH)
        return BATCH_SKIPPED
    job = _runner_job([argv for _, _, argv in parts])
    mark = job.token + "-part"
    lines = []
    for name, part_bound, argv in parts:
        words = ["python3", "-B", os.path.abspath(argv[0])] + list(argv[1:])
        # Each part in its own process group, ended at its own bound, so a
        # hung part fails alone and the next one still runs.
        lines.append("echo %s begin %s" % (mark, _batch_key(argv)))
        lines.append("timeout -k 10 %d %s; echo %s end %s $?" % (
            part_bound, " ".join(map(shlex.quote, words)), mark, _batch_key(argv)))
    job.argv = ["sh", "-c", "\n".join(lines)]
    names = {_batch_key(argv): name for name, _, argv in parts}
    current = {"log": None}

    def on_line(line):
        if line.startswith(mark + " "):
            words = line.split()
            if words[1] == "begin" and words[2] in names:
                current["log"] = open(os.path.join(folder, words[2] + ".log"), "w")
                print("guest batch: --- %s" % names[words[2]], flush=True)
            elif words[1] == "end" and words[2] in names and current["log"]:
                current["log"].close()
                current["log"] = None
                with open(os.path.join(folder, words[2] + ".status.new"), "w") as f:
                    f.write(words[3] + "\n")
                os.replace(os.path.join(folder, words[2] + ".status.new"),
                           os.path.join(folder, words[2] + ".status"))
                print("guest batch: --- %s ended with exit %s" % (names[words[2]], words[3]),
                      flush=True)
            return
        if current["log"]:
            current["log"].write(line + "\n")
            current["log"].flush()
    job.on_line = on_line
    try:
        overlay = ensure_guest()
    except GuestError as error:
        print("guest batch: %s" % error, flush=True)
        return 1
    print("guest batch: %s in one boot of the guest" % ", ".join(name for name, _, _ in parts),
          flush=True)
    started = time.monotonic()
    status = job.run(overlay, bound)
    if current["log"]:
        current["log"].close()
    done = [name for key, name in names.items()
            if os.path.exists(os.path.join(folder, key + ".status"))]
    print("guest batch: %d of %d parts ended in %.0f s (boot %.0f s); %s" % (
        len(done), len(parts), time.monotonic() - started, job.timings.get("boot", 0),
        "the guest ran to the end" if status == 0 else
        "the guest broke off (exit %d): the parts without a result boot for themselves" % status),
        flush=True)
    return 0 if status == 0 else 1


def _batch_main(argv):
    """batch --results DIR --bound SECONDS --part NAME SECONDS SCRIPT ARGS... [--part ...]"""
    try:
        folder = argv[argv.index("--results") + 1]
        bound = int(argv[argv.index("--bound") + 1])
        rest = argv[argv.index("--part"):]
    except (ValueError, IndexError):
        print(_batch_main.__doc__, file=sys.stderr)
        return 2
    parts = []
    while rest:
        following = rest.index("--part", 1) if "--part" in rest[1:] else len(rest)
        name, part_bound, argv_of_part = rest[1], int(rest[2]), rest[3:following]
        parts.append((name, part_bound, argv_of_part))
        rest = rest[following:]
    sys.path.insert(0, TOOLS)
    import wineenv
    way, how = wineenv.test_way("win32")
    if way != "vm":
        shutil.rmtree(folder, ignore_errors=True)
        print("skipped: nothing to run in the guest: the win32 tests run %s" % (
            how if way == "native" else "not at all: " + how))
        return BATCH_SKIPPED
    return run_batch(parts, folder, bound)


def main(argv):
    if argv == ["status"]:
        usable, how = availability()
        print(("yes: " if usable else "no: ") + how)
        return 0
    if argv == ["build"]:
        try:
            ensure_guest()
        except GuestError as error:
            print("guest: %s" % error, file=sys.stderr)
            return 1
        return 0
    if argv[:1] == ["batch"]:
        return _batch_main(argv[1:])
    if argv[:2] == ["run", "--"] and len(argv) > 2:
        job = Job(argv[2:], cwd="/")
        return job.run(ensure_guest(), bound=int(os.environ.get("XKT_VM_BOUND", "600")))
    print(__doc__, file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
