// Bitmap text: drawn verbatim, cut at 255 characters, high bytes draw nothing, glyph
// lists built once. Pictures are compared with the same characters drawn straight
// from the GLUT fonts.
#include <GL/freeglut.h>

#include <string>

#include "harness.h"
#include "render/text.h"

namespace {

void *const glut_fonts[FONT_COUNT] = {GLUT_BITMAP_TIMES_ROMAN_24, GLUT_BITMAP_HELVETICA_18,
                                      GLUT_BITMAP_HELVETICA_12};

const Viewport whole{0, 0, HARNESS_W, HARNESS_H};

// The picture the characters make when drawn one by one from the font itself.
Image reference_text(const std::string &text, double x, double y, int font)
{
    return render_in_viewport(whole, [&] {
        glColor3d(1, 1, 1);
        glRasterPos2d(x, y);
        for (char c : text)
            glutBitmapCharacter(glut_fonts[font], static_cast<unsigned char>(c));
    });
}

Image drawn_text(const std::string &text, double x, double y, int font)
{
    return render_in_viewport(whole, [&] {
        glColor3d(1, 1, 1);
        draw_text(text.c_str(), x, y, font);
    });
}

testing::AssertionResult same_picture(const Image &a, const Image &b)
{
    if (a.width != b.width || a.height != b.height)
        return testing::AssertionFailure() << "sizes differ";
    int differ = 0;
    for (int y = 0; y < a.height; y++)
        for (int x = 0; x < a.width; x++)
            if (!same_colour(pixel_at(a, x, y), pixel_at(b, x, y)))
                differ++;
    if (differ == 0)
        return testing::AssertionSuccess();
    return testing::AssertionFailure() << differ << " pixels differ";
}

int lit_pixels(const Image &img)
{
    return count_other_than(img, whole, clear_colour());
}

}  // namespace

class FontListTest : public PixelTest, public testing::WithParamInterface<int> {};

// Each case runs in its own process under CTest, so each sees the lists unbuilt.
TEST_P(FontListTest, FirstTextOfAnyFontBuildsAllListsOnceAndLaterTextsReuseThem)
{
    if (!fonts_pending)
        GTEST_SKIP() << "glyph lists already built in this process";
    int first = GetParam();
    Image img = drawn_text("Mazecar", -0.5, 0.0, first);
    EXPECT_FALSE(fonts_pending);
    EXPECT_GT(lit_pixels(img), 0);
    unsigned bases[FONT_COUNT];
    for (int f = 0; f < FONT_COUNT; f++) {
        bases[f] = font_list_base[f];
        ASSERT_NE(bases[f], 0u) << "font " << f;
        for (int c = 0; c < 128; c++)
            ASSERT_TRUE(glIsList(bases[f] + c)) << "font " << f << " code " << c;
        for (int g = 0; g < f; g++)
            EXPECT_TRUE(bases[f] >= bases[g] + 128 || bases[g] >= bases[f] + 128)
                << "lists of fonts " << g << " and " << f << " overlap";
    }
    for (int f = 0; f < FONT_COUNT; f++) {
        Image later = drawn_text("Mazecar", -0.5, 0.0, f);
        EXPECT_TRUE(same_picture(later, reference_text("Mazecar", -0.5, 0.0, f))) << "font " << f;
        for (int g = 0; g < FONT_COUNT; g++)
            EXPECT_EQ(font_list_base[g], bases[g]) << "lists rebuilt by a text in font " << f;
    }
}

INSTANTIATE_TEST_SUITE_P(EachFontFirst, FontListTest, testing::Values(0, 1, 2));

using TextTest = PixelTest;

TEST_F(TextTest, TextIsDrawnVerbatimInEachFont)
{
    const std::string text = "100% %s%d%n %x done";
    for (int f = 0; f < FONT_COUNT; f++) {
        Image img = drawn_text(text, -0.9, 0.2, f);
        EXPECT_GT(lit_pixels(img), 50);
        EXPECT_TRUE(same_picture(img, reference_text(text, -0.9, 0.2, f))) << "font " << f;
    }
}

TEST_F(TextTest, TextOfThreeHundredCharactersIsCutAt255)
{
    std::string text(255, 'i');
    text += std::string(45, 'W');
    Image img = drawn_text(text, -0.95, 0.0, FONT_HELVETICA_12);
    EXPECT_TRUE(same_picture(img, reference_text(std::string(255, 'i'), -0.95, 0.0, 2)));
    EXPECT_FALSE(same_picture(img, reference_text(std::string(255, 'i') + "W", -0.95, 0.0, 2)));
}

TEST_F(TextTest, BytesFrom128UpDrawNothingInAnyFont)
{
    std::string high;
    for (int c = 128; c < 256; c++)
        high += static_cast<char>(c);
    for (int f = 0; f < FONT_COUNT; f++) {
        EXPECT_EQ(lit_pixels(drawn_text(high, -0.9, 0.0, f)), 0) << "font " << f;
        Image mixed = drawn_text("A\xe9"
                                 "B\xff"
                                 "C",
                                 -0.5, 0.0, f);
        EXPECT_TRUE(same_picture(mixed, reference_text("ABC", -0.5, 0.0, f))) << "font " << f;
    }
}

TEST_F(TextTest, RasterPositionOutsideTheViewportDrawsNothingButTextMayRunPastItsEdge)
{
    Viewport vp{100, 100, 200, 200};
    Image outside = render_in_viewport(vp, [] { draw_text("Outside", 1.02, 0.0, FONT_TIMES_24); });
    EXPECT_EQ(lit_pixels(outside), 0);
    Image scaled_out = render_in_viewport(vp, [] {
        glScaled(0.1, 0.1, 1);
        glTranslated(5, 0, 0);
        draw_text("Outside", 5.5, 0.0, FONT_TIMES_24);
    });
    EXPECT_EQ(lit_pixels(scaled_out), 0);

    Image runs_on =
        render_in_viewport(vp, [] { draw_text("Inside and on", 0.9, 0.0, FONT_TIMES_24); });
    EXPECT_GT(count_other_than(runs_on, Viewport{300, 100, 200, 200}, clear_colour()), 50)
        << "text starting inside the viewport is drawn whole past its edge";
}

TEST_F(TextTest, EmptyTextAndUnknownFontDrawNothing)
{
    EXPECT_EQ(lit_pixels(drawn_text("", 0, 0, FONT_TIMES_24)), 0);
    EXPECT_EQ(lit_pixels(drawn_text("abc", 0, 0, 3)), 0);
    EXPECT_EQ(lit_pixels(drawn_text("abc", 0, 0, -1)), 0);
}
