// The playfield: the scrolling view of the maze around the own car, with the other
// cars, the own car, the smoke and the status message over it.
#include "screens/playfield.h"

#include <GL/gl.h>
#include <algorithm>
#include <cstdint>

#include "game/model.h"
#include "render/shapes.h"
#include "render/window.h"
#include "screens/panel.h"

// The field's square in window pixels at the 450 x 350 layout: 10 from the left and
// bottom edges, 320 on a side.
constexpr int LAYOUT_W = 450;
constexpr int LAYOUT_H = 350;
constexpr int FIELD_MARGIN = 10;
constexpr int FIELD_SIDE = 320;
constexpr int VIEW_REACH = 5;  // cells drawn on each side of the own car's cell

// size * num / den truncated toward zero. The product is taken in 64 bits so a huge
// window cannot overflow it; for any real window it equals the 32-bit result, and
// with num < den the quotient always fits back into an int.
static int scale_pixels(int size, int num, int den)
{
    return static_cast<int>(int64_t{size} * num / den);
}

static void set_field_viewport()
{
    glViewport(
        scale_pixels(win_w, FIELD_MARGIN, LAYOUT_W), scale_pixels(win_h, FIELD_MARGIN, LAYOUT_H),
        scale_pixels(win_w, FIELD_SIDE, LAYOUT_W), scale_pixels(win_h, FIELD_SIDE, LAYOUT_H));
}

// First and end (exclusive) cell of the visible window along one axis, cut at the
// maze's edge. A position of at most 2^31 world units is below 2^25 cells, so the
// truncation always fits an int; the clamps keep every index inside the fieldmap,
// and a car far outside the maze simply gets an empty window.
struct cell_span {
    int first;
    int end;
};

static cell_span visible_cells(int32_t pos, int cells)
{
    double cell = pos * 0.015625;
    int first = static_cast<int>(cell - VIEW_REACH);
    int end = static_cast<int>(cell + (VIEW_REACH + 1));
    return {std::clamp(first, 0, cells), std::clamp(end, 0, cells)};
}

static double cell_screen_x(int column)
{
    return ((column + 0.5) * CELL_SIZE - me->x) * FIELD_SCALE;
}

static double cell_screen_y(int row)
{
    return (me->y - (row + 0.5) * CELL_SIZE) * FIELD_SCALE;
}

static void draw_cell(int row, int column)
{
    double x = cell_screen_x(column);
    double y = cell_screen_y(row);
    switch (fieldmap[row][column]) {
    case CELL_ROAD: draw_tile(x, y); break;
    case CELL_WALL: draw_wall(column, row); break;
    case CELL_FLAG: draw_flag_cell(x, y); break;
    case CELL_FLAG_L: draw_flag_l_cell(x, y); break;
    case CELL_FLAG_S: draw_flag_s_cell(x, y); break;
    case CELL_ROCK: draw_rock(x, y); break;
    default: break;  // unknown codes leave the green background
    }
}

static void draw_cells(cell_span rows, cell_span columns)
{
    for (int row = rows.first; row < rows.end; row++)
        for (int column = columns.first; column < columns.end; column++)
            draw_cell(row, column);
}

// Borders go on after every tile, so a wall's border lies over the neighbours drawn
// after it.
static void draw_wall_borders(cell_span rows, cell_span columns)
{
    for (int row = rows.first; row < rows.end; row++)
        for (int column = columns.first; column < columns.end; column++)
            if (fieldmap[row][column] == CELL_WALL)
                draw_wall_edges(column, row);
}

static void draw_other_cars()
{
    for (int i = 0; i < car_count(); i++) {
        const playerinfo *car = &players[i];
        if (car != me && car_on_field(car))
            draw_car(car);
    }
}

// World differences are taken in 64 bits: a hostile position far from the own car
// gives a far-away (clipped) puff instead of a signed overflow. The puffs share one
// switch of blending, as nothing else is drawn between them.
static void draw_smoke()
{
    begin_smoke();
    for (const smokeinfo &puff : smoke) {
        if (puff.size == 0)
            continue;
        double x = static_cast<double>(int64_t{puff.x} - me->x) * FIELD_SCALE;
        double y = static_cast<double>(int64_t{me->y} - puff.y) * FIELD_SCALE;
        draw_smoke_puff_in_run(x, y, puff.size);
    }
    end_smoke();
}

void draw_playfield()
{
    set_field_viewport();
    draw_field_background();
    cell_span rows = visible_cells(me->y, MAP_H);
    cell_span columns = visible_cells(me->x, MAP_W);
    draw_cells(rows, columns);
    draw_wall_borders(rows, columns);
    draw_other_cars();
    if (car_on_field(me))
        draw_own_car();
    draw_smoke();
    draw_status_message();
}
