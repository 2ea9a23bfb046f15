#!/usr/bin/env python3
"""Fault phase of the soak: the running client reaches the development server (in chaos mode at
rate 0: a steady stream of real commands, every reply checked) only through the fault relay,
which listens on the client's server port. Between healthy periods of random length it injects,
one kind at a time and in random order, each of these link faults:

  stall-after-accept  the server hangs in the TLS handshake (the open connection is reset)
  stopread-mid-reply  the server stops reading while a 16 MiB reply is leaving
  blackhole           nothing passes either way, nothing is closed
  slow-reader         the server reads at about 1 KiB/s during a 16 MiB reply
  server-restart      the server is stopped and started again on its port

and measures, with the monotonic times on the stand-ins' event lines, how long the client takes
from "server healthy again" to "registered again". Prints per kind: how often it was injected,
how often the client gave up the wedged link while the fault lasted, the longest such time, the
replies lost on connections that no fault touched, and the client's RSS. Exits 1 when the
client died, held on to a wedged link through a whole fault, lost a reply on a healthy
connection, dropped the slow reader's connection, broke a chaos rule or was not registered
again within the limit.

Only loopback is used. Run by bench/soak/soak after its chaos phase; see --help.
"""
import argparse
import base64
import hashlib
import json
import os
import queue
import random
import signal
import statistics
import sys

sys.dont_write_bytecode = True  # nothing generated in the source tree
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
from standin import StandIn, mono_ms  # noqa: E402

KINDS = ["stall-after-accept", "stopread-mid-reply", "blackhole", "slow-reader", "server-restart"]
# The link's bound: registered again within 25 + 10 + 3 + 15 s of the server being healthy.
BOUND_S = 53
# Beyond this the client counts as not coming back; the relay then resets every connection
# (a client that hangs in a stalled handshake would otherwise hang the rest of the run).
RECOVERY_LIMIT_S = 120
LARGE_FILE = "soak/large.txt"
LARGE_BYTES = 16 << 20
LARGE_READ = json.dumps({"commandType": "getFileContent",
                         "data": [{"filePath": LARGE_FILE, "basePathType": "temp",
                                   "toBase64": True}]})


class ClientDied(Exception):
    pass


class FaultPhase:
    def __init__(self, args):
        self.args = args
        self.random = random.Random(args.seed)
        self.events = queue.Queue()
        self.devserver = None
        self.relay = None
        self.instance = 0
        self.dev_port = 0
        self.ended = set()               # (name, instance) whose output ended
        self.accepted = []               # relay accepted events
        self.modes = []                  # relay mode events
        self.conns = {}                  # (instance, conn) -> [open t, close t or None]
        self.registrations = []          # (t, instance, conn)
        self.lost = {}                   # (instance, conn) -> replies lost with it
        self.summaries = {}              # instance -> chaos summary
        self.violations = []
        self.refused_extras = 0
        self.large_replies = 0
        self.faults = []                 # one dict per injection
        self.rss = []                    # (t, KiB)
        self.next_sample = 0

    # --- events -------------------------------------------------------------------------
    def handle(self, name, instance, obj):
        if obj.get("ended"):
            self.ended.add((name, instance))
            return
        if obj.get("largeLine"):
            self.large_replies += 1
            return
        if name == "relay":
            event = obj.get("event")
            if event == "accepted":
                self.accepted.append(obj)
            elif event == "mode":
                self.modes.append(obj)
            return
        event, chaos = obj.get("event"), obj.get("chaos")
        key = (instance, obj.get("conn"))
        if event == "connected":
            self.conns[key] = [obj["t"], None]
        elif event == "disconnected" and key in self.conns:
            self.conns[key][1] = obj["t"]
        elif event == "registered":
            self.registrations.append((obj["t"], instance, obj["conn"]))
        elif chaos == "lost":
            self.lost[key] = obj["replies"]
        elif chaos == "summary":
            self.summaries[instance] = obj
        elif chaos == "violation":
            self.violations.append(obj)
        elif chaos == "extra-refused":
            self.refused_extras += 1

    def pump(self, until_ms, predicate=lambda: False):
        """Handles events until predicate() holds (True) or until_ms passes (False); samples
        the client's RSS once a second on the way."""
        while not predicate():
            now = mono_ms()
            if now >= until_ms:
                return False
            if now >= self.next_sample:
                self.sample_rss(now)
            try:
                self.handle(*self.events.get(timeout=0.1))
            except queue.Empty:
                pass
        return True

    def hold(self, seconds):
        self.pump(mono_ms() + seconds * 1000)

    def sample_rss(self, now):
        self.next_sample = now + 1000
        try:
            with open("/proc/%d/status" % self.args.client_pid) as status:
                for line in status:
                    if line.startswith("VmRSS:"):
                        self.rss.append((now, int(line.split()[1])))
                        return
        except OSError:
            pass
        raise ClientDied()

    # --- stand-ins ----------------------------------------------------------------------
    def start_devserver(self):
        self.instance += 1
        self.devserver = StandIn(
            "devserver", self.instance,
            [os.path.join(self.args.build, "tools/devserver/devserver"),
             "--port", str(self.dev_port), "--chaos", str(self.args.seed + self.instance),
             "--chaos-rate", "0", "--chaos-stdin", "--chaos-files", self.args.chaos_files,
             "--chaos-kill", self.args.chaos_kill],
            self.events, os.path.join(self.args.work, "faults-devserver.err"),
            large_line=LARGE_BYTES)
        self.dev_port = self.devserver.port

    def stop_devserver(self):
        name = ("devserver", self.devserver.instance)
        self.devserver.stop()
        # Its summary comes with the end of its output.
        self.pump(mono_ms() + 10000, lambda: name in self.ended)

    def relay_mode(self, line):
        """Switches the relay's mode; returns the t of its mode event."""
        count = len(self.modes)
        self.relay.send(line)
        self.pump(mono_ms() + 10000, lambda: len(self.modes) > count)
        return self.modes[-1]["t"] if len(self.modes) > count else mono_ms()

    # --- state --------------------------------------------------------------------------
    def registered_connection(self):
        """The (instance, conn) registered last, while it is open on the running server."""
        if not self.registrations:
            return None
        _, instance, conn = self.registrations[-1]
        open_close = self.conns.get((instance, conn))
        if instance != self.instance or open_close is None or open_close[1] is not None:
            return None
        return (instance, conn)

    def wait_registered(self, since_ms, limit_s):
        return self.pump(since_ms + limit_s * 1000,
                         lambda: any(t >= since_ms for t, _, _ in self.registrations))

    def relay_up_bytes(self, mode_event):
        # The connection the relay accepted last carries the registered link.
        last = self.accepted[-1]["conn"] if self.accepted else 0
        return next((c["up"] for c in mode_event["conns"] if c["conn"] == last), 0)

    # --- faults -------------------------------------------------------------------------
    def inject(self, kind):
        fault = {"kind": kind, "start": mono_ms(), "kills": kind != "slow-reader"}
        self.faults.append(fault)
        print("faults: %6.0f s  %s" % ((fault["start"] - self.t0) / 1000, kind), flush=True)
        accepted = len(self.accepted)
        # The holds outlast the client's bounds with room to spare: a stalled handshake is given
        # up after 15 s and tried again 3 s later; a link with nothing coming in and nothing
        # leaving is dead within 35 s.
        if kind == "stall-after-accept":
            self.relay_mode("stall")
            self.relay.send("drop")
            self.hold(self.random.uniform(30, 45))
            # The first connection after the drop is the hung one; a second means it was given up.
            fault["gave_up"] = len(self.accepted) - accepted >= 2
            fault["healthy"] = self.relay_mode("pass")
        elif kind == "stopread-mid-reply":
            self.relay_mode("slowread 65536")
            self.devserver.send(LARGE_READ)
            self.hold(self.random.uniform(1.5, 3))
            self.relay_mode("stopread")
            fault["lead_in_bytes"] = (self.relay_up_bytes(self.modes[-1]) -
                                      self.relay_up_bytes(self.modes[-2]))
            self.hold(self.random.uniform(50, 65))
            fault["gave_up"] = len(self.accepted) > accepted
            fault["healthy"] = self.relay_mode("pass")
        elif kind == "blackhole":
            self.relay_mode("blackhole")
            self.hold(self.random.uniform(50, 65))
            fault["gave_up"] = len(self.accepted) > accepted
            fault["healthy"] = self.relay_mode("pass")
        elif kind == "slow-reader":
            link = self.registered_connection()
            replies = self.large_replies
            self.relay_mode("slowread 1024")
            self.devserver.send(LARGE_READ)
            self.hold(self.random.uniform(60, 90))
            fault["healthy"] = self.relay_mode("pass")
            # A client that gave up the send closes the connection only once the rest of the
            # reply has drained, and reconnects 3 s later: look until a while after that.
            self.pump(mono_ms() + 60000, lambda: self.large_replies > replies)
            self.hold(5)
            fault["kept"] = (self.large_replies > replies and len(self.accepted) == accepted
                             and self.registered_connection() == link)
            print("faults: slow reader's connection %s" % ("kept" if fault["kept"] else "lost"),
                  flush=True)
        else:
            self.stop_devserver()
            self.hold(self.random.uniform(2, 10))
            self.start_devserver()
            fault["healthy"] = mono_ms()
        fault["end"] = fault["healthy"]
        if fault.get("kept"):
            return
        if not self.wait_registered(fault["healthy"], RECOVERY_LIMIT_S):
            fault["never"] = True
            print("faults: not registered again within %d s; resetting every connection"
                  % RECOVERY_LIMIT_S, flush=True)
            self.relay.send("drop")
            self.wait_registered(mono_ms(), RECOVERY_LIMIT_S)
            return
        fault["recovery_s"] = (min(t for t, _, _ in self.registrations
                                   if t >= fault["healthy"]) - fault["healthy"]) / 1000
        print("faults: registered again %.1f s after the server was healthy again"
              % fault["recovery_s"], flush=True)

    def run(self):
        print("== fault phase", flush=True)
        self.t0 = mono_ms()
        deadline = self.t0 + self.args.seconds * 1000
        self.start_devserver()
        self.relay = StandIn(
            "relay", 1,
            [os.path.join(self.args.build, "tools/faultrelay/faultrelay"),
             "--port", str(self.args.port), "--target-port", str(self.dev_port)],
            self.events, os.path.join(self.args.work, "faults-relay.err"))
        order = []
        while mono_ms() < deadline:
            if not self.pump(mono_ms() + RECOVERY_LIMIT_S * 1000, self.registered_connection):
                print("faults: the client is not registered; resetting every connection",
                      flush=True)
                self.relay.send("drop")
                continue
            self.hold(self.random.uniform(15, 45))
            if not order:
                order = self.random.sample(KINDS, len(KINDS))
            self.inject(order.pop())
        self.hold(5)  # the last replies come in before the server stops
        self.stop_devserver()

    def close(self):
        for stand_in in (self.devserver, self.relay):
            if stand_in:
                stand_in.stop()

    # --- report -------------------------------------------------------------------------
    def kill_windows(self):
        return [(f["start"], f.get("end", mono_ms())) for f in self.faults if f["kills"]]

    def report(self):
        windows = self.kill_windows()
        healthy_lost = {}  # kind of the last injection before the loss -> replies
        for key, replies in self.lost.items():
            opened, closed = self.conns.get(key, [0, None])
            closed = closed if closed is not None else mono_ms()
            if any(opened < end and closed > start for start, end in windows):
                continue
            before = [f["kind"] for f in self.faults if f["start"] < closed]
            kind = before[-1] if before else "before the first fault"
            healthy_lost[kind] = healthy_lost.get(kind, 0) + replies

        print("fault phase: %d s, seed %d, %d cores; relay on port %d" %
              ((mono_ms() - self.t0) / 1000, self.args.seed, os.cpu_count(), self.args.port))
        print("%-20s %8s  %-9s  %-36s %8s  %s" % (
            "kind", "injected", "gave up", "healthy -> registered again", "lost on",
            "client RSS during and after"))
        print("%-20s %8s  %-9s  %-36s %8s  %s" % (
            "", "", "wedged", "(longest, median; bound %d s)" % BOUND_S, "healthy",
            "min/max/last KiB"))
        starts = sorted((f["start"], f["kind"]) for f in self.faults)
        for kind in KINDS:
            mine = [f for f in self.faults if f["kind"] == kind]
            times = [f["recovery_s"] for f in mine if "recovery_s" in f]
            never = sum(1 for f in mine if f.get("never"))
            if kind == "slow-reader":
                kept = sum(1 for f in mine if f.get("kept"))
                recovery = "connection kept %d of %d" % (kept, len(mine))
            elif times:
                recovery = "%.1f s, %.1f s" % (max(times), statistics.median(times))
            else:
                recovery = "-"
            if never:
                recovery += ", %d never" % never
            samples = []
            for index, (start, k) in enumerate(starts):
                end = starts[index + 1][0] if index + 1 < len(starts) else float("inf")
                if k == kind:
                    samples += [kib for t, kib in self.rss if start <= t < end]
            rss = "%d/%d/%d" % (min(samples), max(samples), samples[-1]) if samples else "-"
            wedged = [f for f in mine if "gave_up" in f]
            gave_up = ("%d of %d" % (sum(1 for f in wedged if f["gave_up"]), len(wedged))
                       if wedged else "-")
            print("%-20s %8d  %-9s  %-36s %8d  %s" % (kind, len(mine), gave_up, recovery,
                                                    healthy_lost.get(kind, 0), rss))
        if self.rss:
            kib = [k for _, k in self.rss]
            print("client RSS, fault phase: min %d KiB, max %d KiB, last %d KiB"
                  % (min(kib), max(kib), kib[-1]))
        lead = [f["lead_in_bytes"] for f in self.faults if "lead_in_bytes" in f]
        if lead:
            print("stopread: bytes the client had sent since the large read went out, when "
                  "reading stopped: min %d, max %d" % (min(lead), max(lead)))
        totals = {k: sum(s.get(k, 0) for s in self.summaries.values())
                  for k in ("commandsSent", "replies", "repliesDue", "repliesLostWithConnection",
                            "repliesPending", "filesReadBackChecked", "violations")}
        print("server (%d runs): commands sent %d, replies %d of %d due (lost with their "
              "connection %d, on healthy connections %d, pending at stop %d), file read-backs "
              "checked %d, violations %d, large reads refused (no registered client) %d"
              % (len(self.summaries), totals["commandsSent"], totals["replies"],
                 totals["repliesDue"], totals["repliesLostWithConnection"],
                 sum(healthy_lost.values()), totals["repliesPending"],
                 totals["filesReadBackChecked"], totals["violations"], self.refused_extras))
        for v in self.violations[:20]:
            print("  violation on conn %s: %s" % (v.get("conn"), v.get("text")))

        failures = []
        if sum(healthy_lost.values()):
            failures.append("replies lost on healthy connections")
        if totals["violations"] or len(self.summaries) < self.instance:
            failures.append("broken chaos rules (or a server run without summary)")
        if any(f.get("gave_up") is False for f in self.faults):
            failures.append("held on to a wedged link through a whole fault")
        if any(f.get("never") for f in self.faults):
            failures.append("not registered again within %d s" % RECOVERY_LIMIT_S)
        if any(f["kind"] == "slow-reader" and not f.get("kept") for f in self.faults):
            failures.append("a slow reader's connection was dropped")
        return failures


def write_soak_file(path, size):
    # A file that checks itself: "soak LENGTH SHA1\n" and LENGTH bytes of text with that SHA-1.
    body = base64.encodebytes(os.urandom(size * 3 // 4))[:size - 64]
    header = b"soak %d %s\n" % (len(body), hashlib.sha1(body).hexdigest().encode())
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(header + body)


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--seconds", type=int, required=True,
                        help="inject faults until this much time has passed (the last one "
                             "runs to its end)")
    parser.add_argument("--port", type=int, required=True,
                        help="the client's server port on 127.0.0.1; the relay listens there")
    parser.add_argument("--client-pid", type=int, required=True)
    parser.add_argument("--data", required=True, help="the client's data root")
    parser.add_argument("--build", required=True, help="build directory with the stand-ins")
    parser.add_argument("--work", required=True, help="directory for the stand-ins' stderr")
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--chaos-files", required=True)
    parser.add_argument("--chaos-kill", required=True)
    args = parser.parse_args()

    write_soak_file(os.path.join(args.data, "temp", LARGE_FILE), LARGE_BYTES)
    # A terminated soak ends here too, through the finally below.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
    phase = FaultPhase(args)
    failures = []
    try:
        phase.run()
    except ClientDied:
        failures.append("the client died")
    finally:
        phase.close()
    failures += phase.report()
    for failure in failures:
        print("FAIL (faults): " + failure)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
