// Storage of the game model and the few questions asked of it everywhere.
#include "game/model.h"

#include <algorithm>
#include <cstring>

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

void reset_model()
{
    memset(players, 0, sizeof players);
    me = &players[0];
    entry_no = 0;
    memset(fieldmap, 0, sizeof fieldmap);
    memset(smoke, 0, sizeof smoke);
    game_status = GS_LOBBY;
    status_count = round_no = hiscore = flags_total = flags_left = result_highlight = 0;
    Nclient = Nenemy = 0;
}

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
