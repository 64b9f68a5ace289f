#!/usr/bin/env python3
"""XKT.EXE at 96 and at 144 DPI (150 %) under Wine: the picture scales with the window.

    test_dpi.py --win-build CROSS_BUILD_DIR [--arch win32|win64] [--shots DIR]

A DPI-aware program gets no bitmap stretching from Windows: its dialog grows
with the display's DPI, and the picture must grow with it or it shrinks
against the window. Each DPI runs in its own prefix, its
HKCU\\Control Panel\\Desktop "LogPixels" set before Wine starts. Checks the
picture's share of the window's width and height against 96 DPI, its size,
that it is the same picture (the 144-DPI capture reduced back compares with
the 96-DPI one), and that WM_DPICHANGED (a move to a monitor with another
DPI) resizes it both ways. Saves a screenshot of the window at each DPI
(orvel-96dpi.png, orvel-144dpi.png). Prints one line per check and closes
with "N passed, M failed"; exits 77 where the host cannot start the programs.
"""

import argparse
import os
import shutil
import struct
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "tools"))
sys.path.insert(0, HERE)

from checklist import Checks   # noqa: E402
import wineenv    # noqa: E402
import xktdrive   # noqa: E402

PICTURE_SIZE = (209, 80)        # bitmap 131 at 96 DPI
# At 150 % the window is taller than 768 pixels: a larger screen and Wine
# desktop, so that the screenshot holds all of it.
SCREEN_SIZE = "1280x1024"
SS_TYPEMASK, SS_BITMAP = 0x1F, 0x0E
SHARE_TOLERANCE = 0.03          # relative: "within a few per cent"
# Mean difference per channel (0-255) between the 96-DPI picture and the
# 144-DPI one reduced back: the filter softens edges a little; another
# picture, a blank one or a shifted one differs by far more.
SAME_PICTURE_LIMIT = 12

LOG_PIXELS_KEY = """
[Control Panel\\\\Desktop] {stamp}
"LogPixels"=dword:{dpi:08x}

[Software\\\\Wine\\\\Explorer\\\\Desktops] {stamp}
"Default"="{size}"
"""


def read_bmp(path):
    """(width, height, rows of (r, g, b)) of the 24-bit BMP that `shot` writes."""
    with open(path, "rb") as f:
        data = f.read()
    offset = struct.unpack_from("<I", data, 10)[0]
    width, height = struct.unpack_from("<ii", data, 18)
    stride = (width * 3 + 3) & ~3
    rows = []
    for y in range(abs(height)):
        source = height - 1 - y if height > 0 else y
        start = offset + source * stride
        rows.append([(data[start + 3 * x + 2], data[start + 3 * x + 1], data[start + 3 * x])
                     for x in range(width)])
    return width, abs(height), rows


def crop(rows, left, top, width, height):
    return [row[left:left + width] for row in rows[top:top + height]]


def reduced(rows, width, height):
    """rows (a picture) averaged down to width x height, area by area."""
    src_h, src_w = len(rows), len(rows[0])
    out = []
    for y in range(height):
        y0, y1 = y * src_h // height, max(y * src_h // height + 1, (y + 1) * src_h // height)
        line = []
        for x in range(width):
            x0, x1 = x * src_w // width, max(x * src_w // width + 1, (x + 1) * src_w // width)
            block = [p for row in rows[y0:y1] for p in row[x0:x1]]
            line.append(tuple(sum(p[c] for p in block) / len(block) for c in range(3)))
        out.append(line)
    return out


def mean_difference(a, b):
    total = count = 0
    for row_a, row_b in zip(a, b):
        for pa, pb in zip(row_a, row_b):
            total += sum(abs(pa[c] - pb[c]) for c in range(3))
            count += 3
    return total / max(count, 1)


def set_log_pixels(prefix, dpi):
    # Before any Wine process runs in the prefix: the server has no copy yet.
    with open(os.path.join(prefix, "user.reg"), "a") as reg:
        reg.write(LOG_PIXELS_KEY.format(stamp=int(time.time()), dpi=dpi, size=SCREEN_SIZE))


def picture_of(children):
    pictures = [c for c in children if c["class"].lower() == "static"
                and c["style"] & SS_TYPEMASK == SS_BITMAP]
    return pictures[0] if len(pictures) == 1 else None


def capture(driver, env, hwnd, picture, bmp, timeout=10):
    """Screenshot of the window as (shot rect, rows), once its picture shows.

    The first paint at a new DPI waits for fonts of a new size: until then
    the picture's place is one flat colour.
    """
    deadline = time.monotonic() + timeout
    while True:
        shot = driver.ok("shot", hwnd, env.windows_path(bmp))
        _, _, rows = read_bmp(bmp)
        left = picture["rect"][0] - shot["rect"][0]
        top = picture["rect"][1] - shot["rect"][1]
        pixels = crop(rows, left, top, *picture["rect"][2:])
        if len({p for row in pixels for p in row}) > 16 or time.monotonic() > deadline:
            return pixels
        time.sleep(0.3)


def wait_picture_size(driver, hwnd, size, timeout=5):
    """The picture's [w, h] once it is size, or its last size after timeout."""
    deadline = time.monotonic() + timeout
    while True:
        picture = picture_of(driver.ok("children", hwnd)["children"])
        current = picture["rect"][2:] if picture else None
        if current == list(size) or time.monotonic() > deadline:
            return current
        time.sleep(0.1)


def show_at(dpi, args, shots_dir, checks, run_root):
    """Runs XKT.EXE at dpi; returns its layout and picture, or None."""
    win_build = os.path.abspath(args.win_build)
    xkt_exe = os.path.join(win_build, "XKT.EXE")
    driver_exe = os.path.join(win_build, "tests", "wine", "xktdrive.exe")
    cache = args.cache or wineenv.default_cache(win_build)
    work = os.path.join(run_root, "%ddpi" % dpi)
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    wineenv.DESKTOP_SIZE = SCREEN_SIZE   # the Xvfb screen WineEnv starts
    env = wineenv.WineEnv(cache, os.path.join(work, "wine"), arch=args.arch)
    result = None
    with env:
        set_log_pixels(env.prefix, dpi)
        driver = xktdrive.Driver(env.start_session([driver_exe]))
        env.set_ports({})
        proc = env.run([xkt_exe], cwd=work)
        try:
            hwnd = driver.window("Orvel", int(15000 * wineenv.time_scale()))   # slower in the emulated guest
            if not checks.check(hwnd, "%d DPI: the main window \"Orvel\" appears" % dpi):
                return None
            layout = driver.ok("children", hwnd)
            picture = picture_of(layout["children"])
            if not checks.check(picture, "%d DPI: one bitmap picture in the window" % dpi):
                return None
            bmp = os.path.join(work, "window.bmp")
            pixels = capture(driver, env, hwnd, picture, bmp)
            png = os.path.join(shots_dir, "orvel-%ddpi.png" % dpi)
            xktdrive.bmp_to_png(bmp, png)
            result = {"window": layout["rect"][2:], "picture": picture["rect"][2:],
                      "pixels": pixels, "png": png}
            if dpi == 96:
                result["moved"] = check_dpi_changed(driver, hwnd, checks)
            driver.close()
        finally:
            if proc.poll() is None:
                proc.kill()
            proc.wait()
    return result


def check_dpi_changed(driver, hwnd, checks):
    """A move to a 144-DPI monitor and back, as Windows announces it.

    Returns the picture's size on the 144-DPI monitor: compare() holds it
    against the picture of a window that started at 144 DPI.
    """
    driver.ok("dpichanged", hwnd, 144)
    deadline = time.monotonic() + 5
    size = list(PICTURE_SIZE)
    while size == list(PICTURE_SIZE) and time.monotonic() < deadline:
        time.sleep(0.1)
        size = picture_of(driver.ok("children", hwnd)["children"])["rect"][2:]
    moved = size
    driver.ok("dpichanged", hwnd, 96)
    size = wait_picture_size(driver, hwnd, list(PICTURE_SIZE))
    checks.check(size == list(PICTURE_SIZE), "WM_DPICHANGED back to 96 DPI: picture %s, wanted %s"
                 % (size, list(PICTURE_SIZE)))
    return moved


def compare(normal, large, checks):
    ratio = large["window"][0] / normal["window"][0]
    checks.check(1.35 <= ratio <= 1.65, "the window at 144 DPI is %.2f times as wide as at 96 DPI "
                 "(%s, %s): LogPixels took effect" % (ratio, normal["window"], large["window"]))
    for axis, name in ((0, "width"), (1, "height")):
        share_96 = normal["picture"][axis] / normal["window"][axis]
        share_144 = large["picture"][axis] / large["window"][axis]
        checks.check(abs(share_144 / share_96 - 1) <= SHARE_TOLERANCE,
                     "picture's share of the window's %s: %.1f %% at 96 DPI, %.1f %% at 144 DPI"
                     % (name, 100 * share_96, 100 * share_144))
    checks.check(normal["picture"] == list(PICTURE_SIZE),
                 "picture at 96 DPI %s, bitmap 131 as it is" % normal["picture"])
    growth = [large["picture"][axis] / PICTURE_SIZE[axis] for axis in (0, 1)]
    checks.check(all(1.35 <= g <= 1.65 for g in growth),
                 "picture at 144 DPI %s, %.2f x %.2f times bitmap 131" % (large["picture"], *growth))
    checks.check(normal["moved"] == large["picture"],
                 "WM_DPICHANGED to 144 DPI: picture %s, as at a start at 144 DPI (%s)"
                 % (normal["moved"], large["picture"]))
    difference = mean_difference(normal["pixels"],
                                 reduced(large["pixels"], *PICTURE_SIZE))
    checks.check(difference <= SAME_PICTURE_LIMIT,
                 "the 144-DPI picture reduced back differs from the 96-DPI one by %.1f per "
                 "channel on average (at most %d)" % (difference, SAME_PICTURE_LIMIT))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[1])
    parser.add_argument("--win-build", required=True, help="the cross build directory")
    parser.add_argument("--arch", choices=wineenv.ARCHES, default="win32")
    parser.add_argument("--cache", help="template prefix cache (default: wine-cache beside WIN_BUILD)")
    parser.add_argument("--shots", help="where the screenshots go (default: WIN_BUILD/wine-dpi)")
    args = parser.parse_args()
    wineenv.exit_unless_host_runs(args.arch, "the DPI test")

    run_root = os.path.join(os.path.abspath(args.win_build), "wine-dpi")
    shots_dir = os.path.abspath(args.shots or run_root)
    os.makedirs(shots_dir, exist_ok=True)
    checks = Checks()
    started = time.monotonic()
    try:
        normal = show_at(96, args, shots_dir, checks, run_root)
        large = show_at(144, args, shots_dir, checks, run_root)
    except (wineenv.WineError, xktdrive.DriverError, RuntimeError, OSError) as error:
        checks.check(False, "%s: %s" % (type(error).__name__, error))
        normal = large = None
    if normal and large:
        compare(normal, large, checks)
        print("screenshots: %s, %s" % (normal["png"], large["png"]))
    print("DPI test took %.1f s" % (time.monotonic() - started))
    print("%d passed, %d failed" % (checks.passed, checks.failed))
    return 0 if checks.failed == 0 and normal and large else 1


if __name__ == "__main__":
    sys.exit(main())
