// The round-result and final-result screens: one row per human player taking part,
// packed without gaps, in table order.
#include "screens/results.h"

#include <GL/gl.h>
#include <cstdio>

#include "game/model.h"
#include "render/shapes.h"
#include "render/text.h"
#include "screens/rows.h"

constexpr double ROW_START = 0.2;  // the first row stands one step below, at 0.0
constexpr double ROW_STEP = 0.2;
constexpr double GLYPH_RISE = 0.023;

static void draw_heading(const char *text)
{
    glColor3d(0.7, 0.7, 1.0);
    draw_text(text, -0.7, 0.5, FONT_HELVETICA_18);
}

static void set_row_colour(int i, bool highlight)
{
    if (highlight && i == result_highlight)
        glColor3d(1.0, 1.0, 0.0);
    else if (&players[i] == me)
        glColor3d(0.0, 1.0, 0.0);
    else
        glColor3d(0.0, 0.7, 0.0);
}

static void draw_flag_glyph(double y)
{
    glColor3d(1.0, 1.0, 0.0);
    glPushMatrix();
    glTranslated(-0.28, y + GLYPH_RISE, 0.0);
    glScaled(0.08, 0.08, 1.0);
    draw_flag();
    glPopMatrix();
}

// The round result shows this round's flags and the finished/retired column, with
// the server's pick in yellow; the final result shows the whole game's flags.
static void draw_result_rows(bool round)
{
    double y = ROW_START;
    for (int i = 0; i < client_rows(); i++) {
        const playerinfo *car = &players[i];
        if (car->status == PS_NONE)
            continue;
        y -= ROW_STEP;
        char name[NAME_TEXT];
        char text[32];
        set_row_colour(i, round);
        copy_name(name, car->name);
        draw_text(name, -0.85, y, FONT_HELVETICA_12);
        snprintf(text, sizeof text, "x %d", round ? car->flags : car->flags_game);
        draw_text(text, -0.22, y, FONT_HELVETICA_12);
        snprintf(text, sizeof text, "%08d pts", car->score);
        draw_text(text, 0.0, y, FONT_HELVETICA_12);
        if (round)
            draw_text(car->status == PS_RETIRED ? "RETIRED" : "FINISHED", 0.5, y,
                      FONT_HELVETICA_12);
        draw_flag_glyph(y);
    }
}

void draw_round_result()
{
    char text[40];
    snprintf(text, sizeof text, "Round %d Result", round_no);
    draw_heading(text);
    draw_result_rows(true);
}

void draw_final_result()
{
    draw_heading("Final Result");
    draw_result_rows(false);
}
