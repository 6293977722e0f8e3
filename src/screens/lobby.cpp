// Placeholder until the screen is drawn.
#include "screens/lobby.h"

void draw_lobby()
{
}
