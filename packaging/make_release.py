#!/usr/bin/env python3
"""Packs Orvel's Windows release: the zip and an MSI package per architecture.

    make_release.py --config release.json --out DIR
                    [--sign KEY.p12 [--timestamp URL] | --attach SIGNATURES]

release.json (written by CMake into the 32-bit build) names the version, the
programs of both architectures, the documents and SOURCE_DATE_EPOCH. The
programs are copied into the release folder, then signed (--sign; the key's
password in ORVEL_SIGN_PASSWORD) or given the signatures of a published
release (--attach, a folder of NAME.sig files as scripts/check-reproducible
takes them out; with --ca, each signature's chain must lead to that root,
else the byte comparison that follows is the only judge), then packed into the zip and both MSIs, then the MSIs are
signed or given theirs. Nothing touches an MSI after its signature.

The release comes into DIR only when every step worked: the old one is
removed first, and a failed step leaves none, never a release signed in
part. A signed release is accompanied by NAME-signing.txt, which names the
osslsigncode version that signed it (a signature attaches back only with the
version that made it) and the certificate.

--tsa-certs, --tsa-key, --tsa-time stand in for --timestamp with
osslsigncode's own time-stamp authority, for tests without a network.
"""

import argparse
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import make_msi  # noqa: E402
import make_zip  # noqa: E402
import signing  # noqa: E402

ARCHITECTURES = ("x86", "x64")
# Where each architecture's programs lie in the release folder.
PROGRAM_FOLDER = {"x86": "", "x64": "x64"}
PROGRAMS = ("XKT.EXE", "orvel.exe")


def signature_name(release_path):
    """The file of a signature in a folder of signatures: a program by its
    place in the release folder, an MSI by its name."""
    return release_path.replace("/", "_") + ".sig"


def program_paths():
    """Each program's place in the release folder, x86 first."""
    return [(arch, name, "/".join(p for p in (PROGRAM_FOLDER[arch], name) if p))
            for arch in ARCHITECTURES for name in PROGRAMS]


def outputs(config):
    """The released files this makes, by name in DIR."""
    msis = [msi_name(config, arch) for arch in ARCHITECTURES]
    return [config["release_name"], config["release_name"] + ".zip"] + msis + [record_name(config)]


def msi_name(config, arch):
    return "%s-%s.msi" % (config["msi_name"], arch)


def record_name(config):
    return "%s-signing.txt" % config["msi_name"]


class Signer:
    """What happens to each file that carries a signature."""

    def __init__(self, args, epoch):
        self.args, self.epoch = args, epoch
        self.done = []

    def __call__(self, path, release_path):
        if self.args.sign:
            tsa = None
            if self.args.tsa_certs:
                tsa = (self.args.tsa_certs, self.args.tsa_key, self.args.tsa_time)
            signing.sign(path, self.args.sign, self.epoch, self.args.timestamp, tsa)
        elif self.args.attach:
            signature = os.path.join(self.args.attach, signature_name(release_path))
            if not os.path.isfile(signature):
                # Published unsigned: rebuilt unsigned, and the comparison
                # that follows says whether that is what was published.
                return
            signing.attach(path, signature, self.args.ca)
        else:
            return
        self.done.append(release_path)


def pack(config, stage, signer):
    epoch = int(config["epoch"])
    folder = os.path.join(stage, config["release_name"])
    for arch, name, release_path in program_paths():
        os.makedirs(os.path.join(folder, PROGRAM_FOLDER[arch]), exist_ok=True)
        shutil.copyfile(config["programs"][arch][name], os.path.join(folder, release_path))
    for name, path in config["docs"].items():
        shutil.copyfile(path, os.path.join(folder, name))
    # The programs are signed before they are packed: the zip and the MSIs
    # carry the signed programs.
    for _, _, release_path in program_paths():
        signer(os.path.join(folder, release_path), release_path)
    make_zip.write(os.path.join(stage, config["release_name"] + ".zip"), folder, epoch)
    for arch in ARCHITECTURES:
        msi = os.path.join(stage, msi_name(config, arch))
        make_msi.build(arch, config["version"], os.path.join(folder, PROGRAM_FOLDER[arch]), folder,
                       msi, epoch)
        # make_msi fixed the summary already: the signature covers it, and
        # nothing may change the package after it.
        signer(msi, msi_name(config, arch))


def write_record(config, stage, version, certificate, args):
    lines = ["Orvel %s, signed with osslsigncode %s." % (config["version"], version),
             "A signature attaches back byte for byte only with this version of osslsigncode.",
             "Certificate: %s" % certificate["subject"],
             "Issued by: %s" % certificate["issuer"],
             "Valid: %s" % certificate["valid"],
             "SHA-256 of the certificate: %s" % certificate["sha256"],
             "Signing time (SOURCE_DATE_EPOCH): %s (%s UTC)" % (config["epoch"], time.strftime(
                 "%Y-%m-%d %H:%M:%S", time.gmtime(int(config["epoch"])))),
             "Time stamp: %s" % (args.timestamp or ("osslsigncode's own authority (a test)"
                                                     if args.tsa_certs else "none"))]
    with open(os.path.join(stage, record_name(config)), "w") as f:
        f.write("\n".join(lines) + "\n")


def remove(path):
    if os.path.isdir(path) and not os.path.islink(path):
        shutil.rmtree(path)
    elif os.path.lexists(path):
        os.remove(path)


def sync_folder(path):
    descriptor = os.open(path, os.O_RDONLY | os.O_DIRECTORY)
    try:
        os.fsync(descriptor)
    finally:
        os.close(descriptor)


def sync_file(path):
    with open(path, "rb+") as f:
        os.fsync(f.fileno())


def publish(config, stage, out):
    """Moves the staged release into out, each file whole on disk first."""
    for name in outputs(config):
        path = os.path.join(stage, name)
        if os.path.isdir(path):
            for root, _, files in os.walk(path):
                for file in files:
                    sync_file(os.path.join(root, file))
                sync_folder(root)
        elif os.path.isfile(path):
            sync_file(path)
        if os.path.lexists(path):
            os.replace(path, os.path.join(out, name))
    sync_folder(out)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[1])
    parser.add_argument("--check-key", metavar="KEY.p12",
                        help="only check osslsigncode, the key and its certificate")
    parser.add_argument("--config", help="release.json of the 32-bit build")
    parser.add_argument("--out", help="folder the release goes into")
    how = parser.add_mutually_exclusive_group()
    how.add_argument("--sign", metavar="KEY.p12", help="sign with this key (password in %s)"
                     % signing.PASSWORD_VARIABLE)
    how.add_argument("--attach", metavar="FOLDER", help="attach the signatures in FOLDER")
    parser.add_argument("--ca", metavar="ROOT.pem",
                        help="with --attach: the root the signatures' chain must lead to")
    parser.add_argument("--timestamp", metavar="URL", help="RFC 3161 time-stamp server")
    parser.add_argument("--tsa-certs", help=argparse.SUPPRESS)
    parser.add_argument("--tsa-key", help=argparse.SUPPRESS)
    parser.add_argument("--tsa-time", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.check_key:
        try:
            signing.require_version()
            signing.check_certificate(args.check_key)
        except (OSError, signing.SigningError) as error:
            print("make_release: cannot sign: %s" % error, file=sys.stderr)
            return 1
        return 0
    if not (args.config and args.out):
        parser.error("--config and --out are needed")
    if (args.timestamp or args.tsa_certs) and not args.sign:
        parser.error("a time stamp belongs to --sign")
    if args.ca and not args.attach:
        parser.error("--ca belongs to --attach")
    if args.tsa_certs and not (args.tsa_key and args.tsa_time):
        parser.error("--tsa-certs needs --tsa-key and --tsa-time")

    with open(args.config) as f:
        config = json.load(f)
    out = os.path.abspath(args.out)
    os.makedirs(out, exist_ok=True)
    for name in outputs(config):
        remove(os.path.join(out, name))
    for tool in ("wixl", "msibuild"):
        if not shutil.which(tool):
            print("make_release: %s is missing (Debian packages wixl and msitools; "
                  "scripts/install-deps installs them)" % tool, file=sys.stderr)
            return 1
    stage = tempfile.mkdtemp(prefix=".release-", dir=out)
    try:
        version = certificate = None
        if args.sign or args.attach:
            version = signing.require_version()
        if args.sign:
            # Before the first signature: a key that cannot sign a release
            # Windows trusts stops here, with nothing signed.
            certificate = signing.check_certificate(args.sign)
        signer = Signer(args, config["epoch"])
        pack(config, stage, signer)
        if args.sign:
            write_record(config, stage, version, certificate, args)
        publish(config, stage, out)
    except (OSError, ValueError, signing.SigningError, subprocess.CalledProcessError) as error:
        print("make_release: %s; no release made" % error, file=sys.stderr)
        return 1
    finally:
        shutil.rmtree(stage, ignore_errors=True)
    if args.sign:
        print("make_release: signed with osslsigncode %s: %s" % (version, ", ".join(signer.done)))
    elif args.attach:
        print("make_release: signatures attached with osslsigncode %s: %s"
              % (version, ", ".join(signer.done)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
