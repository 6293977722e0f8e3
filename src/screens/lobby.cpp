// The lobby: title, version, car-control mode, check-in prompt or waiting line, the
// countdown and the table of human players.
#include "screens/lobby.h"

#include <GL/gl.h>
#include <cstdio>

#include "game/model.h"
#include "render/text.h"
#include "screens/blink.h"
#include "screens/rows.h"

int32_t welcome_blink;
int32_t countdown_blink;

// Table columns: offsets from the name column, summed in double precision.
constexpr double COL_NAME = -0.7;
constexpr double COL_WINS = COL_NAME + 0.5;
constexpr double COL_SCORE = COL_NAME + 0.75;
constexpr double COL_CHECKIN = COL_NAME + 1.15;
constexpr double ROW_FIRST = 0.3;
constexpr double ROW_STEP = 0.1;

static void draw_rule(double y)
{
    glColor3d(0.0, 0.7, 0.0);
    glLineWidth(1.0f);
    glBegin(GL_LINES);
    glVertex2d(-0.73, y);
    glVertex2d(0.7, y);
    glEnd();
}

static void draw_title()
{
    char text[32];
    glColor3d(0.7, 0.7, 1.0);
    draw_text("new", -0.7, 0.73, FONT_HELVETICA_18);
    draw_text("Mazecar", -0.5, 0.7, FONT_TIMES_24);
    glColor3d(1.0, 0.7, 0.0);
    draw_text("online", -0.12, 0.69, FONT_HELVETICA_18);
    glColor3d(0.0, 0.7, 0.0);
    snprintf(text, sizeof text, "ver. %08x", static_cast<unsigned>(CLIENT_VERSION));
    draw_text(text, 0.6, 0.95, FONT_HELVETICA_12);
}

// The unlit mode is drawn dark green, not left out.
static void draw_control_mode()
{
    bool classic = me->control == CONTROL_CLASSIC;
    glColor3d(0.0, 1.0, 0.0);
    draw_text("Car Control:", -0.5, -0.83, FONT_HELVETICA_12);
    glColor3d(0.0, classic ? 1.0 : 0.5, 0.0);
    draw_text("CLASSIC", -0.1, -0.83, FONT_HELVETICA_12);
    glColor3d(0.0, classic ? 0.5 : 1.0, 0.0);
    draw_text("MODERN", 0.3, -0.83, FONT_HELVETICA_12);
}

static void draw_checkin_line()
{
    glColor3d(1.0, 1.0, 0.0);
    if (me->status != PS_NONE) {
        draw_text("Waiting for Other Guys...", -0.7, -0.7, FONT_HELVETICA_12);
    } else if (blink_lit(welcome_blink, LOBBY_BLINK_DIV)) {
        char name[NAME_TEXT];
        char text[80];
        copy_name(name, me->name);
        snprintf(text, sizeof text, "Welcome %s. Press SPACE key to check in.", name);
        draw_text(text, -0.7, -0.7, FONT_HELVETICA_12);
    }
}

static void draw_countdown()
{
    if (status_count > 0 && blink_lit(countdown_blink, LOBBY_BLINK_DIV)) {
        char text[40];
        snprintf(text, sizeof text, "Game Starts in %d sec", status_count);
        glColor3d(1.0, 0.7, 0.0);
        draw_text(text, -0.3, -0.95, FONT_HELVETICA_12);
    }
}

static void draw_table_header()
{
    draw_rule(0.48);
    glColor3d(0.0, 1.0, 0.0);
    draw_text("player", COL_NAME, 0.41, FONT_HELVETICA_12);
    draw_text("wins", COL_WINS, 0.41, FONT_HELVETICA_12);
    draw_text("score", COL_SCORE, 0.41, FONT_HELVETICA_12);
    draw_rule(0.37);
}

static void draw_player_row(const playerinfo *car, double y)
{
    char name[NAME_TEXT];
    char text[16];
    copy_name(name, car->name);
    if (car == me)
        glColor3d(1.0, 1.0, 0.0);
    else
        glColor3d(0.0, 1.0, 0.0);
    draw_text(name, COL_NAME, y, FONT_HELVETICA_12);
    if (car->wins != 0)
        snprintf(text, sizeof text, "% 2d", car->wins);
    else
        snprintf(text, sizeof text, "  -  ");
    draw_text(text, COL_WINS, y, FONT_HELVETICA_12);
    snprintf(text, sizeof text, "%08d", car->score);
    draw_text(text, COL_SCORE, y, FONT_HELVETICA_12);
    if (car->status != PS_NONE)
        glColor3d(1.0, 0.7, 0.0);
    else
        glColor3d(0.5, 0.35, 0.0);
    draw_text("checkin", COL_CHECKIN, y, FONT_HELVETICA_12);
}

// Row positions come from repeated subtraction, as the layout was measured; the
// closing line sits 0.07 above the position after the last row.
static void draw_player_table()
{
    draw_table_header();
    double y = ROW_FIRST;
    for (int i = 0; i < client_rows(); i++) {
        draw_player_row(&players[i], y);
        y -= ROW_STEP;
    }
    draw_rule(y + 0.07);
}

void draw_lobby()
{
    draw_title();
    draw_control_mode();
    draw_checkin_line();
    draw_countdown();
    draw_player_table();
}
