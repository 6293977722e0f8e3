// The server's game rules on a deterministic game: the tests make a game object,
// step it directly, lay out corridors by hand and read the outbox the network would
// send.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include <memory>

#include "game/game.h"
#include "game/maze.h"

namespace {

struct sent {
    int slot;
    int tag;
    int size;
    int32_t word0;  // first payload word, 0 when there is none
};

// The game under test; each test makes its own.
std::unique_ptr<game> G;

void new_game(const game_config &c)
{
    G = std::make_unique<game>(c);
}

std::vector<sent> take_outbox()
{
    std::vector<sent> out;
    for (const outbox::entry &e : G->out.msgs) {
        const unsigned char *b = G->out.data(e);
        int32_t w0 = e.len >= TAG_SIZE + 4 ? get_be32(b + TAG_SIZE) : 0;
        out.push_back({e.slot, get_be32(b), get_be32(b + 4), w0});
    }
    G->out.clear();
    return out;
}

std::vector<sent> run_ticks(int n)
{
    std::vector<sent> all;
    for (int i = 0; i < n; i++) {
        G->step();
        std::vector<sent> some = take_outbox();
        all.insert(all.end(), some.begin(), some.end());
    }
    return all;
}

std::vector<int> tags_of(const std::vector<sent> &msgs, int slot_filter = -2)
{
    std::vector<int> tags;
    for (const sent &m : msgs)
        if (slot_filter == -2 || m.slot == slot_filter)
            tags.push_back(m.tag);
    return tags;
}

int count_tag(const std::vector<sent> &msgs, int tag)
{
    int n = 0;
    for (const sent &m : msgs)
        n += m.tag == tag;
    return n;
}

const sent *find_tag(const std::vector<sent> &msgs, int tag)
{
    for (const sent &m : msgs)
        if (m.tag == tag)
            return &m;
    return nullptr;
}

void press(int slot, int32_t keys)
{
    G->keys(slot, keys);
}

void tap(int slot, int32_t key)
{
    G->keys(slot, G->cars[slot].keys | key);
    G->keys(slot, G->cars[slot].keys & ~key);
}

game_config test_config(int slots = 2, int enemies = 1)
{
    return game_config{slots, enemies, 2, 1, 3, 42, 2, false};
}

enum { NO_SECOND, SECOND_WATCHES, SECOND_PLAYS };

// Lobby with slot 0 checked in (and slot 1 watching or playing when asked), run
// until play starts.
void start_play(int second = NO_SECOND, int slots = 2, int enemies = 1)
{
    new_game(test_config(slots, enemies));
    G->join(0, "alice");
    if (second != NO_SECOND)
        G->join(1, "bob");
    take_outbox();
    tap(0, KEY_SPACE);
    if (second == SECOND_PLAYS)
        tap(1, KEY_SPACE);
    for (int i = 0; i < 500 && G->phase != PH_PLAY; i++)
        run_ticks(1);
    ASSERT_EQ(G->phase, PH_PLAY);
}

// A bare test track: walls everywhere, a horizontal corridor on row 10 from column
// 2 to 20 and a vertical one on column 10 from row 3 to 20. Enemies parked.
void test_track()
{
    memset(G->field, CELL_WALL, sizeof G->field);
    for (int x = 2; x <= 20; x++)
        G->field[10][x] = CELL_ROAD;
    for (int y = 3; y <= 20; y++)
        G->field[y][10] = CELL_ROAD;
    G->flags_left = G->flags_total = 5;
    for (int i = G->cfg.slots; i < G->car_total(); i++)
        G->cars[i].status = PS_NONE;
}

void put_car(int i, int cx, int cy, int heading)
{
    G->cars[i].x = cell_centre(cx);
    G->cars[i].y = cell_centre(cy);
    G->cars[i].heading = heading;
    G->cars[i].moving = false;
    G->cars[i].wish = -1;
    G->cars[i].turn = 0;
    G->cars[i].safe_ticks = 0;
    G->cars[i].stun_ticks = G->cars[i].immune_ticks = 0;
}

TEST(Lobby, CheckingInStartsTheCountdownAndTheRoundSetupPrecedesReadyZero)
{
    new_game(test_config());
    G->join(0, "alice");
    G->join(1, "bob");
    std::vector<sent> join = take_outbox();
    // The newcomer learns Nenemy before any car message counts on it.
    std::vector<int> to_bob = tags_of(join, 1);
    ASSERT_GE(to_bob.size(), 3u);
    EXPECT_EQ(to_bob[0], TAG_ROUNDINFO);
    EXPECT_EQ(find_tag(join, TAG_LOBBY)->word0, -1);

    std::vector<sent> idle = run_ticks(60);
    EXPECT_EQ(count_tag(idle, TAG_LOBBY), 0) << "no countdown before anyone checks in";

    tap(0, KEY_SPACE);
    std::vector<sent> after = run_ticks(1);
    EXPECT_EQ(G->cars[0].status, PS_DRIVE);
    ASSERT_NE(find_tag(after, TAG_LOBBY), nullptr);
    EXPECT_EQ(find_tag(after, TAG_LOBBY)->word0, 1) << "lobby_seconds of the test config";

    std::vector<sent> start = run_ticks(TICK_HZ + 1);
    EXPECT_EQ(G->phase, PH_READY);
    std::vector<int> all = tags_of(start, TO_ALL);
    std::vector<int> expected = {TAG_ROUNDINFO, TAG_MAP,   TAG_PLAYERINFO2,
                                 TAG_SMOKE,     TAG_READY, TAG_ROUNDINFO};
    auto at = std::search(all.begin(), all.end(), expected.begin(), expected.end());
    EXPECT_NE(at, all.end())
        << "round information, map, records, smoke, ready 0, and the round information again "
           "for the play screen's flag icons";
    EXPECT_EQ(find_tag(start, TAG_READY)->word0, 0);
    // Bob never checked in: he watches.
    EXPECT_EQ(tags_of(start, 1), std::vector<int>{TAG_LIVE});
    EXPECT_EQ(G->cars[1].status, PS_NONE);
    EXPECT_TRUE(G->cars[0].in_game);
    EXPECT_FALSE(G->cars[1].in_game);
}

TEST(Lobby, SKeySwitchesCarControlAndTheRecordsCarryIt)
{
    new_game(test_config());
    G->join(0, "alice");
    take_outbox();
    tap(0, KEY_S);
    std::vector<sent> msgs = run_ticks(RECORD_PERIOD + 1);
    EXPECT_EQ(G->cars[0].control, CONTROL_CLASSIC);
    EXPECT_GE(count_tag(msgs, TAG_PLAYERINFO2), 1);
    tap(0, KEY_S);
    run_ticks(1);
    EXPECT_EQ(G->cars[0].control, CONTROL_MODERN);
}

TEST(Lobby, ReadyCountsDownThenStartCarriesTheRound)
{
    new_game(test_config());
    G->join(0, "alice");
    tap(0, KEY_SPACE);
    std::vector<sent> msgs = run_ticks(TICK_HZ + 20);
    std::vector<int32_t> ready;
    for (const sent &m : msgs)
        if (m.tag == TAG_READY)
            ready.push_back(m.word0);
    EXPECT_EQ(ready, (std::vector<int32_t>{0, 2, 1}));
    ASSERT_NE(find_tag(msgs, TAG_START), nullptr);
    EXPECT_EQ(find_tag(msgs, TAG_START)->word0, 1);
    EXPECT_EQ(G->phase, PH_PLAY);
}

TEST(Driving, ModernCarGoesWhereTheArrowPointsAndStopsAtTheWall)
{
    start_play();
    test_track();
    put_car(0, 10, 10, DIR_UP);
    press(0, KEY_LEFT);
    run_ticks(1);
    EXPECT_EQ(G->cars[0].x, cell_centre(10) - HUMAN_SPEED);
    EXPECT_EQ(G->cars[0].y, cell_centre(10));
    EXPECT_EQ(G->cars[0].angle, 90);
    press(0, 0);  // released: a modern car keeps going
    run_ticks(200);
    EXPECT_EQ(G->cars[0].x, cell_centre(2)) << "stops at the cell centre before the wall";
    EXPECT_FALSE(G->cars[0].moving);
    int fuel = G->cars[0].fuel;
    run_ticks(30);
    EXPECT_EQ(G->cars[0].fuel, fuel) << "a car standing still burns nothing";
}

TEST(Driving, ModernCarTakesAPressedTurnAtTheNextCrossing)
{
    start_play();
    test_track();
    put_car(0, 4, 10, DIR_RIGHT);
    press(0, KEY_RIGHT);
    run_ticks(1);
    press(0, KEY_DOWN);  // no way down until column 10
    run_ticks(6 * CELL_SIZE / HUMAN_SPEED);
    EXPECT_EQ(G->cars[0].x, cell_centre(10));
    EXPECT_GT(G->cars[0].y, cell_centre(10));
    EXPECT_EQ(G->cars[0].angle, 180);
}

TEST(Driving, ClassicCarDrivesOnlyWithUpAndTurnsWithLeftAtACrossing)
{
    start_play();
    G->cars[0].control = CONTROL_CLASSIC;
    test_track();
    put_car(0, 6, 10, DIR_RIGHT);
    G->cars[0].angle = 270;
    run_ticks(10);
    EXPECT_EQ(G->cars[0].x, cell_centre(6)) << "no UP, no motion";
    press(0, KEY_UP);
    run_ticks(1);
    EXPECT_EQ(G->cars[0].x, cell_centre(6) + HUMAN_SPEED);
    press(0, KEY_UP | KEY_LEFT);  // left of "right" is "up": open at column 10
    run_ticks(4 * CELL_SIZE / HUMAN_SPEED);
    EXPECT_EQ(G->cars[0].x, cell_centre(10));
    EXPECT_LT(G->cars[0].y, cell_centre(10));
    EXPECT_EQ(G->cars[0].angle, 0);
    press(0, 0);
    run_ticks(CELL_SIZE / HUMAN_SPEED + 1);
    int y = G->cars[0].y;
    run_ticks(10);
    EXPECT_EQ(G->cars[0].y, y) << "stops at the next centre once UP is released";
    EXPECT_EQ(y % CELL_SIZE, CELL_SIZE / 2);
}

TEST(Flags, PlainLAndSFlagsScoreAndHelp)
{
    start_play();
    test_track();
    G->field[10][12] = CELL_FLAG;
    G->field[10][14] = CELL_FLAG_L;
    G->field[10][16] = CELL_FLAG_S;
    put_car(0, 10, 10, DIR_RIGHT);
    G->cars[0].fuel = 1000;
    int lives = G->cars[0].lives;
    press(0, KEY_RIGHT);
    std::vector<sent> msgs = run_ticks(2 * CELL_SIZE / HUMAN_SPEED + RECORD_PERIOD);
    EXPECT_EQ(G->cars[0].flags, 1);
    EXPECT_EQ(G->cars[0].score, FLAG_POINTS);
    EXPECT_EQ(G->flags_left, 4);
    EXPECT_EQ(G->field[10][12], CELL_ROAD);
    EXPECT_EQ(G->hiscore, FLAG_POINTS);
    for (int tag : {TAG_MAP, TAG_ROUNDINFO, TAG_PLAYERINFO2, TAG_HISCORE})
        EXPECT_GE(count_tag(msgs, tag), 1) << "tag " << tag << " after a flag";
    run_ticks(2 * CELL_SIZE / HUMAN_SPEED);
    EXPECT_EQ(G->cars[0].lives, lives + 1) << "the L flag gives a spare car";
    EXPECT_EQ(G->cars[0].score, FLAG_POINTS + MARKED_FLAG_POINTS);
    run_ticks(2 * CELL_SIZE / HUMAN_SPEED);
    EXPECT_GT(G->cars[0].fuel, FUEL_FULL - 2 * CELL_SIZE / HUMAN_SPEED)
        << "the S flag fills the tank";
    EXPECT_EQ(G->cars[0].flags, 3);
    EXPECT_EQ(G->cars[0].flags_game, 3);
}

TEST(Fuel, DrainsWhileDrivingAndAnEmptyTankCrawls)
{
    start_play();
    test_track();
    put_car(0, 2, 10, DIR_RIGHT);
    G->cars[0].fuel = 3;
    press(0, KEY_RIGHT);
    run_ticks(3);
    EXPECT_EQ(G->cars[0].fuel, 0);
    EXPECT_EQ(G->cars[0].status, PS_NOFUEL);
    int x = G->cars[0].x;
    run_ticks(1);
    EXPECT_EQ(G->cars[0].x, x + NOFUEL_SPEED);
    EXPECT_EQ(G->cars[0].fuel, 0);
}

TEST(Collisions, AnEnemyBurstsTheCarWhichComesBackHomeForASpareCar)
{
    start_play();
    test_track();
    int e = G->cfg.slots;
    put_car(0, 10, 10, DIR_UP);
    put_car(e, 11, 10, DIR_LEFT);
    G->cars[e].status = PS_DRIVE;
    int lives = G->cars[0].lives;
    run_ticks(2);
    EXPECT_EQ(G->cars[0].status, PS_DRIVE) << "not touching yet";
    run_ticks(1);
    EXPECT_EQ(G->cars[0].status, PS_BURST) << "closer than HIT_RANGE";
    run_ticks(BURST_TICKS);
    EXPECT_EQ(G->cars[0].lives, lives - 1);
    int hx, hy;
    G->human_home(0, &hx, &hy);
    EXPECT_EQ(G->cars[0].x, cell_centre(hx));
    EXPECT_EQ(G->cars[0].y, cell_centre(hy));
    EXPECT_EQ(G->cars[0].fuel, FUEL_FULL);
    EXPECT_EQ(G->cars[0].status, PS_DRIVE);
}

TEST(Collisions, ARockBurstsTheCarAndTheLastCarRetiresIntoGameOver)
{
    start_play();
    test_track();
    G->field[10][12] = CELL_ROCK;
    put_car(0, 10, 10, DIR_RIGHT);
    G->cars[0].lives = 0;
    press(0, KEY_RIGHT);
    std::vector<sent> msgs = run_ticks(3 * CELL_SIZE / 2 / HUMAN_SPEED - 1);
    EXPECT_EQ(G->cars[0].status, PS_DRIVE);
    msgs = run_ticks(1);
    EXPECT_EQ(G->cars[0].status, PS_BURST) << "burst on entering the rock's cell";
    msgs = run_ticks(BURST_TICKS + 1);
    EXPECT_EQ(G->cars[0].status, PS_RETIRED);
    EXPECT_EQ(G->phase, PH_GAME_OVER);
    EXPECT_EQ(count_tag(msgs, TAG_GAME_OVER), 1);
    msgs = run_ticks(3 * G->cfg.wait_ticks);
    EXPECT_EQ(count_tag(msgs, TAG_FINAL_RESULT), 1);
    msgs = run_ticks(6 * G->cfg.wait_ticks);
    ASSERT_NE(find_tag(msgs, TAG_LOBBY), nullptr);
    EXPECT_EQ(find_tag(msgs, TAG_LOBBY)->word0, -1);
    EXPECT_EQ(G->phase, PH_LOBBY);
    EXPECT_EQ(G->cars[0].status, PS_NONE) << "everyone checks in again";
}

TEST(Smoke, APuffCostsFuelAndStopsAnEnemyThatCannotHurtWhileStopped)
{
    start_play();
    test_track();
    int e = G->cfg.slots;
    put_car(0, 10, 10, DIR_LEFT);
    int fuel = G->cars[0].fuel;
    press(0, KEY_SPACE | KEY_LEFT);  // smoke, then away to the left
    std::vector<sent> msgs = run_ticks(SMOKE_PERIOD + 1);
    EXPECT_EQ(G->cars[0].fuel, fuel - SMOKE_COST - (SMOKE_PERIOD + 1));
    EXPECT_EQ(count_tag(msgs, TAG_SMOKE), 1);
    EXPECT_EQ(G->puffs[0].size, SMOKE_SIZE);
    EXPECT_EQ(G->puffs[0].x, cell_centre(10) - HUMAN_SPEED);

    put_car(e, 10, 13, DIR_UP);
    G->cars[e].status = PS_DRIVE;
    G->cars[e].moving = true;
    run_ticks((3 * CELL_SIZE - PUFF_RANGE) / ENEMY_SPEED);
    EXPECT_EQ(G->cars[e].stun_ticks, 0) << "not there yet";
    run_ticks(2);
    int ex = G->cars[e].x, ey = G->cars[e].y;
    EXPECT_GT(G->cars[e].stun_ticks, 0);
    run_ticks(STUN_TICKS / 2);
    EXPECT_EQ(G->cars[e].x, ex);
    EXPECT_EQ(G->cars[e].y, ey);
    EXPECT_EQ(G->cars[0].status, PS_DRIVE) << "a stopped enemy is harmless";
}

TEST(Smoke, PuffsVanishAfterTheirTimeAndTheTableIsResent)
{
    start_play();
    test_track();
    put_car(0, 10, 10, DIR_LEFT);
    tap(0, KEY_SPACE);
    run_ticks(1);
    std::vector<sent> msgs = run_ticks(SMOKE_TICKS + SMOKE_PERIOD);
    EXPECT_EQ(G->puffs[0].size, 0);
    EXPECT_GE(count_tag(msgs, TAG_SMOKE), 1);
}

TEST(Rounds, TakingTheLastFlagClearsTheStageAndTheBestPlayerWins)
{
    start_play(SECOND_PLAYS, 2, 0);
    test_track();
    put_car(1, 2, 10, DIR_RIGHT);
    G->flags_left = 1;
    G->field[10][11] = CELL_FLAG;
    put_car(0, 10, 10, DIR_RIGHT);
    press(0, KEY_RIGHT);
    std::vector<sent> msgs = run_ticks(CELL_SIZE / HUMAN_SPEED);
    EXPECT_EQ(G->phase, PH_STAGE_CLEAR);
    EXPECT_EQ(count_tag(msgs, TAG_STAGE_CLEAR), 1);
    EXPECT_EQ(G->cars[0].score, FLAG_POINTS + G->cars[0].fuel / 10) << "fuel left pays a bonus";
    EXPECT_EQ(G->cars[1].score, 0) << "not to a car that took no flag";
    EXPECT_EQ(G->cars[0].wins, 1);
    msgs = run_ticks(3 * G->cfg.wait_ticks);
    ASSERT_NE(find_tag(msgs, TAG_ROUND_RESULT), nullptr);
    EXPECT_EQ(find_tag(msgs, TAG_ROUND_RESULT)->word0, 0) << "slot 0 highlighted";
    msgs = run_ticks(5 * G->cfg.wait_ticks);
    EXPECT_EQ(G->phase, PH_READY);
    EXPECT_EQ(G->round_no, 2);
    EXPECT_EQ(G->cars[0].flags, 0) << "flags count per round";
    EXPECT_EQ(G->cars[0].flags_game, 1) << "and per game";
}

// Car 0 takes the last flag of the last round; the ticks until the final result is out.
std::vector<sent> clear_the_last_round()
{
    G->round_no = G->cfg.rounds;
    test_track();
    G->flags_left = 1;
    G->field[10][11] = CELL_FLAG;
    put_car(0, 10, 10, DIR_RIGHT);
    press(0, KEY_RIGHT);
    return run_ticks(CELL_SIZE / HUMAN_SPEED + 8 * G->cfg.wait_ticks);
}

TEST(Rounds, AfterTheLastRoundComesTheFinalResultThenTheLobby)
{
    start_play(NO_SECOND, 1, 0);
    std::vector<sent> msgs = clear_the_last_round();
    EXPECT_EQ(count_tag(msgs, TAG_ROUND_RESULT), 1);
    EXPECT_EQ(count_tag(msgs, TAG_FINAL_RESULT), 1);
    EXPECT_EQ(count_tag(msgs, TAG_READY), 0);
    msgs = run_ticks(6 * G->cfg.wait_ticks);
    EXPECT_EQ(G->phase, PH_LOBBY);
    EXPECT_EQ(find_tag(msgs, TAG_LOBBY)->word0, -1);
    EXPECT_GT(G->cars[0].score, 0) << "the lobby table shows the last game's score";
    EXPECT_EQ(G->hiscore, G->cars[0].score) << "the high score outlives the game";
}

TEST(Pause, QPausesAndResumesAndNothingMovesMeanwhile)
{
    start_play();
    test_track();
    put_car(0, 10, 10, DIR_LEFT);
    press(0, KEY_LEFT);
    run_ticks(1);
    tap(0, KEY_Q);
    std::vector<sent> msgs = run_ticks(1);
    EXPECT_EQ(G->phase, PH_PAUSE);
    EXPECT_EQ(count_tag(msgs, TAG_PAUSE), 1);
    int x = G->cars[0].x;
    msgs = run_ticks(30);
    EXPECT_EQ(G->cars[0].x, x);
    EXPECT_EQ(count_tag(msgs, TAG_PLAYERINFO), 0);
    tap(0, KEY_Q);
    msgs = run_ticks(2);
    EXPECT_EQ(G->phase, PH_PLAY);
    EXPECT_EQ(count_tag(msgs, TAG_PAUSE), 1);
    EXPECT_NE(G->cars[0].x, x);
}

TEST(Lobby, WhenEveryoneHasCheckedInTheCountdownIsCutToThreeSeconds)
{
    game_config c = test_config(2, 0);
    c.lobby_seconds = 10;
    new_game(c);
    G->join(0, "alice");
    G->join(1, "bob");
    tap(0, KEY_SPACE);
    run_ticks(5 * TICK_HZ);
    EXPECT_EQ(G->phase, PH_LOBBY) << "bob has not checked in: the whole countdown runs";
    tap(1, KEY_SPACE);
    run_ticks(3 * TICK_HZ + 2);
    EXPECT_EQ(G->phase, PH_READY) << "everyone in: three seconds, not the five left";
}

TEST(Lobby, NamesAreCutToFifteenPrintableCharactersAndAnEmptyOneGetsThePlace)
{
    new_game(test_config(3, 0));
    G->join(0, "a\x01"
               "b\x7f\xe9z");
    G->join(1, "abcdefghijklmnopqrstuvwxyz");
    G->join(2, "");
    EXPECT_STREQ(G->cars[0].name, "a?b??z");
    EXPECT_STREQ(G->cars[1].name, "abcdefghijklmno");
    EXPECT_STREQ(G->cars[2].name, "player 3");
}

TEST(Pause, APauseEndsByItselfAndEachPlayerMayPauseOnlyThreeTimes)
{
    start_play();
    for (int k = 0; k < PAUSES_PER_GAME; k++) {
        tap(0, KEY_Q);
        run_ticks(1);
        ASSERT_EQ(G->phase, PH_PAUSE) << "pause " << k + 1;
        std::vector<sent> msgs = run_ticks(PAUSE_TICKS_MAX);
        EXPECT_EQ(G->phase, PH_PLAY) << "the pause ended by itself";
        EXPECT_EQ(count_tag(msgs, TAG_PAUSE), 1);
    }
    tap(0, KEY_Q);
    run_ticks(1);
    EXPECT_EQ(G->phase, PH_PLAY) << "a fourth pause is not granted";

    // The next game grants its own pauses.
    clear_the_last_round();
    run_ticks(6 * G->cfg.wait_ticks);
    tap(0, KEY_SPACE);
    for (int i = 0; i < 500 && G->phase != PH_PLAY; i++)
        run_ticks(1);
    tap(0, KEY_Q);
    run_ticks(1);
    EXPECT_EQ(G->phase, PH_PAUSE) << "pauses of the last game are forgotten";
}

TEST(Pause, TheGameResumesWhenThePausingPlayerLeaves)
{
    start_play(SECOND_PLAYS);
    tap(1, KEY_Q);
    run_ticks(1);
    ASSERT_EQ(G->phase, PH_PAUSE);
    take_outbox();
    G->leave(1);
    EXPECT_EQ(G->phase, PH_PLAY);
    EXPECT_EQ(count_tag(take_outbox(), TAG_PAUSE), 1) << "the others are told";
}

TEST(Records, WithAStoreTheFinalResultWaitsForTheRecord)
{
    game_config c = test_config(1, 0);
    c.await_record = true;
    c.rounds = 1;
    new_game(c);
    G->join(0, "alice");
    tap(0, KEY_SPACE);
    for (int i = 0; i < 500 && G->phase != PH_PLAY; i++)
        run_ticks(1);
    test_track();
    G->flags_left = 1;
    G->field[10][11] = CELL_FLAG;
    put_car(0, 10, 10, DIR_RIGHT);
    press(0, KEY_RIGHT);
    std::vector<sent> msgs = run_ticks(CELL_SIZE / HUMAN_SPEED + 20 * c.wait_ticks);
    EXPECT_EQ(G->phase, PH_RECORDING);
    EXPECT_EQ(count_tag(msgs, TAG_FINAL_RESULT), 0);
    ASSERT_EQ(G->rounds_played.size(), 1u);
    EXPECT_EQ(G->rounds_played[0].winner, 0);
    EXPECT_EQ(G->rounds_played[0].flags, G->flags_total);
    G->record_done();
    msgs = take_outbox();
    EXPECT_EQ(count_tag(msgs, TAG_FINAL_RESULT), 1);
    EXPECT_EQ(G->phase, PH_FINAL_RESULT);
}

TEST(Slots, AWatcherFollowsTheLeaderAndALeaverRetiresUntilTheLobby)
{
    start_play(SECOND_WATCHES);
    run_ticks(1);
    EXPECT_EQ(G->cars[1].x, G->cars[0].x);
    EXPECT_EQ(G->cars[1].y, G->cars[0].y);
    EXPECT_EQ(G->cars[1].status, PS_NONE);
    G->leave(0);
    EXPECT_EQ(G->cars[0].status, PS_RETIRED);
    EXPECT_FALSE(G->place_free(0)) << "the slot keeps its place in the results";
    std::vector<sent> msgs = run_ticks(1);
    EXPECT_EQ(G->phase, PH_GAME_OVER) << "every human car is out";
    run_ticks(10 * G->cfg.wait_ticks);
    EXPECT_EQ(G->phase, PH_LOBBY);
    EXPECT_TRUE(G->place_free(0));
    EXPECT_EQ(G->cars[0].name[0], '\0');
}

TEST(Messages, JoinsAndLeavesBetweenTwoStepsNeverFillTheOutboxAndANewcomerGetsOnlyItsOwn)
{
    new_game(test_config(4, 1));
    G->join(1, "stays");
    size_t stays = G->out.msgs.size();
    for (int k = 0; k < 4 * OUTBOX_MAX; k++) {  // a crowd joining and leaving in one read
        G->join(0, "passer");
        G->leave(0);
    }
    G->join(0, "last");
    EXPECT_EQ(G->out.dropped, 0);
    std::vector<sent> msgs = take_outbox();
    ASSERT_EQ(msgs.size(), 2 * stays);
    EXPECT_EQ(tags_of(msgs, 0), tags_of(msgs, 1)) << "the last one's greeting, nobody else's";
}

TEST(Messages, CarMessagesCarryEveryHumanSlotAndEveryEnemy)
{
    start_play(NO_SECOND, 3, 2);
    std::vector<sent> msgs = run_ticks(RECORD_PERIOD);
    for (const sent &m : msgs) {
        if (m.tag == TAG_PLAYERINFO) {
            EXPECT_EQ(m.size, TAG_SIZE + POFF * 5);
        }
        if (m.tag == TAG_PLAYERINFO2) {
            EXPECT_EQ(m.size, TAG_SIZE + POFF2 * 5);
        }
    }
    EXPECT_EQ(count_tag(msgs, TAG_PLAYERINFO), RECORD_PERIOD);
}

TEST(Messages, ABusyGameSendsWellUnderOneHundredMessagesASecond)
{
    start_play(SECOND_WATCHES, 4, 4);
    // Smoke laid every other tick, arrows changing, flags taken: as busy as it gets.
    std::vector<sent> msgs;
    for (int t = 0; t < 10 * TICK_HZ; t++) {
        press(0, t % 2 ? KEY_SPACE | KEY_LEFT : KEY_UP);
        G->cars[0].fuel = FUEL_FULL;
        G->cars[0].safe_ticks = 10;
        std::vector<sent> some = run_ticks(1);
        msgs.insert(msgs.end(), some.begin(), some.end());
        if (G->phase != PH_PLAY)
            break;
    }
    int to_slot1 = 0;
    for (const sent &m : msgs)
        to_slot1 += m.slot == TO_ALL || m.slot == 1;
    EXPECT_LT(to_slot1, 60 * 10) << "messages to one client in 10 seconds";
    EXPECT_GT(count_tag(msgs, TAG_SMOKE), 5);
}

TEST(Determinism, TheSameSeedAndKeysGiveTheSameGameRivalsAndAllAndAnotherSeedAnotherMaze)
{
    auto play = [](uint32_t seed) {
        game_config c = test_config(2, 3);
        c.seed = seed;
        c.rivals = 1;
        new_game(c);
        G->join(0, "a");
        tap(0, KEY_SPACE);
        for (int t = 0; t < 20 * TICK_HZ; t++) {
            if (t % 40 == 0)
                press(0, 1 << (t / 40 % 4));
            G->step();
            G->out.clear();
        }
        char text[4096];
        G->describe(text, sizeof text);
        return std::string(text) + std::string(reinterpret_cast<char *>(G->field), MAP_BYTES);
    };
    std::string a = play(7), b = play(7), c = play(8);
    EXPECT_EQ(a, b);
    EXPECT_NE(a, c);
}

TEST(Maze, EveryMazeIsWalledPlayableAndHasItsFlags)
{
    static int16_t dist[MAP_H][MAP_W];
    for (uint32_t seed = 1; seed <= 20; seed++) {
        game_config c = test_config(4, 4);
        c.seed = seed;
        c.flags = 12;
        new_game(c);
        G->build_maze(static_cast<int>(seed % 8));
        for (int x = 0; x < MAP_W; x++)
            ASSERT_TRUE(G->field[0][x] == CELL_WALL && G->field[MAP_H - 1][x] == CELL_WALL);
        for (int y = 0; y < MAP_H; y++)
            ASSERT_TRUE(G->field[y][0] == CELL_WALL && G->field[y][MAP_W - 1] == CELL_WALL);
        int hx, hy, counts[8] = {};
        G->human_home(0, &hx, &hy);
        G->distance_map(hx, hy, dist);
        for (int y = 0; y < MAP_H; y++)
            for (int x = 0; x < MAP_W; x++) {
                int8_t cell = G->field[y][x];
                ASSERT_TRUE(cell >= CELL_ROAD && cell <= CELL_ROCK);
                counts[cell]++;
                if (cell == CELL_FLAG || cell == CELL_FLAG_L || cell == CELL_FLAG_S) {
                    EXPECT_NE(dist[y][x], DIST_NONE) << "seed " << seed << " flag cut off";
                }
                if (cell != CELL_WALL && cell != CELL_ROCK) {
                    int open = 0;
                    open += G->cell_open(x + 1, y, false) + G->cell_open(x - 1, y, false);
                    open += G->cell_open(x, y + 1, false) + G->cell_open(x, y - 1, false);
                    EXPECT_GE(open, 2) << "dead end at " << x << "," << y << " seed " << seed;
                }
            }
        EXPECT_EQ(counts[CELL_FLAG] + counts[CELL_FLAG_L] + counts[CELL_FLAG_S], 12);
        EXPECT_EQ(counts[CELL_FLAG_L], 1);
        EXPECT_EQ(counts[CELL_FLAG_S], 1);
        EXPECT_EQ(G->flags_left, 12);
        EXPECT_GT(counts[CELL_ROCK], 0);
        for (int i = 0; i < G->car_total(); i++) {
            int cx, cy;
            if (G->is_enemy(i))
                G->enemy_home(i - G->cfg.slots, &cx, &cy);
            else
                G->human_home(i, &cx, &cy);
            EXPECT_EQ(G->field[cy][cx], CELL_ROAD) << "start cell of car " << i;
            EXPECT_NE(dist[cy][cx], DIST_NONE);
        }
    }
}

}  // namespace
