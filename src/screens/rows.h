// What the table-shaped screens (lobby, results) share: the bounded number of player
// rows and a bounded copy of a car's name.
#pragma once

#include "game/model.h"

constexpr int NAME_TEXT = NAME_BYTES + 1;  // a name with room for its NUL

// Nclient held to 0 .. MAXPLAYER: the human records any row loop may visit.
int client_rows();

// Copies the name up to its NUL, never past its NAME_BYTES bytes, and terminates it.
void copy_name(char out[NAME_TEXT], const char name[NAME_BYTES]);
