#!/usr/bin/env python3
"""The status page in a real browser: headless chromium loads the page served by the
fixture (two games, players named with markup), lets its script fetch and draw, and
the rendered DOM is checked: both games, the names as literal text, no script run from
a name, scores that move between two loads. A screenshot is left for people to see."""
import argparse
import os
import re
import select
import shutil
import subprocess
import sys
import tempfile
import time

WAIT_S = 30  # generous: conditions, not sleeps


def read_line(proc, prefix):
    deadline = time.monotonic() + WAIT_S
    while time.monotonic() < deadline:
        ready, _, _ = select.select([proc.stdout], [], [], deadline - time.monotonic())
        if not ready:
            break
        line = proc.stdout.readline()
        if not line:
            break
        if line.startswith(prefix):
            return line.strip()
    sys.exit(f"fixture never said '{prefix}'")


def chromium(browser, profile, url, *extra):
    cmd = [browser, "--headless", "--no-sandbox", "--disable-gpu", "--no-first-run",
           "--disable-extensions", f"--user-data-dir={profile}",
           "--virtual-time-budget=4000", *extra, url]
    try:
        done = subprocess.run(cmd, capture_output=True, text=True, timeout=90)
    except subprocess.TimeoutExpired:
        # A dialog (alert) opened by a script halts a headless page for good.
        sys.exit("chromium did not finish loading the page: did a script from a name open a dialog?")
    if done.returncode != 0:
        sys.exit(f"chromium ended with {done.returncode}: {done.stderr[-2000:]}")
    return done.stdout


def score_of(dom, name_html):
    m = re.search(r'<td class="name">' + re.escape(name_html) +
                  r'</td><td class="num score">(\d+)</td>', dom)
    if not m:
        sys.exit(f"no score cell for {name_html}")
    return int(m.group(1))


def check_dom(dom):
    problems = []
    renders = re.search(r'<body[^>]*data-renders="(\d+)"', dom)
    if not renders:
        problems.append("the page never rendered a status (no data-renders on body)")
    for game in ('data-game="1"', 'data-game="2"'):
        if game not in dom:
            problems.append(f"game card {game} missing")
    if "Quick play #1" not in dom:
        problems.append("quick-play title missing")
    # Text nodes: < and > come back escaped, a double quote does not.
    for text in ('Room "};', '<td class="name">"};</td>',
                 '<td class="name">&lt;img src=x onerror=alert(1)&gt;</td>',
                 '<td class="name">&lt;img src=x onerror=document.body.dataset.pwned=1&gt;</td>'):
        if text not in dom:
            problems.append(f"literal text missing: {text}")
    if re.search(r"<img", dom, re.I):
        problems.append("an <img> element made it into the page")
    if "pwned" in re.sub(r"&lt;img[^&]*&gt;", "", dom):
        problems.append("a script from a player's name ran")
    mazes = len(re.findall(r'<canvas(?! id="view-canvas")', dom))  # the viewer's stays hidden
    if mazes != 2:
        problems.append(f"{mazes} maze pictures, expected 2")
    if "Best scores" not in dom:
        problems.append("hall of fame missing")
    return problems


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--fixture", required=True)
    ap.add_argument("--shots", required=True)
    args = ap.parse_args()
    browser = shutil.which("chromium")
    if not browser:
        sys.exit("chromium is not installed (scripts/install-deps.sh installs it)")
    os.makedirs(args.shots, exist_ok=True)

    fixture = subprocess.Popen([args.fixture], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                               text=True)
    try:
        port = int(read_line(fixture, "listening ").split()[1])
        url = f"http://127.0.0.1:{port}/"
        with tempfile.TemporaryDirectory() as profile:
            first = chromium(browser, profile, url, "--dump-dom")
            problems = check_dom(first)
            fixture.stdin.write("next\n")
            fixture.stdin.flush()
            read_line(fixture, "published ")
            second = chromium(browser, profile, url, "--dump-dom")
            problems += check_dom(second)
            if not problems:
                for name in ("ann", '"};'):
                    before, after = score_of(first, name), score_of(second, name)
                    if before == after:
                        problems.append(f"score of {name} stayed {before} between two loads")
                    print(f"score of {name}: {before} then {after}")
            shot = os.path.join(args.shots, "status-page.png")
            chromium(browser, profile, url, f"--screenshot={shot}", "--window-size=1280,1100",
                     "--hide-scrollbars")
            if not os.path.exists(shot) or os.path.getsize(shot) == 0:
                problems.append("no screenshot")
            else:
                print(f"screenshot: {shot}")
    finally:
        fixture.stdin.close()
        fixture.wait(timeout=WAIT_S)
    for p in problems:
        print("FAIL:", p)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
