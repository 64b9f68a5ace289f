#!/usr/bin/env python3
"""Orvel's MSI packages: built from packaging/Orvel.wxs, their tables, and under Wine.

    test_msi.py tables --build NAME=DIR ...   build each package, check its tables,
                                              and that it builds again to the same bytes
    test_msi.py wine --build x64=DIR          install and uninstall it under Wine

NAME is x86 or x64, DIR the cross build with that architecture's XKT.EXE and
cli/orvel.exe. The packages go to OUT (--out, default msi-test/ in the
current folder). `wine` installs the package silently into a fresh prefix of
the matching Wine architecture, checks the programs, the Start-menu shortcut
and its working folder, puts a data file into Documents\\Orvel, uninstalls,
and checks that the programs and the shortcut went and the data stayed; then
that a newer version replaces an installed one. Prints one line per check
and closes with "N passed, M failed"; exits 77 when the tools or the Wine
architecture are missing.
"""

import argparse
import os
import re
import shutil
import struct
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.normpath(os.path.join(HERE, "..", ".."))
sys.path.insert(0, os.path.join(SOURCE, "tools"))

from checklist import Checks, version   # noqa: E402
import wineenv   # noqa: E402

MAKE_MSI = os.path.join(SOURCE, "packaging", "make_msi.py")
SKIP = 77
FILES = ["XKT.EXE", "orvel.exe", "OPERATOR.txt", "LICENSE.txt"]
TEMPLATES = {"x86": "Intel;1033", "x64": "x64;1033"}
WINE_ARCH = {"x86": "win32", "x64": "win64"}
PERMANENT, REGISTRY_KEY_PATH = 0x10, 0x4
ELEVATION_NOT_REQUIRED = 0x8     # word count bit of the summary information
HKCU = 1


# The time the packages are stamped with: the build's, else any fixed one.
EPOCH = int(os.environ.get("SOURCE_DATE_EPOCH") or 1700000000)


def make_msi(arch, build, out, package_version):
    path = os.path.join(out, "Orvel-%s-%s.msi" % (package_version, arch))
    subprocess.run([sys.executable, MAKE_MSI, "--arch", arch, "--version", package_version,
                    "--epoch", str(EPOCH), "--programs", build, "--docs", SOURCE, "-o", path], check=True)
    return path


def check_reproducible(packages, builds, out, checks):
    """Each package built again, seconds later from fresh copies of its
    files, is the same bytes; the time in its summary is the epoch, and
    the architectures' packages have codes of their own."""
    codes = {}
    for arch, msi in sorted(packages.items()):
        name = os.path.basename(msi)
        info = summary_info(msi)
        wanted = time.localtime(EPOCH)[:6]
        for field in ("Created", "Last saved"):
            try:
                stamped = time.strptime(info.get(field, ""), "%a %b %d %H:%M:%S %Y")[:6]
            except ValueError:
                stamped = None
            checks.check(stamped == wanted, "%s: %s %s, the epoch %d" % (name, field, info.get(field), EPOCH))
        time.sleep(1.5)   # wixl's own stamp would differ now
        again = make_msi(arch, builds[arch], os.path.join(out, "again"), version())
        with open(msi, "rb") as f, open(again, "rb") as g:
            same = f.read() == g.read()
        checks.check(same, "%s: built again, the same bytes" % name)
        properties = {row["Property"]: row["Value"] for row in table(msi, "Property")}
        codes[arch] = (info.get("Revision number (UUID)"), properties.get("ProductCode"))
    if len(codes) == 2:
        (package_a, product_a), (package_b, product_b) = codes.values()
        checks.check(package_a != package_b and product_a != product_b,
                     "the architectures' packages differ in package code (%s, %s) and product code (%s, %s)"
                     % (package_a, package_b, product_a, product_b))


def table(msi, name):
    """Rows of an MSI table as dicts (msiinfo export)."""
    text = subprocess.run(["msiinfo", "export", msi, name], check=True,
                          stdout=subprocess.PIPE).stdout.decode("utf-8", "replace")
    lines = text.splitlines()
    columns = lines[0].split("\t")
    return [dict(zip(columns, line.split("\t") + [""] * len(columns))) for line in lines[3:]]


def summary_info(msi):
    text = subprocess.run(["msiinfo", "suminfo", msi], check=True,
                          stdout=subprocess.PIPE).stdout.decode("utf-8", "replace")
    return dict(line.split(": ", 1) for line in text.splitlines() if ": " in line)


def directory_path(directories, key):
    """The folder chain of a Directory key, e.g. LocalAppDataFolder/Programs/Orvel."""
    parts = []
    while key and key != "TARGETDIR":
        row = directories[key]
        name = row["DefaultDir"].split("|")[-1]
        parts.append(key if name == "." else name)
        key = row["Directory_Parent"]
    return "/".join(reversed(parts))


def check_tables(msi, arch, checks):
    name = os.path.basename(msi)
    directories = {row["Directory"]: row for row in table(msi, "Directory")}
    components = {row["Component"]: row for row in table(msi, "Component")}
    properties = {row["Property"]: row["Value"] for row in table(msi, "Property")}
    info = summary_info(msi)

    checks.check(properties.get("ProductVersion") == version(),
                 "%s: ProductVersion %s, as res/XKTVersion.h" % (name, properties.get("ProductVersion")))
    checks.check(info.get("Template") == TEMPLATES[arch],
                 "%s: platform %s" % (name, info.get("Template")))

    files = {row["FileName"]: row for row in table(msi, "File")}
    checks.check(sorted(files) == sorted(FILES), "%s: files %s" % (name, sorted(files)))
    folders = {directory_path(directories, components[row["Component_"]]["Directory_"])
               for row in files.values()}
    checks.check(folders == {"LocalAppDataFolder/Programs/Orvel"},
                 "%s: the files go to %s" % (name, ", ".join(sorted(folders))))

    shortcuts = table(msi, "Shortcut")
    shortcut = shortcuts[0] if len(shortcuts) == 1 else {}
    checks.check(shortcut.get("Name") == "Orvel" and shortcut.get("Directory_") == "ProgramMenuFolder",
                 "%s: one Start-menu shortcut \"Orvel\" (%d in all)" % (name, len(shortcuts)))
    target_dir = components.get("Programs", {}).get("Directory_")
    checks.check(shortcut.get("Target") == "[%s]XKT.EXE" % target_dir,
                 "%s: the shortcut starts %s" % (name, shortcut.get("Target")))
    work_dir = shortcut.get("WkDir", "")
    checks.check(work_dir in directories and directory_path(directories, work_dir) == "PersonalFolder/Orvel",
                 "%s: the shortcut's working folder is %s" % (
                     name, directory_path(directories, work_dir) if work_dir in directories else work_dir))
    created = [row["Component_"] for row in table(msi, "CreateFolder") if row["Directory_"] == work_dir]
    checks.check(len(created) == 1 and int(components[created[0]]["Attributes"]) & PERMANENT,
                 "%s: the installer makes the data folder, and no uninstall removes it (%s)"
                 % (name, [(c, components[c]["Attributes"]) for c in created]))

    # Per user: no ALLUSERS, no elevation, nothing outside the user's hive.
    checks.check("ALLUSERS" not in properties and "MSIINSTALLPERUSER" not in properties
                 or properties.get("MSIINSTALLPERUSER") == "1",
                 "%s: no per-machine install (ALLUSERS %r)" % (name, properties.get("ALLUSERS")))
    word_count = int(info.get("Source", "0").split()[0])
    checks.check(word_count & ELEVATION_NOT_REQUIRED,
                 "%s: needs no administrator rights (word count %d)" % (name, word_count))
    registry = table(msi, "Registry")
    checks.check(registry and all(int(row["Root"]) == HKCU for row in registry),
                 "%s: registry entries only in HKCU (%s)" % (name, [row["Root"] for row in registry]))
    machine_folders = [key for key in directories if key.startswith(("ProgramFiles", "System", "Windows"))]
    checks.check(not machine_folders, "%s: no machine-wide folders (%s)" % (name, machine_folders))

    upgrades = table(msi, "Upgrade")
    code = properties.get("UpgradeCode")
    older = [row for row in upgrades if row["UpgradeCode"] == code and row["VersionMax"] == version()
             and not int(row["Attributes"]) & 0x2]   # 0x2: only detect
    sequence = [row["Action"] for row in table(msi, "InstallExecuteSequence")]
    checks.check(older and "RemoveExistingProducts" in sequence and "FindRelatedProducts" in sequence,
                 "%s: an older version with upgrade code %s is removed (versions below %s)"
                 % (name, code, [row["VersionMax"] for row in older]))


# ---- under Wine --------------------------------------------------------------

def lnk_working_dir(path):
    """The working folder a Shell Link (.lnk) names, or None."""
    with open(path, "rb") as f:
        data = f.read()
    flags = struct.unpack_from("<I", data, 0x14)[0]
    offset = 0x4C
    if flags & 0x1:                       # HasLinkTargetIDList
        offset += 2 + struct.unpack_from("<H", data, offset)[0]
    if flags & 0x2:                       # HasLinkInfo
        offset += struct.unpack_from("<I", data, offset)[0]
    unicode = flags & 0x80
    for bit in (0x4, 0x8, 0x10):          # name, relative path, working folder
        if not flags & bit:
            if bit == 0x10:
                return None
            continue
        count = struct.unpack_from("<H", data, offset)[0]
        size = count * (2 if unicode else 1)
        text = data[offset + 2:offset + 2 + size]
        offset += 2 + size
        if bit == 0x10:
            return text.decode("utf-16-le" if unicode else "mbcs" if os.name == "nt" else "latin-1")
    return None


def msiexec(env, *args):
    proc = env.run(["msiexec"] + list(args), stdout=subprocess.DEVNULL)
    try:
        return proc.wait(timeout=180)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait()
        return "no end within 180 s"


def user_folder(prefix):
    users = os.path.join(prefix, "drive_c", "users")
    names = [n for n in os.listdir(users) if n.lower() != "public"]
    return os.path.join(users, names[0])


def run_wine(build, out, cache, checks):
    arch = "x64"
    wine_arch = WINE_ARCH[arch]
    msi = make_msi(arch, build, out, version())
    newer_version = "%s.%s.%d.%s" % (*version().split(".")[:2], int(version().split(".")[2]) + 1,
                                     version().split(".")[3])
    newer = make_msi(arch, build, os.path.join(out, "newer"), newer_version)
    run_dir = os.path.join(out, "wine")
    shutil.rmtree(run_dir, ignore_errors=True)
    # Wine links Documents and Desktop to $HOME; the installer's folders and
    # Wine's menu entries must stay in the throwaway prefix.
    wineenv.WINE_SETTINGS = dict(wineenv.WINE_SETTINGS)
    wineenv.WINE_SETTINGS["WINEDLLOVERRIDES"] += ";winemenubuilder.exe=d"
    with wineenv.WineEnv(cache, run_dir, arch=wine_arch) as env:
        user = user_folder(env.prefix)
        for link in ("Documents", "Desktop"):
            path = os.path.join(user, link)
            if os.path.islink(path):
                os.unlink(path)
                os.makedirs(path)
        programs = os.path.join(user, "AppData", "Local", "Programs", "Orvel")
        data = os.path.join(user, "Documents", "Orvel")
        menu = os.path.join(user, "AppData", "Roaming", "Microsoft", "Windows", "Start Menu",
                            "Programs", "Orvel.lnk")

        started = time.monotonic()
        code = msiexec(env, "/i", env.windows_path(msi), "/qn")
        checks.check(code == 0, "msiexec /i %s /qn: exit %s (%.1f s)"
                     % (os.path.basename(msi), code, time.monotonic() - started))
        for name in FILES:
            checks.check(os.path.isfile(os.path.join(programs, name)),
                         "installed: %s" % os.path.join(programs, name))
        with open(os.path.join(build, "XKT.EXE"), "rb") as a, \
                open(os.path.join(programs, "XKT.EXE"), "rb") as b:
            checks.check(a.read() == b.read(), "installed XKT.EXE is the x64 build's")
        checks.check(os.path.isfile(menu), "Start-menu shortcut: %s" % menu)
        work = lnk_working_dir(menu) if os.path.isfile(menu) else None
        wanted = env.windows_path(data)
        work = work and work.rstrip("\0 \\")
        checks.check(work and work.lower() == wanted.lower(),
                     "the shortcut's working folder: %s (wanted %s)" % (work, wanted))
        checks.check(os.path.isdir(data), "the installer made %s" % data)

        saved = os.path.join(data, "run1.txt")
        if os.path.isdir(data):
            with open(saved, "wb") as f:
                f.write(b"2024-03-05 09:15:00   12.50 kV\r\n")
        started = time.monotonic()
        code = msiexec(env, "/x", env.windows_path(msi), "/qn")
        checks.check(code == 0, "msiexec /x %s /qn: exit %s (%.1f s)"
                     % (os.path.basename(msi), code, time.monotonic() - started))
        checks.check(not os.path.exists(os.path.join(programs, "XKT.EXE")) and not os.path.exists(programs),
                     "uninstalled: %s is gone" % programs)
        checks.check(not os.path.exists(menu), "uninstalled: the shortcut is gone")
        kept = open(saved, "rb").read() if os.path.isfile(saved) else None
        checks.check(kept == b"2024-03-05 09:15:00   12.50 kV\r\n",
                     "the operator's data file survived the uninstall: %s" % saved)

        # A newer version replaces the installed one: afterwards Windows
        # Installer knows the older product no more (1605: not installed).
        os.remove(saved)
        code_old = msiexec(env, "/i", env.windows_path(msi), "/qn")
        code_new = msiexec(env, "/i", env.windows_path(newer), "/qn")
        checks.check((code_old, code_new) == (0, 0),
                     "%s, then %s installed (exit %s, %s)" % (version(), newer_version, code_old, code_new))
        old_product = {row["Property"]: row["Value"] for row in table(msi, "Property")}["ProductCode"]
        code = msiexec(env, "/x", old_product, "/qn")
        # Linux keeps the low 8 bits of a Windows exit code: 1605 arrives as 69.
        checks.check(code == 1605 & 0xFF, "the older version is no longer installed after the upgrade "
                     "(msiexec /x of its product code: exit %s, 1605 & 0xFF wanted)" % code)
        code = msiexec(env, "/x", env.windows_path(newer), "/qn")
        checks.check(code == 0 and not os.path.exists(programs),
                     "the newer version uninstalls, and the programs are gone (exit %s)" % code)
        checks.check(os.path.isdir(data), "an empty data folder stays too: %s" % data)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[1])
    parser.add_argument("mode", choices=("tables", "wine"))
    parser.add_argument("--build", action="append", default=[], metavar="ARCH=DIR",
                        help="x86=DIR or x64=DIR: a cross build with XKT.EXE and cli/orvel.exe")
    parser.add_argument("--out", default="msi-test", help="where the packages go")
    parser.add_argument("--cache", help="Wine template cache (default: wine-cache beside the build)")
    args = parser.parse_args()
    builds = dict(item.split("=", 1) for item in args.build)
    missing = [tool for tool in ("wixl", "msibuild", "msiinfo") if not shutil.which(tool)]
    if missing:
        print("skipped: %s missing (Debian packages wixl, msitools)" % ", ".join(missing))
        return SKIP
    out = os.path.abspath(args.out)
    os.makedirs(out, exist_ok=True)
    checks = Checks()
    try:
        if args.mode == "tables":
            packages = {}
            for arch, build in sorted(builds.items()):
                packages[arch] = make_msi(arch, build, out, version())
                check_tables(packages[arch], arch, checks)
            check_reproducible(packages, builds, out, checks)
        else:
            build = builds.get("x64")
            if not build:
                print("skipped: no x64 build given")
                return SKIP
            wineenv.exit_unless_host_runs(WINE_ARCH["x64"], "the MSI under Wine")
            run_wine(build, out, args.cache or wineenv.default_cache(build), checks)
    except (subprocess.CalledProcessError, OSError, wineenv.WineError) as error:
        checks.check(False, "%s: %s" % (type(error).__name__, error))
    return checks.summary()


if __name__ == "__main__":
    sys.exit(main())
