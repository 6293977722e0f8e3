// The play-screen panel (round label, score line, fuel gauge, radar) and the status
// message over the field.
#pragma once

#include <cstdint>

// Frame counters of the blinking elements: zero at start, never reset.
extern int32_t radar_blink;  // marked flags on the radar, every radar drawing
extern int32_t fuel_blink;   // "FUEL ALMOST EMPTY", while the warning is due
extern int32_t live_blink;   // "LIVE", in GS_LIVE

constexpr int RADAR_BLINK_DIV = 10;
constexpr int FUEL_BLINK_DIV = 10;
constexpr int LIVE_BLINK_DIV = 20;

void draw_round_label();
void draw_score_line();
void draw_fuel_gauge();
void draw_radar();
void draw_status_message();
