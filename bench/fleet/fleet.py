#!/usr/bin/env python3
"""Fleet bench: many real clients (each in its own small data root) against one development
server on 127.0.0.1. Once all are registered, the server is killed and started again on the
same port after a short gap; the bench prints, per 100 ms after the server is back, how many new
TCP connections and registrations arrived. One round with the default reconnect settings, one
with reconnectMaxDelaySeconds=60 and reconnectJitterPercent=50. Bounded by a hard time limit;
every process it started is ended whatever happens. Prints figures, never judges them.
"""
import argparse
import os
import queue
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import tempfile

sys.dont_write_bytecode = True  # nothing generated in the source tree
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
from standin import StandIn, mono_ms  # noqa: E402

ROUNDS = [
    ("default settings", ""),
    ("reconnectMaxDelaySeconds=60, reconnectJitterPercent=50",
     "reconnectMaxDelaySeconds=60\nreconnectJitterPercent=50\n"),
]
BUCKET_MS = 100


class HardLimit(Exception):
    pass


def closed_port():
    # A port nothing listens on: the clients' POS daemon, never asked for in this bench.
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


class Fleet:
    def __init__(self, args, work):
        self.args, self.work = args, work
        self.events = queue.Queue()
        self.server = None
        self.instance = 0
        self.port = 0
        self.clients = []
        self.arrivals = []  # (t, event) on the current server since `since`
        self.since = 0

    def start_server(self):
        self.instance += 1
        self.arrivals = []
        self.server = StandIn("devserver", self.instance,
                              [os.path.join(self.args.build, "tools/devserver/devserver"),
                               "--port", str(self.port)],
                              self.events, os.path.join(self.work, "devserver.err"))
        self.port = self.server.port
        return mono_ms()

    def pump(self, until_ms, predicate):
        while not predicate():
            if mono_ms() >= until_ms:
                return False
            try:
                _, instance, obj = self.events.get(timeout=0.1)
            except queue.Empty:
                continue
            if (instance == self.instance and obj.get("event") in ("connected", "registered")
                    and obj["t"] >= self.since):
                self.arrivals.append((obj["t"], obj["event"]))
        return True

    def registered(self):
        return sum(1 for _, event in self.arrivals if event == "registered")

    def start_clients(self, round_index, extra_settings):
        pos_port = closed_port()
        for index in range(self.args.clients):
            root = os.path.join(self.work, "r%d" % round_index, "c%03d" % index)
            os.makedirs(os.path.join(root, "settings"))
            with open(os.path.join(root, "settings", "qltRestClientQt.ini"), "w") as ini:
                ini.write("[RestServiceQt]\nrestServerQt_host=127.0.0.1\nrestServerQt_port=%d\n"
                          "%s[POS]\npos_host=127.0.0.1\npos_port=%d\n"
                          % (self.port, extra_settings, pos_port))
            self.clients.append(subprocess.Popen(
                [os.path.join(self.args.build, "src/qltRestClientQt")],
                env=dict(os.environ, QLT_DATA_ROOT=root + "/"),
                stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))

    def stop_clients(self):
        for client in self.clients:
            if client.poll() is None:
                client.send_signal(signal.SIGTERM)
        deadline = mono_ms() + 15000
        for client in self.clients:
            try:
                client.wait(max(0, deadline - mono_ms()) / 1000)
            except subprocess.TimeoutExpired:
                client.kill()
                client.wait()
        self.clients = []

    def run_round(self, round_index, name, extra_settings):
        print("== round %d: %s" % (round_index + 1, name), flush=True)
        started = self.since = mono_ms()
        self.arrivals = []
        self.start_clients(round_index, extra_settings)
        n = self.args.clients
        if not self.pump(started + self.args.register_limit * 1000, lambda: self.registered() >= n):
            print("only %d of %d clients registered within %d s; round skipped"
                  % (self.registered(), n, self.args.register_limit))
            self.stop_clients()
            return
        print("all %d registered %.1f s after the first client started"
              % (n, (max(t for t, e in self.arrivals if e == "registered") - started) / 1000))
        killed = mono_ms()
        self.server.stop(signal.SIGKILL)
        self.pump(killed + self.args.gap * 1000, lambda: False)
        back = self.since = self.start_server()
        done = self.pump(back + self.args.return_limit * 1000, lambda: self.registered() >= n)
        self.report(back, back - killed, done)
        self.stop_clients()

    def report(self, back, gap_ms, done):
        conns = [t - back for t, e in self.arrivals if e == "connected"]
        regs = [t - back for t, e in self.arrivals if e == "registered"]
        print("server killed, back on the same port after %.1f s; %s"
              % (gap_ms / 1000, "all registered again" if done else
                 "%d of %d registered again within %d s"
                 % (len(regs), self.args.clients, self.args.return_limit)))
        buckets = {}
        for offsets, column in ((conns, 0), (regs, 1)):
            for offset in offsets:
                counts = buckets.setdefault(int(offset // BUCKET_MS), [0, 0])
                counts[column] += 1
        print("  ms after the server was back   connections  registrations")
        for bucket in sorted(buckets):
            c, r = buckets[bucket]
            print("  %6d ..%6d %17d %14d  %s" % (bucket * BUCKET_MS, (bucket + 1) * BUCKET_MS,
                                                 c, r, "#" * min(c, 100)))
        if regs:
            peak = max(c for c, _ in buckets.values())
            print("  registrations: first %.2f s, median %.2f s, last %.2f s after the server was"
                  " back; at most %d connections in one %d ms bucket"
                  % (min(regs) / 1000, statistics.median(regs) / 1000, max(regs) / 1000, peak,
                     BUCKET_MS))


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--build", required=True, help="build directory")
    parser.add_argument("--clients", type=int, default=200)
    parser.add_argument("--gap", type=float, default=2, help="seconds the server stays down")
    parser.add_argument("--register-limit", type=int, default=180,
                        help="seconds for all clients to register at the start of a round")
    parser.add_argument("--return-limit", type=int, default=180,
                        help="seconds for all clients to register again after the restart")
    parser.add_argument("--limit", type=int, default=900,
                        help="hard limit of the whole bench in seconds")
    args = parser.parse_args()

    def over_time(*_):
        raise HardLimit()

    signal.signal(signal.SIGALRM, over_time)
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
    signal.alarm(args.limit)
    work = tempfile.mkdtemp(prefix="qlt-fleet.")
    fleet = Fleet(args, work)
    with open("/proc/loadavg") as loadavg:
        load = " ".join(loadavg.read().split()[:3])
    with open("/proc/cpuinfo") as cpuinfo:
        cpu = next((line.split(":", 1)[1].strip() for line in cpuinfo
                    if line.startswith("model name")), "?")
    print("fleet: %d clients, one server, 127.0.0.1 only; %d cores (%s), kernel %s; server down "
          "%.1f s; %d ms buckets; hard limit %d s; load average at start %s"
          % (args.clients, os.cpu_count(), cpu, os.uname().release, args.gap, BUCKET_MS,
             args.limit, load), flush=True)
    status = 0
    try:
        fleet.start_server()
        for index, (name, settings) in enumerate(ROUNDS):
            fleet.run_round(index, name, settings)
    except HardLimit:
        print("fleet: stopped at the hard limit of %d s" % args.limit)
        status = 1
    finally:
        signal.alarm(0)
        fleet.stop_clients()
        if fleet.server:
            fleet.server.stop()
        shutil.rmtree(work, ignore_errors=True)
    return status


if __name__ == "__main__":
    sys.exit(main())
