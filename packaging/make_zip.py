#!/usr/bin/env python3
"""Packs a folder into Orvel's release zip, the same bytes for the same files.

    make_zip.py [--epoch SECONDS] -o OUT.zip FOLDER

The entries are FOLDER's files and folders under FOLDER's own name, in
sorted order, each stamped with the time SECONDS (SOURCE_DATE_EPOCH; the
environment's when not given, else the time of the newest file) and with
fixed permissions. Nothing else of the machine or the moment gets into the
zip: no owner, no access or change time (the extended-time field that other
zip writers add), no order that follows the file system.
"""

import argparse
import os
import sys
import time
import zipfile

# What unzip on Unix restores; Windows reads only the DOS attribute byte.
FILE_MODE = 0o100644
FOLDER_MODE = 0o040755
DOS_DIRECTORY = 0x10
# The earliest time a zip entry can hold.
ZIP_EPOCH = (1980, 1, 1, 0, 0, 0)


def entries(folder):
    """(name in the zip, path on disk or None for a folder), sorted."""
    base = os.path.basename(os.path.normpath(folder))
    found = [(base + "/", None)]
    for root, dirs, files in os.walk(folder):
        relative = os.path.relpath(root, folder)
        prefix = base + "/" + ("" if relative == "." else relative.replace(os.sep, "/") + "/")
        found += [(prefix + d + "/", None) for d in dirs]
        found += [(prefix + f, os.path.join(root, f)) for f in files]
    return sorted(found)


def stamp(epoch):
    """The zip's date and time for SOURCE_DATE_EPOCH (UTC, two-second steps)."""
    return max(ZIP_EPOCH, time.gmtime(epoch)[:6])


def write(output, folder, epoch):
    date_time = stamp(epoch)
    with zipfile.ZipFile(output + ".part", "w", zipfile.ZIP_DEFLATED, compresslevel=9) as archive:
        for name, path in entries(folder):
            info = zipfile.ZipInfo(name, date_time)
            info.create_system = 3   # Unix, so that the modes below count
            if path is None:
                info.external_attr = FOLDER_MODE << 16 | DOS_DIRECTORY
                archive.writestr(info, b"")
            else:
                info.external_attr = FILE_MODE << 16
                info.compress_type = zipfile.ZIP_DEFLATED
                with open(path, "rb") as f:
                    archive.writestr(info, f.read(), compresslevel=9)
    os.replace(output + ".part", output)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[1])
    parser.add_argument("--epoch", default="", help="seconds since 1970 (SOURCE_DATE_EPOCH)")
    parser.add_argument("-o", "--output", required=True)
    parser.add_argument("folder")
    args = parser.parse_args()
    epoch = args.epoch or os.environ.get("SOURCE_DATE_EPOCH", "")
    try:
        if not os.path.isdir(args.folder):
            raise OSError("%s is no folder" % args.folder)
        if not epoch:
            epoch = max(os.path.getmtime(path) for _, path in entries(args.folder) if path)
        write(args.output, args.folder, int(epoch))
    except (OSError, ValueError) as error:
        print("make_zip: %s" % error, file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
