"""Python side of xktdrive: one command out, one JSON line back."""

import json
import queue
import threading


class DriverError(RuntimeError):
    pass


def escape(field):
    out = []
    for c in str(field):
        if c == "\\":
            out.append("\\\\")
        elif c == "\t":
            out.append("\\t")
        elif c == "\n":
            out.append("\\n")
        elif c == "\r":
            out.append("\\r")
        elif " " <= c <= "~":
            out.append(c)
        else:
            out.append("\\u%04x" % ord(c))
    return "".join(out)


class Driver:
    """Talks to a running `wine xktdrive.exe` (a Popen with stdin/stdout pipes)."""

    def __init__(self, proc):
        self.proc = proc
        self._lines = queue.Queue()
        self._unanswered = 0
        self._reader = threading.Thread(target=self._read, daemon=True)
        self._reader.start()

    def _read(self):
        for raw in self.proc.stdout:
            self._lines.put(raw.decode("ascii", "replace").rstrip("\r\n"))
        self._lines.put(None)

    def call(self, *fields, timeout=60):
        """Sends one command; returns its reply (a dict) or raises DriverError."""
        # Answers to calls that were given up (time-out, Ctrl-C) still arrive;
        # skip them so that this call gets its own.
        while self._unanswered:
            try:
                stale = self._lines.get(timeout=timeout)
            except queue.Empty:
                raise DriverError("driver still busy with an abandoned command")
            if stale is None:
                raise DriverError("driver ended")
            self._unanswered -= 1
        line = "\t".join(escape(f) for f in fields) + "\n"
        try:
            self.proc.stdin.write(line.encode("ascii"))
            self.proc.stdin.flush()
        except (BrokenPipeError, OSError) as error:
            raise DriverError("driver is gone: %s" % error)
        self._unanswered += 1
        try:
            answer = self._lines.get(timeout=timeout)
        except queue.Empty:
            raise DriverError("no answer to %r within %s s" % (fields[0], timeout))
        if answer is None:
            raise DriverError("driver ended")
        self._unanswered -= 1
        return json.loads(answer)

    def ok(self, *fields, timeout=60):
        """Like call, but a failed command raises DriverError."""
        reply = self.call(*fields, timeout=timeout)
        if not reply.get("ok"):
            raise DriverError("%s: %s" % (" ".join(str(f) for f in fields), reply.get("error")))
        return reply

    # ---- shorthands ----

    def window(self, caption, timeout_ms=10000, cls=""):
        """The handle of a visible window with this caption, or None."""
        reply = self.call("window", timeout_ms, cls, caption, timeout=timeout_ms / 1000 + 30)
        return reply["hwnd"] if reply["ok"] else None

    def message_box(self, caption, timeout_ms=10000):
        """{'hwnd', 'text', 'buttons', 'icon'} of a message box, or None."""
        reply = self.call("msgbox", timeout_ms, caption, timeout=timeout_ms / 1000 + 30)
        return reply if reply["ok"] else None

    def text(self, hwnd, control_id=0):
        return self.ok("gettext", hwnd, control_id)["text"]

    def click(self, hwnd, control_id):
        self.ok("click", hwnd, control_id)

    def gone(self, hwnd, timeout_ms=10000):
        return self.ok("waitgone", hwnd, timeout_ms, timeout=timeout_ms / 1000 + 30)["gone"]

    def pixel(self, hwnd, control_id):
        return tuple(self.ok("pixel", hwnd, control_id)["rgb"])

    def ports(self):
        """{port: opened} after trying to open COM1..COM32 once."""
        reply = self.ok("ports")
        return {int(port): opened for port, opened in reply["opened"].items()}

    def close(self):
        try:
            self.proc.stdin.write(b"quit\n")
            self.proc.stdin.close()
        except (BrokenPipeError, OSError):
            pass


def bmp_to_png(bmp_path, png_path):
    """Converts the 24-bit BMP that `shot` writes into a PNG (stdlib only)."""
    import struct
    import zlib
    with open(bmp_path, "rb") as f:
        data = f.read()
    offset = struct.unpack_from("<I", data, 10)[0]
    width, height = struct.unpack_from("<ii", data, 18)
    bits = struct.unpack_from("<H", data, 28)[0]
    if bits != 24:
        raise ValueError("expected a 24-bit BMP, got %d bits" % bits)
    stride = (width * 3 + 3) & ~3
    rows = []
    for y in range(abs(height)):
        source = height - 1 - y if height > 0 else y   # BMP rows run bottom-up
        row = data[offset + source * stride: offset + source * stride + width * 3]
        rgb = bytearray(row)
        rgb[0::3], rgb[2::3] = row[2::3], row[0::3]   # BGR -> RGB
        rows.append(b"\0" + bytes(rgb))

    def chunk(kind, body):
        return (struct.pack(">I", len(body)) + kind + body +
                struct.pack(">I", zlib.crc32(kind + body) & 0xFFFFFFFF))

    header = struct.pack(">IIBBBBB", width, abs(height), 8, 2, 0, 0, 0)
    with open(png_path, "wb") as f:
        f.write(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) +
                chunk(b"IDAT", zlib.compress(b"".join(rows), 9)) + chunk(b"IEND", b""))
