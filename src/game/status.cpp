// The game-status machine driven by the 10 ms tick. The server moves game_status
// with its messages; each tick runs the handler of the status the client is in,
// which picks the screen and keeps status_count.
#include "game/status.h"

#include <GL/freeglut.h>
#include <cstdio>

#include "net/framing.h"
#include "render/window.h"
#include "sound/sound.h"

status_handler status_handlers[GS_COUNT];
display_callback current_screen;
bool window_open;

void select_screen(display_callback screen)
{
    current_screen = screen;
    if (window_open)
        glutDisplayFunc(screen);
}

// Adds one tick to status_count. A count the server set near the top of the range
// wraps as a 32-bit word instead of overflowing.
static void count_tick()
{
    status_count = static_cast<int>(static_cast<unsigned>(status_count) + 1u);
}

// The play screen starts with no flag icons until the next round information.
static void select_play_screen()
{
    select_screen(display_play);
    flags_total = 0;
}

void status_lobby()
{
    if (status_count == -1)
        select_screen(display_lobby);
    if (status_count == -3)
        select_play_screen();
}

void status_ready()
{
    if (status_count == 0) {
        select_play_screen();
        status_count = 3;
    }
}

static void fade_smoke()
{
    for (smokeinfo &puff : smoke)
        if (puff.size > SMOKE_FADE_FLOOR)
            puff.size--;
}

void status_play()
{
    count_tick();
    fade_smoke();
}

void status_stage_cleared()
{
    count_tick();
}

void status_round_result()
{
    if (status_count == 0)
        select_screen(display_round_result);
}

void status_final_result()
{
    if (status_count == 0)
        select_screen(display_final_result);
}

void status_live()
{
    if (status_count == 0)
        select_screen(display_live);
    count_tick();
}

void status_game_over()
{
    count_tick();
}

void status_pause() {}

void tick(int)
{
    sound_watch_before();
    poll_server();
    if (game_status < 0 || game_status >= GS_COUNT)
        fprintf(stderr, "unknown game status: %d\n", game_status);
    else if (status_handlers[game_status])
        status_handlers[game_status]();
    sound_watch_after();
    if (window_open) {
        glutPostRedisplay();
        glutTimerFunc(TICK_MS, tick, 0);
    }
}
