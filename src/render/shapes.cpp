// The flat vector shapes of the maze, the cars, the smoke and the panel icons, each
// drawn in its own unit frame after translate, scale and (for cars and wall edges)
// rotate, so that each vertex is rotated first, then scaled, then moved.
#include "render/shapes.h"

#include <GL/freeglut.h>

#include <cmath>

#include "render/text.h"

struct point {
    double x, y;
};

static const point unit_square[] = {{-1, -1}, {-1, 1}, {1, 1}, {1, -1}};

static const point flag_pole[] = {{-0.6, -0.8}, {-0.6, 0.8}, {-0.4, 0.8}, {-0.4, -0.8}};
static const point flag_banner[] = {{-0.4, 0.8}, {0.6, 0.4}, {-0.4, 0}};
static const point flag_foot[] = {{-0.7, -0.8}, {-0.7, -0.6}, {-0.2, -0.6}, {-0.2, -0.8}};

static const point rock_pieces[3][3] = {
    {{-0.9, -0.9}, {-0.5, 0.8}, {0.7, -0.9}},
    {{-0.7, -0.9}, {0, 0.6}, {0.8, -0.9}},
    {{-0.5, -0.9}, {0.6, 0.7}, {0.9, -0.9}},
};

static const point other_car_body[] = {{-0.7, -0.7}, {-0.3, 0.7}, {0.3, 0.7}, {0.7, -0.7}};
static const point own_car_body[] = {{-0.7, -0.7}, {-0.2, 0.7}, {0.2, 0.7}, {0.7, -0.7}};
static const point wheels[4][4] = {
    {{-0.7, -0.8}, {-0.7, -0.1}, {-0.3, -0.1}, {-0.3, -0.8}},
    {{0.7, -0.8}, {0.7, -0.1}, {0.3, -0.1}, {0.3, -0.8}},
    {{-0.6, 0.2}, {-0.6, 0.7}, {-0.3, 0.7}, {-0.3, 0.2}},
    {{0.6, 0.2}, {0.6, 0.7}, {0.3, 0.7}, {0.3, 0.2}},
};

// The burst's outline, in order: (-0.4, 0), (-0.72, 0.2), (-0.32, 0.12),
// (-0.36, 0.52), (0, 0.12), (0.36, 0.52), (0.32, 0.12), (0.72, 0.2), (0.4, 0).
// It is not convex, so it is filled as seven triangles that tile exactly that
// outline: the two side spikes, the two forward spikes and the body between them.
static const point burst_triangles[7][3] = {
    {{-0.4, 0}, {-0.72, 0.2}, {-0.32, 0.12}}, {{-0.32, 0.12}, {-0.36, 0.52}, {0, 0.12}},
    {{0, 0.12}, {0.36, 0.52}, {0.32, 0.12}},  {{0.32, 0.12}, {0.72, 0.2}, {0.4, 0}},
    {{-0.4, 0}, {-0.32, 0.12}, {0, 0.12}},    {{-0.4, 0}, {0, 0.12}, {0.4, 0}},
    {{0, 0.12}, {0.32, 0.12}, {0.4, 0}},
};

static const point octagon[] = {{-0.5, -1}, {-1, -0.5}, {-1, 0.5}, {-0.5, 1},
                                {0.5, 1},   {1, 0.5},   {1, -0.5}, {0.5, -1}};

constexpr double FLAG_ICON_SCALE = 0.9 * 0.05;  // 0.045000000000000005, not 0.045

static const point smoke_offsets[] = {{-0.3, -0.3}, {-0.7, 0.5}, {0.3, 0.6}, {0.7, -0.5}};

template <int N> static void polygon(const point (&vertices)[N])
{
    glBegin(GL_POLYGON);
    for (const point &v : vertices)
        glVertex2d(v.x, v.y);
    glEnd();
}

template <int N> static void triangles(const point (&pieces)[N][3])
{
    glBegin(GL_TRIANGLES);
    for (const auto &piece : pieces)
        for (const point &v : piece)
            glVertex2d(v.x, v.y);
    glEnd();
}

static void line(double x0, double y0, double x1, double y1)
{
    glBegin(GL_LINES);
    glVertex2d(x0, y0);
    glVertex2d(x1, y1);
    glEnd();
}

static void wheels_in_black()
{
    for (const auto &wheel : wheels) {
        glColor3d(0, 0, 0);
        polygon(wheel);
    }
}

// Screen position of a cell's centre in the field viewport.
static point cell_centre(int column, int row)
{
    return point{((column + 0.5) * CELL_SIZE - me->x) * FIELD_SCALE,
                 (me->y - (row + 0.5) * CELL_SIZE) * FIELD_SCALE};
}

// a - b in 32 bits, wrapping around instead of overflowing: positions come from the
// server and may be anything.
static int32_t difference32(int32_t a, int32_t b)
{
    return static_cast<int32_t>(static_cast<uint32_t>(a) - static_cast<uint32_t>(b));
}

// Screen position of a car in the field viewport.
static point car_position(const playerinfo *car)
{
    return point{difference32(car->x, me->x) * FIELD_SCALE,
                 difference32(me->y, car->y) * FIELD_SCALE};
}

static bool is_wall(int column, int row)
{
    return fieldmap[row][column] == CELL_WALL;
}

void draw_field_background()
{
    glColor3d(0.3, 0.5, 0.2);
    polygon(unit_square);
}

// The unit square translated to (x, y) and scaled by 0.1, with its corners computed
// here instead of by a pushed matrix, so that the cells of a frame reach OpenGL as one
// batch of polygons rather than one draw each. The corners are exactly those OpenGL
// computes from the identity modelview (which is all any caller of the cell shapes
// has): the matrix path turns the translation into floats, and each corner
// coordinate becomes that float plus 0.1f times 1, -1 or 0, products that are exact,
// so one rounding to float remains, the one done here. Same corners, same pixels.
static void cell_square(double x, double y)
{
    const float scale = 0.1f;
    float cx = static_cast<float>(x);
    float cy = static_cast<float>(y);
    glBegin(GL_POLYGON);
    for (const point &v : unit_square)
        glVertex2f(cx + static_cast<float>(v.x) * scale, cy + static_cast<float>(v.y) * scale);
    glEnd();
}

void draw_tile(double x, double y)
{
    glColor3d(0.8, 0.5, 0.5);
    cell_square(x, y);
}

void draw_wall(int column, int row)
{
    point c = cell_centre(column, row);
    glColor3d(0.8, 0.2, 0.8);
    cell_square(c.x, c.y);
}

// The corners of scale 0.1 after a rotation by angle degrees, as OpenGL holds them:
// the rotation's cosine and sine are taken in float from the angle in radians, and
// each entry of the product with the scale is one rounded float product.
struct scaled_rotation {
    float xx, xy, yx, yy;  // x' = xx x + xy y, y' = yx x + yy y
};

static scaled_rotation edge_rotation(double angle)
{
    float a = static_cast<float>(angle);
    float s = sinf(static_cast<float>(a * M_PI / 180.0));
    float c = cosf(static_cast<float>(a * M_PI / 180.0));
    const float scale = 0.1f;
    return {scale * c, scale * -s, scale * s, scale * c};
}

// One wall border at the cell centre (x, y): the line from (-1, 1) to (1, 1) rotated,
// scaled by 0.1 and moved there, with its ends computed here instead of by a pushed
// matrix so that the borders of a frame reach OpenGL as one batch. The vertex shader
// multiplies the matrix by (+-1, 1, 0, 1): every product is exact, and the sum runs
// x term, y term, then the translation, two roundings that are done here in the
// same order. Same ends, same pixels.
static void edge_line_at(float x, float y, double angle)
{
    scaled_rotation r = edge_rotation(angle);
    glColor3d(0.3, 0.3, 0.8);
    glLineWidth(2);
    glBegin(GL_LINES);
    for (int end = -1; end <= 1; end += 2) {
        float rx = r.xx * static_cast<float>(end) + r.xy;
        float ry = r.yx * static_cast<float>(end) + r.yy;
        glVertex2f(rx + x, ry + y);
    }
    glEnd();
}

void draw_wall_edges(int column, int row)
{
    // A cell outside the maze has no neighbours to read.
    if (row < 0 || row >= MAP_H || column < 0 || column >= MAP_W)
        return;
    point c = cell_centre(column, row);
    float x = static_cast<float>(c.x);
    float y = static_cast<float>(c.y);
    if (row > 0 && !is_wall(column, row - 1))
        edge_line_at(x, y, 0);
    if (row < MAP_H - 1 && !is_wall(column, row + 1))
        edge_line_at(x, y, 180);
    if (column > 0 && !is_wall(column - 1, row))
        edge_line_at(x, y, 90);
    if (column < MAP_W - 1 && !is_wall(column + 1, row))
        edge_line_at(x, y, -90);
}

void draw_edge_line(double angle)
{
    glPushMatrix();
    glRotatef(static_cast<float>(angle), 0, 0, 1);
    glColor3d(0.3, 0.3, 0.8);
    glLineWidth(2);
    line(-1, 1, 1, 1);
    glPopMatrix();
}

void draw_flag()
{
    polygon(flag_pole);
    polygon(flag_banner);
    polygon(flag_foot);
}

// A flag cell: the tile and the yellow flag; a marked flag adds its red letter left of
// and below the cell's centre.
static void draw_any_flag_cell(double x, double y, const char *letter)
{
    draw_tile(x, y);
    glPushMatrix();
    glTranslated(x, y, 0);
    glScaled(0.1, 0.1, 1);
    glColor3d(1, 1, 0);
    draw_flag();
    if (letter) {
        glColor3d(1, 0, 0);
        draw_text(letter, -1.8, -0.5, FONT_HELVETICA_18);
    }
    glPopMatrix();
}

void draw_flag_cell(double x, double y)
{
    draw_any_flag_cell(x, y, nullptr);
}

void draw_flag_l_cell(double x, double y)
{
    draw_any_flag_cell(x, y, "L");
}

void draw_flag_s_cell(double x, double y)
{
    draw_any_flag_cell(x, y, "S");
}

void draw_rock(double x, double y)
{
    draw_tile(x, y);
    glPushMatrix();
    glTranslated(x, y, 0);
    glScaled(0.1, 0.1, 1);
    glColor3d(0.25, 0.15, 0.1);
    for (const auto &piece : rock_pieces)
        polygon(piece);
    glPopMatrix();
}

// Translation to the car's place (none for the own car), scale and rotation.
static void enter_car_frame(const playerinfo *car)
{
    if (car != me) {
        point p = car_position(car);
        glTranslated(p.x, p.y, 0);
    }
    glScaled(0.1, 0.1, 1);
    glRotatef(static_cast<float>(car->angle), 0, 0, 1);
}

void draw_car(const playerinfo *car)
{
    if (player_index(car) < Nclient)
        glColor3d(1, 0, 0);
    else
        glColor3d(0.8, 0.8, 0.8);
    glPushMatrix();
    enter_car_frame(car);
    polygon(other_car_body);
    wheels_in_black();
    glPopMatrix();
    if (car->status == PS_BURST)
        draw_burst(car);
}

void draw_own_car()
{
    glPushMatrix();
    enter_car_frame(me);
    draw_car_body();
    glPopMatrix();
    if (me->status == PS_BURST)
        draw_burst(me);
}

void draw_car_body()
{
    glColor3d(0, 0, 1);
    polygon(own_car_body);
    wheels_in_black();
}

void draw_burst(const playerinfo *car)
{
    glPushMatrix();
    enter_car_frame(car);
    glScaled(2, 4, 1);
    glColor3d(0.8, 0, 0);
    triangles(burst_triangles);
    glPopMatrix();
}

void begin_smoke()
{
    glEnable(GL_BLEND);
    glBlendFunc(GL_SRC_ALPHA, GL_ONE);
}

void end_smoke()
{
    glDisable(GL_BLEND);
}

// One octagon of a puff: translate (x, y), scale s, translate (ox, oy) from the
// identity modelview, with the corners computed here so that all puffs of a frame
// reach OpenGL as one batch. OpenGL takes each figure to float and moves the
// octagon's centre by float(s) times float(ox), rounded, plus float(x), rounded: the
// same two roundings, in separate statements so that no contraction merges them.
// A corner then adds float(s) times 0.5 or 1, a product that is exact, so its one
// rounding is the same here as in the vertex shader: same corners, same pixels.
static void puff_octagon(float x, float y, float s, double ox, double oy)
{
    float ox_scaled = s * static_cast<float>(ox);
    float oy_scaled = s * static_cast<float>(oy);
    float cx = ox_scaled + x;
    float cy = oy_scaled + y;
    glBegin(GL_POLYGON);
    for (const point &v : octagon)
        glVertex2f(s * static_cast<float>(v.x) + cx, s * static_cast<float>(v.y) + cy);
    glEnd();
}

void draw_smoke_puff_in_run(double x, double y, int size)
{
    double s = size * 0.012;  // rounded to a double before the next product
    s *= 0.1;
    glColor4d(0.8, 0.8, 0.8, 0.2);
    for (const point &offset : smoke_offsets)
        puff_octagon(static_cast<float>(x), static_cast<float>(y), static_cast<float>(s), offset.x,
                     offset.y);
}

void draw_smoke_puff(double x, double y, int size)
{
    begin_smoke();
    draw_smoke_puff_in_run(x, y, size);
    end_smoke();
}

void draw_octagon(double ox, double oy)
{
    glPushMatrix();
    glTranslated(ox, oy, 0);
    polygon(octagon);
    glPopMatrix();
}

void draw_spare_car(double x, double y)
{
    glPushMatrix();
    glTranslated(x, y, 0);
    glScaled(0.05, 0.05, 1);
    glColor3d(0, 0, 0.5);
    polygon(unit_square);
    draw_car_body();
    glPopMatrix();
}

void draw_flag_icon(double x, double y, double c, int crossed)
{
    glPushMatrix();
    glTranslated(x, y, 0);
    glScaled(FLAG_ICON_SCALE, FLAG_ICON_SCALE, 1);
    glColor3d(c, c, 0);
    draw_flag();
    if (crossed) {
        glColor3d(1, 0, 0);
        glLineWidth(2);
        line(-0.9, -0.9, 0.9, 0.9);
        line(-0.9, 0.9, 0.9, -0.9);
    }
    glPopMatrix();
}
