// The round-result and final-result screens by their pixels.
#include <cstring>

#include "game/model.h"
#include "render/text.h"
#include "render/window.h"
#include "screen_checks.h"
#include "screens/results.h"

static const Colour HEADING{0.7, 0.7, 1.0};

static void add_player(int i, const char *name, int status, int flags, int score)
{
    set_name(players[i], name);
    players[i].status = status, players[i].flags = flags, players[i].score = score;
}

// Records 0 and 2 take part, record 1 does not; record 0 is this client's.
static void three_clients()
{
    Nclient = 3;
    add_player(0, "Ann", PS_RETIRED, 3, 1234);
    add_player(1, "Bea", PS_NONE, 9, 999);
    add_player(2, "Cy", 3, 1, 50);
    players[0].flags_game = 7, players[2].flags_game = 4;
}

static testing::AssertionResult row_text(const Image &img, int row, const char *text, double x,
                                         Colour c)
{
    return shows_text(img, screen_viewport(), text, x, -0.2 * row, FONT_HELVETICA_12, c);
}

TEST_F(ScreenPixels, RoundResultPacksTakingPartRowsAndHighlightsByTableIndex)
{
    Viewport s = screen_viewport();
    three_clients();
    round_no = 4, result_highlight = 2;
    Image img = render_in_viewport(s, draw_round_result);
    save_artifact(img, s, "round-result");
    EXPECT_TRUE(shows_text(img, s, "Round 4 Result", -0.7, 0.5, FONT_HELVETICA_18, HEADING));
    EXPECT_TRUE(row_text(img, 0, "Ann", -0.85, GREEN));
    EXPECT_TRUE(row_text(img, 0, "x 3", -0.22, GREEN));
    EXPECT_TRUE(row_text(img, 0, "00001234 pts", 0.0, GREEN));
    EXPECT_TRUE(row_text(img, 0, "RETIRED", 0.5, GREEN));
    EXPECT_TRUE(row_text(img, 1, "Cy", -0.85, YELLOW));
    EXPECT_TRUE(row_text(img, 1, "FINISHED", 0.5, YELLOW));
    for (int row = 0; row < 2; row++)  // the flag glyph's pole, always yellow
        EXPECT_TRUE(colour_at_ndc(img, s, -0.32, -0.2 * row + 0.023, rgb(YELLOW))) << row;
    EXPECT_EQ(count_other_than(img, ndc_area(s, -1, -0.6, 1, -0.3), clear_colour()), 0);

    result_highlight = 1;  // the record without a row: nothing is highlighted
    img = render_in_viewport(s, draw_round_result);
    EXPECT_TRUE(row_text(img, 0, "Ann", -0.85, GREEN));
    EXPECT_TRUE(row_text(img, 1, "Cy", -0.85, DIM_GREEN));
    EXPECT_TRUE(row_text(img, 1, "x 1", -0.22, DIM_GREEN));
}

TEST_F(ScreenPixels, FinalResultShowsGameFlagsWithoutStatusOrHighlight)
{
    Viewport s = screen_viewport();
    three_clients();
    result_highlight = 0;  // left over from the last round result
    Image img = render_in_viewport(s, draw_final_result);
    save_artifact(img, s, "final-result");
    EXPECT_TRUE(shows_text(img, s, "Final Result", -0.7, 0.5, FONT_HELVETICA_18, HEADING));
    EXPECT_TRUE(row_text(img, 0, "Ann", -0.85, GREEN));
    EXPECT_TRUE(row_text(img, 0, "x 7", -0.22, GREEN));
    EXPECT_TRUE(row_text(img, 1, "x 4", -0.22, DIM_GREEN));
    EXPECT_TRUE(row_text(img, 1, "00000050 pts", 0.0, DIM_GREEN));
    EXPECT_EQ(count_other_than(img, ndc_area(s, 0.45, -0.3, 1, 0.1), clear_colour()), 0);
}

TEST_F(ScreenPixels, ResultNameStopsAtSixteenBytesAndRowsStayInTheTable)
{
    Viewport s = screen_viewport();
    Nclient = 1000;  // rows run off the window; the loop still ends at the table
    for (int i = 0; i < MAXPLAYER; i++)
        add_player(i, "nnnnnnnnnnnnnnnn", PS_DRIVE, 0, 0);  // 16 bytes, no NUL
    memcpy(players[0].unused_15_23, "XYZ", 4);
    Image img = render_in_viewport(s, draw_final_result);
    EXPECT_TRUE(shows_text(img, s, "nnnnnnnnnnnnnnnn", -0.85, 0.0, FONT_HELVETICA_12, GREEN, 12));
}
