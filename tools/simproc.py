"""xkt-sim as a child process: started, commanded through its stdin, its byte log read.

    sim = SimProcess(path_to_xkt_sim, ["--ident", "..."], log_path="sim.log")
    sim.slave            # the pty the instrument listens on
    sim.command("unplug")  # -> "ok" or "error ..."
    sim.log_entries()    # [(ms since start, byte value)] of every byte received
    sim.close()

Every wait for the simulator is bounded: a simulator that hangs or dies
gives an error answer (or, at start, an exception), never a hung test run.
"""

import queue
import subprocess
import threading
import time

START_TIMEOUT = 10.0     # s until "ready"; it takes milliseconds
ANSWER_TIMEOUT = 10.0    # s for one answer; a stall fills the line within a second or two


class SimProcess:
    def __init__(self, path, args=(), log_path=None, popen=subprocess.Popen):
        argv = [path] + list(args)
        if log_path:
            argv += ["--log", log_path]
        self.log_path = log_path
        # Its stdin stays open: xkt-sim ends when it closes.
        self.proc = popen(argv, stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        # Its answers are read on a thread of their own, so that waiting for
        # one can be given up.
        self._lines = queue.Queue()
        threading.Thread(target=self._read_lines, daemon=True).start()
        ready = (self._next_line(START_TIMEOUT) or "").split()
        if len(ready) != 2 or ready[0] != "ready":
            self.close()
            raise RuntimeError("xkt-sim did not start: %r" % ready)
        self.slave = ready[1]

    def _read_lines(self):
        for line in self.proc.stdout:
            self._lines.put(line)
        self._lines.put(None)   # it ended

    def _next_line(self, timeout):
        try:
            line = self._lines.get(timeout=timeout)
        except queue.Empty:
            return None
        if line is None:
            self._lines.put(None)   # every later wait ends at once too
        return line

    def command(self, line):
        """Sends one stdin command; returns the simulator's answer."""
        try:
            self.proc.stdin.write(line + "\n")
            self.proc.stdin.flush()
        except (OSError, ValueError):
            return "error simulator gone"
        answer = self._next_line(ANSWER_TIMEOUT)
        if answer is None:
            return "error no answer"
        return answer.strip() or "error no answer"

    def vanish(self):
        """The device goes away as a pulled adapter; True when it did."""
        return SimProcess.command(self, "vanish") == "ok"

    def reappear(self):
        """Back on a fresh pty, whose path becomes self.slave; True when it is."""
        answer = SimProcess.command(self, "return").split()
        if len(answer) != 2 or answer[0] != "ok":
            return False
        self.slave = answer[1]
        return True

    def log_entries(self):
        """Every byte received so far, as (ms since start, byte value)."""
        time.sleep(0.05)   # the simulator writes its log every 20 ms
        entries = []
        with open(self.log_path) as f:
            for line in f.read().splitlines():
                fields = line.split()
                if len(fields) >= 2:
                    entries.append((int(fields[0]), int(fields[1], 16)))
        return entries

    def close(self):
        if self.proc.poll() is None:
            try:
                self.proc.stdin.write("quit\n")
                self.proc.stdin.flush()
                self.proc.wait(timeout=5)
            except (OSError, ValueError, subprocess.TimeoutExpired):
                self.proc.kill()
                self.proc.wait()
