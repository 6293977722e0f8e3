// Placeholder until the screen is drawn.
#include "screens/playfield.h"

void draw_playfield()
{
}
