// What the screen pixel tests share: the fixture, colours of the layout and checks
// that compare a screen with reference renderings of single texts.
#pragma once

#include "game/model.h"
#include "harness.h"

struct Colour {
    double r, g, b;  // as glColor3d takes them
};

constexpr Colour GREEN{0.0, 1.0, 0.0};
constexpr Colour DIM_GREEN{0.0, 0.7, 0.0};
constexpr Colour YELLOW{1.0, 1.0, 0.0};
constexpr Colour ORANGE{1.0, 0.7, 0.0};
constexpr Colour RED{1.0, 0.0, 0.0};

Rgb rgb(Colour c);

// Stores name in the car's 16 name bytes; a name of all 16 bytes is stored without its
// NUL, as a server may send it.
void set_name(playerinfo &car, const char *name);

// A fresh model and GL state, and every blink counter one frame before a lit phase.
class ScreenPixels : public PixelTest {
protected:
    void SetUp() override;
};

// The text, exactly as draw_text draws it at (x, y) of vp in the colour: every pixel
// of a reference rendering is there in that colour, and no other pixel of that colour
// lies within margin pixels of it.
testing::AssertionResult shows_text(const Image &img, Viewport vp, const char *text, double x,
                                    double y, int font, Colour c, int margin = 2);

// The 5-pixel point of the colour centred on NDC (x, y) of vp, to within a pixel.
testing::AssertionResult point_at(const Image &img, Viewport vp, double x, double y, Rgb c);

// Window pixels of the NDC rectangle of vp.
Viewport ndc_area(Viewport vp, double x0, double y0, double x1, double y1);

// Pixels that differ between two images of the same window, inside area.
int differing_pixels(const Image &a, const Image &b, Viewport area);

// Saves the screen for people to look at, beside the test program.
void save_artifact(const Image &img, Viewport vp, const char *name);
