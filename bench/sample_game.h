// The game the store benchmarks keep again and again: four players, three rounds.
#pragma once

#include <string>

#include "store/records.h"

inline game_record four_player_game(int i)
{
    game_record g;
    g.started_ms = 1765000000000 + i * 600000LL;
    g.ended_ms = g.started_ms + 300000;
    g.seed = static_cast<uint32_t>(i);
    g.rounds_played = 3;
    g.places = 4;
    g.enemies = 4;
    g.room = i % 2 ? "bench" : "";
    g.abandoned = false;
    for (int p = 0; p < 4; p++)
        g.players.push_back(
            {"player" + std::to_string(p), p, (i * 37 + p * 311) % 5000, 10, 1, true});
    for (int r = 1; r <= 3; r++)
        g.rounds.push_back({r, r % 4, "player" + std::to_string(r % 4), 10});
    return g;
}
