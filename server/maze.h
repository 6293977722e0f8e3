// The maze of a round: generated from the game's random numbers, with flags and
// rocks, plus the per-cell queries the cars need.
#pragma once

#include <cstdint>

#include "game/model.h"

constexpr int MAZE_ROOMS_X = 15;      // rooms on odd columns 1 .. 29
constexpr int MAZE_ROOMS_Y = 27;      // rooms on odd rows 1 .. 53
constexpr int FLAG_MIN_DISTANCE = 8;  // cells between the human start row and any flag
constexpr int ROCKS_MAX = 10;
constexpr int16_t DIST_NONE = INT16_MAX;

// Fills `field` for the given round: braided maze, flags (cfg.flags), rocks.
// Sets flags_total and flags_left.
void build_maze(int round);

// Start cells: human slot i, enemy number j.
void human_home(int slot, int *cx, int *cy);
void enemy_home(int j, int *cx, int *cy);

bool cell_inside(int cx, int cy);
// A car may enter the cell: humans drive into rocks (and burst), enemies go round them.
bool cell_open(int cx, int cy, bool rocks_block);

// Path lengths in cells from (cx, cy) over open cells, rocks blocking; DIST_NONE where
// unreachable.
void distance_map(int cx, int cy, int16_t dist[MAP_H][MAP_W]);
