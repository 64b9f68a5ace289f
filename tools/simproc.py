"""xkt-sim as a child process: started, commanded through its stdin, its byte log read.

    sim = SimProcess(path_to_xkt_sim, ["--ident", "..."], log_path="sim.log")
    sim.slave            # the pty the instrument listens on
    sim.command("unplug")  # -> "ok" or "error ..."
    sim.log_entries()    # [(ms since start, byte value)] of every byte received
    sim.close()
"""

import subprocess
import time


class SimProcess:
    def __init__(self, path, args=(), log_path=None, popen=subprocess.Popen):
        argv = [path] + list(args)
        if log_path:
            argv += ["--log", log_path]
        self.log_path = log_path
        # Its stdin stays open: xkt-sim ends when it closes.
        self.proc = popen(argv, stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        ready = self.proc.stdout.readline().split()
        if len(ready) != 2 or ready[0] != "ready":
            self.close()
            raise RuntimeError("xkt-sim did not start: %r" % ready)
        self.slave = ready[1]

    def command(self, line):
        """Sends one stdin command; returns the simulator's answer."""
        self.proc.stdin.write(line + "\n")
        self.proc.stdin.flush()
        return self.proc.stdout.readline().strip() or "error no answer"

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
                SimProcess.command(self, "quit")
                self.proc.wait(timeout=5)
            except (OSError, ValueError, subprocess.TimeoutExpired):
                self.proc.kill()
                self.proc.wait()
