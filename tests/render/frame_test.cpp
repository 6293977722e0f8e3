// The screen callbacks' common frame and the icon rows of the play and watch screens,
// in a 900 x 700 screen (one flag-icon unit 20 pixels across, 15.75 up).
#include <GL/freeglut.h>

#include <chrono>

#include "game/model.h"
#include "harness.h"
#include "render/window.h"

namespace {

const Rgb yellow = rgb(1, 1, 0);
const Rgb olive = rgb(0.5, 0.5, 0);
const Rgb red = rgb(1, 0, 0);
const Rgb blue = rgb(0, 0, 1);
const Rgb dark_blue = rgb(0, 0, 0.5);

enum look { BRIGHT, CROSSED, DIM };

double icon_x(int i)
{
    return 0.6 + 0.08 * (i % 5);
}
double icon_y(int i)
{
    return 0.6 - 0.08 * (i / 5);
}

void expect_flag_icon(const Image &img, int i, look want)
{
    Viewport vp = screen_viewport();
    double x = icon_x(i), y = icon_y(i);
    SCOPED_TRACE(testing::Message() << "flag icon " << i << " at (" << x << ", " << y << ")");
    EXPECT_TRUE(
        colour_at_ndc(img, vp, x + 0.045 * -0.07, y + 0.045 * 0.4, want == DIM ? olive : yellow))
        << "banner";
    int px, py;
    ndc_to_pixel(vp, x, y, &px, &py);
    int reds = count_colour(img, Viewport{px - 12, py - 12, 25, 25}, red);
    if (want == CROSSED) {
        EXPECT_TRUE(colour_near_ndc(img, vp, x + 0.045 * 0.7, y + 0.045 * 0.7, red, 1));
        EXPECT_TRUE(colour_near_ndc(img, vp, x + 0.045 * 0.7, y - 0.045 * 0.7, red, 1));
    } else {
        EXPECT_EQ(reds, 0) << "crossed out";
    }
}

void expect_no_icon_at(const Image &img, double x, double y)
{
    int px, py;
    ndc_to_pixel(screen_viewport(), x, y, &px, &py);
    EXPECT_EQ(count_other_than(img, Viewport{px - 8, py - 8, 17, 17}, clear_colour()), 0)
        << "something drawn at (" << x << ", " << y << ")";
}

class FrameTest : public PixelTest {
protected:
    void SetUp() override
    {
        PixelTest::SetUp();
        win_w = 900;
        win_h = 700;
    }
};

}  // namespace

TEST_F(FrameTest, EveryScreenClearsTheWholeWindowAndSwapsOnce)
{
    void (*screens[])() = {display_lobby, display_round_result, display_final_result, display_play,
                           display_live};
    for (auto screen : screens) {
        render_in_viewport(Viewport{0, 0, HARNESS_W, HARNESS_H}, [] {
            glColor3d(1, 0, 0);
            glRectd(-1, -1, 1, 1);
        });
        Image img = render_screen(screen);
        EXPECT_EQ(img.swaps, 1);
        EXPECT_TRUE(same_colour(pixel_at(img, HARNESS_W - 1, HARNESS_H - 1), clear_colour()))
            << pixel_at(img, HARNESS_W - 1, HARNESS_H - 1);
        EXPECT_TRUE(same_colour(pixel_at(img, 0, HARNESS_H - 1), clear_colour()));
    }
}

TEST_F(FrameTest, SpareCarsStandInARowAtTheBottomRight)
{
    me->lives = 3;
    glViewport(0, 0, 10, 10);  // whatever the last frame left, the frame sets its own
    Image img = render_screen(display_play);
    Viewport vp = screen_viewport();
    for (double x : {0.6, 0.68, 0.76}) {
        EXPECT_TRUE(colour_at_ndc(img, vp, x, -0.8, blue)) << x;
        EXPECT_TRUE(colour_at_ndc(img, vp, x + 0.045, -0.8 + 0.045, dark_blue)) << x;
    }
    expect_no_icon_at(img, 0.84, -0.8);

    me->lives = 0;
    expect_no_icon_at(render_screen(display_play), 0.6, -0.8);
    me->lives = -5;
    expect_no_icon_at(render_screen(display_play), 0.6, -0.8);
    me->lives = 3;
    expect_no_icon_at(render_screen(display_live), 0.6, -0.8);
}

TEST_F(FrameTest, SixthSpareCarIsHalfInTheWindowAndAHugeCountDrawsQuickly)
{
    me->lives = 6;
    Image six = render_screen(display_play);
    EXPECT_TRUE(colour_at_ndc(six, screen_viewport(), 0.97, -0.8, dark_blue));
    EXPECT_TRUE(colour_at_ndc(six, screen_viewport(), 0.995, -0.8, blue));

    me->lives = INT32_MAX;
    auto start = std::chrono::steady_clock::now();
    Image many = render_screen(display_play);
    double ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    printf("frame with %d spare cars: %.1f ms\n", me->lives, ms);
    for (int y = 0; y < 700; y++)
        for (int x = 0; x < 900; x++)
            ASSERT_TRUE(same_colour(pixel_at(many, x, y), pixel_at(six, x, y))) << x << "," << y;
}

TEST_F(FrameTest, FlagIconsShowOwnTakenAndRemainingFlagsFiveToARow)
{
    flags_total = 10;
    flags_left = 6;
    me->flags = 1;
    for (auto screen : {display_play, display_live}) {
        Image img = render_screen(screen);
        expect_flag_icon(img, 0, BRIGHT);
        for (int i = 1; i <= 3; i++)
            expect_flag_icon(img, i, CROSSED);
        for (int i = 4; i <= 9; i++)
            expect_flag_icon(img, i, DIM);
        expect_no_icon_at(img, icon_x(10), icon_y(10));
    }
}

TEST_F(FrameTest, FlagIconsWithUnusualCounts)
{
    flags_total = 0;
    Image none = render_screen(display_play);
    expect_no_icon_at(none, icon_x(0), icon_y(0));

    flags_total = -3;
    expect_no_icon_at(render_screen(display_play), icon_x(0), icon_y(0));

    // More flags left than the round has: nothing is crossed.
    flags_total = 5;
    flags_left = 8;
    me->flags = 2;
    Image more_left = render_screen(display_play);
    expect_flag_icon(more_left, 0, BRIGHT);
    expect_flag_icon(more_left, 1, BRIGHT);
    for (int i = 2; i < 5; i++)
        expect_flag_icon(more_left, i, DIM);

    // A watching client has no flags of its own: every taken flag is crossed.
    me->flags = 0;
    me->status = PS_NONE;
    flags_total = 4;
    flags_left = 1;
    Image watching = render_screen(display_live);
    for (int i = 0; i < 3; i++)
        expect_flag_icon(watching, i, CROSSED);
    expect_flag_icon(watching, 3, DIM);
}

TEST_F(FrameTest, HugeFlagCountsFillTheRowsDownToTheWindowEdgeQuickly)
{
    flags_total = INT32_MAX;
    flags_left = INT32_MIN;
    me->flags = INT32_MIN;
    auto start = std::chrono::steady_clock::now();
    Image img = render_screen(display_live);
    double ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    printf("frame with %d flag icons: %.1f ms\n", flags_total, ms);
    // flags_total - flags_left exceeds every index: all are crossed, down to the last
    // row that reaches into the window (row 20 at y = -1.0).
    expect_flag_icon(img, 0, CROSSED);
    expect_flag_icon(img, 99, CROSSED);
    EXPECT_TRUE(colour_near_ndc(img, screen_viewport(), icon_x(100), -0.995, red, 2))
        << "icons of row 20 reach into the window";
}
