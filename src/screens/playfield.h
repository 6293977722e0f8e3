// The playfield: the scrolling view of the maze around the own car.
#pragma once

void draw_playfield();
