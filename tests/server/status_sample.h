// A known snapshot for the status tests: two games, hostile player and room names, a
// step histogram and a hall of fame. `turn` moves the scores, as a later snapshot would.
#pragma once

#include <memory>
#include <string>

#include "web/status.h"
#include "wire.h"

constexpr const char *HOSTILE_IMG = "<img src=x onerror=alert(1)>";
constexpr const char *HOSTILE_QUOTE = "\"};";
// Leaves a mark on the page if its handler ever runs.
constexpr const char *HOSTILE_MARK = "<img src=x onerror=document.body.dataset.pwned=1>";

inline std::string sample_maze()
{
    std::string maze(static_cast<size_t>(MAP_W * MAP_H), '0');
    for (int y = 0; y < MAP_H; y++)
        for (int x = 0; x < MAP_W; x++) {
            bool border = x == 0 || y == 0 || x == MAP_W - 1 || y == MAP_H - 1;
            bool block = x % 4 == 2 && y % 4 == 2;
            if (border || block)
                maze[static_cast<size_t>(y * MAP_W + x)] = '1';
        }
    maze[static_cast<size_t>(3 * MAP_W + 5)] = '2';
    maze[static_cast<size_t>(9 * MAP_W + 9)] = '3';
    maze[static_cast<size_t>(15 * MAP_W + 13)] = '4';
    maze[static_cast<size_t>(21 * MAP_W + 7)] = '5';
    return maze;
}

inline car_view sample_car(int index, bool enemy, const std::string &name, int status, int cx,
                           int cy, int score)
{
    car_view c{};
    c.index = index;
    c.enemy = enemy;
    c.name = name;
    c.status = status;
    c.x = cx * CELL_SIZE + CELL_SIZE / 2;
    c.y = cy * CELL_SIZE + CELL_SIZE / 2;
    c.score = score;
    c.flags = enemy ? 0 : score / 400;
    c.flags_game = c.flags;
    c.fuel = enemy ? 0 : 2000 - 100 * index;
    c.lives = 1;
    c.wins = index;
    c.connected = !enemy;
    return c;
}

inline std::shared_ptr<status_snapshot> sample_snapshot(int turn = 0)
{
    auto s = std::make_shared<status_snapshot>();
    server_figures &f = s->figures;
    f.started_ms = 1700000000000;
    f.taken_ms = f.started_ms + 3723000 + turn * 1000;
    f.connections = 7;
    f.checking_in = 1;
    f.games_lobby = 0;
    f.games_playing = 2;
    f.players = 4;
    f.watchers = 2;
    f.refusals = {{"per_address", 3}, {"server_full", 1}};
    f.messages_sent = 123456;
    f.bytes_sent = 9876543210;
    f.step_bucket_bounds = {0.0005, 0.001, 0.0025, 0.005};
    f.step_bucket_counts = {900, 80, 15, 4, 1};
    f.step_seconds_sum = 0.625;
    f.step_count = 1000;
    f.step_p50_ms = 0.31;
    f.step_p99_ms = 2.4;
    f.late_steps = 2;
    f.store = true;
    f.records_written = 12;
    f.records_failed = 1;

    game_view quick{};
    quick.id = 1;
    quick.room = "";
    quick.phase = "play";
    quick.round = 2;
    quick.rounds = 3;
    quick.places = 2;
    quick.enemies = 2;
    quick.watchers = 1;
    quick.maze = sample_maze();
    quick.cars = {sample_car(0, false, "ann", 1, 5, 5, 1200 + 100 * turn),
                  sample_car(1, false, HOSTILE_IMG, 6, 9, 20, 800 + 50 * turn),
                  sample_car(2, true, "enemy", 1, 20, 30, 0),
                  sample_car(3, true, "enemy", 1, 25, 50, 0)};

    game_view room{};
    room.id = 2;
    room.room = HOSTILE_QUOTE;
    room.phase = "round_result";
    room.round = 1;
    room.rounds = 3;
    room.places = 2;
    room.enemies = 1;
    room.watchers = 1;
    room.maze = sample_maze();
    room.cars = {sample_car(0, false, HOSTILE_QUOTE, 1, 3, 3, 300 + 10 * turn),
                 sample_car(1, false, HOSTILE_MARK, 4, 12, 40, 150),
                 sample_car(2, true, "enemy", 1, 16, 16, 0)};
    s->games = {quick, room};

    auto hall = std::make_shared<hall_of_fame>();
    hall->best = {{"ann", 5400, f.started_ms - 86400000, ""},
                  {HOSTILE_IMG, 4100, f.started_ms - 3600000, HOSTILE_QUOTE}};
    game_row last{};
    last.id = 41;
    last.started_ms = f.started_ms - 4000000;
    last.ended_ms = f.started_ms - 3600000;
    last.room = HOSTILE_QUOTE;
    last.rounds_played = 3;
    last.abandoned = false;
    last.players = {{HOSTILE_IMG, 4100}, {"bob", 2000}};
    hall->recent = {last};
    s->hall = hall;
    return s;
}
