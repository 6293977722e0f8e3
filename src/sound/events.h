// Which sounds a change of the model calls for: a pure comparison of two views of the
// model, taken before and after one tick's message and status handling.
#pragma once

#include <cstdint>

#include "game/model.h"

// The part of the model sound listens to.
struct sound_view {
    int32_t game_status;
    int32_t status_count;
    int32_t x, y;  // own car
    int32_t status;
    int32_t fuel;
    int32_t flags;
    int32_t score;
    smokeinfo smoke[SMOKE_MAX];
};

// The events, one bit each.
enum : uint32_t {
    EV_COUNTDOWN = 1u << 0,    // "READY n" shows a new number
    EV_GO = 1u << 1,           // play begins ("GO!")
    EV_FLAG = 1u << 2,         // the own car took a flag
    EV_MARKED_FLAG = 1u << 3,  // ... an "L" or "S" flag (score step of 200)
    EV_BURST = 1u << 4,        // the own car bursts
    EV_SMOKE = 1u << 5,        // a new smoke puff appears
    EV_FUEL_LOW = 1u << 6,     // fuel fell below the warning level
    EV_FUEL_EMPTY = 1u << 7,   // the own car ran dry
    EV_STAGE_CLEAR = 1u << 8,
    EV_RESULT = 1u << 9,  // round or final result
    EV_GAME_OVER = 1u << 10,
    EV_MOVED = 1u << 11,  // the own car is driving and its position changed
};

constexpr int FUEL_WARNING_LEVEL = 600;  // the panel warns below this
constexpr int MARKED_FLAG_STEP = 200;    // score of an "L" or "S" flag; a plain one is 100

// Copies the watched part of the model into view.
void take_view(sound_view &view);

// The events between two views.
uint32_t detect_events(const sound_view &before, const sound_view &after);

// True while the panel shows the fuel warning (it blinks; sound repeats it slowly).
bool fuel_warning_shown(const sound_view &view);
