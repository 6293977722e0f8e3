// The shapes by their pixels: colours, positions, rotation, wall edges, the burst's
// outline and the additive smoke, in a field viewport of 800 x 800 pixels, where one
// cell (0.2) is 80 pixels and one unit of a car or cell shape 40.
#include <GL/freeglut.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

#include "harness.h"
#include "render/shapes.h"
#include "render/text.h"

namespace {

const Viewport field{0, 0, 800, 800};

const Rgb green = rgb(0.3, 0.5, 0.2);
const Rgb pink = rgb(0.8, 0.5, 0.5);
const Rgb magenta = rgb(0.8, 0.2, 0.8);
const Rgb edge_blue = rgb(0.3, 0.3, 0.8);
const Rgb yellow = rgb(1, 1, 0);
const Rgb red = rgb(1, 0, 0);
const Rgb brown = rgb(0.25, 0.15, 0.1);
const Rgb grey = rgb(0.8, 0.8, 0.8);
const Rgb blue = rgb(0, 0, 1);
const Rgb dark_blue = rgb(0, 0, 0.5);
const Rgb black = rgb(0, 0, 0);
const Rgb burst_red = rgb(0.8, 0, 0);

// Puts the own car at the centre of a cell, so that cell is drawn at (0, 0).
void centre_me_on(int column, int row)
{
    me->x = column * CELL_SIZE + CELL_SIZE / 2;
    me->y = row * CELL_SIZE + CELL_SIZE / 2;
}

// The cells around (column, row) as the playfield draws them, then the wall edges
// of that one cell.
Image render_wall_with_neighbours(int column, int row)
{
    return render_in_viewport(field, [=] {
        draw_field_background();
        for (int r = row - 1; r <= row + 1; r++)
            for (int c = column - 1; c <= column + 1; c++) {
                if (r < 0 || r >= MAP_H || c < 0 || c >= MAP_W)
                    continue;
                double x = (c - column) * 0.2, y = (row - r) * 0.2;
                switch (fieldmap[r][c]) {
                case CELL_ROAD: draw_tile(x, y); break;
                case CELL_WALL: draw_wall(c, r); break;
                case CELL_FLAG: draw_flag_cell(x, y); break;
                case CELL_ROCK: draw_rock(x, y); break;
                default: break;
                }
            }
        draw_wall_edges(column, row);
    });
}

struct sides {
    bool top, bottom, left, right;
};

void expect_edges(const Image &img, sides want)
{
    auto check = [&](bool drawn, double x, double y, const char *side) {
        if (drawn)
            EXPECT_TRUE(colour_near_ndc(img, field, x, y, edge_blue)) << side << " edge missing";
        else
            EXPECT_TRUE(no_colour_near_ndc(img, field, x, y, edge_blue)) << side << " edge drawn";
    };
    check(want.top, 0, 0.1, "top");
    check(want.bottom, 0, -0.1, "bottom");
    check(want.left, -0.1, 0, "left");
    check(want.right, 0.1, 0, "right");
}

void fill_map(int8_t code)
{
    for (auto &row : fieldmap)
        for (auto &cell : row)
            cell = code;
}

// Screen position of a point given in a car's own frame, for a car drawn at (cx, cy).
void car_point(double cx, double cy, double angle, double u, double v, double *x, double *y)
{
    double a = angle * M_PI / 180;
    *x = cx + 0.1 * (u * std::cos(a) - v * std::sin(a));
    *y = cy + 0.1 * (u * std::sin(a) + v * std::cos(a));
}

}  // namespace

using ShapeTest = PixelTest;

TEST_F(ShapeTest, BackgroundTileAndWallHaveTheirColoursAndCellSize)
{
    centre_me_on(10, 20);
    Image img = render_in_viewport(field, [] {
        draw_field_background();
        draw_tile(0.2, -0.4);
        draw_wall(9, 20);  // one cell left of the own car
    });
    EXPECT_TRUE(colour_at_ndc(img, field, -0.99, 0.99, green));
    EXPECT_TRUE(colour_at_ndc(img, field, 0.2, -0.4, pink));
    EXPECT_TRUE(colour_at_ndc(img, field, 0.2 + 0.095, -0.4 - 0.095, pink));
    EXPECT_TRUE(colour_at_ndc(img, field, 0.2 + 0.105, -0.4, green));
    EXPECT_TRUE(colour_at_ndc(img, field, -0.2, 0, magenta));
    EXPECT_TRUE(colour_at_ndc(img, field, -0.2 - 0.095, 0.095, magenta));
    EXPECT_TRUE(colour_at_ndc(img, field, -0.2 + 0.105, 0, green));
    EXPECT_TRUE(colour_at_ndc(img, Viewport{0, 0, HARNESS_W, HARNESS_H}, 0.9, 0.9, clear_colour()))
        << "the background stays inside its viewport";
}

TEST_F(ShapeTest, WallEdgesFaceEveryNeighbourThatIsNotAWall)
{
    centre_me_on(10, 20);
    fill_map(CELL_WALL);
    expect_edges(render_wall_with_neighbours(10, 20), {false, false, false, false});

    fill_map(CELL_ROAD);
    fieldmap[20][10] = CELL_WALL;
    expect_edges(render_wall_with_neighbours(10, 20), {true, true, true, true});

    fill_map(CELL_WALL);
    fieldmap[19][10] = CELL_FLAG;
    fieldmap[21][10] = CELL_ROCK;
    fieldmap[20][9] = 6;
    fieldmap[20][11] = -1;  // byte 255
    expect_edges(render_wall_with_neighbours(10, 20), {true, true, true, true});

    fill_map(CELL_WALL);
    fieldmap[21][10] = CELL_ROAD;
    expect_edges(render_wall_with_neighbours(10, 20), {false, true, false, false});
}

TEST_F(ShapeTest, WallsOnTheMazeBorderHaveNoEdgeTowardTheBorder)
{
    fill_map(CELL_ROAD);
    fieldmap[0][0] = CELL_WALL;
    fieldmap[55][31] = CELL_WALL;
    fieldmap[0][31] = CELL_WALL;
    fieldmap[55][0] = CELL_WALL;
    centre_me_on(0, 0);
    expect_edges(render_wall_with_neighbours(0, 0), {false, true, false, true});
    centre_me_on(31, 55);
    expect_edges(render_wall_with_neighbours(31, 55), {true, false, true, false});
    centre_me_on(31, 0);
    expect_edges(render_wall_with_neighbours(31, 0), {false, true, true, false});
    centre_me_on(0, 55);
    expect_edges(render_wall_with_neighbours(0, 55), {true, false, false, true});
}

TEST_F(ShapeTest, WallEdgesOfCellsOutsideTheMazeReadNothingAndDrawNothing)
{
    fill_map(CELL_ROAD);
    const int cells[][2] = {{-1, 0},  {32, 0},  {0, -1},        {0, 56},
                            {32, 56}, {-1, -1}, {INT32_MIN, 3}, {3, INT32_MAX}};
    for (const auto &cell : cells) {
        centre_me_on(0, 0);
        Image img = render_in_viewport(field, [&] { draw_wall_edges(cell[0], cell[1]); });
        EXPECT_EQ(count_colour(img, field, edge_blue), 0) << cell[0] << ", " << cell[1];
    }
}

TEST_F(ShapeTest, FlagCellsRockAndMarkedLetters)
{
    Image img = render_in_viewport(field, [] {
        draw_flag_cell(-0.5, 0.5);
        draw_rock(0.5, 0.5);
    });
    EXPECT_TRUE(colour_at_ndc(img, field, -0.5 - 0.05, 0.5, yellow)) << "pole";
    EXPECT_TRUE(colour_at_ndc(img, field, -0.5 - 0.007, 0.5 + 0.04, yellow)) << "banner";
    EXPECT_TRUE(colour_at_ndc(img, field, -0.5 - 0.045, 0.5 - 0.07, yellow)) << "foot";
    EXPECT_TRUE(colour_at_ndc(img, field, -0.5 + 0.08, 0.5 - 0.08, pink)) << "tile";
    EXPECT_TRUE(colour_at_ndc(img, field, 0.5, 0.5, brown));
    EXPECT_TRUE(colour_at_ndc(img, field, 0.5 + 0.02, 0.5 - 0.06, brown));
    EXPECT_TRUE(colour_at_ndc(img, field, 0.5 - 0.09, 0.5 + 0.09, pink));

    // The letters: red, Helvetica 18, raster position 0.18 left and 0.05 below the
    // centre, over the plain flag cell.
    const double x = 0.001, y = 0.001;  // keeps the raster position off pixel borders
    auto reference = [&](int letter) {
        return render_in_viewport(field, [&] {
            draw_flag_cell(x, y);
            glColor3d(1, 0, 0);
            glRasterPos2d(x - 0.18, y - 0.05);
            glutBitmapCharacter(GLUT_BITMAP_HELVETICA_18, letter);
        });
    };
    Image l_cell = render_in_viewport(field, [&] { draw_flag_l_cell(x, y); });
    Image s_cell = render_in_viewport(field, [&] { draw_flag_s_cell(x, y); });
    Image l_ref = reference('L'), s_ref = reference('S');
    EXPECT_GT(count_colour(l_cell, field, red), 10);
    EXPECT_EQ(count_other_than(l_cell, field, clear_colour()),
              count_other_than(l_ref, field, clear_colour()));
    for (int py = 300; py < 420; py++)
        for (int px = 280; px < 420; px++) {
            ASSERT_TRUE(same_colour(pixel_at(l_cell, px, py), pixel_at(l_ref, px, py)))
                << px << "," << py;
            ASSERT_TRUE(same_colour(pixel_at(s_cell, px, py), pixel_at(s_ref, px, py)))
                << px << "," << py;
        }
}

TEST_F(ShapeTest, OtherCarsAreRedForHumansAndGreyFromNclientOn)
{
    Nclient = 2;
    Nenemy = 2;
    centre_me_on(10, 20);
    for (int i = 1; i < 4; i++) {
        players[i].x = me->x + (i - 2) * 3 * CELL_SIZE;  // at -0.6, 0 and 0.6
        players[i].y = me->y;
        players[i].status = PS_DRIVE;
    }
    Image img = render_in_viewport(field, [] {
        for (int i = 1; i < 4; i++)
            draw_car(&players[i]);
    });
    EXPECT_TRUE(colour_at_ndc(img, field, -0.6, 0, red)) << "index Nclient - 1";
    EXPECT_TRUE(colour_at_ndc(img, field, 0, 0, grey)) << "index Nclient";
    EXPECT_TRUE(colour_at_ndc(img, field, 0.6, 0, grey));
    EXPECT_TRUE(colour_at_ndc(img, field, 0.6 + 0.05, -0.045, black)) << "wheel";
    EXPECT_EQ(count_colour(img, field, burst_red), 0);
}

TEST_F(ShapeTest, CarIsRotatedInItsOwnFrameThenScaledThenPlaced)
{
    Nclient = 2;
    centre_me_on(10, 20);
    playerinfo &car = players[1];
    car.x = me->x + 128;  // drawn at (0.4, 0.2)
    car.y = me->y - 64;
    car.status = PS_BURST;
    for (int angle : {0, 90, 30, -135}) {
        SCOPED_TRACE(angle);
        car.angle = angle;
        Image img = render_in_viewport(field, [&] { draw_car(&car); });
        double x, y;
        car_point(0.4, 0.2, angle, 0, -0.3, &x, &y);
        EXPECT_TRUE(colour_at_ndc(img, field, x, y, red)) << "body behind the centre";
        car_point(0.4, 0.2, angle, 0.5, -0.45, &x, &y);
        EXPECT_TRUE(colour_at_ndc(img, field, x, y, black)) << "rear wheel";
        car_point(0.4, 0.2, angle, -0.6, 1.6, &x, &y);
        EXPECT_TRUE(colour_at_ndc(img, field, x, y, burst_red)) << "forward spike of the burst";
        car_point(0.4, 0.2, angle, -0.6, -1.6, &x, &y);
        EXPECT_TRUE(colour_at_ndc(img, field, x, y, clear_colour())) << "nothing behind the car";
    }
}

TEST_F(ShapeTest, OwnCarIsBlueAtTheCentreWithTheNarrowEndAhead)
{
    centre_me_on(10, 20);
    me->status = PS_DRIVE;
    me->angle = 180;
    Image img = render_in_viewport(field, [] { draw_own_car(); });
    EXPECT_TRUE(colour_at_ndc(img, field, 0, 0, blue));
    EXPECT_TRUE(colour_at_ndc(img, field, 0, -0.065, blue)) << "narrow end, now pointing down";
    EXPECT_TRUE(colour_at_ndc(img, field, 0.0675, -0.045, clear_colour()))
        << "beside the narrow end";
    EXPECT_TRUE(colour_at_ndc(img, field, -0.05, 0.045, black)) << "rear wheel, now at the top";
    EXPECT_EQ(count_colour(img, field, burst_red), 0);
}

// Whether a point lies inside the burst's outline, and how far it is from its edge,
// in pixels of the 800-pixel field with the own car unrotated at its centre: the
// burst's own unit is 80 pixels across and 160 pixels up.
namespace {
const double burst_outline[9][2] = {{-0.4, 0},     {-0.72, 0.2}, {-0.32, 0.12},
                                    {-0.36, 0.52}, {0, 0.12},    {0.36, 0.52},
                                    {0.32, 0.12},  {0.72, 0.2},  {0.4, 0}};

void burst_pixel(int i, double *x, double *y)
{
    *x = 400 + 80 * burst_outline[i][0];
    *y = 400 + 160 * burst_outline[i][1];
}

bool inside_burst(double px, double py, double *distance)
{
    bool inside = false;
    *distance = 1e9;
    for (int i = 0, j = 8; i < 9; j = i++) {
        double xi, yi, xj, yj;
        burst_pixel(i, &xi, &yi);
        burst_pixel(j, &xj, &yj);
        if ((yi > py) != (yj > py) && px < (xj - xi) * (py - yi) / (yj - yi) + xi)
            inside = !inside;
        double dx = xj - xi, dy = yj - yi;
        double t = std::clamp(((px - xi) * dx + (py - yi) * dy) / (dx * dx + dy * dy), 0.0, 1.0);
        *distance = std::min(*distance, std::hypot(px - (xi + t * dx), py - (yi + t * dy)));
    }
    return inside;
}
}  // namespace

TEST_F(ShapeTest, BurstFillsExactlyItsOutlineOverTheBody)
{
    centre_me_on(10, 20);
    me->status = PS_BURST;
    Image img = render_in_viewport(field, [] { draw_own_car(); });
    int inside_wrong = 0, outside_wrong = 0, inside_total = 0;
    for (int py = 380; py < 500; py++)
        for (int px = 260; px < 540; px++) {
            double distance;
            bool inside = inside_burst(px + 0.5, py + 0.5, &distance);
            if (distance < 1.0)
                continue;
            bool burst = same_colour(pixel_at(img, px, py), burst_red);
            if (inside) {
                inside_total++;
                inside_wrong += !burst;
            } else {
                outside_wrong += burst;
            }
        }
    EXPECT_GT(inside_total, 2500);
    EXPECT_EQ(inside_wrong, 0) << "pixels inside the outline not covered by the burst";
    EXPECT_EQ(outside_wrong, 0) << "burst pixels outside its outline";
    EXPECT_TRUE(colour_at_ndc(img, field, 0, -0.03, blue)) << "body behind the burst";

    me->status = PS_NOFUEL;
    Image calm = render_in_viewport(field, [] { draw_own_car(); });
    EXPECT_EQ(count_colour(calm, field, burst_red), 0);
}

TEST_F(ShapeTest, SmokeAddsLightPerOctagonAndNeverDarkens)
{
    auto with_puffs = [](int puffs, int size) {
        return render_in_viewport(field, [=] {
            draw_field_background();
            for (int i = 0; i < puffs; i++)
                draw_smoke_puff(0, 0, size);
        });
    };
    auto lit = [](Rgb base, int octagons) {
        double add = 0.16 * 255 * octagons;
        return Rgb{std::min(255, static_cast<int>(std::lround(base.r + add))),
                   std::min(255, static_cast<int>(std::lround(base.g + add))),
                   std::min(255, static_cast<int>(std::lround(base.b + add)))};
    };
    // Size 100 scales the puff by 0.12; points in the puff's own frame times 0.12.
    Image one = with_puffs(1, 100);
    EXPECT_TRUE(colour_at_ndc(one, field, 0.12 * 1.8, 0.12 * -0.5, green))
        << "outside all octagons";
    EXPECT_TRUE(colour_at_ndc(one, field, 0.12 * 1.5, 0.12 * -0.5, lit(green, 1)));
    EXPECT_TRUE(colour_at_ndc(one, field, 0.12 * 0.9, 0.12 * 0.3, lit(green, 2)));
    EXPECT_TRUE(colour_at_ndc(one, field, 0, 0, lit(green, 4)));

    Image two = with_puffs(2, 100);
    EXPECT_TRUE(colour_at_ndc(two, field, 0.12 * 1.5, 0.12 * -0.5, lit(green, 2)));
    // The same polygon may come out one level apart between pictures; darkening by
    // more than that is a fault.
    auto not_darker = [](Rgb before, Rgb after) {
        return after.r >= before.r - 1 && after.g >= before.g - 1 && after.b >= before.b - 1;
    };
    Image plain = with_puffs(0, 100);
    for (int py = 300; py < 500; py += 3)
        for (int px = 300; px < 500; px += 3) {
            Rgb a = pixel_at(plain, px, py), b = pixel_at(one, px, py), c = pixel_at(two, px, py);
            ASSERT_TRUE(not_darker(a, b)) << px << "," << py << ": " << a << " then " << b;
            ASSERT_TRUE(not_darker(b, c)) << px << "," << py << ": " << b << " then " << c;
        }

    Image over_white = render_in_viewport(field, [] {
        glColor3d(1, 1, 1);
        glRectd(-1, -1, 1, 1);
        draw_smoke_puff(0, 0, 100);
    });
    EXPECT_EQ(count_other_than(over_white, field, rgb(1, 1, 1), 0), 0);

    Image speck = with_puffs(1, 10);
    EXPECT_TRUE(colour_at_ndc(speck, field, 0.012 * 1.5, 0.012 * -0.5, lit(green, 1)));
    EXPECT_TRUE(colour_at_ndc(speck, field, 0.03, 0, green));

    Image after = render_in_viewport(field, [] {
        draw_smoke_puff(0, 0, 100);
        draw_tile(0, 0);
    });
    EXPECT_TRUE(colour_at_ndc(after, field, 0, 0, pink)) << "blending left on after the puff";
}

TEST_F(ShapeTest, SpareCarIconIsABlueCarUprightOnDarkBlue)
{
    // Icon units are 20 pixels here (scale 0.05 of a 400-pixel half viewport).
    Image img = render_in_viewport(field, [] { draw_spare_car(0.5, -0.5); });
    auto at = [&](double u, double v) {
        return pixel_at_ndc(img, field, 0.5 + 0.05 * u, -0.5 + 0.05 * v);
    };
    EXPECT_TRUE(same_colour(at(0, 0), blue)) << at(0, 0);
    EXPECT_TRUE(same_colour(at(0.9, 0.9), dark_blue)) << at(0.9, 0.9);
    EXPECT_TRUE(same_colour(at(-0.9, -0.9), dark_blue)) << at(-0.9, -0.9);
    EXPECT_TRUE(same_colour(at(0.5, -0.45), black)) << at(0.5, -0.45);
    EXPECT_TRUE(same_colour(at(0.68, 0.5), dark_blue)) << "narrow end up: " << at(0.68, 0.5);
    EXPECT_TRUE(same_colour(at(1.1, 0), clear_colour())) << at(1.1, 0);
}

TEST_F(ShapeTest, FlagIconLooksBrightDimAndCrossed)
{
    // Icon units are 18 pixels here (scale 0.045 of a 400-pixel half viewport).
    auto icon = [](double c, int crossed) {
        return render_in_viewport(field, [=] { draw_flag_icon(0, 0, c, crossed); });
    };
    const Viewport box{380, 380, 40, 40};
    Image bright = icon(1, 0), dim = icon(0.5, 0), crossed = icon(1, 1);
    EXPECT_TRUE(colour_at_ndc(bright, field, 0.045 * -0.07, 0.045 * 0.4, yellow));
    EXPECT_TRUE(colour_at_ndc(bright, field, 0.045 * -0.5, 0.045 * -0.3, yellow)) << "pole";
    EXPECT_TRUE(colour_at_ndc(bright, field, 0.045 * 0.5, 0.045 * -0.5, clear_colour()));
    EXPECT_EQ(count_colour(bright, box, red), 0);
    EXPECT_TRUE(colour_at_ndc(dim, field, 0.045 * -0.07, 0.045 * 0.4, rgb(0.5, 0.5, 0)));
    EXPECT_EQ(count_colour(dim, box, red), 0);
    EXPECT_TRUE(colour_at_ndc(crossed, field, 0.045 * -0.07, 0.045 * 0.4, yellow));
    for (double t : {-0.8, -0.4, 0.3, 0.8}) {
        EXPECT_TRUE(colour_near_ndc(crossed, field, 0.045 * t, 0.045 * t, red, 1)) << t;
        EXPECT_TRUE(colour_near_ndc(crossed, field, 0.045 * t, 0.045 * -t, red, 1)) << t;
    }
    EXPECT_TRUE(colour_at_ndc(crossed, field, 0.045 * 0.95, 0.045 * 0.95, clear_colour()))
        << "cross ends at 0.9";
}

TEST_F(ShapeTest, EveryShapeLeavesTheCallersMatrixAsItWas)
{
    Nclient = 2;
    players[1].status = PS_BURST;
    me->status = PS_BURST;
    fieldmap[20][10] = CELL_WALL;
    centre_me_on(10, 20);
    std::vector<void (*)()> shapes = {
        [] { draw_field_background(); },
        [] { draw_tile(0.1, 0.2); },
        [] { draw_wall(10, 20); },
        [] { draw_wall_edges(10, 20); },
        [] { draw_edge_line(90); },
        [] { draw_flag(); },
        [] { draw_flag_cell(0, 0); },
        [] { draw_flag_l_cell(0, 0); },
        [] { draw_flag_s_cell(0, 0); },
        [] { draw_rock(0, 0); },
        [] { draw_car(&players[1]); },
        [] { draw_own_car(); },
        [] { draw_car_body(); },
        [] { draw_burst(&players[1]); },
        [] { draw_smoke_puff(0.1, 0.1, 50); },
        [] { draw_octagon(0.2, 0.3); },
        [] { draw_spare_car(0.6, -0.8); },
        [] { draw_flag_icon(0.6, 0.6, 1, 1); },
    };
    for (size_t i = 0; i < shapes.size(); i++) {
        render_in_viewport(field, [&] {
            glTranslated(0.25, 0.5, 0);
            glScaled(2, 3, 1);
            double before[16], after[16];
            glGetDoublev(GL_MODELVIEW_MATRIX, before);
            shapes[i]();
            glGetDoublev(GL_MODELVIEW_MATRIX, after);
            for (int k = 0; k < 16; k++)
                EXPECT_EQ(before[k], after[k]) << "shape " << i;
            EXPECT_FALSE(glIsEnabled(GL_BLEND)) << "shape " << i;
        });
    }
}
