#!/usr/bin/env python3
"""Builds one of Orvel's Windows Installer packages with wixl (msitools).

    make_msi.py --arch x86|x64 --version 1.0.0.1 --programs DIR --docs DIR -o OUT.msi

DIR of --programs holds XKT.EXE and orvel.exe of the architecture, DIR of
--docs OPERATOR.txt (or docs/OPERATOR.txt) and LICENSE. The package's source
is Orvel.wxs beside this script; both architectures come from it.
"""

import argparse
import os
import shutil
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
WXS = os.path.join(HERE, "Orvel.wxs")

# Name in the package: where it comes from, relative to --programs or --docs.
PROGRAMS = {"XKT.EXE": ["XKT.EXE"], "orvel.exe": ["orvel.exe", "cli/orvel.exe"]}
DOCS = {"OPERATOR.txt": ["OPERATOR.txt", "docs/OPERATOR.txt"], "LICENSE.txt": ["LICENSE.txt", "LICENSE"]}

# wixl 0.101 knows no Permanent attribute; the data folder's component gets
# it here (msidbComponentAttributesPermanent), so that no uninstall ever
# removes Documents\Orvel, even when it is empty.
PERMANENT = 0x10
MAKE_PERMANENT = "UPDATE Component SET Attributes = %d WHERE Component = 'DataFolder'"
REGISTRY_KEY_PATH = 0x4


def find(directory, candidates):
    for name in candidates:
        path = os.path.join(directory, name)
        if os.path.isfile(path):
            return path
    raise FileNotFoundError("none of %s in %s" % (", ".join(candidates), directory))


def build(arch, version, programs, docs, output):
    """Runs wixl in a folder holding exactly the package's files: wixl 0.101
    takes no absolute source paths."""
    with tempfile.TemporaryDirectory(prefix="orvel-msi-") as stage:
        for table, directory in ((PROGRAMS, programs), (DOCS, docs)):
            for name, candidates in table.items():
                shutil.copyfile(find(directory, candidates), os.path.join(stage, name))
        made = os.path.join(stage, "Orvel.msi")
        subprocess.run(["wixl", "-a", arch, "-D", "Version=" + version, "-D", "BinDir=.",
                        "-D", "DocDir=.", "-o", made, WXS], cwd=stage, check=True)
        subprocess.run(["msibuild", made, "-q", MAKE_PERMANENT % (REGISTRY_KEY_PATH | PERMANENT)],
                       check=True)
        os.makedirs(os.path.dirname(os.path.abspath(output)), exist_ok=True)
        shutil.move(made, output)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[1])
    parser.add_argument("--arch", choices=("x86", "x64"), required=True)
    parser.add_argument("--version", required=True, help="a.b.c.d")
    parser.add_argument("--programs", required=True, help="folder with XKT.EXE and orvel.exe")
    parser.add_argument("--docs", required=True, help="folder with OPERATOR.txt and LICENSE")
    parser.add_argument("-o", "--output", required=True)
    args = parser.parse_args()
    for tool in ("wixl", "msibuild"):
        if not shutil.which(tool):
            print("make_msi: %s is missing (Debian packages wixl and msitools; "
                  "scripts/install-deps installs them)" % tool, file=sys.stderr)
            return 1
    try:
        build(args.arch, args.version, args.programs, args.docs, args.output)
    except (OSError, subprocess.CalledProcessError) as error:
        print("make_msi: %s" % error, file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
