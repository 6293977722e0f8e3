// The window rule: every reported size is cut to 9:7 by shrinking the longer side,
// and the size the window is then given is reported back and handled the same way.
#include <GL/freeglut.h>

#include "game/model.h"
#include "harness.h"
#include "render/window.h"

namespace {

struct size_report {
    int w, h;  // reported by the window system
    int result_w, result_h;
    int next_w, next_h;  // after the requested size is reported back
};

// Reported size, the size reshape settles on, and what it makes of that size in turn.
const size_report reports[] = {
    {450, 350, 450, 350, 450, 350},  {900, 700, 900, 700, 900, 700}, {451, 350, 450, 350, 450, 350},
    {1000, 350, 450, 350, 450, 350}, {450, 351, 450, 349, 448, 349}, {449, 350, 449, 349, 448, 349},
    {450, 349, 448, 349, 448, 349},  {900, 900, 900, 699, 898, 699}, {640, 480, 617, 480, 617, 480},
    {350, 450, 350, 272, 349, 272},  {100, 0, 0, 0, 0, 0},
};

void expect_window(int w, int h, const char *when)
{
    EXPECT_EQ(win_w, w) << when;
    EXPECT_EQ(win_h, h) << when;
    GLint vp[4];
    glGetIntegerv(GL_VIEWPORT, vp);
    EXPECT_EQ(vp[0], 0) << when;
    EXPECT_EQ(vp[1], 0) << when;
    EXPECT_EQ(vp[2], w) << when;
    EXPECT_EQ(vp[3], h) << when;
}

}  // namespace

using ReshapeTest = PixelTest;

TEST_F(ReshapeTest, EveryReportedSizeSettlesAtNineBySevenWithoutGrowing)
{
    for (const size_report &r : reports) {
        SCOPED_TRACE(testing::Message() << "reported " << r.w << " x " << r.h);
        reshape(r.w, r.h);
        expect_window(r.result_w, r.result_h, "first report");
        reshape(win_w, win_h);
        expect_window(r.next_w, r.next_h, "size reported back");
        reshape(win_w, win_h);
        expect_window(r.next_w, r.next_h, "stable");
    }
}

TEST_F(ReshapeTest, MinimisedWindowIsSurvivedAndTheNextSizeRestoresTheLayout)
{
    reshape(0, 0);
    expect_window(0, 0, "0 x 0");
    Image blank = render_screen(display_play);
    EXPECT_EQ(blank.swaps, 1);
    render_screen(display_live);
    render_screen(display_lobby);
    render_screen(display_round_result);
    render_screen(display_final_result);

    reshape(450, 350);
    expect_window(450, 350, "restored");
    me->lives = 1;
    Image img = render_screen(display_play);
    EXPECT_TRUE(colour_at_ndc(img, screen_viewport(), 0.6, -0.8, rgb(0, 0, 1)));
}

TEST_F(ReshapeTest, RequestedSizeReachesTheWindow)
{
    reshape(640, 480);
    wait_for([] { return glutGet(GLUT_WINDOW_WIDTH) == 617; });
    EXPECT_EQ(glutGet(GLUT_WINDOW_WIDTH), 617);
    EXPECT_EQ(glutGet(GLUT_WINDOW_HEIGHT), 480);
}

TEST_F(ReshapeTest, SizeWithAZeroSideIsNeverRequestedFromTheWindowSystem)
{
    // 1 x 2 becomes 1 x 0. The window system answers a request for a zero side with
    // an error that ends the process; the round trip of GLUT_WINDOW_X would deliver it.
    reshape(1, 2);
    expect_window(1, 0, "1 x 2");
    glutMainLoopEvent();
    glutGet(GLUT_WINDOW_X);
    glutMainLoopEvent();
    reshape(100, 0);
    expect_window(0, 0, "100 x 0");
    glutMainLoopEvent();
    glutGet(GLUT_WINDOW_X);
    glutMainLoopEvent();
    EXPECT_GT(glutGet(GLUT_WINDOW_WIDTH), 0);
}
