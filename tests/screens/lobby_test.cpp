// The lobby screen by its pixels.
#include <cstring>

#include "game/model.h"
#include "render/text.h"
#include "render/window.h"
#include "screen_checks.h"
#include "screens/lobby.h"

static const Colour DIM_ORANGE{0.5, 0.35, 0.0};
static const Colour DARK_GREEN{0.0, 0.5, 0.0};
// Row baselines as repeated subtraction of 0.1 from 0.3 gives them.
static const double ROW_Y[] = {0.3,
                               0.19999999999999998,
                               0.09999999999999998,
                               -2.7755575615628914e-17,
                               -0.10000000000000003,
                               -0.20000000000000004,
                               -0.30000000000000004,
                               -0.4};

static Image render_lobby()
{
    return render_in_viewport(screen_viewport(), draw_lobby);
}

TEST_F(ScreenPixels, LobbyTableHasOneRowPerClientAndAClosingLineBelowThem)
{
    Viewport s = screen_viewport();
    const char *names[] = {"P0", "P1", "P2", "P3", "P4", "P5", "P6", "P7"};
    struct {
        int clients, rows;
        double line;
        int lines;
    } cases[] = {{0, 0, 0.37, 2}, {3, 3, 0.07, 3}, {8, 8, -0.43, 3}, {1000, 8, -0.43, 3}};
    for (auto &c : cases) {
        reset_game_model();
        for (int i = 0; i < MAXPLAYER; i++)
            set_name(players[i], names[i]), players[i].status = PS_DRIVE;
        Nclient = c.clients;
        Image img = render_lobby();
        if (c.clients == 3)
            save_artifact(img, s, "lobby");
        for (int i = 0; i < c.rows; i++)
            EXPECT_TRUE(shows_text(img, s, names[i], -0.7, ROW_Y[i], FONT_HELVETICA_12,
                                   i == 0 ? YELLOW : GREEN))
                << c.clients << " clients";
        // Dark-green line pixels in one column between the prompt and the header.
        int line_pixels = count_colour(img, ndc_area(s, 0.0, -0.65, 0.0, 0.5), rgb(DIM_GREEN));
        EXPECT_EQ(line_pixels, c.lines) << c.clients << " clients";
        EXPECT_TRUE(colour_near_ndc(img, s, 0.0, c.line, rgb(DIM_GREEN), 1)) << c.clients;
    }
}

TEST_F(ScreenPixels, LobbyRowsShowWinsScoreAndCheckInOfEachPlayer)
{
    Viewport s = screen_viewport();
    Nclient = 3;
    me = &players[1];
    players[0].wins = 0, players[0].score = 1234, players[0].status = PS_DRIVE;
    players[1].wins = 5, players[1].status = PS_NONE;  // the own record, not checked in
    set_name(players[1], "Bob");
    players[2].wins = 12, players[2].score = -7, players[2].status = PS_RETIRED;
    Image img = render_lobby();
    auto row = [&](int i, const char *text, double x, Colour c) {
        return shows_text(img, s, text, x, ROW_Y[i], FONT_HELVETICA_12, c);
    };
    EXPECT_TRUE(row(0, "  -  ", -0.19999999999999996, GREEN));
    EXPECT_TRUE(row(0, "00001234", 0.050000000000000044, GREEN));
    EXPECT_TRUE(row(0, "checkin", 0.44999999999999996, ORANGE));
    EXPECT_TRUE(row(1, "Bob", -0.7, YELLOW));
    EXPECT_TRUE(row(1, " 5", -0.19999999999999996, YELLOW));
    EXPECT_TRUE(row(1, "checkin", 0.44999999999999996, DIM_ORANGE));
    EXPECT_TRUE(row(2, " 12", -0.19999999999999996, GREEN));
    EXPECT_TRUE(row(2, "-0000007", 0.050000000000000044, GREEN));
    EXPECT_TRUE(row(2, "checkin", 0.44999999999999996, ORANGE));
    for (auto [text, x] : {std::pair{"player", -0.7},
                           {"wins", -0.19999999999999996},
                           {"score", 0.050000000000000044}})
        EXPECT_TRUE(shows_text(img, s, text, x, 0.41, FONT_HELVETICA_12, GREEN));
}

TEST_F(ScreenPixels, LobbyShowsVersionAndLightsTheCarControlMode)
{
    Viewport s = screen_viewport();
    for (int control : {CONTROL_CLASSIC, 0, 1, 8}) {
        me->control = control;
        bool classic = control == CONTROL_CLASSIC;
        Image img = render_lobby();
        EXPECT_TRUE(shows_text(img, s, "CLASSIC", -0.1, -0.83, FONT_HELVETICA_12,
                               classic ? GREEN : DARK_GREEN))
            << control;
        EXPECT_TRUE(shows_text(img, s, "MODERN", 0.3, -0.83, FONT_HELVETICA_12,
                               classic ? DARK_GREEN : GREEN))
            << control;
        EXPECT_TRUE(shows_text(img, s, "Car Control:", -0.5, -0.83, FONT_HELVETICA_12, GREEN));
        EXPECT_TRUE(shows_text(img, s, "ver. 20051106", 0.6, 0.95, FONT_HELVETICA_12, DIM_GREEN));
    }
    Image img = render_lobby();
    EXPECT_TRUE(shows_text(img, s, "new", -0.7, 0.73, FONT_HELVETICA_18, {0.7, 0.7, 1.0}));
    EXPECT_TRUE(shows_text(img, s, "Mazecar", -0.5, 0.7, FONT_TIMES_24, {0.7, 0.7, 1.0}));
    EXPECT_TRUE(shows_text(img, s, "online", -0.12, 0.69, FONT_HELVETICA_18, ORANGE));
}

TEST_F(ScreenPixels, CheckInPromptBlinksFromTheTwentiethDrawingThenTurnsIntoTheWaitingLine)
{
    Viewport s = screen_viewport();
    Viewport prompt = ndc_area(s, -0.75, -0.75, 0.95, -0.6);
    set_name(*me, "Zed");
    welcome_blink = 0;
    for (int frame = 1; frame < 20; frame++)
        EXPECT_EQ(count_colour(render_lobby(), prompt, rgb(YELLOW)), 0) << frame;
    EXPECT_TRUE(shows_text(render_lobby(), s, "Welcome Zed. Press SPACE key to check in.", -0.7,
                           -0.7, FONT_HELVETICA_12, YELLOW));

    me->status = PS_DRIVE;
    Image img = render_lobby();
    EXPECT_TRUE(
        shows_text(img, s, "Waiting for Other Guys...", -0.7, -0.7, FONT_HELVETICA_12, YELLOW));
    EXPECT_EQ(welcome_blink, 20);
}

TEST_F(ScreenPixels, NameIsDrawnVerbatimAndNeverPastItsSixteenBytes)
{
    Viewport s = screen_viewport();
    memcpy(me->name, "%s%n%d100%%%x%n%", NAME_BYTES);  // no NUL in the field
    memcpy(me->unused_15_23, "XYZ", 4);
    Image img = render_lobby();
    EXPECT_TRUE(shows_text(img, s, "Welcome %s%n%d100%%%x%n%. Press SPACE key to check in.", -0.7,
                           -0.7, FONT_HELVETICA_12, YELLOW));
}

TEST_F(ScreenPixels, CountdownShowsOnlyForAPositiveCountAndBlinksThen)
{
    Viewport s = screen_viewport();
    Viewport line = ndc_area(s, -0.35, -0.99, 0.5, -0.88);
    countdown_blink = 0;
    for (int count : {0, -1, -3}) {
        status_count = count;
        EXPECT_EQ(count_colour(render_lobby(), line, rgb(ORANGE)), 0) << count;
    }
    EXPECT_EQ(countdown_blink, 0);
    status_count = 7;
    for (int frame = 1; frame < 20; frame++)
        EXPECT_EQ(count_colour(render_lobby(), line, rgb(ORANGE)), 0) << frame;
    EXPECT_TRUE(shows_text(render_lobby(), s, "Game Starts in 7 sec", -0.3, -0.95,
                           FONT_HELVETICA_12, ORANGE));
}
