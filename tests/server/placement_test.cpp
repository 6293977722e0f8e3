// Placement of players in games and rooms, and games as independent values: two games
// stepped side by side play exactly as each would alone.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include <arpa/inet.h>
#include <netinet/in.h>

#include "game/placement.h"
#include "net/address_limits.h"
#include "net/stats.h"

namespace {

game_config config(int slots)
{
    return game_config{slots, 1, 2, 1, 3, 1234, 2, false};
}

TEST(RoomNames, ANameWithAWellFormedRoomIsSplitAndAnyOtherIsKeptWhole)
{
    struct {
        const char *raw, *name, *room;
    } cases[] = {
        {"bob@club7", "bob", "club7"}, {"bob", "bob", ""},
        {"bob@", "bob@", ""},          {"bob@ninechars", "bob@ninechars", ""},
        {"bob@a-b", "bob@a-b", ""},    {"a@b@room", "a@b", "room"},
        {"@club", "", "club"},
    };
    for (const auto &c : cases) {
        std::string name, room;
        split_room(c.raw, name, room);
        EXPECT_EQ(name, c.name) << c.raw;
        EXPECT_EQ(room, c.room) << c.raw;
    }
}

TEST(Placement, QuickPlayFillsTheNewestLobbyGameAndRoomsAreApart)
{
    placement p(config(2), 10);
    placed a{}, b{}, c{}, r1{}, r2{}, r3{};
    ASSERT_TRUE(p.place("", a));
    a.hg->g.join(a.slot, "a");
    ASSERT_TRUE(p.place("", b));
    b.hg->g.join(b.slot, "b");
    EXPECT_EQ(a.hg, b.hg);
    EXPECT_EQ(b.slot, 1);
    ASSERT_TRUE(p.place("", c));
    c.hg->g.join(c.slot, "c");
    EXPECT_NE(c.hg, a.hg) << "a full game opens the next";

    ASSERT_TRUE(p.place("den", r1));
    r1.hg->g.join(r1.slot, "r1");
    EXPECT_NE(r1.hg, c.hg) << "a room is not quick play";
    EXPECT_EQ(r1.hg->room, "den");
    ASSERT_TRUE(p.place("den", r2));
    r2.hg->g.join(r2.slot, "r2");
    EXPECT_EQ(r2.hg, r1.hg);
    ASSERT_TRUE(p.place("den", r3));
    EXPECT_TRUE(r3.room_was_full);
    EXPECT_EQ(r3.hg, c.hg) << "a full room sends to the quick-play game with a place";
    a.hg->g.leave(a.slot);
    placed e{};
    ASSERT_TRUE(p.place("", e));
    EXPECT_EQ(e.hg, c.hg) << "of two quick-play games with a place, the newest";
    a.hg->g.join(a.slot, "a");

    // A quick-play game that has started takes no newcomer.
    c.hg->g.phase = PH_PLAY;
    placed d{};
    ASSERT_TRUE(p.place("", d));
    EXPECT_NE(d.hg, c.hg);
    EXPECT_EQ(p.games.size(), 4u);
}

TEST(Placement, TheGameCapHoldsAndAClosedGameMakesRoom)
{
    placement p(config(1), 2);
    placed a{}, b{}, c{};
    ASSERT_TRUE(p.place("", a));
    a.hg->g.join(a.slot, "a");
    ASSERT_TRUE(p.place("x", b));
    b.hg->g.join(b.slot, "b");
    EXPECT_FALSE(p.has_room_for_newcomer());
    EXPECT_FALSE(p.place("", c));
    EXPECT_FALSE(p.place("y", c));
    b.hg->g.leave(b.slot);
    p.close(b.hg);
    EXPECT_TRUE(p.place("y", c));
    EXPECT_EQ(c.hg->room, "y");
}

TEST(Placement, EachGameHasItsOwnSeedAndTheFirstKeepsTheServers)
{
    placement p(config(1), 10);
    EXPECT_EQ(p.seed_of(0), 1234u);
    EXPECT_NE(p.seed_of(1), p.seed_of(2));
    EXPECT_NE(p.seed_of(1), 1234u);
    placement again(config(1), 10);
    EXPECT_EQ(again.seed_of(5), p.seed_of(5)) << "reproducible from --seed";
}

// One game's course, with scripted keys; `other` (if any) steps in between.
std::string play(uint32_t seed, game *other)
{
    game_config c = config(2);
    c.enemies = 3;
    c.seed = seed;
    game g(c);
    g.join(0, "a");
    g.keys(0, KEY_SPACE);
    g.keys(0, 0);
    for (int t = 0; t < 25 * TICK_HZ; t++) {
        if (t % 37 == 0)
            g.keys(0, (1 << (t / 37 % 4)) | (t % 74 == 0 ? KEY_SPACE : 0));
        g.step();
        g.out.clear();
        if (other) {
            other->keys(0, t % 3 ? KEY_LEFT : KEY_SPACE);
            other->step();
            other->out.clear();
        }
    }
    char text[4096];
    g.describe(text, sizeof text);
    return std::string(text) + std::string(reinterpret_cast<char *>(g.field), MAP_BYTES);
}

TEST(Games, TwoGamesSteppedSideBySidePlayAsEachWouldAlone)
{
    game_config c = config(2);
    c.enemies = 3;
    c.seed = 99;
    game other(c);
    other.join(0, "o");
    other.keys(0, KEY_SPACE);
    other.keys(0, 0);
    std::string alone = play(7, nullptr);
    std::string beside = play(7, &other);
    EXPECT_EQ(alone, beside);
    EXPECT_NE(other.phase, PH_LOBBY) << "the other game really played";
}

sockaddr_storage address(const char *text)
{
    sockaddr_storage sa{};
    if (strchr(text, ':')) {
        auto &v6 = reinterpret_cast<sockaddr_in6 &>(sa);
        v6.sin6_family = AF_INET6;
        inet_pton(AF_INET6, text, &v6.sin6_addr);
    } else {
        auto &v4 = reinterpret_cast<sockaddr_in &>(sa);
        v4.sin_family = AF_INET;
        inet_pton(AF_INET, text, &v4.sin_addr);
    }
    return sa;
}

TEST(AddressLimits, AnIPv6Slash64CountsAsOneAddressAndAMappedIPv4AsItself)
{
    EXPECT_EQ(address_key(address("2001:db8:1:2::1")),
              address_key(address("2001:db8:1:2:ffff::9")));
    EXPECT_FALSE(address_key(address("2001:db8:1:2::1")) ==
                 address_key(address("2001:db8:1:3::1")));
    EXPECT_EQ(address_key(address("::ffff:203.0.113.5")), address_key(address("203.0.113.5")));
    EXPECT_FALSE(address_key(address("203.0.113.5")) == address_key(address("203.0.113.6")));

    address_limits limits(2, 100, 10000);
    addr_key home = address_key(address("2001:db8:1:2::1"));
    EXPECT_EQ(limits.admit(address_key(address("2001:db8:1:2::1")), 0), ADMIT_OK);
    EXPECT_EQ(limits.admit(address_key(address("2001:db8:1:2::77")), 0), ADMIT_OK);
    EXPECT_EQ(limits.admit(address_key(address("2001:db8:1:2:8::1")), 0), ADMIT_TOO_MANY);
    limits.release(home);
    EXPECT_EQ(limits.admit(home, 0), ADMIT_OK);
    // Long after the last attempt, connections still open keep counting.
    limits.prune(60000);
    EXPECT_EQ(limits.admit(home, 60000), ADMIT_TOO_MANY);
}

TEST(AddressLimits,
     TheConnectRateLetsABurstThroughThenOneEachIntervalAndHoldsOffAnAddressThatKeepsTrying)
{
    address_limits limits(1000, 4, 10000);  // 4 at once, then one each 2.5 s
    addr_key a = address_key(address("203.0.113.5")), b = address_key(address("203.0.113.6")),
             c = address_key(address("203.0.113.7"));
    for (addr_key k : {a, b, c})
        for (int n = 0; n < 4; n++)
            EXPECT_EQ(limits.admit(k, 0), ADMIT_OK);
    EXPECT_EQ(limits.admit(a, 2500), ADMIT_OK) << "one each interval after the burst";
    EXPECT_EQ(limits.admit(a, 2501), ADMIT_TOO_FAST);
    for (long long t = 1000; t < 30000; t += 1000)  // b and c keep trying faster than that
        for (addr_key k : {b, c})
            EXPECT_EQ(limits.admit(k, t), ADMIT_TOO_FAST) << t;
    EXPECT_EQ(limits.admit(b, 29000 + 9999), ADMIT_TOO_FAST) << "a trier waits a whole window";
    EXPECT_EQ(limits.admit(c, 29000 + 10000), ADMIT_OK);
}

TEST(StepFigures, PercentilesReadTheLastStepsHoweverLongNoStatsLineCame)
{
    auto s = std::make_unique<server_stats>();
    for (int k = 0; k < 100000; k++)  // an hour of slow steps
        s->note_step(10000, 0);
    for (int k = 0; k < STEP_WINDOW / 2; k++)
        s->note_step(1000, 0);
    double p50 = 0, p99 = 0;
    s->step_percentiles(&p50, &p99, STEP_WINDOW / 2);
    EXPECT_EQ(p50, 1.0);
    EXPECT_EQ(p99, 1.0);
    s->step_percentiles(&p50, &p99);
    EXPECT_EQ(p99, 10.0) << "the whole window still holds slow steps";
    for (int k = 0; k < STEP_WINDOW / 2; k++)
        s->note_step(1000, 20000);
    s->step_percentiles(&p50, &p99);
    EXPECT_EQ(p99, 1.0);
    EXPECT_EQ(s->lateness_p99(), 20.0);
}

}  // namespace
