// The lobby screen.
#pragma once

#include <cstdint>

constexpr uint32_t CLIENT_VERSION = 0x20051106;  // shown as "ver. 20051106"

// Frame counters of the blinking lines: zero at start, never reset.
extern int32_t welcome_blink;    // the check-in prompt, while the own car is PS_NONE
extern int32_t countdown_blink;  // the countdown, while status_count is above 0

constexpr int LOBBY_BLINK_DIV = 20;

void draw_lobby();
