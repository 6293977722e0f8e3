// The play-screen panel and the status messages by their pixels.
#include <climits>
#include <cmath>
#include <vector>

#include "game/model.h"
#include "render/text.h"
#include "render/window.h"
#include "screen_checks.h"
#include "screens/panel.h"

#include <GL/gl.h>

static const Rgb BAR = rgb(0.0, 1.0, 0.0);
static const Rgb WHITE = rgb(1.0, 1.0, 1.0);
static const Rgb ITEM_YELLOW = rgb(1.0, 1.0, 0.0);
static const Rgb ROCK = rgb(0.25, 0.15, 0.1);
static const Viewport FIELD{10, 10, 320, 320};

static Image render_panel(void (*draw)())
{
    return render_in_viewport(screen_viewport(), draw);
}

TEST_F(ScreenPixels, FuelBarIsAnchoredRightAndNotClamped)
{
    struct {
        int fuel;
        double left, right;
    } cases[] = {
        {3000, 0.55, 0.95}, {1500, 0.75, 0.95}, {3300, 0.51, 0.95}, {-250, 0.95, 0.95 + 0.4 / 12}};
    Viewport s = screen_viewport();
    for (auto &c : cases) {
        me->fuel = c.fuel;
        Image img = render_panel(draw_fuel_gauge);
        int row = ndc_area(s, 0, 0.185, 0, 0.185).y, first = -1, last = -1;
        for (int px = 0; px < s.w; px++)
            if (same_colour(pixel_at(img, px, row), BAR))
                last = px, first = first < 0 ? px : first;
        EXPECT_NEAR(first, (c.left + 1) * 0.5 * s.w, 1.0) << "fuel " << c.fuel;
        EXPECT_NEAR(last + 1, (c.right + 1) * 0.5 * s.w, 1.0) << "fuel " << c.fuel;
    }
    me->fuel = 0;
    Image img = render_panel(draw_fuel_gauge);
    EXPECT_EQ(count_colour(img, ndc_area(s, 0.5, 0.16, 1.0, 0.21), BAR), 0);
    EXPECT_TRUE(colour_at_ndc(img, s, 0.94, 0.185, rgb(0.0, 0.0, 0.5)));
    EXPECT_TRUE(shows_text(img, s, "fuel", 0.69, 0.25, FONT_HELVETICA_12, GREEN));
}

TEST_F(ScreenPixels, RadarPutsCarsAndItemsAtTheirWorldPositions)
{
    win_w = 900, win_h = 700;  // a cell corner and its centre lie 2 to 3 pixels apart
    Viewport s = screen_viewport();
    Nclient = 2, Nenemy = 2;
    me->status = PS_DRIVE;  // at (0, 0)
    players[1] = {};
    players[1].x = 1024, players[1].y = 1792, players[1].status = PS_BURST;
    players[2].x = 2048, players[2].y = 3584, players[2].status = PS_NOFUEL;
    players[3].x = 1536, players[3].y = 896, players[3].status = PS_RETIRED;
    fieldmap[55][31] = CELL_FLAG;
    fieldmap[0][31] = CELL_ROCK;
    Image img = render_panel(draw_radar);
    save_artifact(img, s, "radar");
    EXPECT_TRUE(point_at(img, s, 0.55, 0.05, rgb(RED)));
    EXPECT_TRUE(point_at(img, s, 0.75, -0.3, WHITE));
    EXPECT_TRUE(point_at(img, s, 0.95, -0.65, WHITE));
    EXPECT_TRUE(point_at(img, s, 0.9375, -0.6375, ITEM_YELLOW));    // world (1984, 3520)
    EXPECT_TRUE(point_at(img, s, 0.9375, 0.05, ROCK));              // world (1984, 0)
    EXPECT_FALSE(colour_near_ndc(img, s, 0.85, -0.125, WHITE, 4));  // the retired car
    EXPECT_TRUE(colour_at_ndc(img, s, 0.6, -0.6, rgb(0.0, 0.0, 0.5)));

    // A watching client has no point of its own; an item in row 0, column 0 sits on
    // the radar's top-left corner.
    me->status = PS_NONE;
    fieldmap[0][0] = CELL_FLAG;
    img = render_panel(draw_radar);
    EXPECT_EQ(count_colour(img, s, rgb(RED)), 0);
    EXPECT_TRUE(point_at(img, s, 0.55, 0.05, ITEM_YELLOW));
}

TEST_F(ScreenPixels, RadarMarkedFlagsFollowTheBlinkRuleFromTheFirstDrawing)
{
    Viewport s = screen_viewport();
    fieldmap[10][10] = CELL_FLAG_L;  // world (640, 640)
    fieldmap[20][20] = CELL_FLAG_S;
    fieldmap[30][5] = CELL_FLAG;  // steady
    radar_blink = 0;
    for (int frame = 1; frame < 40; frame++) {
        Image img = render_panel(draw_radar);
        bool lit = frame >= 10 && frame < 30;
        EXPECT_EQ(bool(colour_near_ndc(img, s, 0.675, -0.075, ITEM_YELLOW, 3)), lit) << frame;
        EXPECT_EQ(bool(colour_near_ndc(img, s, 0.8, -0.2, ITEM_YELLOW, 3)), lit) << frame;
        EXPECT_TRUE(colour_near_ndc(img, s, 0.6125, -0.325, ITEM_YELLOW, 3)) << frame;
    }
}

struct Message {
    const char *text;
    double x, y;
    Colour colour;
};

// The status message in the field's viewport must be exactly the listed texts.
static void expect_messages(const std::vector<Message> &expected, const char *what)
{
    Image img = render_in_viewport(FIELD, draw_status_message);
    Image ref = render_in_viewport(FIELD, [&] {
        for (const Message &m : expected) {
            glColor3d(m.colour.r, m.colour.g, m.colour.b);
            draw_text(m.text, m.x, m.y, FONT_HELVETICA_18);
        }
    });
    EXPECT_EQ(differing_pixels(img, ref, Viewport{0, 0, img.width, img.height}), 0) << what;
}

TEST_F(ScreenPixels, StatusMessageIsChosenByGameStatus)
{
    round_no = 3, status_count = 5;
    game_status = GS_READY;
    expect_messages({{"ROUND 3", -0.25, 0.35, GREEN}, {"READY  5", -0.25, 0.2, GREEN}}, "ready");
    game_status = GS_STAGE_CLEARED;
    expect_messages({{"STAGE CLEARED", -0.5, 0.2, GREEN}}, "stage cleared");
    game_status = GS_LIVE;
    expect_messages({{"LIVE", 0.6, 0.8, GREEN}}, "live");
    game_status = GS_GAME_OVER;
    expect_messages({{"GAME OVER", -0.35, 0.2, RED}}, "game over");
    game_status = GS_PAUSE;
    expect_messages({{"PAUSE", -0.2, 0.2, GREEN}}, "pause");
    for (int status :
         {int{GS_LOBBY}, int{GS_ROUND_RESULT}, int{GS_FINAL_RESULT}, 8, -1, 10, INT_MAX}) {
        game_status = status;
        expect_messages({}, "no message");
    }

    game_status = GS_PLAY;
    me->fuel = 599, me->status = PS_DRIVE, status_count = 199;
    expect_messages({{"FUEL ALMOST EMPTY", -0.6, 0.2, ORANGE}, {"GO!", -0.1, 0.2, RED}}, "199");
    me->fuel = 600, status_count = 200;
    expect_messages({}, "200");
    me->fuel = -5;
    expect_messages({{"FUEL ALMOST EMPTY", -0.6, 0.2, ORANGE}}, "negative fuel");
    me->status = PS_NOFUEL;
    expect_messages({{"FUEL EMPTY", -0.4, 0.2, RED}}, "no fuel");
    me->status = PS_BURST, me->fuel = 3000, status_count = 0;
    expect_messages({}, "burst");
}

// Frames 1 .. n of a message from a counter of 0: which of them show the colour.
static std::vector<bool> lit_frames(int n, Rgb colour)
{
    std::vector<bool> lit;
    for (int frame = 0; frame < n; frame++)
        lit.push_back(count_colour(render_in_viewport(FIELD, draw_status_message), FIELD, colour) >
                      0);
    return lit;
}

static std::vector<bool> blink_frames(int n, int divisor)
{
    std::vector<bool> lit;
    for (int counter = 1; counter <= n; counter++)
        lit.push_back((counter / divisor) % 3 != 0);
    return lit;
}

TEST_F(ScreenPixels, MessagesBlinkOnlyWhileDueAndFuelEmptyIsSteady)
{
    game_status = GS_PLAY, status_count = 500, me->status = PS_DRIVE, me->fuel = 599;
    fuel_blink = 0;
    EXPECT_EQ(lit_frames(32, rgb(ORANGE)), blink_frames(32, FUEL_BLINK_DIV));
    me->fuel = 600;
    EXPECT_EQ(lit_frames(3, rgb(ORANGE)), std::vector<bool>(3, false));
    me->status = PS_NOFUEL, me->fuel = 0;
    EXPECT_EQ(lit_frames(12, rgb(RED)), std::vector<bool>(12, true));
    EXPECT_EQ(fuel_blink, 32);

    game_status = GS_PAUSE;
    live_blink = 0;
    lit_frames(2, rgb(GREEN));
    EXPECT_EQ(live_blink, 0);
    game_status = GS_LIVE;
    EXPECT_EQ(lit_frames(62, rgb(GREEN)), blink_frames(62, LIVE_BLINK_DIV));
}

TEST_F(ScreenPixels, RoundAndScoreLinesShowTheFigures)
{
    round_no = 12, me->score = 1234, hiscore = 987654321;
    Viewport s = screen_viewport();
    Image img = render_panel(draw_round_label);
    EXPECT_TRUE(shows_text(img, s, "ROUND 12", 0.55, -0.93, FONT_HELVETICA_12, YELLOW));
    img = render_panel(draw_score_line);
    EXPECT_TRUE(shows_text(img, s, "SCORE: 00001234    HISCORE: 987654321", -0.9, 0.93,
                           FONT_HELVETICA_12, YELLOW));
}
