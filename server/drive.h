// Play itself: the cars' movement (both control modes), the enemies' chase, smoke,
// collisions and pick-ups. Shared between the phase logic and its tests.
#pragma once

#include "game.h"

// What changed since the last send (the phase logic sends them, rate-limited).
extern bool records_dirty, map_dirty, round_dirty, smoke_dirty, hiscore_dirty;

void place_human(int i);
void place_enemy(int i);

// One tick of play for every car.
void drive_all();

// Human slots without a car in the game sit on the leading car, so a watching
// client's view (centred on its own record) follows the play.
void follow_leader();

void note_score(car &c);
int round_best();

// World position of a cell's centre.
int cell_centre(int cell);
