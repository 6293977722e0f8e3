// The play-screen panel (round label, score line, fuel gauge, radar) and the status
// message over the field.
#pragma once

void draw_round_label();
void draw_score_line();
void draw_fuel_gauge();
void draw_radar();
void draw_status_message();
