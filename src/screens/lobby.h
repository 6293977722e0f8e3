// The lobby screen.
#pragma once

void draw_lobby();
