#!/usr/bin/env python3
"""Figures of a fleet of servers sharing PostgreSQL (docs/SCALING.md), in a network
namespace of its own (as root) with a PostgreSQL cluster it makes (fsync on):

  handover  the check-in time a player handed over to another process adds: --checkins
            players one after another name a room held on 127.0.0.2, each checking in
            at 127.0.0.2 itself and then at 127.0.0.3 (which hands it over); the time
            from sending the name to the end of the answer, median and 90th percentile
  relay     the relay's processor time: a connection holds each of --rooms rooms on
            127.0.0.2, then 7 bots per room play there through 127.0.0.3 for --seconds;
            both processes' processor time (utime + stime from /proc) over that time
  spool     perf_spool: games committed to a spool, then moved to PostgreSQL
  capacity  for each --clients, bots in rooms of 4 (--rooms N/4, arriving 500 a second)
            against one process direct, then against three behind HAProxy as a fleet:
            position messages a second per bot, the longest gap, players handed over,
            processor time of servers and HAProxy

  bench/fleet_bench.py --server build/server/mazecar-server --bots build/tools/mazecar-bots \
      --perf-spool build/bench/perf_spool [--only handover,relay,spool,capacity]
"""
import argparse
import json
import os
import re
import shutil
import socket
import struct
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.dont_write_bytecode = True  # no cache files beside the sources
sys.path.insert(0, os.path.join(HERE, "..", "tests", "server"))
import fleet_e2e  # noqa: E402  (its PostgreSQL cluster)

CONFIG = os.path.join(HERE, "..", "deploy", "haproxy", "haproxy.cfg")
TICKS = os.sysconf("SC_CLK_TCK")
ADDRS = ["127.0.0.2", "127.0.0.3", "127.0.0.4"]


def cpu_s(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICKS


def load():
    return open("/proc/loadavg").read().split()[0]


def wait_listening(addr, port=5555, limit=15.0):
    end = time.monotonic() + limit
    while time.monotonic() < end:
        try:
            socket.create_connection((addr, port), 0.2, ("127.0.9.1", 0)).close()
            return
        except OSError:
            time.sleep(0.05)
    sys.exit("%s:%d did not listen" % (addr, port))


class Fleet:
    """Servers (and HAProxy) started for one measurement, stopped at its end."""

    def __init__(self, args, uri, addrs, extra, haproxy=False):
        self.procs, self.logs = [], []
        for a in addrs:
            opts = ["--listen", a, "--stats-seconds", "2", "--quick"] + extra
            if uri:
                opts += ["--db", uri, "--fleet", a + ":5555", "--proxy-from", "127.0.0.0/29",
                         "--spool", os.path.join(args.tmp, "spool-%s.db" % a)]
            log = open(os.path.join(args.tmp, "server-%s.log" % a), "w+")
            self.procs.append(subprocess.Popen([args.server] + opts, stdout=log,
                                               stderr=subprocess.STDOUT))
            self.logs.append(log)
            wait_listening(a)
        self.servers = list(self.procs)
        if haproxy:
            self.procs.append(subprocess.Popen([args.haproxy, "-f", CONFIG, "-db"],
                                               stdout=subprocess.DEVNULL,
                                               stderr=subprocess.DEVNULL))
            wait_listening("127.0.0.1")
            time.sleep(2.5)  # the first health checks have taken every server in

    def counted(self, what):
        """The sum of a count of the servers' stats lines ("handed over" ...)."""
        total = 0
        for log in self.logs:
            log.seek(0)
            total += sum(int(m) for m in re.findall(what + r" (\d+),", log.read()))
        return total

    def stop(self):
        for p in self.procs:
            p.terminate()
        for p in self.procs:
            p.wait(timeout=30)


def check_in(addr, source, name):
    """A connection checked in under name, and the seconds from sending the name to the
    end of the answer."""
    s = socket.create_connection((addr, 5555), 10, (source, 0))
    f = s.makefile("rb")
    f.read(struct.unpack(">i", f.read(4))[0])
    t0 = time.perf_counter()
    s.sendall(struct.pack(">i", len(name) + 1) + name.encode() + b"\0")
    f.read(8)
    f.read(struct.unpack(">i", f.read(4))[0])
    return s, time.perf_counter() - t0


def check_in_time(addr, source, name):
    s, seconds = check_in(addr, source, name)
    s.close()
    return seconds


def handover(args, pg):
    fleet = Fleet(args, pg.uri, ADDRS[:2], ["--slots", "8", "--enemies", "0",
                                            "--connect-rate", "100000"])
    try:
        # The holder never presses SPACE: its room stays in the lobby on .2.
        holder, _ = check_in(ADDRS[0], "127.0.5.1", "hold@bench")
        direct, handed = [], []
        for i in range(args.checkins):
            src = "127.0.5.%d" % (10 + i % 200)
            direct.append(check_in_time(ADDRS[0], src, "p%d@bench" % i))
            handed.append(check_in_time(ADDRS[1], src, "p%d@bench" % i))
        q = lambda v, p: sorted(v)[int(p * (len(v) - 1))] * 1000
        print("handover: %d check-ins each, name to answer: direct median %.2f ms p90 %.2f ms,"
              " handed over median %.2f ms p90 %.2f ms (added: median %.2f ms), load %s" % (
                  args.checkins, q(direct, 0.5), q(direct, 0.9), q(handed, 0.5), q(handed, 0.9),
                  q(handed, 0.5) - q(direct, 0.5), load()), flush=True)
        holder.close()
    finally:
        fleet.stop()


def bots(args, server, clients, rooms, base, seconds, ramp=200):
    return subprocess.Popen([args.bots, "--server", server, "--clients", str(clients), "--rooms",
                             str(rooms), "--source-base", base, "--seconds", str(seconds),
                             "--ramp", str(ramp), "--json"], stdout=subprocess.PIPE,
                            stderr=subprocess.DEVNULL, text=True)


def report(p):
    out, _ = p.communicate(timeout=600)
    return next(json.loads(l) for l in reversed(out.splitlines()) if l.startswith("{"))


def relay(args, pg):
    fleet = Fleet(args, pg.uri, ADDRS[:2], ["--slots", "8", "--enemies", "0", "--lobby-seconds",
                                            "2"])
    try:
        # A holder per room on .2 that never presses SPACE: the rooms wait in the lobby
        # for the bots, which all come through .3.
        holders = [check_in(ADDRS[0], "127.0.6.%d" % (10 + r), "hold@r%d" % r)[0]
                   for r in range(args.rooms)]
        before = [cpu_s(p.pid) for p in fleet.servers]
        t0 = time.monotonic()
        players = report(bots(args, ADDRS[1], 7 * args.rooms, args.rooms, "127.0.7.10",
                              args.seconds))
        wall = time.monotonic() - t0
        used = [(cpu_s(p.pid) - b) / wall * 100 for p, b in zip(fleet.servers, before)]
        relayed = fleet.counted("handed over")
        for h in holders:
            h.close()
        pos = players["pos_per_s"]
        print("relay: %d players handed over from .3 to .2 (%d checked in), pos/s min %.1f "
              "median %.1f, gap %.0f ms; CPU of .2 (hosting every game) %.1f %%, of .3 "
              "(relaying) %.1f %% = %.3f %% of a core per relayed player, load %s" % (
                  relayed, players["checked_in"], pos["min"], pos["median"],
                  players["max_gap_ms"], used[0], used[1], used[1] / max(relayed, 1), load()),
              flush=True)
    finally:
        fleet.stop()


def capacity(args, pg):
    for clients in (int(c) for c in args.clients.split(",")):
        for mode in ("one direct", "fleet of 3"):
            direct = mode == "one direct"
            fleet = Fleet(args, None if direct else pg.uri, ["127.0.0.1"] if direct else ADDRS,
                          ["--lobby-seconds", "3"] +
                          (["--db", os.path.join(args.tmp, "direct.db")] if direct else []),
                          haproxy=not direct)
            try:
                before = [cpu_s(p.pid) for p in fleet.procs]
                t0 = time.monotonic()
                # 500 a second: a room's four arrive within its lobby's 3 s.
                r = report(bots(args, "127.0.0.1", clients, max(clients // 4, 1), "127.0.0.10",
                                args.seconds, 500))
                wall = time.monotonic() - t0
                used = [(cpu_s(p.pid) - b) / wall * 100 for p, b in zip(fleet.procs, before)]
                n = len(fleet.servers)
                pos = r["pos_per_s"]
                print("capacity: %-10s %5d bots  in %5d play %5d lost %3d  pos/s min %5.1f p1 "
                      "%5.1f med %5.1f  gap %5.0f ms  check-in med %.2f ms  handed over %4d "
                      "(played here %d)  servers %5.1f%%  haproxy %5.1f%%  load %s" % (
                          mode, clients, r["checked_in"], r["reached_play"], r["lost"],
                          pos["min"], pos["p1"], pos["median"], r["max_gap_ms"],
                          r["checkin_ms"]["median"], fleet.counted("handed over"),
                          fleet.counted("played here for want of an answer"), sum(used[:n]),
                          sum(used[n:]), load()), flush=True)
            finally:
                fleet.stop()


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--server", required=True)
    ap.add_argument("--bots", required=True)
    ap.add_argument("--perf-spool", required=True)
    ap.add_argument("--haproxy", default=shutil.which("haproxy") or "/usr/sbin/haproxy")
    ap.add_argument("--only", default="handover,relay,spool,capacity")
    ap.add_argument("--checkins", type=int, default=200)
    ap.add_argument("--rooms", type=int, default=25)
    ap.add_argument("--clients", default="400,1000,1500,2000")
    ap.add_argument("--seconds", type=int, default=20)
    ap.add_argument("--games", type=int, default=2000)
    ap.add_argument("--in-namespace", action="store_true")
    args = ap.parse_args()
    if not args.in_namespace:
        cmd = "ip link set lo up && exec \"$0\" \"$@\" --in-namespace"
        sys.exit(subprocess.call(["unshare", "--net", "sh", "-c", cmd, sys.executable,
                                  *sys.argv]))
    print("cores %d, load before: %s" % (os.cpu_count(), open("/proc/loadavg").read().strip()))
    args.tmp = tempfile.mkdtemp(prefix="fleet_bench.", dir="/var/tmp")
    os.chmod(args.tmp, 0o755)
    pg = fleet_e2e.Postgres(args.tmp, fsync=True)
    try:
        only = args.only.split(",")
        if "handover" in only:
            handover(args, pg)
        if "relay" in only:
            relay(args, pg)
        if "spool" in only:
            out = subprocess.run([args.perf_spool, pg.uri, str(args.games),
                                  os.path.join(args.tmp, "perf-spool.db")],
                                 capture_output=True, text=True, timeout=900)
            print("spool: " + (out.stdout + out.stderr).strip().replace("\n", "; "), flush=True)
        if "capacity" in only:
            capacity(args, pg)
    finally:
        pg.stop()
        shutil.rmtree(args.tmp, ignore_errors=True)
    print("load after: %s" % open("/proc/loadavg").read().strip())


if __name__ == "__main__":
    main()
