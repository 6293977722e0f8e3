// The window frame: reshape holds the window at 9:7, and the five screen callbacks
// each clear, set the full-window viewport, draw their screen and swap.
#pragma once

extern int win_w;  // window width in pixels, written only by reshape
extern int win_h;  // window height in pixels

void reshape(int width, int height);

void display_lobby();
void display_round_result();
void display_final_result();
void display_play();
void display_live();
