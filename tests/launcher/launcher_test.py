#!/usr/bin/env python3
"""The menu's launcher (mazecar-launch) in a real terminal, a tmux pane.

Three cases, each a behaviour a user meets from the desktop menu:
  no server:   the pane keeps "connect failed" and "Press Enter to close" after the
               client has ended, and closes after Enter;
  local game:  --local starts a server, reaches the name prompt, checks in, opens the
               client's window (screenshot saved), and when the client ends the
               server it started is gone;
  taken port:  with a server already on 5555, --local says so, plays against it, and
               that server is still running afterwards.
The test runs in a network namespace of its own when it can (root), so port 5555 is
its own; where CTest cannot give it one, it holds the port lock. Exit 77 (skipped) without a display or tmux.
"""
import argparse
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
from scripted_server import PrivateDisplay  # noqa: E402  (an X server of this test's own)

WAIT = 30.0   # seconds: generous limit of every wait
SOCKET = "mazecar-launcher-test-%d" % os.getpid()
work = None
own_procs = []


def fail(msg):
    print("FAIL: " + msg, file=sys.stderr)
    print("pane:\n" + pane_text(), file=sys.stderr)
    if work:
        print("files in " + work, file=sys.stderr)
    cleanup()
    sys.exit(1)


def cleanup():
    subprocess.run(["tmux", "-L", SOCKET, "kill-server"], capture_output=True)
    for p in own_procs:
        if p.poll() is None:
            p.kill()
            p.wait()


def tmux(*args):
    return subprocess.run(["tmux", "-L", SOCKET, *args], capture_output=True, text=True,
                          timeout=20)


def pane_text():
    return tmux("capture-pane", "-p", "-J", "-t", "game").stdout


def session_alive():
    return tmux("has-session", "-t", "game").returncode == 0


def wait_until(what, check, timeout=WAIT):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        value = check()
        if value:
            return value
        time.sleep(0.05)
    fail("timed out waiting for " + what)


def wait_text(text):
    wait_until(repr(text) + " in the pane", lambda: text in pane_text())


def type_line(text):
    if text:
        tmux("send-keys", "-t", "game", "-l", text)
    tmux("send-keys", "-t", "game", "Enter")


def alive(pid):
    """True while pid runs (a zombie counts as gone)."""
    try:
        with open("/proc/%d/stat" % pid) as f:
            return f.read().rsplit(")", 1)[1].split()[0] != "Z"
    except OSError:
        return False


def start_launcher(launcher, args):
    """The launcher as the pane's process, as a terminal from the menu runs it; the
    session ends when the launcher does (remain-on-exit is off)."""
    cmd = " ".join(["exec", launcher, *args])
    r = tmux("new-session", "-d", "-s", "game", "-x", "160", "-y", "50", cmd)
    if r.returncode != 0:
        fail("tmux new-session: " + r.stderr)
    return int(tmux("display-message", "-p", "-t", "game", "#{pane_pid}").stdout)


def children(pid):
    out = subprocess.run(["ps", "-o", "pid=,args=", "--ppid", str(pid)],
                         capture_output=True, text=True).stdout
    return [(int(line.split(None, 1)[0]), line.split(None, 1)[1])
            for line in out.splitlines() if line.strip()]


def screenshot(path):
    xwd = subprocess.run(["xwd", "-root", "-silent"], capture_output=True, timeout=20)
    subprocess.run(["convert", "xwd:-", "png:" + path], input=xwd.stdout, timeout=20,
                   check=True)


def find_window():
    out = subprocess.run(["xdotool", "search", "--name", "Mazecar client"],
                         capture_output=True, text=True, timeout=20).stdout.split()
    return out[0] if out else None


def case_no_server(launcher):
    start_launcher(launcher, [])
    wait_text("server name or IP")
    type_line("")
    wait_text("connect failed")
    wait_text("Press Enter to close")
    time.sleep(0.5)  # a pane that closed by itself now would fail the next check
    if not session_alive() or "Press Enter to close" not in pane_text():
        fail("the pane closed before Enter was pressed")
    type_line("")
    wait_until("the pane to close after Enter", lambda: not session_alive())
    print("no server: the pane kept the reason and closed after Enter")


def case_local(launcher, shots):
    pane_pid = start_launcher(launcher, ["--local"])
    wait_text("server name or IP")
    text = pane_text()
    if "server running on 127.0.0.1:5555 (pid " not in text:
        fail("the launcher did not say it started a server")
    server_pid = int(text.split("(pid ", 1)[1].split(",", 1)[0])
    if not alive(server_pid):
        fail("the local server %d is not running" % server_pid)
    type_line("")
    wait_text("Your name:")
    type_line("tester")
    wait_text("your entry number is 0")
    window = wait_until("the client's window", find_window)
    shot = os.path.join(shots, "launcher-local.png")
    screenshot(shot)
    print("local game: checked in, window %s, screenshot %s" % (window, shot))

    # The player ends the client (here with SIGTERM: there is no window manager to
    # close its window); the launcher must stop the server it started.
    client = [pid for pid, args in children(pane_pid) if "mazecar-server" not in args]
    if len(client) != 1:
        fail("expected one client under the launcher, found %r" % children(pane_pid))
    os.kill(client[0], signal.SIGTERM)
    wait_text("Press Enter to close")
    wait_until("the local server to stop", lambda: not alive(server_pid))
    type_line("")
    wait_until("the pane to close", lambda: not session_alive())
    print("local game: the launcher's server %d is gone after the client ended" % server_pid)


def case_taken_port(launcher, server, env_dir):
    log = open(os.path.join(env_dir, "own-server.log"), "w")
    own = subprocess.Popen([server, "--lobby-seconds", "60"], stdout=log,
                           stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL)
    own_procs.append(own)
    wait_until("the test's own server to listen",
               lambda: "listening on" in open(log.name).read())
    start_launcher(launcher, ["--local"])
    wait_text("already taken by a running server")
    type_line("")
    wait_text("Your name:")
    type_line("guest")
    wait_text("your entry number is 0")
    if own.poll() is not None:
        fail("the server that was already running has stopped")
    # Stopping that server makes the client exit 0: the pane closes at once.
    own.send_signal(signal.SIGTERM)
    if own.wait(timeout=WAIT) != 0:
        fail("the test's own server ended with %d" % own.returncode)
    wait_until("the pane to close after a normal end", lambda: not session_alive())
    print("taken port: played against the running server, which kept running")


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--launcher", required=True)
    ap.add_argument("--client", help="client program of a build tree (with --server, the "
                    "launcher is told both; else it finds its programs beside itself)")
    ap.add_argument("--server", required=True, help="server program (the taken-port case "
                    "starts it itself)")
    ap.add_argument("--shots", required=True, help="folder for the screenshot")
    ap.add_argument("--in-namespace", action="store_true", help=argparse.SUPPRESS)
    args = ap.parse_args()

    if not os.environ.get("DISPLAY") or not shutil.which("tmux"):
        print("needs DISPLAY (run under xvfb-run) and tmux", file=sys.stderr)
        return 77
    if not args.in_namespace and os.geteuid() == 0 and shutil.which("unshare"):
        # Port 5555 of a namespace of our own: no other test or game on this machine.
        cmd = "ip link set lo up && exec \"$0\" \"$@\" --in-namespace"
        return subprocess.call(["unshare", "--net", "sh", "-c", cmd, sys.executable,
                                *sys.argv])

    global work
    work = tempfile.mkdtemp(prefix="mazecar-launcher-test.")
    os.makedirs(args.shots, exist_ok=True)
    # The launcher and its programs see a state folder of their own (the server's log).
    os.environ["XDG_STATE_HOME"] = os.path.join(work, "state")
    if args.client:
        os.environ["MAZECAR_CLIENT_PROGRAM"] = os.path.abspath(args.client)
        os.environ["MAZECAR_SERVER_PROGRAM"] = os.path.abspath(args.server)
    else:
        os.environ.pop("MAZECAR_CLIENT_PROGRAM", None)
        os.environ.pop("MAZECAR_SERVER_PROGRAM", None)
    # A display of its own: the screenshot of the whole screen meets no other test's
    # windows opening or closing.
    display = PrivateDisplay()
    os.environ["DISPLAY"] = display.name
    try:
        case_no_server(args.launcher)
        case_local(args.launcher, args.shots)
        case_taken_port(args.launcher, args.server, work)
    finally:
        cleanup()
        display.close()
    shutil.rmtree(work, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
