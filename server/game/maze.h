// Figures of the maze of a round (generated in maze.cpp, a part of the game).
#pragma once

#include <cstdint>

#include "wire.h"

constexpr int MAZE_ROOMS_X = 15;      // rooms on odd columns 1 .. 29
constexpr int MAZE_ROOMS_Y = 27;      // rooms on odd rows 1 .. 53
constexpr int FLAG_MIN_DISTANCE = 8;  // cells between the human start row and any flag
constexpr int ROCKS_MAX = 10;
constexpr int16_t DIST_NONE = INT16_MAX;

// The four headings' steps, in heading order (up, left, down, right).
constexpr int DX[4] = {0, -1, 0, 1};
constexpr int DY[4] = {-1, 0, 1, 0};

// Scratch of one step of one game, never state between steps: the path lengths to
// each human car, which the enemies of the step read. A map is made the first time an
// enemy at a crossing asks for it (most steps none does), from the humans' positions
// after they moved; enemies moving do not change it. Games that step one after another
// on one thread can share one set (placement hands the same to all of its games).
struct path_scratch {
    enum { UNKNOWN, VALID, NONE };
    int16_t dist[MAXPLAYER][MAP_H][MAP_W];
    int state[MAXPLAYER];
};
