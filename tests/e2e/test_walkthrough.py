"""One whole game as the player sees it: the scripted server leads the real client
through lobby, ready, play, stage cleared, round result, final result and quit. At
each screen the window is photographed into <build>/e2e-screens and checked at a
few places whose colour the screen's layout fixes."""
import os
import unittest

from e2e_case import ClientTestCase
from scripted_server import (CELL, PS_DRIVE, TAG_FINAL_RESULT, TAG_HISCORE, TAG_LOBBY, TAG_MAP,
                             TAG_PLAYERINFO2, TAG_QUIT, TAG_READY, TAG_ROUND_RESULT,
                             TAG_ROUNDINFO, TAG_STAGE_CLEAR, TAG_START, TIMEOUT, car_record,
                             frame, maze, wait_until, word, words)

SCREENS = os.environ.get("MAZECAR_E2E_SCREENS", os.path.join(os.getcwd(), "e2e-screens"))

CLEAR = (0.0, 0.0, 0.3)
TITLE_BLUE = (0.7, 0.7, 1.0)
FIELD_GREEN = (0.3, 0.5, 0.2)
OWN_CAR_BLUE = (0.0, 0.0, 1.0)
GAUGE_GREY = (0.8, 0.8, 0.8)
GAUGE_BACK = (0.0, 0.0, 0.5)
GREEN = (0.0, 1.0, 0.0)
RED = (1.0, 0.0, 0.0)
YELLOW = (1.0, 1.0, 0.0)

FIELD = (10, 10, 320, 320)   # the field's viewport in the 450 x 350 window

# The own car (entry 0) stands in the middle of cell (2, 2): the part of the field
# beyond the maze's top-left corner shows the bare green background.
OWN_X = OWN_Y = 2 * CELL + CELL // 2


class WalkThroughTest(ClientTestCase):
    def setUp(self):
        super().setUp()
        os.makedirs(SCREENS, exist_ok=True)
        self.window = self.open_session(entry=0, players=2, name=b"alice\n")

    def photograph(self, name, holds):
        """Photographs the window until holds(picture) is true; saves the last one."""
        path = os.path.join(SCREENS, name + ".png")
        pictures = []

        def shot():
            pictures.append(self.window.screenshot(path))
            return holds(pictures[-1])
        wait_until(shot, TIMEOUT, interval=0.05)
        return pictures[-1]

    def send(self, *messages):
        self.server.send(b"".join(messages))

    def test_lobby_to_quit(self):
        cars = (car_record(OWN_X, OWN_Y, PS_DRIVE, fuel=1500, lives=2, name=b"alice")
                + car_record(OWN_X + 2 * CELL, OWN_Y, PS_DRIVE, name=b"bob")
                + car_record(OWN_X, OWN_Y + 2 * CELL, PS_DRIVE, name=b"enemy"))
        self.send(frame(TAG_ROUNDINFO, words(1, 3, 3, 1)),
                  frame(TAG_MAP, maze({(2, 4): 2, (4, 4): 5, (6, 2): 1})),
                  frame(TAG_PLAYERINFO2, cars),
                  frame(TAG_HISCORE, word(5000)),
                  frame(TAG_LOBBY, word(5)))

        def lobby(p):
            return (p.count(TITLE_BLUE, -0.5, 0.7, -0.2, 0.82) > 20
                    and p.count(YELLOW, -0.7, -0.7, 0.0, -0.62) > 10)   # "Waiting for..."
        picture = self.photograph("1-lobby", lobby)
        self.assertTrue(lobby(picture), "lobby: title or waiting line missing")
        self.assertClear(picture, -0.95, -0.95)

        self.send(frame(TAG_READY, word(0)))

        def ready(p):
            return (p.count(FIELD_GREEN, -1, 0.8, -0.8, 1, FIELD) > 100
                    and p.count(GREEN, -0.25, 0.2, 0.3, 0.3, FIELD) > 10)   # "READY  3"
        picture = self.photograph("2-ready", ready)
        self.assertTrue(ready(picture), "ready: no field or no READY line")
        self.assertPlayScreen(picture)

        self.send(frame(TAG_START, word(1)))

        def play(p):
            return p.count(RED, -0.1, 0.2, 0.1, 0.3, FIELD) > 10   # "GO!"
        picture = self.photograph("3-play", play)
        self.assertTrue(play(picture), "play: no GO!")
        self.assertPlayScreen(picture)
        # Fuel 1500 of 3000: the bar covers the right half of the gauge.
        self.assertNear(picture.colour_at(0.6, 0.185), GAUGE_BACK, "empty half of the gauge")
        self.assertNear(picture.colour_at(0.9, 0.185), GREEN, "full half of the gauge")

        self.send(frame(TAG_STAGE_CLEAR))

        def cleared(p):
            return (p.count(GREEN, -0.5, 0.2, 0.3, 0.3, FIELD) > 30   # "STAGE CLEARED"
                    and p.count(RED, -0.1, 0.2, 0.1, 0.3, FIELD) == 0)
        picture = self.photograph("4-stage-cleared", cleared)
        self.assertTrue(cleared(picture), "stage cleared: message missing")
        self.assertPlayScreen(picture)

        self.send(frame(TAG_ROUND_RESULT, word(0)))

        def round_result(p):
            return (p.count(TITLE_BLUE, -0.7, 0.5, -0.2, 0.6) > 20   # "Round 1 Result"
                    and p.count(YELLOW, -0.85, 0.0, -0.4, 0.06) > 10   # highlighted row
                    and p.count(FIELD_GREEN, -1, -1, 1, 1) == 0)
        picture = self.photograph("5-round-result", round_result)
        self.assertTrue(round_result(picture), "round result: heading or highlight missing")
        self.assertClear(picture, 0.9, 0.9)

        self.send(frame(TAG_FINAL_RESULT))

        def final_result(p):
            return (p.count(TITLE_BLUE, -0.7, 0.5, -0.2, 0.6) > 20   # "Final Result"
                    and p.count(GREEN, -0.85, 0.0, -0.4, 0.06) > 10   # own row
                    and p.count(YELLOW, -0.85, 0.0, -0.4, 0.06) == 0)
        picture = self.photograph("6-final-result", final_result)
        self.assertTrue(final_result(picture), "final result: heading or own row wrong")
        self.assertClear(picture, 0.9, 0.9)

        self.send(frame(TAG_QUIT))
        self.assertExits(0)

    def assertNear(self, seen, colour, what, tolerance=4):
        want = tuple(round(c * 255) for c in colour)
        self.assertTrue(all(abs(a - b) <= tolerance for a, b in zip(seen, want)),
                        f"{what}: {seen}, expected about {want}")

    def assertClear(self, picture, x, y):
        self.assertNear(picture.colour_at(x, y), CLEAR, f"clear colour at ({x}, {y})")

    def assertPlayScreen(self, picture):
        """The field beyond the maze's corner, the own car at its centre and the
        gauge's grey frame."""
        self.assertNear(picture.colour_at(-0.9, 0.9, FIELD), FIELD_GREEN, "field background")
        self.assertGreater(picture.count(OWN_CAR_BLUE, -0.03, -0.03, 0.03, 0.03, FIELD), 4,
                           "own car at the centre of the field")
        self.assertGreater(picture.count(GAUGE_GREY, 0.54, 0.14, 0.96, 0.23), 20,
                           "grey frame of the fuel gauge")
        self.assertClear(picture, 0.98, 0.98)


if __name__ == "__main__":
    unittest.main()
