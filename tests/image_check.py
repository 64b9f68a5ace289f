#!/usr/bin/env python3
"""Checks a cross-built Windows program without running it.

    image_check.py --arch win32|win64 [--console] [--allow DLL]... PROGRAM.EXE

It must be a program (not a DLL) for the architecture's processor, of the
GUI subsystem (or the console one with --console), and import nothing but
DLLs that every Windows has (and those named with --allow), so that it runs
from a bare folder. A console program must not import USER32: its console
would then not tell it of a logoff or shutdown, and it could not clean up.
Prints one line per check and closes with "N passed, M failed".
"""

import argparse
import struct
import sys

MACHINES = {"win32": 0x014C, "win64": 0x8664}        # IMAGE_FILE_MACHINE_I386, _AMD64
MAGICS = {"win32": 0x10B, "win64": 0x20B}            # PE32, PE32+
SUBSYSTEM_GUI, SUBSYSTEM_CONSOLE = 2, 3
IMAGE_FILE_EXECUTABLE_IMAGE, IMAGE_FILE_DLL = 0x0002, 0x2000
SYSTEM_DLLS = {"kernel32.dll", "user32.dll", "gdi32.dll", "msvcrt.dll"}


class Image:
    """The few header fields and the import list of a PE file."""

    def __init__(self, data):
        self.data = data
        if data[:2] != b"MZ":
            raise ValueError("no MZ header")
        pe = struct.unpack_from("<I", data, 0x3C)[0]
        if data[pe:pe + 4] != b"PE\0\0":
            raise ValueError("no PE signature")
        (self.machine, sections, _, _, _, optional_size,
         self.characteristics) = struct.unpack_from("<HHIIIHH", data, pe + 4)
        optional = pe + 24
        self.magic = struct.unpack_from("<H", data, optional)[0]
        self.subsystem = struct.unpack_from("<H", data, optional + 68)[0]
        directories = optional + (96 if self.magic == 0x10B else 112)
        self.import_rva = struct.unpack_from("<I", data, directories + 8)[0]
        table = optional + optional_size
        self.sections = [struct.unpack_from("<8sIIII", data, table + 40 * i)
                         for i in range(sections)]

    def _offset(self, rva):
        for _, size, address, raw_size, raw in self.sections:
            if address <= rva < address + max(size, raw_size):
                return rva - address + raw
        raise ValueError("address 0x%x is in no section" % rva)

    def imports(self):
        names = []
        if not self.import_rva:
            return names
        entry = self._offset(self.import_rva)
        while True:
            fields = struct.unpack_from("<IIIII", self.data, entry)
            if not any(fields):
                return names
            start = self._offset(fields[3])
            names.append(self.data[start:self.data.index(b"\0", start)].decode("ascii"))
            entry += 20


def checks(image, arch, console, allowed=()):
    subsystem = SUBSYSTEM_CONSOLE if console else SUBSYSTEM_GUI
    known = SYSTEM_DLLS | {name.lower() for name in allowed}
    foreign = sorted(name for name in image.imports() if name.lower() not in known)
    results = [
        (image.machine == MACHINES[arch] and image.magic == MAGICS[arch],
         "built for %s (machine 0x%04x, magic 0x%x)" % (arch, image.machine, image.magic)),
        (image.characteristics & IMAGE_FILE_EXECUTABLE_IMAGE
         and not image.characteristics & IMAGE_FILE_DLL,
         "a program, not a DLL (characteristics 0x%04x)" % image.characteristics),
        (image.subsystem == subsystem,
         "%s subsystem (%d)" % ("console" if console else "GUI", image.subsystem)),
        (not foreign and image.imports(),
         "imports only Windows' own DLLs (%s)" % ", ".join(image.imports())
         + (": not %s" % ", ".join(foreign) if foreign else "")),
    ]
    if console:
        results.append((not any(name.lower() == "user32.dll" for name in image.imports()),
                        "no USER32, so the console reports logoff and shutdown"))
    return results


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[1])
    parser.add_argument("--arch", choices=sorted(MACHINES), required=True)
    parser.add_argument("--console", action="store_true", help="a console program")
    parser.add_argument("--allow", action="append", default=[], metavar="DLL",
                        help="a further DLL of Windows' own this program may import")
    parser.add_argument("program")
    args = parser.parse_args()
    try:
        with open(args.program, "rb") as f:
            image = Image(f.read())
        results = checks(image, args.arch, args.console, args.allow)
    except (OSError, ValueError, struct.error) as error:
        results = [(False, "%s is a readable PE image: %s" % (args.program, error))]
    for ok, what in results:
        print("%s %s" % ("ok  " if ok else "FAIL", what))
    failed = sum(1 for ok, _ in results if not ok)
    print("%d passed, %d failed" % (len(results) - failed, failed))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
