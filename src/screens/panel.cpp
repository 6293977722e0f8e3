// The play-screen panel: round label, score line, fuel gauge and radar, and the big
// status message drawn over the field.
#include "screens/panel.h"

#include <GL/gl.h>
#include <cstdio>

#include "game/model.h"
#include "render/text.h"
#include "screens/blink.h"

int32_t radar_blink;
int32_t fuel_blink;
int32_t live_blink;

constexpr double FUEL_FACTOR = 0.0003333333333333333;  // 1 / FUEL_FULL
constexpr int FUEL_WARNING = 600;                      // "FUEL ALMOST EMPTY" below this
constexpr int GO_TICKS = 200;                          // "GO!" for the first ticks of play
constexpr double RADAR_SCALE = 0.0001953125;           // 1/5120 radar units per world unit
constexpr float RADAR_POINT = 5.0f;                    // pixels

void draw_round_label()
{
    char text[32];
    snprintf(text, sizeof text, "ROUND %d", round_no);
    glColor3d(1.0, 1.0, 0.0);
    draw_text(text, 0.55, -0.93, FONT_HELVETICA_12);
}

void draw_score_line()
{
    char text[64];
    snprintf(text, sizeof text, "SCORE: %08d    HISCORE: %08d", me->score, hiscore);
    glColor3d(1.0, 1.0, 0.0);
    draw_text(text, -0.9, 0.93, FONT_HELVETICA_12);
}

static void draw_quad(double x0, double y0, double x1, double y1)
{
    glBegin(GL_POLYGON);
    glVertex2d(x0, y0);
    glVertex2d(x0, y1);
    glVertex2d(x1, y1);
    glVertex2d(x1, y0);
    glEnd();
}

// The gauge's local frame makes the unit square its body. The bar is anchored at the
// right end and not clamped: above a full tank it reaches past the left end, below
// zero past the right.
void draw_fuel_gauge()
{
    double f = me->fuel * FUEL_FACTOR;
    glPushMatrix();
    glTranslated(0.55, 0.15, 0.0);
    glScaled(0.4, 0.07, 1.0);
    glColor3d(0.8, 0.8, 0.8);
    draw_quad(-0.01, 0.0, 1.01, 1.0);
    glColor3d(0.0, 0.0, 0.5);
    draw_quad(0.0, 0.1, 1.0, 0.9);
    glColor3d(0.0, 1.0, 0.0);
    draw_quad(1.0, 0.1, 1.0 - f, 0.9);
    glPopMatrix();
    glColor3d(0.0, 1.0, 0.0);
    draw_text("fuel", 0.69, 0.25, FONT_HELVETICA_12);
}

// Every point of the radar has the same size and the same matrix, so the cars and
// items go to OpenGL as one list of points in their drawing order; points later in
// the list cover earlier ones exactly as separate primitives would.
static void radar_point(double x, double y)
{
    glVertex2d(x, y);
}

static void draw_radar_cars()
{
    if (car_on_field(me)) {
        glColor3d(1.0, 0.0, 0.0);
        radar_point(me->x, me->y);
    }
    for (int i = 0; i < car_count(); i++) {
        const playerinfo *car = &players[i];
        if (car == me || !car_on_field(car))
            continue;
        glColor3d(1.0, 1.0, 1.0);
        radar_point(car->x, car->y);
    }
}

// Items stand at their cell's corner with the smallest coordinates, not its centre.
static void draw_radar_items(bool marked_lit)
{
    for (int r = 0; r < MAP_H; r++) {
        for (int c = 0; c < MAP_W; c++) {
            int code = fieldmap[r][c];
            if (code == CELL_FLAG || ((code == CELL_FLAG_L || code == CELL_FLAG_S) && marked_lit))
                glColor3d(1.0, 1.0, 0.0);
            else if (code == CELL_ROCK)
                glColor3d(0.25, 0.15, 0.1);
            else
                continue;
            radar_point(c * CELL_SIZE, r * CELL_SIZE);
        }
    }
}

// The radar frame: the maze's centre at (0.75, -0.3), world y growing downward.
void draw_radar()
{
    glPushMatrix();
    glTranslated(0.75, -0.3, 0.0);
    glScaled(RADAR_SCALE, -RADAR_SCALE, 1.0);
    glTranslated(-WORLD_W / 2.0, -WORLD_H / 2.0, 0.0);
    glColor3d(0.0, 0.0, 0.5);
    draw_quad(0, 0, WORLD_W, WORLD_H);
    glPointSize(RADAR_POINT);
    glBegin(GL_POINTS);
    draw_radar_cars();
    bool marked_lit = blink_lit(radar_blink, RADAR_BLINK_DIV);
    draw_radar_items(marked_lit);
    glEnd();
    glPopMatrix();
}

static void draw_ready_message()
{
    char text[32];
    glColor3d(0.0, 1.0, 0.0);
    snprintf(text, sizeof text, "ROUND %d", round_no);
    draw_text(text, -0.25, 0.35, FONT_HELVETICA_18);
    snprintf(text, sizeof text, "READY  %d", status_count);
    draw_text(text, -0.25, 0.2, FONT_HELVETICA_18);
}

// The fuel warning is decided first; "GO!" or "FUEL EMPTY" then independently, so the
// warning and "GO!" can share a frame.
static void draw_play_message()
{
    if (me->fuel < FUEL_WARNING && me->status != PS_NOFUEL &&
        blink_lit(fuel_blink, FUEL_BLINK_DIV)) {
        glColor3d(1.0, 0.7, 0.0);
        draw_text("FUEL ALMOST EMPTY", -0.6, 0.2, FONT_HELVETICA_18);
    }
    if (me->status == PS_DRIVE && status_count < GO_TICKS) {
        glColor3d(1.0, 0.0, 0.0);
        draw_text("GO!", -0.1, 0.2, FONT_HELVETICA_18);
    } else if (me->status == PS_NOFUEL) {
        glColor3d(1.0, 0.0, 0.0);
        draw_text("FUEL EMPTY", -0.4, 0.2, FONT_HELVETICA_18);
    }
}

static void draw_message(double r, double g, double b, const char *text, double x, double y)
{
    glColor3d(r, g, b);
    draw_text(text, x, y, FONT_HELVETICA_18);
}

void draw_status_message()
{
    switch (game_status) {
    case GS_READY: draw_ready_message(); break;
    case GS_PLAY: draw_play_message(); break;
    case GS_STAGE_CLEARED: draw_message(0.0, 1.0, 0.0, "STAGE CLEARED", -0.5, 0.2); break;
    case GS_LIVE:
        if (blink_lit(live_blink, LIVE_BLINK_DIV))
            draw_message(0.0, 1.0, 0.0, "LIVE", 0.6, 0.8);
        break;
    case GS_GAME_OVER: draw_message(1.0, 0.0, 0.0, "GAME OVER", -0.35, 0.2); break;
    case GS_PAUSE: draw_message(0.0, 1.0, 0.0, "PAUSE", -0.2, 0.2); break;
    default: break;  // lobby, results and unknown statuses: no message
    }
}
