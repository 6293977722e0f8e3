// Shared checks of the screen pixel tests.
#include "screen_checks.h"

#include <GL/gl.h>
#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>
#include <string>

#include "render/text.h"
#include "screens/lobby.h"
#include "screens/panel.h"

Rgb rgb(Colour c)
{
    return rgb(c.r, c.g, c.b);
}

void set_name(playerinfo &car, const char *name)
{
    memset(car.name, 0, NAME_BYTES);
    memcpy(car.name, name, std::min(strlen(name), size_t{NAME_BYTES}));
}

void ScreenPixels::SetUp()
{
    PixelTest::SetUp();
    radar_blink = RADAR_BLINK_DIV - 1;
    fuel_blink = FUEL_BLINK_DIV - 1;
    live_blink = LIVE_BLINK_DIV - 1;
    welcome_blink = LOBBY_BLINK_DIV - 1;
    countdown_blink = LOBBY_BLINK_DIV - 1;
}

Viewport ndc_area(Viewport vp, double x0, double y0, double x1, double y1)
{
    int px0, py0, px1, py1;
    ndc_to_pixel(vp, x0, y0, &px0, &py0);
    ndc_to_pixel(vp, x1, y1, &px1, &py1);
    return Viewport{px0, py0, px1 - px0 + 1, py1 - py0 + 1};
}

testing::AssertionResult shows_text(const Image &img, Viewport vp, const char *text, double x,
                                    double y, int font, Colour c, int margin)
{
    Image ref = render_in_viewport(vp, [&] {
        glColor3d(c.r, c.g, c.b);
        draw_text(text, x, y, font);
    });
    int x0 = INT_MAX, y0 = INT_MAX, x1 = -1, y1 = -1;
    for (int py = 0; py < ref.height; py++)
        for (int px = 0; px < ref.width; px++)
            if (!same_colour(pixel_at(ref, px, py), clear_colour())) {
                x0 = std::min(x0, px), x1 = std::max(x1, px);
                y0 = std::min(y0, py), y1 = std::max(y1, py);
            }
    if (x1 < 0)
        return testing::AssertionFailure() << "reference \"" << text << "\" drew nothing";
    int missing = 0, extra = 0;
    for (int py = y0 - margin; py <= y1 + margin; py++)
        for (int px = x0 - margin; px <= x1 + margin; px++) {
            bool glyph = !same_colour(pixel_at(ref, px, py), clear_colour());
            bool seen = same_colour(pixel_at(img, px, py), rgb(c));
            missing += glyph && !seen;
            extra += !glyph && seen;
        }
    if (missing == 0 && extra == 0)
        return testing::AssertionSuccess();
    return testing::AssertionFailure()
           << "\"" << text << "\" at (" << x << ", " << y << ") in " << rgb(c) << ": " << missing
           << " glyph pixels missing, " << extra << " extra pixels of that colour";
}

testing::AssertionResult point_at(const Image &img, Viewport vp, double x, double y, Rgb c)
{
    double wx = vp.x + (x + 1) * 0.5 * vp.w;  // window coordinates of the point
    double wy = vp.y + (y + 1) * 0.5 * vp.h;
    int x0 = INT_MAX, y0 = INT_MAX, x1 = -1, y1 = -1;
    for (int py = int(wy) - 8; py <= int(wy) + 8; py++)
        for (int px = int(wx) - 8; px <= int(wx) + 8; px++)
            if (same_colour(pixel_at(img, px, py), c)) {
                x0 = std::min(x0, px), x1 = std::max(x1, px);
                y0 = std::min(y0, py), y1 = std::max(y1, py);
            }
    if (x1 < 0)
        return testing::AssertionFailure()
               << "no pixel of " << c << " near (" << x << ", " << y << ")";
    double cx = (x0 + x1 + 1) * 0.5, cy = (y0 + y1 + 1) * 0.5;
    if (x1 - x0 + 1 == 5 && y1 - y0 + 1 == 5 && std::fabs(cx - wx) <= 1 && std::fabs(cy - wy) <= 1)
        return testing::AssertionSuccess();
    return testing::AssertionFailure()
           << "point of " << c << " spans pixels (" << x0 << ".." << x1 << ", " << y0 << ".." << y1
           << "), expected 5 x 5 around (" << wx << ", " << wy << ")";
}

int differing_pixels(const Image &a, const Image &b, Viewport area)
{
    int n = 0;
    for (int py = area.y; py < area.y + area.h; py++)
        for (int px = area.x; px < area.x + area.w; px++)
            n += !same_colour(pixel_at(a, px, py), pixel_at(b, px, py), 0);
    return n;
}

void save_artifact(const Image &img, Viewport vp, const char *name)
{
    std::string path = std::string("screens-") + name + ".png";
    EXPECT_TRUE(save_png(img, vp, path)) << path;
}
