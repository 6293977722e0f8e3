// The wire from end to end: a real server game encodes its messages, the client's own
// handlers decode them, and the client's model must then say what the game says, field
// by field. Client and server link into this one test, so any drift between the two
// ends of a layout fails here.
#include <gtest/gtest.h>

#include <cstring>

#include "game/game.h"
#include "game/model.h"
#include "net/framing.h"
#include "peer.h"

namespace {

class RoundTrip : public ClientTest {
protected:
    void deliver(game &g, int *handled);
};

// Hands every message the game has for place 0 to the client, one per poll, and checks
// the model against the game after each car, map, smoke and round message.
void RoundTrip::deliver(game &g, int *handled)
{
    for (const outbox::entry &e : g.out.msgs) {
        if (e.slot != TO_ALL && e.slot != 0)
            continue;
        const unsigned char *p = g.out.data(e);
        send_raw(bytes(p, p + e.len));
        poll_server();
        (*handled)++;
        switch (get_be32(p)) {
        case TAG_PLAYERINFO2:
            for (int i = 0; i < g.car_total(); i++) {
                const car &c = g.cars[i];
                const playerinfo &m = players[i];
                EXPECT_EQ(m.flags, c.flags);
                EXPECT_EQ(m.lives, c.lives);
                EXPECT_EQ(m.wins, c.wins);
                EXPECT_EQ(m.score, c.score);
                EXPECT_EQ(m.flags_game, c.flags_game);
                EXPECT_EQ(m.control, c.control);
                EXPECT_STREQ(m.name, c.name);
            }
            [[fallthrough]];
        case TAG_PLAYERINFO:
            for (int i = 0; i < g.car_total(); i++) {
                const car &c = g.cars[i];
                const playerinfo &m = players[i];
                EXPECT_EQ(m.x, c.x) << "car " << i;
                EXPECT_EQ(m.y, c.y);
                EXPECT_EQ(m.angle, c.angle);
                EXPECT_EQ(m.status, c.status);
                EXPECT_EQ(m.fuel, c.fuel);
            }
            break;
        case TAG_MAP: EXPECT_EQ(memcmp(fieldmap, g.field, MAP_BYTES), 0); break;
        case TAG_SMOKE:
            for (int j = 0; j < SMOKE_MAX; j++) {
                EXPECT_EQ(smoke[j].x, g.puffs[j].x);
                EXPECT_EQ(smoke[j].y, g.puffs[j].y);
                EXPECT_EQ(smoke[j].size, g.puffs[j].size);
            }
            break;
        case TAG_ROUNDINFO:
            EXPECT_EQ(round_no, g.round_no);
            EXPECT_EQ(flags_total, g.flags_total);
            EXPECT_EQ(flags_left, g.flags_left);
            EXPECT_EQ(Nenemy, g.cfg.enemies);
            break;
        case TAG_HISCORE: EXPECT_EQ(hiscore, g.hiscore); break;
        default: break;
        }
    }
    g.out.clear();
}

TEST_F(RoundTrip, TheClientsModelSaysWhatTheServersGameSaysThroughARound)
{
    game g(game_config{3, 2, 1, 1, 6, 77, 2, false});
    Nclient = g.cfg.slots;
    int handled = 0;
    g.join(0, "alice");
    deliver(g, &handled);
    g.join(1, "bob");
    deliver(g, &handled);
    g.keys(0, KEY_SPACE);
    g.keys(0, 0);
    bool played = false, smoked = false;
    for (int t = 0; t < 60 * TICK_HZ && g.phase != PH_FINAL_RESULT; t++) {
        int32_t arrows[] = {KEY_UP, KEY_LEFT, KEY_DOWN, KEY_RIGHT};
        g.keys(0, arrows[t / 20 % 4] | (t % 45 == 0 ? KEY_SPACE : 0));
        if (g.phase == PH_PLAY && t % 40 == 0)  // a flag under the car: taken next step
            g.field[g.cars[0].y / CELL_SIZE][g.cars[0].x / CELL_SIZE] = CELL_FLAG;
        g.step();
        played = played || g.phase == PH_PLAY;
        for (const puff &p : g.puffs)
            smoked = smoked || p.size > 0;
        deliver(g, &handled);
        if (HasFailure())
            return;
    }
    EXPECT_TRUE(played);
    EXPECT_TRUE(smoked);
    EXPECT_GT(g.cars[0].flags_game, 0);
    EXPECT_GT(handled, 100);
    EXPECT_STREQ(players[1].name, "bob");
}

}  // namespace
