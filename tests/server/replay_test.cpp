// Replays: a game played again from what it recorded is the same game step for step, and
// --verify-replays tells kept games whose replay no longer gives their result.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <random>
#include <sqlite3.h>
#include <thread>
#include <unistd.h>

#include "game/placement.h"
#include "game/replay.h"
#include "store/replays.h"

namespace {

struct played {
    std::vector<std::string> steps;  // the game's state and messages after each step of it
    std::string replay;
    game_record rec{};
};

// The arrow that takes place 0 one cell nearer the nearest flag.
int32_t towards_flag(const game &g)
{
    static int16_t dist[MAP_H][MAP_W];
    int cx = g.cars[0].x / CELL_SIZE, cy = g.cars[0].y / CELL_SIZE, fx = cx, fy = cy;
    g.distance_map(cx, cy, dist);
    for (int y = 0; y < MAP_H; y++)
        for (int x = 0; x < MAP_W; x++)
            if (g.field[y][x] >= CELL_FLAG && g.field[y][x] <= CELL_FLAG_S &&
                dist[y][x] < dist[fy][fx] + (fx == cx && fy == cy ? DIST_NONE : 0)) {
                fx = x;
                fy = y;
            }
    for (int d = 0; dist[fy][fx] > 1 && dist[fy][fx] != DIST_NONE; d = (d + 1) % 4)
        if (cell_inside(fx + DX[d], fy + DY[d]) &&
            dist[fy + DY[d]][fx + DX[d]] == dist[fy][fx] - 1) {
            fx += DX[d];
            fy += DY[d];
        }
    return fx < cx ? KEY_LEFT : fx > cx ? KEY_RIGHT : fy < cy ? KEY_UP : KEY_DOWN;
}

// Four places (two drive, one watches, leaves and is replaced, a computer rival takes
// the last), random arrows and smoke, a pause pressed and let go within one step, a
// high score from elsewhere; the players all leave at step `left` (-1: never).
played play(uint32_t seed, long left)
{
    game g(game_config{4, 2, 2, 1, 12, seed, 2, true, 1}, 500);
    g.record_replays(1 << 20);
    g.join(0, "ann");
    g.join(1, "bob");
    g.join(2, "cy");
    g.keys(0, KEY_SPACE);
    g.keys(1, KEY_S | KEY_SPACE);  // bob drives CLASSIC
    std::mt19937 rng(seed);
    const int32_t arrows[4] = {KEY_UP, KEY_LEFT, KEY_DOWN, KEY_RIGHT};
    played p;
    for (long k = 0; k < 30000 && g.phase != PH_RECORDING && k != left; k++) {
        if (k % 9 == 0)  // let go and press again within the step: a press the keys hide
            g.keys(0, 0);
        g.keys(0, towards_flag(g) | (rng() % 50 == 0 ? KEY_SPACE : 0));
        if (k % 9 == 0)
            g.keys(1, arrows[rng() % 4] | (rng() % 7 == 0 ? KEY_SPACE : 0));
        if (k == 300 || k == 350) {
            g.keys(1, g.cars[1].keys | KEY_Q);
            g.keys(1, g.cars[1].keys & ~KEY_Q);
        }
        if (k == 500)
            g.leave(2);
        if (k == 520)
            g.join(2, "dee");
        if (k == 700)
            g.raise_hiscore(9999);
        g.step();
        char text[4096];
        int n = g.describe(text, sizeof text);
        if (g.under_way() || !p.steps.empty())
            p.steps.emplace_back(std::string(text, static_cast<size_t>(n)) +
                                 std::string(g.out.bytes.begin(), g.out.bytes.end()));
        g.out.clear();
    }
    if (left >= 0)
        for (int s = 0; s < 3; s++)
            g.leave(s);
    p.rec.abandoned = g.phase != PH_RECORDING;
    p.rec.places = 4;
    p.rec.enemies = 2;
    note_result(g, p.rec);
    p.rec.replay = g.take_replay();
    return p;
}

TEST(Replay, AGamePlayedAgainIsTheSameStepForStep)
{
    for (long left : {-1L, 900L}) {
        played p = play(11, left);
        ASSERT_GT(p.rec.players.size(), 1u);
        EXPECT_LT(p.rec.replay.size(), 4000u) << "a few kB a game";
        replay_reader r;
        ASSERT_TRUE(r.open(p.rec.replay)) << r.why;
        r.g->record_replays(1 << 20);
        size_t k = 0;
        for (; r.next(); k++) {
            ASSERT_LT(k, p.steps.size());
            char text[4096];
            int n = r.g->describe(text, sizeof text);
            ASSERT_EQ(std::string(text, static_cast<size_t>(n)) +
                          std::string(r.g->out.bytes.begin(), r.g->out.bytes.end()),
                      p.steps[k])
                << "step " << k;
            r.g->out.clear();
        }
        EXPECT_TRUE(r.why.empty()) << r.why;
        EXPECT_EQ(k, p.steps.size());
        EXPECT_EQ(r.g->take_replay(), p.rec.replay) << "recorded again, the same replay";
        game_record again;
        std::string why;
        ASSERT_TRUE(replay_result(p.rec.replay, again, why)) << why;
        EXPECT_EQ(result_differences(p.rec, again), "");
    }
    // A replay of the format before rivals is refused, not read into another game.
    std::string older = play(11, -1).rec.replay;
    older[0] = 1;
    replay_reader r;
    EXPECT_FALSE(r.open(older));
    EXPECT_NE(r.why.find("older server"), std::string::npos) << r.why;
}

TEST(Replay, VerificationPassesKeptGamesAndFailsOneWhoseInputChanged)
{
    char templ[] = "/tmp/replay_test.XXXXXX";
    std::string dir = mkdtemp(templ), path = dir + "/records.db", error;
    played kept = play(14, -1);
    {
        auto store = record_store::open(path, error);
        ASSERT_TRUE(store) << error;
        ASSERT_TRUE(store->submit(1, kept.rec));
        ASSERT_TRUE(store->submit(2, play(14, 900).rec));
    }  // closing the store writes what is queued
    FILE *out = tmpfile();
    EXPECT_EQ(verify_replays(path, out), 0);

    // The same inputs but one: place 0 holds DOWN from step 200.
    replay_reader r;
    ASSERT_TRUE(r.open(kept.rec.replay)) << r.why;
    r.g->record_replays(1 << 20);
    while (r.next())
        if (r.steps() == 200)
            r.g->keys(0, KEY_DOWN);
    std::string changed = r.g->take_replay();
    sqlite3 *db = nullptr;
    sqlite3_stmt *st = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_prepare_v2(db, "UPDATE replays SET inputs = ?1 WHERE game_id = 1", -1, &st,
                                 nullptr),
              SQLITE_OK);
    sqlite3_bind_blob(st, 1, changed.data(), static_cast<int>(changed.size()), SQLITE_TRANSIENT);
    EXPECT_EQ(sqlite3_step(st), SQLITE_DONE);
    sqlite3_finalize(st);
    sqlite3_close(db);
    rewind(out);
    EXPECT_EQ(verify_replays(path, out), 1);
    std::string text(4096, '\0');
    rewind(out);
    text.resize(fread(text.data(), 1, text.size(), out));
    fclose(out);
    EXPECT_EQ(text.rfind("game 1: ", 0), 0u) << text;
    EXPECT_NE(text.find("; player 1 (ann) score kept "), std::string::npos) << text;
    EXPECT_EQ(text.find("game 2: "), std::string::npos) << text;
    std::filesystem::remove_all(dir);
}

}  // namespace
