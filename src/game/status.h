// The game-status machine: the 10 ms tick, the ten status handlers and the
// selection of the screen each status shows.
#pragma once

#include "game/model.h"

constexpr int TICK_MS = 10;  // period of the tick

using status_handler = void (*)();
using display_callback = void (*)();

extern status_handler status_handlers[GS_COUNT];

// The timer callback: one server message, the current status's handler, a redraw
// request, and the next tick armed.
void tick(int value);

// Makes screen the window's display callback; remembered in current_screen so the
// choice can be seen without a window.
void select_screen(display_callback screen);
extern display_callback current_screen;

// Set once the window exists; before that (and in tests without a window) selecting
// a screen, asking for a redraw and arming the timer touch no windowing call.
extern bool window_open;

void status_lobby();
void status_ready();
void status_play();
void status_stage_cleared();
void status_round_result();
void status_final_result();
void status_live();
void status_game_over();
void status_pause();
