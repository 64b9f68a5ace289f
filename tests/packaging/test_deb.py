#!/usr/bin/env python3
"""Orvel's Debian package, built with CPack from the native build, and checked.

    test_deb.py contents|install|lintian|hardening --build NATIVE_BUILD_DIR [--out DIR]

Each mode builds the package afresh into DIR (cpack with the build's
CPackConfig.cmake), then:
  contents  lists it (dpkg-deb -c) and checks every file, its mode and owner,
            the control fields, the compressed man pages and changelog, the
            copyright (the licence) and the example udev rule;
  install   installs it into a throwaway root (dpkg --root), runs the
            programs from there, finds and renders the man pages, tries the
            bash completion, and asks apt whether this system could install
            it with its dependencies;
  lintian   runs lintian on it (-I --pedantic): no errors, no warnings, and
            none of the tags of a program built without Debian's hardening
            or with sections it should not ship;
  hardening runs hardening-check on the programs: PIE, stack protector,
            fortified functions, read-only relocations, immediate binding.
Prints one line per check and closes with "N passed, M failed"; exits 77 when
a tool the mode needs is missing.
"""

import argparse
import gzip
import os
import re
import shutil
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.normpath(os.path.join(HERE, "..", ".."))
sys.path.insert(0, os.path.join(SOURCE, "tools"))

from checklist import Checks, version   # noqa: E402
SKIP = 77

# Every file in the package: path, mode.
FILES = {
    "usr/bin/orvel": 0o755,
    "usr/bin/xkt-sim": 0o755,
    "usr/share/man/man1/orvel.1.gz": 0o644,
    "usr/share/man/man1/xkt-sim.1.gz": 0o644,
    "usr/share/bash-completion/completions/orvel": 0o644,
    "usr/share/doc/orvel/copyright": 0o644,
    "usr/share/doc/orvel/changelog.gz": 0o644,
    "usr/share/doc/orvel/60-orvel.rules": 0o644,
}
# What the man pages must name: every command, option, exit status and the
# environment variable.
ORVEL_PAGE_WORDS = ["find", "read", "read all", "erase", "watch", "ports", "--port", "--overwrite",
                    "--erase", "--trace", "--help", "--version", "EXIT STATUS", "129", "130",
                    "ORVEL_DEVICE_DIR", "FILES", "File Exists! Overwrite?", "dialout", "in use by",
                    "60-orvel.rules"]
SIM_PAGE_WORDS = ["--link", "--probe", "--ident", "--data", "--data-file", "--readings", "--ack",
                  "--log", "--unplugged", "--any-line", "--flip", "--flip-seed", "--measure", "--detached", "unplug",
                  "vanish", "return", "stall", "release", "quit"]
# (words typed so far, what the completion must offer)
COMPLETIONS = [
    (["orvel", ""], ["erase", "find", "ports", "read", "watch"]),
    (["orvel", "re"], ["read"]),
    (["orvel", "read", ""], ["all", "kOhm", "kV", "uA"]),
    (["orvel", "read", "all", "run1", "--e"], ["--erase"]),
    (["orvel", "--trace", "log", "f"], ["find"]),
    (["orvel", "erase", ""], ["all", "kOhm", "kV", "uA"]),
    (["orvel", "--port", "DEV/com3", "erase", "a"], ["all"]),
    (["orvel", "find", "--p"], ["--port"]),
    (["orvel", "read", "kV", "run1", "--ov"], ["--overwrite"]),
    (["orvel", "find", "--port", ""], ["DEV/ttyACM0", "DEV/ttyUSB0", "DEV/ttyUSB1"]),
]


def run(argv, **kwargs):
    return subprocess.run(argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE, **kwargs)


def build_package(build, out):
    """The .deb, made by cpack from the native build into out."""
    shutil.rmtree(out, ignore_errors=True)
    os.makedirs(out)
    # Under the widest umask builders commonly have: the package's modes
    # must not follow it.
    umask = os.umask(0o002)
    try:
        done = run(["cpack", "--config", os.path.join(build, "CPackConfig.cmake"), "-B", out])
    finally:
        os.umask(umask)
    if done.returncode != 0:
        raise RuntimeError("cpack failed: %s" % (done.stdout + done.stderr).decode(errors="replace"))
    architecture = run(["dpkg", "--print-architecture"]).stdout.decode().strip()
    path = os.path.join(out, "orvel_%s_%s.deb" % (version(), architecture))
    if not os.path.isfile(path):
        raise RuntimeError("cpack made no %s (%s)" % (os.path.basename(path), os.listdir(out)))
    return path


def check_contents(deb, checks):
    listing = run(["dpkg-deb", "-c", deb]).stdout.decode()
    print(listing, end="")
    entries = {}
    for line in listing.splitlines():
        fields = line.split(None, 5)
        mode, owner, path = fields[0], fields[1], fields[5].split(" -> ")[0]
        entries[path[2:].rstrip("/")] = (mode, owner)
    files = {path: mode for path, (mode, _) in entries.items() if mode.startswith("-")}
    checks.check(sorted(files) == sorted(FILES), "the package holds exactly %s" % sorted(FILES))
    for path, wanted in FILES.items():
        mode = files.get(path, "")
        bits = sum(1 << (8 - i) for i, c in enumerate(mode[1:10]) if c != "-")
        checks.check(bits == wanted, "%s mode %s" % (path, mode))
    checks.check(all(owner == "root/root" for _, owner in entries.values()), "everything owned by root/root")
    checks.check(all(mode == "drwxr-xr-x" for mode, _ in entries.values() if mode.startswith("d")),
                 "directories 0755")
    checks.check(not any(p.startswith(("etc/udev", "lib/udev", "usr/lib/udev")) for p in entries),
                 "no active udev rule installed")

    fields = dict(re.findall(r"^(\S+): (.*)$", run(["dpkg-deb", "-f", deb]).stdout.decode(), re.M))
    checks.check(fields.get("Package") == "orvel" and fields.get("Version") == version(),
                 "control: Package %s, Version %s (res/XKTVersion.h says %s)"
                 % (fields.get("Package"), fields.get("Version"), version()))
    depends = fields.get("Depends", "")
    checks.check(all(lib in depends for lib in ("libc6", "libstdc++6")),
                 "control: Depends %s" % depends)

    unpacked = os.path.join(os.path.dirname(deb), "unpacked")
    shutil.rmtree(unpacked, ignore_errors=True)
    subprocess.run(["dpkg-deb", "-x", deb, unpacked], check=True)
    for path in ("usr/share/man/man1/orvel.1.gz", "usr/share/man/man1/xkt-sim.1.gz",
                 "usr/share/doc/orvel/changelog.gz"):
        with open(os.path.join(unpacked, path), "rb") as f:
            header = f.read(10)
        # gzip -9 -n: no file name (FLG bit 3) and no time stamp.
        checks.check(header[:2] == b"\x1f\x8b" and not header[3] & 0x08 and header[4:8] == b"\0" * 4
                     and header[8] == 2, "%s: gzip -9 without name and time stamp" % path)
    with gzip.open(os.path.join(unpacked, "usr/share/doc/orvel/changelog.gz"), "rt") as f:
        first = f.readline()
    checks.check(first.startswith("orvel (%s) " % version()), "changelog: %s" % first.strip())
    with open(os.path.join(unpacked, "usr/share/doc/orvel/copyright")) as f:
        copyright_text = f.read()
    with open(os.path.join(SOURCE, "LICENSE")) as f:
        licence = f.read()
    body = licence.split("\n\n", 2)[2]
    flat = lambda text: " ".join(w for w in text.split() if w != ".")   # noqa: E731
    checks.check("Copyright: 2026 The Orvel developers" in copyright_text
                 and flat(body) in flat(copyright_text),
                 "copyright: the MIT licence of LICENSE, Copyright 2026 The Orvel developers")
    with open(os.path.join(unpacked, "usr/share/doc/orvel/60-orvel.rules")) as f:
        rules = [line for line in f if line.strip() and not line.startswith("#")]
    checks.check(len(rules) == 1 and all(word in rules[0] for word in
                                         ('TAG+="uaccess"', 'SYMLINK+="orvel"', 'ATTRS{serial}==')),
                 "udev example: one rule, matched on the serial number, uaccess, /dev/orvel")


def check_install(deb, out, checks):
    root = os.path.join(out, "root")
    shutil.rmtree(root, ignore_errors=True)
    for sub in ("info", "updates"):
        os.makedirs(os.path.join(root, "var", "lib", "dpkg", sub))
    open(os.path.join(root, "var", "lib", "dpkg", "status"), "w").close()
    # The throwaway root has no libc of its own: its dependencies are the host's.
    done = run(["dpkg", "--root=" + root, "--log=/dev/null", "--force-depends", "-i", deb])
    if not checks.check(done.returncode == 0, "dpkg --root %s -i: exit %d%s"
                        % (root, done.returncode, "" if done.returncode == 0 else
                           " " + done.stderr.decode(errors="replace").strip()[-300:])):
        return
    orvel = os.path.join(root, "usr", "bin", "orvel")
    done = run([orvel, "--version"])
    checks.check(done.returncode == 0 and done.stdout.decode().strip() == "orvel " + version(),
                 "installed orvel --version: %r" % done.stdout.decode().strip())
    done = run([os.path.join(root, "usr", "bin", "xkt-sim"), "--help"])
    checks.check(done.returncode == 0 and b"--link" in done.stdout + done.stderr,
                 "installed xkt-sim --help: exit %d" % done.returncode)

    man_path = os.path.join(root, "usr", "share", "man")
    for page, words in (("orvel", ORVEL_PAGE_WORDS), ("xkt-sim", SIM_PAGE_WORDS)):
        done = run(["man", "-M", man_path, "-w", page])
        found = done.stdout.decode().strip()
        checks.check(found == os.path.join(man_path, "man1", page + ".1.gz"),
                     "man -w %s: %s" % (page, found or done.stderr.decode().strip()))
        env = dict(os.environ, MANWIDTH="100", LC_ALL="C.UTF-8", MAN_KEEP_FORMATTING="")
        done = run(["man", "--warnings", "-M", man_path, "-P", "cat", page], env=env)
        text = re.sub(r".\x08", "", done.stdout.decode(errors="replace"))
        checks.check(done.returncode == 0 and not done.stderr.strip(),
                     "man %s renders without warnings %s" % (page, done.stderr.decode().strip()[:300]))
        missing = [w for w in words if w not in text]
        checks.check(not missing, "man %s names %s" % (page, "every command, option and status"
                                                       if not missing else "not %s" % missing))

    check_completion(os.path.join(root, "usr", "share", "bash-completion", "completions", "orvel"),
                     out, checks)

    if shutil.which("apt-get"):
        done = run(["apt-get", "install", "--simulate", "--no-install-recommends", deb])
        said = done.stdout.decode(errors="replace")
        checks.check(done.returncode == 0 and re.search(r"^(Inst|Conf) orvel ", said, re.M),
                     "apt-get install --simulate ./%s: exit %d %s" % (
                         os.path.basename(deb), done.returncode,
                         done.stderr.decode(errors="replace").strip()[-300:]))


def check_completion(script, out, checks):
    framework = "/usr/share/bash-completion/bash_completion"
    if not checks.check(os.path.isfile(framework), "bash-completion is installed (%s)" % framework):
        return
    devices = os.path.join(out, "dev")
    os.makedirs(devices, exist_ok=True)
    for name in ("ttyUSB0", "ttyUSB1", "ttyACM0", "com3", "null0"):
        open(os.path.join(devices, name), "w").close()
    for words, wanted in COMPLETIONS:
        words = [w.replace("DEV", devices) for w in words]
        wanted = sorted(w.replace("DEV", devices) for w in wanted)
        program = ('source %s; source %s; COMP_WORDS=(%s); COMP_CWORD=%d; COMP_LINE="${COMP_WORDS[*]}"; '
                   'COMP_POINT=${#COMP_LINE}; _orvel orvel "${COMP_WORDS[-1]}" "${COMP_WORDS[-2]}"; '
                   'printf "%%s\\n" "${COMPREPLY[@]}"'
                   % (framework, script, " ".join("'%s'" % w for w in words), len(words) - 1))
        done = run(["bash", "-c", program], env=dict(os.environ, ORVEL_DEVICE_DIR=devices), cwd=out)
        offered = sorted(line for line in done.stdout.decode().splitlines() if line)
        checks.check(offered == wanted, "completion of %r: %s" % (" ".join(words), offered))


# lintian's tags, at any level, for a program that misses a hardening flag
# (hardening-no-bindnow, hardening-no-fortify-functions, ...) or carries what
# a packaged program should not (binary-has-unneeded-section .comment).
HARDENING_TAGS = re.compile(r"^[A-Z]: [^:]+: (hardening-\S+|binary-has-unneeded-section)\b", re.M)
PROGRAMS = ["usr/bin/orvel", "usr/bin/xkt-sim"]


def check_lintian(deb, checks):
    done = run(["lintian", "--tag-display-limit", "0", "-I", "--pedantic", deb])
    said = done.stdout.decode(errors="replace")
    print(said, end="")
    errors = [line for line in said.splitlines() if line.startswith(("E:", "W:"))]
    checks.check(done.returncode == 0 and not errors,
                 "lintian: no errors or warnings (exit %d)%s" % (
                     done.returncode, "".join("\n     " + line for line in errors)))
    unhardened = [m.group(0) for m in HARDENING_TAGS.finditer(said)]
    checks.check(not unhardened, "lintian: no hardening-* or binary-has-unneeded-section tag%s"
                 % "".join("\n     " + line for line in unhardened))


def check_hardening(deb, out, checks):
    unpacked = os.path.join(out, "unpacked")
    shutil.rmtree(unpacked, ignore_errors=True)
    subprocess.run(["dpkg-deb", "-x", deb, unpacked], check=True)
    for program in PROGRAMS:
        # Control-flow protection is built in (-fcf-protection), but no
        # program linked on Debian 12 can show it: the system's start files
        # carry no CET note, so hardening-check says "no" for every one.
        done = run(["hardening-check", "--nocfprotection", os.path.join(unpacked, program)])
        said = done.stdout.decode(errors="replace")
        print(said, end="")
        missing = [line.strip() for line in said.splitlines() if ": no" in line and "(ignored)" not in line]
        checks.check(done.returncode == 0 and not missing, "hardening-check --nocfprotection %s: exit %d%s"
                     % (program, done.returncode, "".join("\n     " + line for line in missing)))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[1])
    parser.add_argument("mode", choices=("contents", "install", "lintian", "hardening"))
    parser.add_argument("--build", required=True, help="the native build directory")
    parser.add_argument("--out", help="where the package goes (default: BUILD/deb-test/MODE)")
    args = parser.parse_args()
    needs = {"contents": ["cpack", "dpkg-deb", "dpkg"], "install": ["cpack", "dpkg", "man", "bash"],
             "lintian": ["cpack", "dpkg", "lintian"],
             "hardening": ["cpack", "dpkg-deb", "hardening-check"]}[args.mode]
    missing = [tool for tool in needs if not shutil.which(tool)]
    if missing:
        print("skipped: %s missing" % ", ".join(missing))
        return SKIP
    if args.mode == "install" and os.geteuid() != 0:
        print("skipped: dpkg --root needs root")
        return SKIP
    build = os.path.abspath(args.build)
    out = os.path.abspath(args.out or os.path.join(build, "deb-test", args.mode))
    checks = Checks()
    try:
        deb = build_package(build, out)
        {"contents": lambda: check_contents(deb, checks),
         "install": lambda: check_install(deb, out, checks),
         "lintian": lambda: check_lintian(deb, checks),
         "hardening": lambda: check_hardening(deb, out, checks)}[args.mode]()
    except (OSError, RuntimeError, subprocess.CalledProcessError) as error:
        checks.check(False, "%s: %s" % (type(error).__name__, error))
    return checks.summary()


if __name__ == "__main__":
    sys.exit(main())
