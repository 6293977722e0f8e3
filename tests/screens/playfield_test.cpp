// The playfield by its pixels: the viewport, the window of cells, cars and smoke.
#include <climits>
#include <cstring>

#include "game/model.h"
#include "render/window.h"
#include "screen_checks.h"
#include "screens/playfield.h"

static const Rgb FIELD_GREEN = rgb(0.3, 0.5, 0.2);
static const Rgb TILE = rgb(0.8, 0.5, 0.5);
static const Rgb ROCK = rgb(0.25, 0.15, 0.1);
static const Rgb ENEMY_GREY = rgb(0.8, 0.8, 0.8);
static const Rgb OWN_BLUE = rgb(0.0, 0.0, 1.0);
static const Viewport FIELD_450{10, 10, 320, 320};
static const Viewport FIELD_900{20, 20, 640, 640};
constexpr int8_t CELL_NOTHING = 6;

static Image render_field()
{
    return render_in_viewport(screen_viewport(), draw_playfield);
}

TEST_F(ScreenPixels, FieldViewportFollowsTheWindowInTruncatedPixels)
{
    memset(fieldmap, CELL_NOTHING, sizeof fieldmap);
    struct {
        int w, h;
        Viewport field;
    } cases[] = {{450, 350, FIELD_450}, {900, 700, FIELD_900}, {450, 349, {10, 9, 320, 319}}};
    for (auto &c : cases) {
        win_w = c.w, win_h = c.h;
        Image img = render_field();
        Viewport f = c.field;
        EXPECT_EQ(count_other_than(img, f, FIELD_GREEN), 0) << c.w << " x " << c.h;
        Viewport ring[] = {{f.x - 1, f.y - 1, f.w + 2, 1},
                           {f.x - 1, f.y + f.h, f.w + 2, 1},
                           {f.x - 1, f.y, 1, f.h},
                           {f.x + f.w, f.y, 1, f.h}};
        for (Viewport side : ring)
            EXPECT_EQ(count_colour(img, side, FIELD_GREEN), 0) << c.w << " x " << c.h;
    }
}

TEST_F(ScreenPixels, CellWindowCoversTheFieldAndIsCutAtTheMazeEdge)
{
    // Inside the maze every corner of the field is covered, and rows run downward.
    fieldmap[30][17] = CELL_ROCK;
    me->x = 1000, me->y = 1800;
    Image img = render_field();
    for (double corner : {-0.99, 0.99})
        for (double other : {-0.99, 0.99})
            EXPECT_TRUE(colour_at_ndc(img, FIELD_450, corner, other, TILE));
    EXPECT_TRUE(colour_at_ndc(img, FIELD_450, 0.375, -0.475, ROCK));  // row 30, column 17
    EXPECT_TRUE(colour_at_ndc(img, FIELD_450, 0.375, 0.475, TILE));

    // At (0, 0) the maze lies right of and below the car only.
    me->x = 0, me->y = 0;
    img = render_field();
    EXPECT_TRUE(colour_at_ndc(img, FIELD_450, 0.5, -0.5, TILE));
    EXPECT_TRUE(colour_at_ndc(img, FIELD_450, 0.99, -0.99, TILE));
    for (auto [x, y] : {std::pair{-0.5, 0.5}, {-0.5, -0.5}, {0.5, 0.5}})
        EXPECT_TRUE(colour_at_ndc(img, FIELD_450, x, y, FIELD_GREEN));

    // In the last cell it lies left of and above the car only.
    me->x = 2047, me->y = 3583;
    img = render_field();
    save_artifact(img, screen_viewport(), "field-last-cell");
    EXPECT_TRUE(colour_at_ndc(img, FIELD_450, -0.5, 0.5, TILE));
    EXPECT_TRUE(colour_at_ndc(img, FIELD_450, -0.99, 0.99, TILE));
    for (auto [x, y] : {std::pair{0.5, 0.5}, {-0.5, -0.5}, {0.5, -0.5}})
        EXPECT_TRUE(colour_at_ndc(img, FIELD_450, x, y, FIELD_GREEN));
}

TEST_F(ScreenPixels, UnknownCellCodesDrawNothingAndTheMessageLiesOnTop)
{
    me->x = 1000, me->y = 1000;  // cell centres of row 15 at y 0.025, columns 14 .. 17
    const int8_t codes[] = {CELL_NOTHING, -128, -1, 127};
    for (int i = 0; i < 4; i++)
        fieldmap[15][14 + i] = codes[i];
    game_status = GS_PAUSE;
    Image img = render_field();
    for (int i = 0; i < 4; i++) {
        EXPECT_TRUE(colour_at_ndc(img, FIELD_450, -0.225 + 0.2 * i, 0.025, FIELD_GREEN)) << i;
        EXPECT_TRUE(colour_at_ndc(img, FIELD_450, -0.225 + 0.2 * i, -0.175, TILE)) << i;
    }
    EXPECT_TRUE(shows_text(img, FIELD_450, "PAUSE", -0.2, 0.2, 1, GREEN));
}

// Cars 128 world units (0.4 of the field) from the own car in four directions.
static void place_car(int i, int dx, int dy, int status)
{
    players[i].x = me->x + dx, players[i].y = me->y + dy, players[i].status = status;
}

TEST_F(ScreenPixels, CarsOffTheFieldAreLeftOutAndTheOwnCarIsDrawnOnce)
{
    win_w = 900, win_h = 700;
    memset(fieldmap, CELL_NOTHING, sizeof fieldmap);
    Nclient = 2, Nenemy = 3;
    me->x = 1000, me->y = 1000, me->status = PS_DRIVE;
    place_car(1, -128, 0, PS_NONE);
    place_car(2, 128, 0, PS_RETIRED);
    place_car(3, 0, 128, PS_NOFUEL);  // below the car on screen
    place_car(4, 0, -128, 3);
    place_car(5, -128, 128, PS_DRIVE);  // beyond Nclient + Nenemy
    Image img = render_field();
    save_artifact(img, screen_viewport(), "field-cars");
    EXPECT_TRUE(colour_at_ndc(img, FIELD_900, -0.4, 0.0, FIELD_GREEN));
    EXPECT_TRUE(colour_at_ndc(img, FIELD_900, 0.4, 0.0, FIELD_GREEN));
    EXPECT_TRUE(colour_at_ndc(img, FIELD_900, 0.0, -0.4, ENEMY_GREY));
    EXPECT_TRUE(colour_at_ndc(img, FIELD_900, 0.0, 0.4, ENEMY_GREY));
    EXPECT_TRUE(colour_at_ndc(img, FIELD_900, -0.4, -0.4, FIELD_GREEN));
    // The own car: its blue body, and not the wider nose of another car's body under it.
    EXPECT_TRUE(colour_at_ndc(img, FIELD_900, 0.0, 0.0, OWN_BLUE));
    EXPECT_TRUE(colour_at_ndc(img, FIELD_900, 0.025, 0.065, FIELD_GREEN));

    // A count that overflows when added is held to the table.
    Nenemy = INT_MAX;
    img = render_field();
    EXPECT_TRUE(colour_at_ndc(img, FIELD_900, -0.4, -0.4, ENEMY_GREY));

    me->status = PS_RETIRED;
    img = render_field();
    EXPECT_TRUE(colour_at_ndc(img, FIELD_900, 0.0, 0.0, FIELD_GREEN));
}

TEST_F(ScreenPixels, SmokeOfAnySizeButZeroIsDrawnOverTheOwnCar)
{
    memset(fieldmap, CELL_NOTHING, sizeof fieldmap);
    me->x = 1000, me->y = 1000, me->status = PS_DRIVE;
    smoke[0] = {1128, 1000, -100};  // point-mirrored, still drawn
    smoke[1] = {872, 1000, 0};
    smoke[2] = {1000, 1000, 50};
    Image img = render_field();
    EXPECT_FALSE(colour_at_ndc(img, FIELD_450, 0.4, 0.0, FIELD_GREEN));
    EXPECT_TRUE(colour_at_ndc(img, FIELD_450, -0.4, 0.0, FIELD_GREEN));
    Rgb centre = pixel_at_ndc(img, FIELD_450, 0.0, 0.0);
    EXPECT_TRUE(centre.b > 250 && centre.r > 30 && centre.r == centre.g) << centre;
}

TEST_F(ScreenPixels, HostilePositionsFarOutsideTheMazeShowOnlyBackground)
{
    // Differences in 32 bits would wrap this puff onto the centre of the field.
    me->x = INT_MIN, me->y = INT_MAX;
    smoke[0] = {INT_MAX, INT_MIN, 100};
    Image img = render_field();
    EXPECT_EQ(count_other_than(img, FIELD_450, FIELD_GREEN), 0);
}

// A busy play screen: the panel and the field side by side, neither over the other.
TEST_F(ScreenPixels, BusyPlayScreenKeepsPanelAndFieldApart)
{
    for (int r = 0; r < MAP_H; r++)
        for (int c = 0; c < MAP_W; c++)
            fieldmap[r][c] = (r % 4 == 0 || c % 5 == 0) ? CELL_ROAD : CELL_WALL;
    fieldmap[28][15] = CELL_FLAG_L, fieldmap[24][17] = CELL_FLAG, fieldmap[32][16] = CELL_ROCK;
    fieldmap[8][10] = CELL_FLAG_S;
    Nclient = 2, Nenemy = 2;
    me->x = 1000, me->y = 1800, me->angle = 90, me->status = PS_DRIVE, me->fuel = 1800;
    me->lives = 3, me->score = 4200, me->flags = 1;
    place_car(1, 140, -90, PS_BURST);
    place_car(2, -100, 60, PS_DRIVE);
    place_car(3, 600, 900, PS_DRIVE);
    smoke[0] = {1000, 1860, 60};
    game_status = GS_PLAY, status_count = 50, round_no = 2, hiscore = 99999;
    flags_total = 7, flags_left = 4;
    Image img = render_screen(display_play);
    save_artifact(img, screen_viewport(), "play");
    Viewport s = screen_viewport();
    EXPECT_TRUE(colour_at_ndc(img, s, 0.6, -0.6, rgb(0.0, 0.0, 0.5)));   // radar
    EXPECT_TRUE(colour_at_ndc(img, s, 0.9, 0.185, rgb(0.0, 1.0, 0.0)));  // fuel bar
    EXPECT_TRUE(colour_at_ndc(img, FIELD_450, 0.0, 0.0, OWN_BLUE));
    EXPECT_TRUE(shows_text(img, FIELD_450, "GO!", -0.1, 0.2, 1, RED));
    EXPECT_EQ(count_colour(img, {330, 0, 120, 350}, FIELD_GREEN), 0);
}
