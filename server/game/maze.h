// Figures of the maze of a round (generated in maze.cpp, a part of the game).
#pragma once

#include <cstdint>

constexpr int MAZE_ROOMS_X = 15;      // rooms on odd columns 1 .. 29
constexpr int MAZE_ROOMS_Y = 27;      // rooms on odd rows 1 .. 53
constexpr int FLAG_MIN_DISTANCE = 8;  // cells between the human start row and any flag
constexpr int ROCKS_MAX = 10;
constexpr int16_t DIST_NONE = INT16_MAX;
