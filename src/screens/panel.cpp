// Placeholder until the panel is drawn.
#include "screens/panel.h"

void draw_round_label() {}
void draw_score_line() {}
void draw_fuel_gauge() {}
void draw_radar() {}
void draw_status_message() {}
