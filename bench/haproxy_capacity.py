#!/usr/bin/env python3
"""Capacity of one mazecar-server process reached directly against three processes
behind HAProxy (deploy/haproxy/haproxy.cfg), with the load tool mazecar-bots.

For each number of bots, both set-ups are started afresh, the bots play for --seconds,
and one line is printed per run: bots checked in and in play, position messages a
second per bot in play (min, 1st percentile, median), the longest gap between them, the
median check-in time (connect to the end of the second text), the
processor time of the servers, of HAProxy and of the tool (utime + stime from /proc,
as a share of one core over the run), and the machine's load average. Runs in a network
namespace of its own (as root), so port 5555 is free of other programs.

  bench/haproxy_capacity.py --server build/server/mazecar-server \
      --bots build/tools/mazecar-bots [--clients 300,600,900] [--seconds 20]
"""
import argparse
import json
import os
import shutil
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
CONFIG = os.path.join(HERE, "..", "deploy", "haproxy", "haproxy.cfg")
TICKS = os.sysconf("SC_CLK_TCK")
SERVER_ARGS = ["--quick", "--lobby-seconds", "1", "--stats-seconds", "0"]


def cpu_s(pid):
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICKS  # utime, stime


def wait_listening(addr_hex, proc, limit=10.0):
    end = time.monotonic() + limit
    while time.monotonic() < end and proc.poll() is None:
        with open("/proc/net/tcp") as f:
            if any(l.split()[1] == addr_hex + ":15B3" and l.split()[3] == "0A"
                   for l in f.readlines()[1:]):
                return True
        time.sleep(0.05)
    return False


def run(mode, clients, args):
    procs = []
    devnull = subprocess.DEVNULL
    try:
        if mode == "direct":
            procs.append(subprocess.Popen([args.server, "--listen", "127.0.0.1"] + SERVER_ARGS,
                                          stdout=devnull))
            ok = wait_listening("0100007F", procs[0])
            servers, proxy = procs, None
        else:
            for a in ("0200007F", "0300007F", "0400007F"):
                addr = "127.0.0.%d" % int(a[:2], 16)
                p = subprocess.Popen([args.server, "--listen", addr, "--proxy-from",
                                      "127.0.0.1"] + SERVER_ARGS, stdout=devnull)
                procs.append(p)
                wait_listening(a, p)
            servers = list(procs)
            proxy = subprocess.Popen([args.haproxy, "-f", CONFIG, "-db"], stdout=devnull,
                                     stderr=devnull)
            procs.append(proxy)
            ok = wait_listening("0100007F", proxy)
            time.sleep(0.5)  # the first health checks
        if not ok:
            print("%s %d: did not start" % (mode, clients))
            return
        before = [cpu_s(p.pid) for p in procs]
        t0 = time.monotonic()
        out = subprocess.run([args.bots, "--clients", str(clients), "--seconds",
                              str(args.seconds), "--ramp", "200", "--json"],
                             capture_output=True, text=True, timeout=args.seconds + 120)
        wall = time.monotonic() - t0
        after = [cpu_s(p.pid) for p in procs]
        r = next((json.loads(l) for l in reversed(out.stdout.splitlines())
                  if l.startswith("{")), None)
        if r is None:
            print("%s %d: no report: %s" % (mode, clients, out.stderr[-300:]))
            return
        used = [(b - a) / wall * 100 for a, b in zip(before, after)]
        srv = sum(used[:len(servers)])
        hap = used[-1] if proxy else 0.0
        pos = r["pos_per_s"]
        print("%-7s %5d  in %5d play %5d lost %3d  pos/s min %5.1f p1 %5.1f med %5.1f  "
              "gap %6.0f ms  check-in med %.2f ms  servers %5.1f%%  haproxy %5.1f%%  "
              "tool %5.1f%%  load %s" % (
                  mode, clients, r["checked_in"], r["reached_play"], r["lost"], pos["min"],
                  pos["p1"], pos["median"], r["max_gap_ms"], r["checkin_ms"]["median"], srv, hap,
                  r["tool_cpu_s"] / wall * 100, open("/proc/loadavg").read().split()[0]),
              flush=True)
    finally:
        for p in procs:
            p.terminate()
        for p in procs:
            try:
                p.wait(timeout=10)
            except subprocess.TimeoutExpired:
                p.kill()


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--server", required=True)
    ap.add_argument("--bots", required=True)
    ap.add_argument("--haproxy", default=shutil.which("haproxy") or "/usr/sbin/haproxy")
    ap.add_argument("--clients", default="200,400,600,800,1000")
    ap.add_argument("--seconds", type=int, default=20)
    ap.add_argument("--in-namespace", action="store_true")
    args = ap.parse_args()
    if not args.in_namespace:
        cmd = "ip link set lo up && exec \"$0\" \"$@\" --in-namespace"
        sys.exit(subprocess.call(["unshare", "--net", "sh", "-c", cmd, sys.executable,
                                  *sys.argv]))
    print("cores %d, load before: %s" % (os.cpu_count(), open("/proc/loadavg").read().strip()))
    for n in (int(x) for x in args.clients.split(",")):
        for mode in ("direct", "haproxy"):
            run(mode, n, args)
    print("load after: %s" % open("/proc/loadavg").read().strip())


if __name__ == "__main__":
    main()
