// The round-result and final-result screens.
#pragma once

void draw_round_result();
void draw_final_result();
