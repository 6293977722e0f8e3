"""Base class of the end-to-end tests: one scripted server and one client per test,
both gone when the test ends, whatever happened."""
import os
import shutil
import unittest

from scripted_server import TIMEOUT, Client, PrivateDisplay, ScriptedServer, XWindow

CLIENT_BINARY = os.environ.get("MAZECAR_BIN", "")


def restore_display(saved):
    if saved is None:
        os.environ.pop("DISPLAY", None)
    else:
        os.environ["DISPLAY"] = saved


class ClientTestCase(unittest.TestCase):
    def setUp(self):
        if not CLIENT_BINARY or not os.access(CLIENT_BINARY, os.X_OK):
            self.fail(f"MAZECAR_BIN does not name the client binary: {CLIENT_BINARY!r}")
        self.server = None
        self.client = None

    def require_display(self):
        """Gives a test whose client opens its window an X server of its own (found
        by title, focused and typed into, its window could otherwise be mistaken for
        another test's); skips the test when Xvfb is not installed."""
        if not shutil.which("Xvfb"):
            self.skipTest("Xvfb is not installed")
        display = PrivateDisplay()
        self.addCleanup(display.close)
        saved = os.environ.get("DISPLAY")
        os.environ["DISPLAY"] = display.name
        self.addCleanup(restore_display, saved)

    def listen(self, host="127.0.0.1"):
        self.server = ScriptedServer(host)
        self.addCleanup(self.server.close)
        return self.server

    def start_client(self, keep_display=True, prefix=(), env=None):
        self.client = Client(CLIENT_BINARY, keep_display, prefix, env)
        self.addCleanup(self.client.kill)
        return self.client

    def connect(self, keep_display=True):
        """Listening server, client started, empty server line typed, connection taken."""
        self.listen()
        self.start_client(keep_display)
        self.client.write(b"\n")
        self.server.accept()
        return self.server, self.client

    def open_session(self, entry=3, players=4, name=b"driver\n"):
        """A checked-in client whose window is up; returns the window."""
        self.require_display()
        server, client = self.connect()
        server.check_in(client, name=name, entry=entry, players=players)
        window = XWindow.find("Mazecar client (ID:%02d)" % entry)
        self.assertIsNotNone(window, "no client window appeared; stderr: %r" % client.stderr)
        return window

    def assertExits(self, code, timeout=TIMEOUT):
        seen = self.client.wait_exit(timeout)
        self.assertEqual(seen, code, "exit code; stdout %r, stderr %r"
                         % (self.client.stdout, self.client.stderr))

    def assertOneFatalLine(self, starting):
        """stderr holds, besides "connected.", exactly one line, and it starts so."""
        lines = self.client.diagnostic_lines()
        self.assertEqual(len(lines), 1, "stderr: %r" % self.client.stderr)
        self.assertTrue(lines[0].startswith(starting), "stderr: %r" % self.client.stderr)
        return lines[0]

    def assertNoWindowTried(self):
        """The client ran without DISPLAY: had it tried to open its window, the
        windowing library would have complained about the display."""
        err = self.client.stderr.decode(errors="replace").lower()
        self.assertNotIn("display", err)
        self.assertNotIn("freeglut", err)
