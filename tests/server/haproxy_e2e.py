#!/usr/bin/env python3
"""Three mazecar-server processes behind HAProxy, with the shipped configuration.

The servers listen on 127.0.0.2, .3 and .4 (port 5555) and trust PROXY headers from
127.0.0.1; HAProxy listens on 127.0.0.1:5555 (deploy/haproxy/haproxy.cfg). Through it:
  1. 300 bots from 100 source addresses all check in, spread over the three servers;
  2. 20 bots from one source address, through the second server's room frontend, meet
     the balancer's limits (10 new connections in 10 s from one address) and that server's per-address
     limit (3): 3 check in, the rest are refused, at most 7 by the server, whose log
     names that address, never the balancer's, while the 300 play on;
  0. four bots naming room "club" through the room frontend of the second server
     (127.0.2.3) all join one game on that server;
  3. one server is killed with SIGKILL: its bots are lost, the others keep at least 25
     position messages a second, and 24 new bots all check in on the other two.
HAProxy's health checks (PROXY LOCAL) are counted by every server, none as a bad header.
Exit 77 (skipped) only when haproxy is not installed or cannot run here.
"""
import argparse
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import threading
import time

WAIT = 40.0  # seconds: generous limit of every wait
ADDRS = ["127.0.0.2", "127.0.0.3", "127.0.0.4"]
PER_ADDRESS = 3
MAIN_BOTS, MAIN_SOURCES, MAIN_SECONDS = 300, 100, 24
BURST_BOTS = 20
BALANCER_RATE = 10  # new connections per address per 10 s through the shipped haproxy.cfg
LATE_BOTS = 24
KILLED = 1  # index of the server killed: 127.0.0.3

procs = []
logs = {}  # name -> list of lines


def fail(msg):
    print("FAIL: " + msg, file=sys.stderr)
    for name, lines in logs.items():
        print("---- %s (last lines)\n%s" % (name, "".join(lines[-25:])), file=sys.stderr)
    sys.exit(1)


def start(name, argv):
    p = subprocess.Popen(argv, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
    lines = logs.setdefault(name, [])
    threading.Thread(target=lambda: lines.extend(iter(p.stdout.readline, "")),
                     daemon=True).start()
    procs.append(p)
    return p


def wait_until(what, check):
    end = time.monotonic() + WAIT
    while time.monotonic() < end:
        if check():
            return
        time.sleep(0.05)
    fail("timed out waiting for " + what)


def listening(addr_hex):
    """True when a socket listens on that address (hex as in /proc/net/tcp), port 5555."""
    with open("/proc/net/tcp") as f:
        for line in f.readlines()[1:]:
            fields = line.split()
            if fields[1] == addr_hex + ":15B3" and fields[3] == "0A":
                return True
    return False


STATS = re.compile(r"stats: .*players (\d+), watchers (\d+), connections (\d+)")


def last_stats(name):
    for line in reversed(list(logs[name])):
        m = STATS.search(line)
        if m:
            return {"players": int(m.group(1)), "connections": int(m.group(3))}
    return None


def reason_total(name, reason):
    return sum(int(m.group(1)) for line in list(logs[name])
               for m in [re.search(r" %s (\d+)" % reason, line)] if m and "stats:" in line)


def run_bots(bots, args):
    out = subprocess.run([bots, "--json", "--per-bot"] + args, capture_output=True, text=True,
                         timeout=WAIT + 30)
    for line in reversed(out.stdout.splitlines()):
        if line.startswith("{"):
            return json.loads(line)
    fail("no JSON line from mazecar-bots %s: %s" % (args, out.stdout + out.stderr))


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--server", required=True)
    ap.add_argument("--bots", required=True)
    ap.add_argument("--config", required=True)
    ap.add_argument("--in-namespace", action="store_true")
    args = ap.parse_args()
    if not args.in_namespace and os.geteuid() == 0 and shutil.which("unshare") and \
            subprocess.call(["unshare", "--net", "ip", "link", "set", "lo", "up"],
                            stderr=subprocess.DEVNULL) == 0:
        # Port 5555 of a network namespace of our own: no other test on this machine.
        cmd = "ip link set lo up && exec \"$0\" \"$@\" --in-namespace"
        sys.exit(subprocess.call(["unshare", "--net", "sh", "-c", cmd, sys.executable,
                                  *sys.argv]))

    haproxy = shutil.which("haproxy") or ("/usr/sbin/haproxy" if os.path.exists(
        "/usr/sbin/haproxy") else None)
    if not haproxy:
        print("SKIP: haproxy is not installed (scripts/install-deps.sh installs it)")
        sys.exit(77)
    try:
        subprocess.run([haproxy, "-v"], capture_output=True, timeout=10, check=True)
    except (OSError, subprocess.SubprocessError) as e:
        print("SKIP: haproxy cannot run here: %s" % e)
        sys.exit(77)
    check = subprocess.run([haproxy, "-c", "-f", args.config], capture_output=True, text=True,
                           timeout=10)
    if check.returncode != 0:
        fail("haproxy rejects the shipped configuration:\n" + check.stdout + check.stderr)

    if listening("0100007F") or listening("00000000"):
        fail("port 5555 on 127.0.0.1 is taken by another program")
    for i, addr in enumerate(ADDRS):
        start("server%d" % i, [args.server, "--listen", addr, "--proxy-from", "127.0.0.1",
                               "--stats-seconds", "1", "--per-address", str(PER_ADDRESS),
                               "--connect-rate", "100", "--slots", "4", "--enemies", "0",
                               "--quick", "--lobby-seconds", "1"])
    servers = list(procs)
    for i, addr in enumerate(ADDRS):
        wait_until("server %s to listen" % addr,
                   lambda i=i: any("listening" in l for l in logs["server%d" % i])
                   or servers[i].poll() is not None)
        if servers[i].poll() is not None:
            fail("server on %s ended at start (is port 5555 taken?)" % addr)
    proxy = start("haproxy", [haproxy, "-f", args.config, "-db"])
    wait_until("haproxy to listen on 127.0.0.1:5555",
               lambda: listening("0100007F") or proxy.poll() is not None)
    if proxy.poll() is not None:
        fail("haproxy ended at start")
    # Every server has answered a health check: HAProxy counts it up.
    for i in range(3):
        wait_until("a health check on server %d" % i,
                   lambda i=i: reason_total("server%d" % i, "health checks") > 0)

    # 0. A room lives in one process: its players use that server's own frontend.
    room = run_bots(args.bots, ["--server", "127.0.2.3", "--clients", "4", "--sources", "4",
                                "--room", "club", "--source-base", "127.0.8.10", "--seconds",
                                "3"])
    opened = [sum("opened in room club" in l for l in list(logs["server%d" % i]))
              for i in range(3)]
    if room["checked_in"] != 4 or opened != [0, 1, 0]:
        fail("four bots in room club through 127.0.2.3: checked in %d, room opened %r" % (
            room["checked_in"], opened))

    # 1. The crowd, from 100 addresses, three bots each.
    result = {}
    crowd = threading.Thread(target=lambda: result.update(run_bots(args.bots, [
        "--clients", str(MAIN_BOTS), "--sources", str(MAIN_SOURCES), "--source-base",
        "127.0.1.10", "--seconds", str(MAIN_SECONDS), "--ramp", "200"])))
    crowd.start()
    wait_until("the 300 bots connected on the three servers",
               lambda: all(last_stats("server%d" % i) for i in range(3)) and
               sum(last_stats("server%d" % i)["connections"] for i in range(3)) >= MAIN_BOTS)
    spread = [last_stats("server%d" % i) for i in range(3)]
    print("spread over the servers:", spread)
    for i, s in enumerate(spread):
        if s["connections"] < MAIN_BOTS // 6 or s["players"] < 1:
            fail("server %s has too few of the players: %r" % (ADDRS[i], spread))

    # 2. A burst from one address meets the balancer's limit and one server's. Its few
    # refusals are logged once the crowd's check-ins no longer fill the log's rate limit.
    wait_until("server 127.0.0.3 to leave no log line out",
               lambda: re.search(r"log lines left out 0\b", [
                   l for l in list(logs["server1"]) if "stats:" in l][-1]))
    burst = run_bots(args.bots, ["--server", "127.0.2.3", "--clients", str(BURST_BOTS),
                                 "--sources", "1", "--source-base", "127.0.9.9", "--seconds",
                                 "4"])
    print("burst from 127.0.9.9: checked in %d, refused %d" % (burst["checked_in"],
                                                               burst["refused"]))
    # A connection the balancer closes at once may look refused or never opened.
    turned_away = burst["refused"] + burst["connect_failed"]
    if burst["checked_in"] != PER_ADDRESS or turned_away != BURST_BOTS - PER_ADDRESS:
        fail("one address beyond the limit: %r" % {k: burst[k] for k in (
            "connected", "checked_in", "refused", "lost", "connect_failed")})
    # The balancer lets at most 10 of the 20 reach the server (its rate limit per address).
    wait_until("the server's count of the burst", lambda: reason_total("server1", "per_address"))
    if not 1 <= reason_total("server1", "per_address") <= BALANCER_RATE - PER_ADDRESS:
        fail("server 127.0.0.3 refused %d of the burst itself" % reason_total(
            "server1", "per_address"))
    all_lines = [l for i in range(3) for l in list(logs["server%d" % i])]
    if not any("per_address (127.0.9.9)" in l for l in all_lines):
        fail("no server log names 127.0.9.9 for the per-address refusals")
    if any("(127.0.0.1)" in l or "from 127.0.0.1:" in l for l in all_lines):
        fail("a server log names the balancer's address for a client")

    # 3. One server dies; the rest play on and take the newcomers.
    killed_conns = last_stats("server%d" % KILLED)["connections"]
    servers[KILLED].send_signal(signal.SIGKILL)
    servers[KILLED].wait(timeout=WAIT)
    late = run_bots(args.bots, ["--clients", str(LATE_BOTS), "--sources", str(LATE_BOTS),
                                "--source-base", "127.0.10.10", "--seconds", "4"])
    print("after the kill: %d of %d new bots checked in" % (late["checked_in"], LATE_BOTS))
    if late["checked_in"] != LATE_BOTS or late["protocol_errors"] != 0:
        fail("new bots after the kill: %r" % {k: late[k] for k in (
            "connected", "connect_failed", "refused", "checked_in", "protocol_errors")})

    crowd.join(timeout=MAIN_SECONDS + WAIT)
    if crowd.is_alive() or not result:
        fail("the 300 bots did not report")
    lost = [b for b in result["bots"] if b["lost"]]
    kept = [b for b in result["bots"] if not b["lost"] and b["play_s"] >= 1.0]
    slowest = min((b["pos_per_s"] for b in kept), default=0)
    print("crowd: checked in %d, lost %d (killed server held %d), %d others in play, "
          "slowest %.1f position messages/s, longest gap %.0f ms, protocol errors %d" % (
              result["checked_in"], len(lost), killed_conns, len(kept), slowest,
              result["max_gap_ms"], result["protocol_errors"]))
    if result["checked_in"] != MAIN_BOTS or result["protocol_errors"] != 0:
        fail("the crowd: checked in %d, protocol errors %d" % (result["checked_in"],
                                                               result["protocol_errors"]))
    if not killed_conns // 2 <= len(lost) <= killed_conns + 5:
        fail("%d bots lost, the killed server held %d connections" % (len(lost), killed_conns))
    if len(kept) < MAIN_BOTS // 3 or slowest < 25:
        fail("the other games: %d bots in play, slowest %.1f position messages/s" % (
            len(kept), slowest))
    for i in range(3):
        if i != KILLED and reason_total("server%d" % i, "bad_proxy_header") != 0:
            fail("server %s counted bad PROXY headers from HAProxy" % ADDRS[i])
    # The other two stop cleanly (in a sanitizer build: without a finding).
    for i, p in enumerate(servers):
        if i != KILLED:
            p.send_signal(signal.SIGTERM)
            if p.wait(timeout=WAIT) != 0:
                fail("server %s ended with %d after SIGTERM" % (ADDRS[i], p.returncode))
    if any("Sanitizer" in l or "runtime error" in l for name in logs for l in logs[name]):
        fail("a sanitizer finding in a server's output")
    print("PASS")


if __name__ == "__main__":
    try:
        main()
    finally:
        for p in reversed(procs):
            if p.poll() is None:
                p.send_signal(signal.SIGTERM)
        for p in procs:
            try:
                p.wait(timeout=10)
            except subprocess.TimeoutExpired:
                p.kill()
