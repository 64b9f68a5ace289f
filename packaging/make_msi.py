#!/usr/bin/env python3
"""Builds one of Orvel's Windows Installer packages with wixl (msitools).

    make_msi.py --arch x86|x64 --version 1.0.0.1 [--epoch SECONDS] --programs DIR --docs DIR -o OUT.msi

DIR of --programs holds XKT.EXE and orvel.exe of the architecture, DIR of
--docs OPERATOR.txt (or docs/OPERATOR.txt) and LICENSE. The package's source
is Orvel.wxs beside this script; both architectures come from it.

The product code is derived from the version and the architecture (wixl
would draw a random one for Id="*"), and every file goes into the package's
cabinet with the time --epoch. wixl stamps each package with the moment it
ran and a fresh random package code. With --epoch (SOURCE_DATE_EPOCH, also taken from the environment) the
package's summary gets that time instead and a package code derived from the
package's contents, so that the same files give the same package.
"""

import argparse
import hashlib
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import uuid

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
# The packages' upgrade code (Orvel.wxs), the namespace of their product codes.
UPGRADE_CODE = uuid.UUID("D2E4795C-51BF-438E-B39A-165B36CAC764")


def find(directory, candidates):
    for name in candidates:
        path = os.path.join(directory, name)
        if os.path.isfile(path):
            return path
    raise FileNotFoundError("none of %s in %s" % (", ".join(candidates), directory))


# The summary information stream of an MSI package (an OLE compound file) and
# the properties in it that wixl fills from the moment and from chance.
SUMMARY_STREAM = "\x05SummaryInformation"
PID_REVNUMBER, PID_LASTPRINTED, PID_CREATE_DTM, PID_LASTSAVE_DTM = 9, 11, 12, 13
VT_LPSTR, VT_FILETIME = 30, 64
FILETIME_1970 = 116444736000000000       # 100 ns steps from 1601 to 1970
END_OF_CHAIN = 0xFFFFFFFE


class CompoundFile:
    """Just enough of an OLE compound file to find where a stream's bytes
    lie in the file, so that they can be rewritten in place."""

    def __init__(self, data):
        if data[:8] != b"\xd0\xcf\x11\xe0\xa1\xb1\x1a\xe1":
            raise ValueError("not an OLE compound file")
        self.data = data
        self.sector = 1 << struct.unpack_from("<H", data, 0x1E)[0]
        self.mini_sector = 1 << struct.unpack_from("<H", data, 0x20)[0]
        (fat_sectors, self.first_directory, _, self.mini_cutoff, first_minifat, _,
         first_difat, difat_sectors) = struct.unpack_from("<IIIIIIII", data, 0x2C)
        fat_list = list(struct.unpack_from("<109I", data, 0x4C))
        next_difat = first_difat
        for _ in range(difat_sectors):
            entries = struct.unpack_from("<%dI" % (self.sector // 4), data, self._at(next_difat))
            fat_list += entries[:-1]
            next_difat = entries[-1]
        self.fat = []
        for index in fat_list[:fat_sectors]:
            self.fat += struct.unpack_from("<%dI" % (self.sector // 4), data, self._at(index))
        self.minifat = []
        for index in self._chain(first_minifat):
            self.minifat += struct.unpack_from("<%dI" % (self.sector // 4), data, self._at(index))
        root = self._entries()[0]
        self.mini_stream = [self._at(index) for index in self._chain(root[1])]

    def _at(self, index):
        return (index + 1) * self.sector

    def _chain(self, start, table=None):
        table = self.fat if table is None else table
        chain = []
        while start != END_OF_CHAIN and start < len(table):
            if len(chain) > len(table):
                raise ValueError("a sector chain loops")
            chain.append(start)
            start = table[start]
        return chain

    def _entries(self):
        """(name, first sector, size) of each directory entry."""
        found = []
        for index in self._chain(self.first_directory):
            for offset in range(self._at(index), self._at(index) + self.sector, 128):
                length = struct.unpack_from("<H", self.data, offset + 0x40)[0]
                name = self.data[offset:offset + max(length - 2, 0)].decode("utf-16-le")
                start, size = struct.unpack_from("<IQ", self.data, offset + 0x74)
                found.append((name, start, size if self.sector > 512 else size & 0xFFFFFFFF))
        return found

    def stream_offsets(self, name):
        """The file offset of each byte of the stream, in order."""
        matches = [(start, size) for entry, start, size in self._entries() if entry == name]
        if not matches:
            raise ValueError("no stream %r" % name)
        start, size = matches[0]
        if size < self.mini_cutoff:
            step, table = self.mini_sector, self.minifat
            where = lambda i: (self.mini_stream[i * step // self.sector]   # noqa: E731
                               + i * step % self.sector)
        else:
            step, table, where = self.sector, self.fat, self._at
        offsets = []
        for index in self._chain(start, table):
            offsets += range(where(index), where(index) + step)
        if len(offsets) < size:
            raise ValueError("stream %r is cut short" % name)
        return offsets[:size]


def summary_properties(stream):
    """{property id: (offset of its value in the stream, type)} of the
    summary's one property section."""
    section = struct.unpack_from("<I", stream, 28 + 16)[0]
    count = struct.unpack_from("<I", stream, section + 4)[0]
    found = {}
    for i in range(count):
        pid, offset = struct.unpack_from("<II", stream, section + 8 + 8 * i)
        kind = struct.unpack_from("<I", stream, section + offset)[0]
        found[pid] = (section + offset + 4, kind)
    return found


def fix_summary(path, epoch):
    """Stamps the package with the time epoch, and gives it the package code
    that its contents give: the same files, the same code; other files,
    another code, as Windows Installer wants."""
    with open(path, "rb") as f:
        data = bytearray(f.read())
    offsets = CompoundFile(bytes(data)).stream_offsets(SUMMARY_STREAM)
    stream = bytearray(data[i] for i in offsets)
    properties = summary_properties(stream)
    filetime = struct.pack("<Q", FILETIME_1970 + epoch * 10000000)
    for pid in (PID_LASTPRINTED, PID_CREATE_DTM, PID_LASTSAVE_DTM):
        if pid in properties and properties[pid][1] == VT_FILETIME:
            start = properties[pid][0]
            stream[start:start + 8] = filetime
    start, kind = properties.get(PID_REVNUMBER, (None, None))
    if kind != VT_LPSTR:
        raise ValueError("%s: the summary holds no package code" % path)
    length = struct.unpack_from("<I", stream, start)[0]
    code_at = slice(start + 4, start + 4 + 38)
    if length != 39 or not stream[code_at].startswith(b"{"):
        raise ValueError("%s: package code %r is no {GUID}" % (path, bytes(stream[code_at])))
    stream[code_at] = b"{%s}" % (b"0" * 8 + b"-0000" * 3 + b"-" + b"0" * 12)
    for i, value in zip(offsets, stream):
        data[i] = value
    code = uuid.UUID(bytes=hashlib.sha256(data).digest()[:16], version=4)
    stream[code_at] = ("{%s}" % str(code).upper()).encode("ascii")
    for i, value in zip(offsets, stream):
        data[i] = value
    with open(path, "wb") as f:
        f.write(data)


def product_code(version, arch):
    """One product code per version and architecture: Windows Installer
    tells the x86 and the x64 package, and each version, apart by it."""
    return str(uuid.uuid5(UPGRADE_CODE, "Orvel %s %s" % (version, arch))).upper()


def build(arch, version, programs, docs, output, epoch=None):
    """Runs wixl in a folder holding exactly the package's files: wixl 0.101
    takes no absolute source paths."""
    with tempfile.TemporaryDirectory(prefix="orvel-msi-") as stage:
        for table, directory in ((PROGRAMS, programs), (DOCS, docs)):
            for name, candidates in table.items():
                staged = os.path.join(stage, name)
                shutil.copyfile(find(directory, candidates), staged)
                if epoch is not None:
                    # The cabinet records each file's modification time.
                    os.utime(staged, (epoch, epoch))
        made = os.path.join(stage, "Orvel.msi")
        subprocess.run(["wixl", "-a", arch, "-D", "Version=" + version,
                        "-D", "ProductCode=" + product_code(version, arch), "-D", "BinDir=.",
                        "-D", "DocDir=.", "-o", made, WXS], cwd=stage, check=True)
        subprocess.run(["msibuild", made, "-q", MAKE_PERMANENT % (REGISTRY_KEY_PATH | PERMANENT)],
                       check=True)
        if epoch is not None:
            fix_summary(made, epoch)
        os.makedirs(os.path.dirname(os.path.abspath(output)), exist_ok=True)
        shutil.move(made, output)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[1])
    parser.add_argument("--arch", choices=("x86", "x64"), required=True)
    parser.add_argument("--version", required=True, help="a.b.c.d")
    parser.add_argument("--programs", required=True, help="folder with XKT.EXE and orvel.exe")
    parser.add_argument("--docs", required=True, help="folder with OPERATOR.txt and LICENSE")
    parser.add_argument("--epoch", default="", help="seconds since 1970 (SOURCE_DATE_EPOCH)")
    parser.add_argument("-o", "--output", required=True)
    args = parser.parse_args()
    epoch = args.epoch or os.environ.get("SOURCE_DATE_EPOCH", "")
    for tool in ("wixl", "msibuild"):
        if not shutil.which(tool):
            print("make_msi: %s is missing (Debian packages wixl and msitools; "
                  "scripts/install-deps installs them)" % tool, file=sys.stderr)
            return 1
    try:
        build(args.arch, args.version, args.programs, args.docs, args.output,
              int(epoch) if epoch else None)
    except (OSError, ValueError, subprocess.CalledProcessError) as error:
        print("make_msi: %s" % error, file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
