// Placeholder until the result screens are drawn.
#include "screens/results.h"

void draw_round_result() {}
void draw_final_result() {}
