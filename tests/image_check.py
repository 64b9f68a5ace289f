#!/usr/bin/env python3
"""Checks a cross-built Windows program without running it.

    image_check.py --arch win32|win64 [--console] [--allow DLL]... PROGRAM.EXE

It must be a program (not a DLL) for the architecture's processor, of the
GUI subsystem (or the console one with --console), and import nothing but
DLLs that every Windows has (and those named with --allow), so that it runs
from a bare folder. A console program must not import USER32: its console
would then not tell it of a logoff or shutdown, and it could not clean up.
Its application manifest must ask for no elevation and name the Windows
versions it was made for; a GUI program's must also declare per-monitor DPI
awareness and ask for Common Controls 6 (visual styles). It must ask Windows
for the protections the architecture has (ASLR with the relocations it
needs, DEP, high-entropy ASLR on 64-bit), and its header must carry the
build's time (SOURCE_DATE_EPOCH, as recorded in its build folder's
source-date-epoch), not the moment it was linked. Prints one line per check
and closes with "N passed, M failed".
"""

import argparse
import os
import struct
import sys
import xml.etree.ElementTree as ET

MACHINES = {"win32": 0x014C, "win64": 0x8664}        # IMAGE_FILE_MACHINE_I386, _AMD64
MAGICS = {"win32": 0x10B, "win64": 0x20B}            # PE32, PE32+
SUBSYSTEM_GUI, SUBSYSTEM_CONSOLE = 2, 3
IMAGE_FILE_EXECUTABLE_IMAGE, IMAGE_FILE_DLL = 0x0002, 0x2000
SYSTEM_DLLS = {"kernel32.dll", "user32.dll", "gdi32.dll", "msvcrt.dll"}
RT_MANIFEST, CREATEPROCESS_MANIFEST_RESOURCE_ID = 24, 1
IMAGE_FILE_RELOCS_STRIPPED = 0x0001
# The protections a program asks Windows for in its header's DLL
# characteristics: (flag, what it gives, the architectures that need it).
PROTECTIONS = [
    (0x0040, "ASLR (DYNAMIC_BASE)", {"win32", "win64"}),
    (0x0100, "DEP (NX_COMPAT)", {"win32", "win64"}),
    (0x0020, "high-entropy ASLR (HIGH_ENTROPY_VA)", {"win64"}),
]

ASM_V1 = "{urn:schemas-microsoft-com:asm.v1}"
ASM_V3 = "{urn:schemas-microsoft-com:asm.v3}"
COMPATIBILITY = "{urn:schemas-microsoft-com:compatibility.v1}"
SETTINGS_2005 = "{http://schemas.microsoft.com/SMI/2005/WindowsSettings}"
SETTINGS_2016 = "{http://schemas.microsoft.com/SMI/2016/WindowsSettings}"
SUPPORTED_OS = {
    "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}": "Windows 7",
    "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}": "Windows 8",
    "{1f676c76-80e1-4239-95bb-83d0f6d0da78}": "Windows 8.1",
    "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}": "Windows 10/11",
}
COMMON_CONTROLS = {"type": "win32", "name": "Microsoft.Windows.Common-Controls",
                   "version": "6.0.0.0", "processorArchitecture": "*",
                   "publicKeyToken": "6595b64144ccf1df", "language": "*"}


class Image:
    """The few header fields and the import list of a PE file."""

    def __init__(self, data):
        self.data = data
        if data[:2] != b"MZ":
            raise ValueError("no MZ header")
        pe = struct.unpack_from("<I", data, 0x3C)[0]
        if data[pe:pe + 4] != b"PE\0\0":
            raise ValueError("no PE signature")
        (self.machine, sections, self.time_stamp, _, _, optional_size,
         self.characteristics) = struct.unpack_from("<HHIIIHH", data, pe + 4)
        optional = pe + 24
        self.magic = struct.unpack_from("<H", data, optional)[0]
        self.subsystem, self.dll_characteristics = struct.unpack_from("<HH", data, optional + 68)
        directories = optional + (96 if self.magic == 0x10B else 112)
        self.import_rva = struct.unpack_from("<I", data, directories + 8)[0]
        self.resource_rva = struct.unpack_from("<I", data, directories + 16)[0]
        self.relocations_size = struct.unpack_from("<I", data, directories + 5 * 8 + 4)[0]
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


    def resource(self, kind, ident):
        """The bytes of resource kind/ident (first language), or None."""
        if not self.resource_rva:
            return None
        root = self._offset(self.resource_rva)
        entry = None
        for wanted in (kind, ident, None):
            directory = root + (entry & 0x7FFFFFFF if entry is not None else 0)
            named, numbered = struct.unpack_from("<HH", self.data, directory + 12)
            entries = [struct.unpack_from("<II", self.data, directory + 16 + 8 * i)
                       for i in range(named + numbered)]
            found = [target for name, target in entries if wanted is None or name == wanted]
            if not found:
                return None
            entry = found[0]
            if not entry & 0x80000000:
                break
        rva, size = struct.unpack_from("<II", self.data, root + entry)
        start = self._offset(rva)
        return self.data[start:start + size]


def manifest_checks(image, console):
    """The application manifest's entries, one check each."""
    text = image.resource(RT_MANIFEST, CREATEPROCESS_MANIFEST_RESOURCE_ID)
    if text is None:
        return [(False, "an application manifest (resource %d of type %d)"
                 % (CREATEPROCESS_MANIFEST_RESOURCE_ID, RT_MANIFEST))]
    try:
        root = ET.fromstring(text)
    except ET.ParseError as error:
        return [(False, "the application manifest is well-formed XML: %s" % error)]
    results = [(True, "an application manifest (%d bytes)" % len(text))]

    levels = [e.get("level") for e in root.iter(ASM_V3 + "requestedExecutionLevel")]
    results.append((levels == ["asInvoker"], "manifest: execution level asInvoker (%s)"
                    % ", ".join(map(str, levels))))
    named = {e.get("Id", "").lower() for e in root.iter(COMPATIBILITY + "supportedOS")}
    missing = [name for guid, name in SUPPORTED_OS.items() if guid not in named]
    results.append((not missing, "manifest: supportedOS Windows 7, 8, 8.1 and 10/11"
                    + (": not %s" % ", ".join(missing) if missing else "")))
    if console:
        return results

    aware = [e.text.strip() for e in root.iter(SETTINGS_2005 + "dpiAware")]
    awareness = [[v.strip() for v in e.text.split(",")]
                 for e in root.iter(SETTINGS_2016 + "dpiAwareness")]
    results.append((awareness[:1] and awareness[0][:1] == ["PerMonitorV2"],
                    "manifest: dpiAwareness PerMonitorV2 first (%s)" % awareness))
    results.append((aware == ["true/pm"], "manifest: dpiAware true/pm for older Windows (%s)"
                    % aware))
    dependencies = [e.attrib for e in root.findall(".//%sdependentAssembly/%sassemblyIdentity"
                                                   % (ASM_V1, ASM_V1))]
    results.append((COMMON_CONTROLS in dependencies,
                    "manifest: depends on Common Controls 6.0 (%s)"
                    % ", ".join("%s %s" % (d.get("name"), d.get("version")) for d in dependencies)))
    return results


def protection_checks(image, arch):
    results = [(bool(image.dll_characteristics & flag),
                "%s (DLL characteristics 0x%04x)" % (what, image.dll_characteristics))
               for flag, what, needed in PROTECTIONS if arch in needed]
    # Without its relocations a program cannot be moved, whatever it asks for.
    results.append((image.relocations_size > 0
                    and not image.characteristics & IMAGE_FILE_RELOCS_STRIPPED,
                    "relocations kept for ASLR (%d bytes)" % image.relocations_size))
    return results


def build_epoch(program):
    """The SOURCE_DATE_EPOCH the program's build folder was configured with,
    or None outside a build folder."""
    folder = os.path.dirname(os.path.abspath(program))
    for _ in range(3):
        path = os.path.join(folder, "source-date-epoch")
        if os.path.isfile(path):
            with open(path) as f:
                text = f.read().strip()
            return int(text) if text else None
        folder = os.path.dirname(folder)
    return None


def checks(image, arch, console, allowed=(), epoch=None):
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
    ] + protection_checks(image, arch) + manifest_checks(image, console)
    if epoch is not None:
        results.append((image.time_stamp == epoch, "header time %d, the build's SOURCE_DATE_EPOCH %d"
                        % (image.time_stamp, epoch)))
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
        results = checks(image, args.arch, args.console, args.allow, build_epoch(args.program))
    except (OSError, ValueError, struct.error) as error:
        results = [(False, "%s is a readable PE image: %s" % (args.program, error))]
    for ok, what in results:
        print("%s %s" % ("ok  " if ok else "FAIL", what))
    failed = sum(1 for ok, _ in results if not ok)
    print("%d passed, %d failed" % (len(results) - failed, failed))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
