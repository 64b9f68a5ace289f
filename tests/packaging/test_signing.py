#!/usr/bin/env python3
"""A signed Windows release, made from the build trees, checked as a user would.

    test_signing.py signed|timestamped|refused --win WIN32_BUILD --native NATIVE_BUILD --out DIR

A throwaway certificate authority and its certificates are made with openssl
in DIR for the run (and removed with it). The release is packed from the
programs the 32-bit and 64-bit trees already hold (packaging/make_release.py,
as scripts/build --release --sign does; nothing is compiled), the .deb beside
it by cpack, then:
  signed       every signed file verifies against the throwaway root
               (osslsigncode verify -CAfile): both MSIs, the four programs in
               the zip and the two in each MSI (msiextract); the release names
               the osslsigncode version; scripts/check-reproducible --against
               finds the release the same as its rebuild, a copy with one
               byte changed differing, and refuses to compare a release that
               another osslsigncode version signed;
  timestamped  the same signatures, each with a time stamp from
               osslsigncode's own time-stamp authority, verified with it, and
               the check against the rebuild passes;
  refused      a wrong password, a certificate not for code signing and an
               expired one stop the signing with a message that says which,
               leave no release behind (not even the one there before), and
               scripts/build --sign stops before it builds anything.
Prints one line per check and closes with "N passed, M failed"; exits 77 when
a tool it needs is missing or the trees hold no programs to pack.
"""

import argparse
import glob
import json
import os
import re
import shutil
import subprocess
import sys
import time
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.normpath(os.path.join(HERE, "..", ".."))
sys.path.insert(0, os.path.join(SOURCE, "tools"))
sys.path.insert(0, os.path.join(SOURCE, "packaging"))

from checklist import Checks   # noqa: E402
import signing   # noqa: E402

SKIP = 77
PASSWORD = "throwaway pass word"
MAKE_RELEASE = os.path.join(SOURCE, "packaging", "make_release.py")
CHECK = os.path.join(SOURCE, "scripts", "check-reproducible")

# The throwaway authority's certificate profiles.
EXTENSIONS = """
[codesign]
basicConstraints = critical, CA:false
keyUsage = critical, digitalSignature
extendedKeyUsage = codeSigning
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
[server]
basicConstraints = critical, CA:false
keyUsage = critical, digitalSignature, keyEncipherment
extendedKeyUsage = serverAuth
[timestamping]
basicConstraints = critical, CA:false
keyUsage = critical, digitalSignature
extendedKeyUsage = critical, timeStamping
"""


def run(command, env=None, stdin=None):
    return subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, env=env,
                          input=stdin)


def openssl(*arguments):
    done = run(["openssl"] + list(arguments))
    if done.returncode != 0:
        raise RuntimeError("openssl %s: %s" % (arguments[0], done.stdout.decode(errors="replace")))


class Authority:
    """A root and the certificates it issues, in folder."""

    def __init__(self, folder):
        self.folder = folder
        os.makedirs(folder, exist_ok=True)
        with open(self.path("extensions.cnf"), "w") as f:
            f.write(EXTENSIONS)
        self.root = self.path("root.pem")
        openssl("req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", self.path("root.key"),
                "-out", self.root, "-days", "30", "-subj", "/CN=Orvel throwaway root",
                "-addext", "basicConstraints=critical,CA:true",
                "-addext", "keyUsage=critical,keyCertSign,cRLSign")

    def path(self, name):
        return os.path.join(self.folder, name)

    def issue(self, name, profile, days=10):
        """name.pem and name.key; a certificate of 0 days expires at once."""
        openssl("req", "-newkey", "rsa:2048", "-nodes", "-keyout", self.path(name + ".key"),
                "-out", self.path(name + ".csr"), "-subj", "/CN=Orvel %s" % name)
        openssl("x509", "-req", "-in", self.path(name + ".csr"), "-CA", self.root, "-CAkey",
                self.path("root.key"), "-CAcreateserial", "-days", str(days), "-extfile",
                self.path("extensions.cnf"), "-extensions", profile, "-out", self.path(name + ".pem"))
        return self.path(name + ".pem"), self.path(name + ".key")

    def pkcs12(self, name, profile, days=10):
        certificate, key = self.issue(name, profile, days)
        out = self.path(name + ".p12")
        openssl("pkcs12", "-export", "-inkey", key, "-in", certificate, "-certfile", self.root,
                "-out", out, "-passout", "pass:" + PASSWORD)
        return out


def signing_env(password=PASSWORD):
    return dict(os.environ, ORVEL_SIGN_PASSWORD=password)


def make_release(win, out, extra, password=PASSWORD):
    return run([sys.executable, MAKE_RELEASE, "--config", os.path.join(win, "release.json"),
                "--out", out] + extra, env=signing_env(password))


def release_files(folder):
    return sorted(n for n in os.listdir(folder) if n.startswith("Orvel-"))


def pack_deb(native, out):
    done = run(["cpack", "--config", os.path.join(native, "CPackConfig.cmake"), "-B",
                os.path.join(out, "cpack")])
    debs = glob.glob(os.path.join(out, "cpack", "orvel_*.deb"))
    if done.returncode != 0 or len(debs) != 1:
        raise RuntimeError("cpack: %s" % done.stdout.decode(errors="replace")[-2000:])
    shutil.copy(debs[0], out)
    shutil.rmtree(os.path.join(out, "cpack"))


def verify(path, what, root, checks, timestamped=False):
    """osslsigncode verify against the throwaway root: the signature and its
    chain, and the time stamp's, each said ok (verify exits 0 even when the
    time stamp's chain fails)."""
    command = ["osslsigncode", "verify", "-CAfile", root]
    if timestamped:
        command += ["-TSA-CAfile", root]
    done = run(command + ["-in", path])
    said = done.stdout.decode(errors="replace")
    lines = [line.strip() for line in said.splitlines()]
    ok = done.returncode == 0 and "Signature verification: ok" in lines \
        and "Number of verified signatures: 1" in lines and "Text description: Orvel" in lines
    if timestamped:
        ok = ok and "Timestamp Server Signature verification: ok" in lines
    else:
        ok = ok and "Timestamp is not available" in lines
    shown = [line for line in lines if re.match(r"(Signature verification|Timestamp|Signing time|"
                                                r"Succeeded|Failed|Number of verified)", line)]
    checks.check(ok, "osslsigncode verify %s: exit %d; %s" % (what, done.returncode, "; ".join(shown)))


def verify_release(folder, root, checks, timestamped=False):
    unpacked = os.path.join(folder, "..", "unpacked")
    shutil.rmtree(unpacked, ignore_errors=True)
    zips = glob.glob(os.path.join(folder, "Orvel-*.zip"))
    with zipfile.ZipFile(zips[0]) as archive:
        programs = [n for n in archive.namelist() if n.lower().endswith(".exe")]
        checks.check(len(programs) == 4, "the zip holds four programs: %s" % programs)
        for name in programs:
            archive.extract(name, os.path.join(unpacked, "zip"))
            verify(os.path.join(unpacked, "zip", name), "%s in the zip" % name, root, checks,
                   timestamped)
    for msi in sorted(glob.glob(os.path.join(folder, "Orvel-*.msi"))):
        verify(msi, os.path.basename(msi), root, checks, timestamped)
        into = os.path.join(unpacked, os.path.basename(msi))
        os.makedirs(into)
        done = run(["msiextract", "-C", into, msi])
        checks.check(done.returncode == 0, "msiextract %s: exit %d" % (os.path.basename(msi),
                                                                        done.returncode))
        found = [os.path.join(r, n) for r, _, names in os.walk(into) for n in names
                 if n.lower().endswith(".exe")]
        checks.check(len(found) == 2, "%s holds two programs" % os.path.basename(msi))
        for path in found:
            verify(path, "%s in %s" % (os.path.basename(path), os.path.basename(msi)), root, checks,
                   timestamped)
    shutil.rmtree(unpacked)


def check_against(published, work, epoch, checks, root=None, expect=0, what=""):
    command = [sys.executable, CHECK, "--against", published, "--reuse", "--work", work]
    if root:
        command += ["--ca", root]
    started = time.monotonic()
    done = run(command, env=dict(os.environ, SOURCE_DATE_EPOCH=str(epoch)))
    said = done.stdout.decode(errors="replace")
    print(said, end="")
    lines = said.splitlines()
    same = [line for line in lines if line.startswith("same ")]
    differs = [line for line in lines if line.startswith(("DIFFERS", "MISSING"))]
    if expect == 0:
        # 4 published files, 4 programs in the zip, 2 in each MSI.
        checks.check(done.returncode == 0 and len(same) == 12 and not differs,
                     "check-reproducible --against %s: exit %d, %d same, %d differ (%.0f s)"
                     % (what, done.returncode, len(same), len(differs), time.monotonic() - started))
    else:
        checks.check(done.returncode == 1 and differs and all(expect in line for line in differs),
                     "check-reproducible --against %s: exit %d, differing: %s"
                     % (what, done.returncode, "; ".join(line[:60] for line in differs) or "none"))


def signed(args, authority, checks, timestamped=False):
    key = authority.pkcs12("codesign", "codesign")
    published = os.path.join(args.out, "published")
    os.makedirs(published)
    extra = ["--sign", key]
    if timestamped:
        # The stamp's time lies within both certificates' validity.
        certificate, tsa_key = authority.issue("timestamping", "timestamping")
        chain = authority.path("timestamping-chain.pem")
        with open(chain, "w") as f:
            f.write(open(certificate).read() + open(authority.root).read())
        extra += ["--tsa-certs", chain, "--tsa-key", tsa_key, "--tsa-time", str(int(time.time()) + 5)]
    started = time.monotonic()
    done = make_release(args.win, published, extra)
    said = done.stdout.decode(errors="replace")
    print(said, end="")
    checks.check(done.returncode == 0, "make_release.py --sign: exit %d (%.1f s)"
                 % (done.returncode, time.monotonic() - started))
    checks.check(PASSWORD not in said and key not in said, "neither the password nor the key's path said")
    shutil.rmtree(os.path.join(published, json.load(open(os.path.join(args.win, "release.json")))
                               ["release_name"]), ignore_errors=True)
    version = signing.osslsigncode_version()[0]
    records = glob.glob(os.path.join(published, "*-signing.txt"))
    record = open(records[0]).read() if records else ""
    checks.check("signed with osslsigncode %s." % version in record,
                 "the release names osslsigncode %s: %s" % (version, record.splitlines()[:1]))
    pack_deb(args.native, published)
    verify_release(published, authority.root, checks, timestamped)

    epoch = json.load(open(os.path.join(args.win, "release.json")))["epoch"]
    work = os.path.join(args.out, "check")
    check_against(published, work, epoch, checks, authority.root, what="the signed release, --ca")
    if timestamped:
        return
    # One byte changed in the x64 package's middle, where its cabinet lies.
    changed = os.path.join(args.out, "changed")
    shutil.copytree(published, changed)
    msi = glob.glob(os.path.join(changed, "Orvel-*-x64.msi"))[0]
    with open(msi, "r+b") as f:
        f.seek(os.path.getsize(msi) // 2)
        byte = f.read(1)
        f.seek(-1, os.SEEK_CUR)
        f.write(bytes([byte[0] ^ 0x01]))
    check_against(changed, work, epoch, checks, expect="MSI, x64",
                  what="a copy with one byte changed in the x64 MSI")
    # Signed, the record says, by another version: its signatures would
    # attach into other bytes, so the check must not compare at all.
    record = glob.glob(os.path.join(changed, "*-signing.txt"))[0]
    with open(record) as f:
        text = f.read()
    with open(record, "w") as f:
        f.write(text.replace("signed with osslsigncode %s." % version, "signed with osslsigncode 2.5."))
    done = run([sys.executable, CHECK, "--against", changed, "--reuse", "--work", work],
               env=dict(os.environ, SOURCE_DATE_EPOCH=str(epoch)))
    said = done.stdout.decode(errors="replace").strip()
    checks.check(done.returncode == 2 and "osslsigncode 2.5" in said and "cannot be compared" in said
                 and "same " not in said, "a release signed with osslsigncode 2.5: exit %d, %r"
                 % (done.returncode, said.splitlines()[-1:]))


def refused(args, authority, checks):
    good = authority.pkcs12("codesign", "codesign")
    cases = [("a wrong password", good, "not the password", "password"),
             ("a certificate not for code signing", authority.pkcs12("server", "server"), PASSWORD,
              "not for code signing"),
             ("an expired certificate", authority.pkcs12("expired", "codesign", days=0), PASSWORD,
              "expired")]
    # A certificate of 0 days is expired one second after it was made.
    time.sleep(1.1)
    out = os.path.join(args.out, "release")
    for what, key, password, reason in cases:
        # A release already there (unsigned, from an earlier run) must go too:
        # left, it would pass for the one just asked for.
        made = make_release(args.win, out, [])
        before = release_files(out)
        done = make_release(args.win, out, ["--sign", key], password)
        said = done.stdout.decode(errors="replace").strip()
        checks.check(made.returncode == 0 and before and done.returncode == 1 and reason in said,
                     "%s: exit %d, %r" % (what, done.returncode, said))
        checks.check(release_files(out) == [], "%s: no release left (%s)"
                     % (what, ", ".join(release_files(out)) or "none"))
        checks.check(password not in said, "%s: the password is not said" % what)
    # scripts/build checks the key before it configures or builds anything:
    # run from a tree that holds only the scripts, so that a build it wrongly
    # began would fail at once instead of building in the checkout's trees.
    server = authority.path("server.p12")
    tree = os.path.join(args.out, "tree")
    for folder in ("scripts", "packaging"):
        shutil.copytree(os.path.join(SOURCE, folder), os.path.join(tree, folder))
    started = time.monotonic()
    done = subprocess.run([os.path.join(tree, "scripts", "build"), "--release", "--sign", server],
                          cwd=tree, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                          env=dict(signing_env(), SOURCE_DATE_EPOCH="1796981010"))
    said = done.stdout.decode(errors="replace").strip()
    checks.check(done.returncode == 1 and "not for code signing" in said
                 and "Configuring" not in said and "Building" not in said,
                 "scripts/build --release --sign with a server certificate: exit %d in %.1f s, %r"
                 % (done.returncode, time.monotonic() - started, said[-200:]))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[1])
    parser.add_argument("mode", choices=("signed", "timestamped", "refused"))
    parser.add_argument("--win", required=True, help="the 32-bit cross build")
    parser.add_argument("--native", required=True, help="the native build")
    parser.add_argument("--out", required=True, help="a folder for the run, made afresh")
    args = parser.parse_args()

    missing = [tool for tool in ("osslsigncode", "openssl", "msiextract", "msibuild", "wixl", "cpack")
               if not shutil.which(tool)]
    if missing:
        print("skipped: %s missing (scripts/install-deps installs them; osslsigncode %d.%d comes "
              "from Debian's backports)" % ((", ".join(missing),) + signing.MINIMUM_VERSION))
        return SKIP
    text, numbers = signing.osslsigncode_version()
    if numbers < signing.MINIMUM_VERSION:
        print("skipped: osslsigncode %s is older than %d.%d" % ((text,) + signing.MINIMUM_VERSION))
        return SKIP
    args.win, args.native = os.path.abspath(args.win), os.path.abspath(args.native)
    config = os.path.join(args.win, "release.json")
    if not os.path.isfile(config):
        print("skipped: %s is missing (configure the 32-bit build)" % config)
        return SKIP
    with open(config) as f:
        programs = [p for arch in json.load(f)["programs"].values() for p in arch.values()]
    absent = [p for p in programs if not os.path.isfile(p)]
    if absent:
        print("skipped: the programs to pack are not built: %s" % ", ".join(absent))
        return SKIP
    if args.mode != "refused" and os.path.realpath(args.win) != os.path.join(
            os.path.realpath(SOURCE), "build", "win"):
        print("skipped: check-reproducible --reuse rebuilds from build/win of %s, not %s"
              % (SOURCE, args.win))
        return SKIP

    args.out = os.path.abspath(args.out)
    shutil.rmtree(args.out, ignore_errors=True)
    os.makedirs(args.out)
    checks = Checks()
    try:
        authority = Authority(os.path.join(args.out, "authority"))
        {"signed": lambda: signed(args, authority, checks),
         "timestamped": lambda: signed(args, authority, checks, timestamped=True),
         "refused": lambda: refused(args, authority, checks)}[args.mode]()
    except (OSError, RuntimeError, ValueError, zipfile.BadZipFile, IndexError) as error:
        checks.check(False, "%s: %s" % (type(error).__name__, error))
    status = checks.summary()
    if status == 0:
        # The throwaway keys go with the run.
        shutil.rmtree(args.out, ignore_errors=True)
    else:
        shutil.rmtree(os.path.join(args.out, "authority"), ignore_errors=True)
    return status


if __name__ == "__main__":
    sys.exit(main())
