// Pixel-test harness: one real GLUT window (under Xvfb with Mesa's software
// renderer), drawing into its back buffer and reading the pixels back, so that
// tests compare the colours a player would see at the positions the layout gives.
//
// Window size. The harness window is HARNESS_W x HARNESS_H pixels and stays so:
// before every render the harness asks for that size again and pumps the event loop
// until it holds, so a pending glutReshapeWindow (from reshape()) never leaks into a
// later picture. A test chooses the size of the picture through win_w / win_h (the
// screen callbacks draw into the viewport (0, 0, win_w, win_h), the bottom-left part
// of the window) or through the viewport it passes to render_in_viewport. Images
// hold the whole window; screen_viewport() is the part a screen callback drew.
//
// Pixels. Image rows run bottom-up as OpenGL reads them: pixel (0, 0) is the
// bottom-left corner of the window. pixel_at_ndc maps normalised device coordinates
// of a viewport to the pixel whose area contains that point.
//
// CMake: link `pixel_harness` (it brings GoogleTest with a main(), GLUT and the
// link option that routes glutSwapBuffers through the harness), and register the
// cases with add_pixel_tests(target) from PixelTests.cmake, which makes each case
// require the `pixel_display` fixture (a check that the X display is there and has
// 24-bit colour). Run as: xvfb-run -a -s "-screen 0 1280x1024x24" ctest
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

constexpr int HARNESS_W = 1000;  // the harness window, large enough for 900 x 700 screens
constexpr int HARNESS_H = 800;
constexpr int COLOUR_TOLERANCE = 3;  // per channel: 0.3 x 255 comes out as 76 or 77

struct Rgb {
    int r, g, b;  // 0 .. 255
};

// A colour given as OpenGL doubles (0 .. 1), rounded to 8 bits.
Rgb rgb(double r, double g, double b);
bool same_colour(Rgb a, Rgb b, int tolerance = COLOUR_TOLERANCE);
std::ostream &operator<<(std::ostream &out, Rgb c);

// The window's clear colour, (0, 0, 0.3).
Rgb clear_colour();

struct Viewport {
    int x, y, w, h;  // window pixels, as glViewport takes them
};

struct Image {
    int width = 0;
    int height = 0;
    std::vector<uint8_t> pixels;  // RGB, rows bottom-up
    int swaps = 0;                // glutSwapBuffers calls during render_screen
};

// The full-window viewport of the screen callbacks: (0, 0, win_w, win_h).
Viewport screen_viewport();

// Opens the window on first use (glutInit once per process); later calls do nothing.
void open_window();

// Pumps the GLUT event loop until done() holds or timeout_ms have passed; returns
// whether it held. For waiting on the window system (a requested size, say).
bool wait_for(const std::function<bool()> &done, int timeout_ms = 30000);

// Runs a display callback (a real display_* screen callback or any function that
// draws and swaps). The picture is read from the back buffer when the callback
// calls glutSwapBuffers, which the harness takes over (nothing is shown); a callback
// that never swaps is read when it returns, with swaps = 0.
Image render_screen(void (*display)());

// Clears the window to the clear colour, sets the viewport, resets the modelview
// matrix, runs draw and reads the back buffer.
Image render_in_viewport(Viewport vp, const std::function<void()> &draw);
Image render_in_viewport(int vx, int vy, int vw, int vh, const std::function<void()> &draw);

// Pixel under window coordinates (x right, y up); black outside the image.
Rgb pixel_at(const Image &img, int x, int y);
// The window pixel that contains NDC point (x, y) of viewport vp.
void ndc_to_pixel(Viewport vp, double x, double y, int *px, int *py);
Rgb pixel_at_ndc(const Image &img, Viewport vp, double x, double y);

// Checks for EXPECT_TRUE / ASSERT_TRUE with a message naming the colour found.
testing::AssertionResult colour_at_ndc(const Image &img, Viewport vp, double x, double y,
                                       Rgb expected);
// Some pixel of the colour within slack pixels of the NDC point: for thin lines and text.
testing::AssertionResult colour_near_ndc(const Image &img, Viewport vp, double x, double y,
                                         Rgb expected, int slack = 2);
// No pixel of the colour within slack pixels of the NDC point.
testing::AssertionResult no_colour_near_ndc(const Image &img, Viewport vp, double x, double y,
                                            Rgb colour, int slack = 2);

// Pixels of the colour inside a rectangle of window pixels (clipped to the image).
int count_colour(const Image &img, Viewport area, Rgb c, int tolerance = COLOUR_TOLERANCE);
// Pixels inside the rectangle that differ from the colour.
int count_other_than(const Image &img, Viewport area, Rgb c, int tolerance = COLOUR_TOLERANCE);

// Writes the part of the image inside crop as a PNG file (top row first, as viewers
// expect). Returns false if the file cannot be written.
bool save_png(const Image &img, Viewport crop, const std::string &path);

// The game model back to its process-start state, win_w x win_h to 450 x 350.
void reset_game_model();
// OpenGL state back to what the client sets up: clear colour (0, 0, 0.3), identity
// matrices, blending off, line width and point size 1, colour white.
void reset_gl_state();

// Base fixture of every pixel test: the window open, a fresh game model and GL state.
class PixelTest : public testing::Test {
protected:
    void SetUp() override;
};
