// Computer rivals in a seeded game stepped directly: they fill a lone player's game,
// race for the flags and are never kept as players.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "game/placement.h"

namespace {

void step(game &g)
{
    g.step();
    g.out.clear();
}

TEST(Rivals, ALonePlayersGameFillsWithRivalsWhoScoreWithinAMinuteAndAreNeverKept)
{
    game_config c{4, 3, 3, 1, 10, 2024, 2, false};
    c.rivals = 3;
    placement places(c, 10);
    placed quick{}, room{};
    ASSERT_TRUE(places.place("", quick));
    ASSERT_TRUE(places.place("den", room));
    EXPECT_EQ(room.hg->g.cfg.rivals, 0) << "rooms have rivals only when asked";
    game &g = quick.hg->g;
    g.join(0, "alice");
    g.keys(0, KEY_SPACE);
    g.keys(0, 0);
    for (int t = 0; t < 30 * TICK_HZ && g.phase != PH_PLAY; t++) {
        EXPECT_TRUE(g.phase != PH_LOBBY || g.free_place() == 1) << "no rival waits in a lobby";
        step(g);
    }
    ASSERT_EQ(g.phase, PH_PLAY);
    for (int s = 1; s < 4; s++) {
        const car &r = g.cars[s];
        size_t len = strnlen(r.name, NAME_BYTES);
        EXPECT_TRUE(r.rival && r.in_game && r.status == PS_DRIVE) << s;
        ASSERT_TRUE(len > 1 && len < NAME_BYTES && r.name[len - 1] == '*') << r.name;
        int hx, hy;
        g.human_home(s, &hx, &hy);
        EXPECT_EQ(r.x / CELL_SIZE * 100 + r.y / CELL_SIZE, hx * 100 + hy) << "own start";
    }
    // Alice stands still; the rivals race for the flags.
    for (int t = 0; t < 60 * TICK_HZ && g.phase == PH_PLAY; t++)
        step(g);
    int taken = 0, best = 0;
    for (int s = 1; s < 4; s++) {
        taken += g.cars[s].flags_game;
        best = std::max(best, g.cars[s].score);
        EXPECT_GT(g.cars[s].flags_game, 0) << g.cars[s].name;
    }
    EXPECT_GE(taken, 6);
    EXPECT_GT(best, 0);
    EXPECT_EQ(g.hiscore, g.cars[0].score) << "the high score is people's";
    game_record rec = record_of(*quick.hg, 0, false);
    ASSERT_EQ(rec.players.size(), 1u);
    EXPECT_EQ(rec.players[0].name, "alice");
    // Back in the lobby the rivals are gone: their places are free for people.
    g.leave(0);
    for (int t = 0; t < 120 * TICK_HZ && g.phase != PH_LOBBY; t++)
        step(g);
    EXPECT_EQ(g.phase, PH_LOBBY);
    EXPECT_EQ(g.free_place(), 0);
    for (int s = 0; s < 4; s++)
        EXPECT_FALSE(g.cars[s].rival || g.cars[s].in_game) << s;
}

}  // namespace
