// The window frame and the five screen callbacks.
#include "render/window.h"

#include <GL/freeglut.h>

#include <cstdint>

#include "game/model.h"
#include "render/shapes.h"
#include "screens/lobby.h"
#include "screens/panel.h"
#include "screens/playfield.h"
#include "screens/results.h"

int win_w = 450;
int win_h = 350;

// 9/7 and 7/9 as the window rule computes them; the second is one unit in the last
// place below the nearest double, so a width of 450 gives a height of 349.
constexpr double ASPECT_W_PER_H = 1.2857142857142858;
constexpr double ASPECT_H_PER_W = 0.7777777777777777;

void reshape(int width, int height)
{
    int target_w = static_cast<int>(height * ASPECT_W_PER_H);
    if (width > target_w)
        width = target_w;
    else if (width < target_w)
        height = static_cast<int>(width * ASPECT_H_PER_W);
    win_w = width;
    win_h = height;
    // The window system rejects a side of 0 with an error that ends the client, so
    // such a size (a minimised window, or 1 x 2 cut to 1 x 0) is not requested back.
    if (win_w > 0 && win_h > 0)
        glutReshapeWindow(win_w, win_h);
    glViewport(0, 0, win_w, win_h);
}

// Every screen: clear, full-window viewport, the screen's drawing, swap.
static void frame(void (*draw)())
{
    glClear(GL_COLOR_BUFFER_BIT);
    glViewport(0, 0, win_w, win_h);
    draw();
    glutSwapBuffers();
}

// Icon rows run on for as many icons as the server's counts say; an icon that lies
// beyond the window's right or bottom edge by more than its own size cannot be seen,
// and every later one lies further out, so the rows stop there.
constexpr double ICON_MARGIN = 0.1;  // the larger icon's size, in window units

static bool beyond_window(double x, double y)
{
    return x - ICON_MARGIN > 1.0 || y + ICON_MARGIN < -1.0;
}

static void draw_spare_cars()
{
    for (int i = 0; i < me->lives; i++) {
        double x = 0.6 + 0.08 * i;
        if (beyond_window(x, -0.8))
            break;
        draw_spare_car(x, -0.8);
    }
}

// One icon per flag of the round, five to a row from y = 0.6 downward: bright for
// this car's flags, crossed for those other cars took, dim for those still out.
static void draw_flag_icons()
{
    for (int i = 0; i < flags_total; i++) {
        int column = i % 5;
        int row = i / 5;
        double x = 0.6 + 0.08 * column;
        double y = 0.6 - 0.08 * row;
        if (beyond_window(x, y))
            break;
        if (i < me->flags)
            draw_flag_icon(x, y, 1.0, 0);
        else if (i < int64_t{flags_total} - flags_left)
            draw_flag_icon(x, y, 1.0, 1);
        else
            draw_flag_icon(x, y, 0.5, 0);
    }
}

static void draw_play_screen()
{
    draw_round_label();
    draw_score_line();
    draw_fuel_gauge();
    draw_radar();
    draw_spare_cars();
    draw_flag_icons();
    draw_playfield();
}

static void draw_live_screen()
{
    draw_radar();
    draw_flag_icons();
    draw_playfield();
}

void display_lobby()
{
    frame(draw_lobby);
}
void display_round_result()
{
    frame(draw_round_result);
}
void display_final_result()
{
    frame(draw_final_result);
}
void display_play()
{
    frame(draw_play_screen);
}
void display_live()
{
    frame(draw_live_screen);
}
