// Writes a PNG of each of the five screens for a canned busy game, for checking a
// change by eye: screenshots OUTPUT_DIR (needs an X display, e.g. under xvfb-run).
#include <GL/freeglut.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "game/model.h"
#include "harness.h"
#include "render/window.h"

namespace {

void set_car(int i, const char *name, int column, int row, int angle, int status)
{
    playerinfo &car = players[i];
    snprintf(car.name, sizeof car.name, "%s", name);
    car.x = column * CELL_SIZE + CELL_SIZE / 2;
    car.y = row * CELL_SIZE + CELL_SIZE / 2;
    car.angle = angle;
    car.status = status;
    car.fuel = 1800;
}

// A maze of corridors: walls on the border and on every third row and column, with
// gaps, and items scattered on the road.
void build_maze()
{
    for (int r = 0; r < MAP_H; r++)
        for (int c = 0; c < MAP_W; c++) {
            bool border = r == 0 || c == 0 || r == MAP_H - 1 || c == MAP_W - 1;
            bool grid = (r % 3 == 0 && c % 5 != 2) || (c % 4 == 0 && r % 4 == 1);
            fieldmap[r][c] = border || grid ? CELL_WALL : CELL_ROAD;
        }
    const int items[][3] = {{19, 11, CELL_FLAG},  {20, 7, CELL_FLAG_L},  {22, 13, CELL_FLAG_S},
                            {23, 9, CELL_ROCK},   {17, 10, CELL_ROCK},   {25, 14, CELL_FLAG},
                            {4, 5, CELL_FLAG},    {40, 20, CELL_FLAG_L}, {50, 3, CELL_ROCK},
                            {31, 27, CELL_FLAG_S}};
    for (const auto &item : items)
        fieldmap[item[0]][item[1]] = static_cast<int8_t>(item[2]);
}

void build_game()
{
    reset_game_model();
    Nclient = 3;
    Nenemy = 1;
    entry_no = 0;
    me = &players[0];
    set_car(0, "alice", 10, 20, 0, PS_DRIVE);
    set_car(1, "bob%s", 12, 19, 90, PS_DRIVE);
    set_car(2, "carol", 8, 22, 45, PS_BURST);
    set_car(3, "enemy", 12, 23, 180, PS_DRIVE);
    me->lives = 3;
    me->flags = 1;
    me->score = 1234;
    me->wins = 2;
    me->flags_game = 7;
    me->control = CONTROL_CLASSIC;
    players[1].score = 4560;
    players[1].flags = 3;
    players[1].wins = 12;
    players[2].score = 80;
    players[2].status = PS_BURST;
    build_maze();
    const int puffs[][3] = {{-40, 30, 60}, {-70, 45, 40}, {-100, 60, 25}, {90, -20, 100}};
    for (int i = 0; i < 4; i++)
        smoke[i] = smokeinfo{me->x + puffs[i][0], me->y + puffs[i][1], puffs[i][2]};
    round_no = 3;
    hiscore = 50000;
    flags_total = 10;
    flags_left = 6;
    result_highlight = 1;
    status_count = 50;
}

// Draws a screen enough times for blinking texts to be lit, then saves the last one.
bool shoot(void (*screen)(), const std::string &path)
{
    Image img;
    for (int frame = 0; frame < 25; frame++)
        img = render_screen(screen);
    bool ok = save_png(img, screen_viewport(), path);
    printf("%s %s\n", ok ? "wrote" : "could not write", path.c_str());
    return ok;
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc != 2) {
        fprintf(stderr, "usage: %s OUTPUT_DIR\n", argv[0]);
        return 2;
    }
    if (!getenv("DISPLAY")) {
        fprintf(stderr, "no X display: run under xvfb-run -a -s \"-screen 0 1280x1024x24\"\n");
        return 1;
    }
    std::string dir = argv[1];
    open_window();
    bool ok = true;

    build_game();
    game_status = GS_LOBBY;
    status_count = 5;
    ok &= shoot(display_lobby, dir + "/lobby.png");

    build_game();
    game_status = GS_PLAY;
    ok &= shoot(display_play, dir + "/play.png");

    build_game();
    game_status = GS_LIVE;
    me->status = PS_NONE;
    me->flags = 0;
    ok &= shoot(display_live, dir + "/live.png");

    build_game();
    game_status = GS_ROUND_RESULT;
    players[2].status = PS_RETIRED;
    ok &= shoot(display_round_result, dir + "/round_result.png");

    build_game();
    game_status = GS_FINAL_RESULT;
    ok &= shoot(display_final_result, dir + "/final_result.png");

    win_w = 900;
    win_h = 700;
    game_status = GS_PLAY;
    ok &= shoot(display_play, dir + "/play_900x700.png");
    return ok ? 0 : 1;
}
