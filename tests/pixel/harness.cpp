// Pixel-test harness: the window, the back-buffer capture and the colour questions.
#include "harness.h"

#include <GL/freeglut.h>
#include <dlfcn.h>
#include <link.h>
#include <png.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "game/model.h"
#include "render/window.h"

namespace {

bool window_ready;
bool window_shown;
bool capturing;
Image capture;

void harness_display()
{
    window_shown = true;
}

void harness_reshape(int, int) {}

// Mesa unloads its driver before the leak check at exit, which leaves the driver's
// own unfreed memory with nameless stack frames that no suppression can match.
// Keeping the driver loaded lets tests/lsan.supp name it.
int keep_driver_loaded(dl_phdr_info *info, size_t, void *)
{
    if (strstr(info->dlpi_name, "_dri.so"))
        dlopen(info->dlpi_name, RTLD_LAZY | RTLD_NOLOAD | RTLD_NODELETE);
    return 0;
}

Image read_back_buffer()
{
    Image img;
    img.width = glutGet(GLUT_WINDOW_WIDTH);
    img.height = glutGet(GLUT_WINDOW_HEIGHT);
    img.pixels.assign(static_cast<size_t>(img.width) * img.height * 3, 0);
    glReadBuffer(GL_BACK);
    glPixelStorei(GL_PACK_ALIGNMENT, 1);
    glReadPixels(0, 0, img.width, img.height, GL_RGB, GL_UNSIGNED_BYTE, img.pixels.data());
    return img;
}

void pump_until(const std::function<bool()> &done, const char *what)
{
    if (!wait_for(done))
        ADD_FAILURE() << "window never " << what;
}

bool window_at_harness_size()
{
    return glutGet(GLUT_WINDOW_WIDTH) == HARNESS_W && glutGet(GLUT_WINDOW_HEIGHT) == HARNESS_H;
}

// Asks for the harness size again (this replaces any size a test requested) and
// waits until the window has it.
void settle_window()
{
    open_window();
    glutReshapeWindow(HARNESS_W, HARNESS_H);
    pump_until(window_at_harness_size, "took the harness size");
}

}  // namespace

// glutSwapBuffers of the code under test, routed here by -Wl,--wrap: the back buffer
// is read instead of shown.
extern "C" void __wrap_glutSwapBuffers()
{
    if (!capturing)
        return;
    int swaps = capture.swaps;
    capture = read_back_buffer();
    capture.swaps = swaps + 1;
}

bool wait_for(const std::function<bool()> &done, int timeout_ms)
{
    auto start = std::chrono::steady_clock::now();
    glutMainLoopEvent();
    while (!done()) {
        if (std::chrono::steady_clock::now() - start > std::chrono::milliseconds(timeout_ms))
            return false;
        glutMainLoopEvent();
    }
    return true;
}

Rgb rgb(double r, double g, double b)
{
    return Rgb{static_cast<int>(std::lround(r * 255)), static_cast<int>(std::lround(g * 255)),
               static_cast<int>(std::lround(b * 255))};
}

bool same_colour(Rgb a, Rgb b, int tolerance)
{
    return std::abs(a.r - b.r) <= tolerance && std::abs(a.g - b.g) <= tolerance &&
           std::abs(a.b - b.b) <= tolerance;
}

std::ostream &operator<<(std::ostream &out, Rgb c)
{
    return out << "(" << c.r << ", " << c.g << ", " << c.b << ")";
}

Rgb clear_colour()
{
    return rgb(0, 0, 0.3);
}

Viewport screen_viewport()
{
    return Viewport{0, 0, win_w, win_h};
}

void open_window()
{
    if (window_ready)
        return;
    static char name[] = "pixel-test";
    static char *argv[] = {name, nullptr};
    int argc = 1;
    glutInit(&argc, argv);
    glutInitDisplayMode(GLUT_DOUBLE | GLUT_RGB);
    glutInitWindowPosition(0, 0);
    glutInitWindowSize(HARNESS_W, HARNESS_H);
    glutCreateWindow("pixel test");
    glutDisplayFunc(harness_display);
    glutReshapeFunc(harness_reshape);
    dl_iterate_phdr(keep_driver_loaded, nullptr);
    window_ready = true;
    pump_until([] { return window_shown && window_at_harness_size(); }, "appeared");
    reset_gl_state();
}

void reset_gl_state()
{
    glClearColor(0.0f, 0.0f, 0.3f, 0.0f);
    glMatrixMode(GL_PROJECTION);
    glLoadIdentity();
    glMatrixMode(GL_MODELVIEW);
    glLoadIdentity();
    glDisable(GL_BLEND);
    glLineWidth(1);
    glPointSize(1);
    glColor3d(1, 1, 1);
    glViewport(0, 0, HARNESS_W, HARNESS_H);
}

void reset_game_model()
{
    reset_model();
    win_w = 450;
    win_h = 350;
}

Image render_screen(void (*display)())
{
    settle_window();
    capture = Image{};
    capturing = true;
    display();
    capturing = false;
    if (capture.swaps == 0)
        capture = read_back_buffer();
    return capture;
}

Image render_in_viewport(Viewport vp, const std::function<void()> &draw)
{
    settle_window();
    glClearColor(0.0f, 0.0f, 0.3f, 0.0f);
    glClear(GL_COLOR_BUFFER_BIT);
    glViewport(vp.x, vp.y, vp.w, vp.h);
    glMatrixMode(GL_MODELVIEW);
    glLoadIdentity();
    draw();
    return read_back_buffer();
}

Image render_in_viewport(int vx, int vy, int vw, int vh, const std::function<void()> &draw)
{
    return render_in_viewport(Viewport{vx, vy, vw, vh}, draw);
}

Rgb pixel_at(const Image &img, int x, int y)
{
    if (x < 0 || y < 0 || x >= img.width || y >= img.height)
        return Rgb{0, 0, 0};
    const uint8_t *p = &img.pixels[(static_cast<size_t>(y) * img.width + x) * 3];
    return Rgb{p[0], p[1], p[2]};
}

void ndc_to_pixel(Viewport vp, double x, double y, int *px, int *py)
{
    *px = vp.x + static_cast<int>(std::floor((x + 1) * 0.5 * vp.w));
    *py = vp.y + static_cast<int>(std::floor((y + 1) * 0.5 * vp.h));
}

Rgb pixel_at_ndc(const Image &img, Viewport vp, double x, double y)
{
    int px, py;
    ndc_to_pixel(vp, x, y, &px, &py);
    return pixel_at(img, px, py);
}

testing::AssertionResult colour_at_ndc(const Image &img, Viewport vp, double x, double y,
                                       Rgb expected)
{
    Rgb found = pixel_at_ndc(img, vp, x, y);
    if (same_colour(found, expected))
        return testing::AssertionSuccess();
    int px, py;
    ndc_to_pixel(vp, x, y, &px, &py);
    return testing::AssertionFailure()
           << "at NDC (" << x << ", " << y << ") = pixel (" << px << ", " << py << "): found "
           << found << ", expected " << expected;
}

static bool colour_in_box(const Image &img, Viewport vp, double x, double y, Rgb c, int slack)
{
    int px, py;
    ndc_to_pixel(vp, x, y, &px, &py);
    return count_colour(img, Viewport{px - slack, py - slack, 2 * slack + 1, 2 * slack + 1}, c) > 0;
}

testing::AssertionResult colour_near_ndc(const Image &img, Viewport vp, double x, double y,
                                         Rgb expected, int slack)
{
    if (colour_in_box(img, vp, x, y, expected, slack))
        return testing::AssertionSuccess();
    return testing::AssertionFailure()
           << "no pixel of " << expected << " within " << slack << " pixels of NDC (" << x << ", "
           << y << "); centre is " << pixel_at_ndc(img, vp, x, y);
}

testing::AssertionResult no_colour_near_ndc(const Image &img, Viewport vp, double x, double y,
                                            Rgb colour, int slack)
{
    if (!colour_in_box(img, vp, x, y, colour, slack))
        return testing::AssertionSuccess();
    return testing::AssertionFailure() << "a pixel of " << colour << " within " << slack
                                       << " pixels of NDC (" << x << ", " << y << ")";
}

int count_colour(const Image &img, Viewport area, Rgb c, int tolerance)
{
    int n = 0;
    for (int y = std::max(area.y, 0); y < std::min(area.y + area.h, img.height); y++)
        for (int x = std::max(area.x, 0); x < std::min(area.x + area.w, img.width); x++)
            if (same_colour(pixel_at(img, x, y), c, tolerance))
                n++;
    return n;
}

int count_other_than(const Image &img, Viewport area, Rgb c, int tolerance)
{
    int inside = std::max(0, std::min(area.x + area.w, img.width) - std::max(area.x, 0)) *
                 std::max(0, std::min(area.y + area.h, img.height) - std::max(area.y, 0));
    return inside - count_colour(img, area, c, tolerance);
}

bool save_png(const Image &img, Viewport crop, const std::string &path)
{
    int x0 = std::max(crop.x, 0), y0 = std::max(crop.y, 0);
    int w = std::min(crop.x + crop.w, img.width) - x0;
    int h = std::min(crop.y + crop.h, img.height) - y0;
    if (w <= 0 || h <= 0)
        return false;
    FILE *file = fopen(path.c_str(), "wb");
    if (!file)
        return false;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png ? png_create_info_struct(png) : nullptr;
    if (!png || !info || setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, info ? &info : nullptr);
        fclose(file);
        return false;
    }
    png_init_io(png, file);
    png_set_IHDR(png, info, w, h, 8, PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    for (int row = y0 + h - 1; row >= y0; row--)
        png_write_row(png, &img.pixels[(static_cast<size_t>(row) * img.width + x0) * 3]);
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    return fclose(file) == 0;
}

void PixelTest::SetUp()
{
    open_window();
    reset_game_model();
    reset_gl_state();
}
