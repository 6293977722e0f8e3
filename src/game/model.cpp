// Storage of the game model and the few questions asked of it everywhere.
#include "game/model.h"

#include <algorithm>

playerinfo players[MAXPLAYER];
playerinfo *me = &players[0];
int entry_no;
int8_t fieldmap[MAP_H][MAP_W];
smokeinfo smoke[SMOKE_MAX];

int game_status = GS_LOBBY;
int status_count;
int round_no;
int hiscore;
int flags_total;
int flags_left;
int result_highlight;
int Nclient;
int Nenemy;

int64_t cars_announced()
{
    return int64_t{Nclient} + Nenemy;
}

int car_count()
{
    return static_cast<int>(std::clamp<int64_t>(cars_announced(), 0, MAXPLAYER));
}

int player_index(const playerinfo *record)
{
    int n = car_count();
    for (int i = 0; i < n; i++)
        if (&players[i] == record)
            return i;
    // A record outside the announced cars: the announced count, held to the int range.
    return static_cast<int>(std::clamp<int64_t>(cars_announced(), INT32_MIN, INT32_MAX));
}

bool car_on_field(const playerinfo *record)
{
    return record->status != PS_NONE && record->status != PS_RETIRED;
}
