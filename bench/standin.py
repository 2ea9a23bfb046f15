"""What the bench drivers share: the monotonic clock of the stand-ins' event lines and a
stand-in run as a child process."""
import json
import queue
import signal
import subprocess
import threading
import time


def mono_ms():
    """CLOCK_MONOTONIC in ms, the clock of the "t" on the stand-ins' event lines."""
    return time.monotonic() * 1000


class StandIn:
    """A stand-in (development server, fault relay) as a child process: its first stdout line is
    its port, every further line a JSON event that a thread hands to `events` as
    (name, instance, object), and {"ended": True} when its output ends. A message line longer
    than `large_line` becomes {"largeLine": True}; other long lines carry whole files and are
    dropped."""

    def __init__(self, name, instance, args, events, stderr_path, large_line=None):
        self.name, self.instance = name, instance
        self.large_line = large_line
        self.stderr = open(stderr_path, "ab")
        self.proc = subprocess.Popen(args, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=self.stderr)
        first = queue.Queue()
        threading.Thread(target=self._read, args=(events, first), daemon=True).start()
        try:
            self.port = int(first.get(timeout=15))
        except (queue.Empty, ValueError):
            self.stop()
            raise RuntimeError("%s did not print its port (see %s)" % (name, stderr_path))
        except BaseException:
            # An alarm or a signal meanwhile: the caller never gets this child to stop.
            self.stop()
            raise

    def _read(self, events, first):
        first.put(self.proc.stdout.readline())
        for line in self.proc.stdout:
            if self.large_line is not None and len(line) > self.large_line:
                events.put((self.name, self.instance, {"largeLine": True}))
            elif len(line) < 65536:
                try:
                    events.put((self.name, self.instance, json.loads(line)))
                except ValueError:
                    pass
        events.put((self.name, self.instance, {"ended": True}))

    def send(self, line):
        self.proc.stdin.write(line.encode() + b"\n")
        self.proc.stdin.flush()

    def stop(self, sig=signal.SIGTERM):
        if self.proc.poll() is None:
            self.proc.send_signal(sig)
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.stderr.close()
