// The busy game model of the performance programs.
#include "perf_model.h"

#include <cstdio>
#include <cstring>

#include "game/model.h"

static const int OWN_COLUMN = 14;
static const int OWN_ROW = 27;

// Corridors every third row and fourth column, walls between: a field view holds
// walls with borders on all sides, road, items.
static void build_maze()
{
    for (int r = 0; r < MAP_H; r++)
        for (int c = 0; c < MAP_W; c++) {
            bool border = r == 0 || c == 0 || r == MAP_H - 1 || c == MAP_W - 1;
            bool grid = (r % 3 == 0 && c % 5 != 2) || (c % 4 == 0 && r % 4 == 1);
            fieldmap[r][c] = border || grid ? CELL_WALL : CELL_ROAD;
        }
    // 30 flags (20 plain, 5 "L", 5 "S") and 10 rocks spread over the maze, several of
    // them inside the view around the own car.
    int placed = 0;
    for (int k = 0; placed < 40 && k < 4000; k++) {
        int r = 1 + (k * 7 + (k / 31) * 3) % (MAP_H - 2);
        int c = 1 + (k * 5) % (MAP_W - 2);
        if (fieldmap[r][c] != CELL_ROAD)
            continue;
        int code = placed < 20   ? CELL_FLAG
                   : placed < 25 ? CELL_FLAG_L
                   : placed < 30 ? CELL_FLAG_S
                                 : CELL_ROCK;
        fieldmap[r][c] = static_cast<int8_t>(code);
        placed++;
    }
    const int near[][3] = {{OWN_ROW - 2, OWN_COLUMN + 1, CELL_FLAG},
                           {OWN_ROW + 1, OWN_COLUMN - 2, CELL_FLAG_L},
                           {OWN_ROW + 2, OWN_COLUMN + 3, CELL_FLAG_S},
                           {OWN_ROW - 1, OWN_COLUMN - 3, CELL_ROCK},
                           {OWN_ROW + 4, OWN_COLUMN + 1, CELL_ROCK}};
    for (const auto &item : near)
        fieldmap[item[0]][item[1]] = static_cast<int8_t>(item[2]);
}

static void set_car(int i, int dx, int dy, int angle, int status)
{
    playerinfo &car = players[i];
    snprintf(car.name, sizeof car.name, "player %c", static_cast<char>('1' + i));
    car.x = (OWN_COLUMN + dx) * CELL_SIZE + CELL_SIZE / 2;
    car.y = (OWN_ROW + dy) * CELL_SIZE + CELL_SIZE / 2;
    car.angle = angle;
    car.status = status;
    car.fuel = 2200 - 100 * i;
    car.flags = i % 4;
    car.lives = 3;
    car.wins = i % 3;
    car.score = 1000 * (8 - i) + 30 * i;
    car.flags_game = 2 * i;
    car.control = 7;
}

void build_busy_model()
{
    memset(players, 0, sizeof players);
    memset(smoke, 0, sizeof smoke);
    Nclient = 8;
    Nenemy = 0;
    entry_no = 0;
    me = &players[0];
    const int cars[MAXPLAYER][4] = {{0, 0, 0, PS_DRIVE},     {2, -1, 90, PS_DRIVE},
                                    {-2, 2, 45, PS_BURST},   {1, 3, 180, PS_DRIVE},
                                    {-3, -2, 270, PS_DRIVE}, {3, 1, 0, PS_NOFUEL},
                                    {-1, -3, 135, PS_DRIVE}, {4, -4, 315, PS_DRIVE}};
    for (int i = 0; i < MAXPLAYER; i++)
        set_car(i, cars[i][0], cars[i][1], cars[i][2], cars[i][3]);
    build_maze();
    for (int i = 0; i < SMOKE_MAX; i++)
        smoke[i] = smokeinfo{me->x + (i % 6) * 40 - 120, me->y + (i / 6) * 50 - 60, 10 + i * 4};
    round_no = 3;
    hiscore = 50000;
    flags_total = 30;
    flags_left = 20;
    me->flags = 4;
    result_highlight = 1;
    game_status = GS_PLAY;
    status_count = 50;
}

void step_busy_model(int frame)
{
    me->x = OWN_COLUMN * CELL_SIZE + CELL_SIZE / 2 + (frame % 64) - 32;
}
