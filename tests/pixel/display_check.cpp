// The pixel_display fixture: fails with a clear message unless an X display with
// 24-bit colour is there, so pixel tests never report wrong colours for that reason.
#include <GL/freeglut.h>

#include <cstdio>
#include <cstdlib>

#include "harness.h"

int main()
{
    if (!getenv("DISPLAY")) {
        fprintf(stderr, "no X display: run the tests as "
                        "xvfb-run -a -s \"-screen 0 1280x1024x24\" ctest\n");
        return 1;
    }
    open_window();
    int bits = glutGet(GLUT_WINDOW_RED_SIZE);
    printf("renderer %s, %d bits per channel\n",
           reinterpret_cast<const char *>(glGetString(GL_RENDERER)), bits);
    Image img = render_in_viewport(0, 0, HARNESS_W, HARNESS_H, [] {});
    Rgb seen = pixel_at(img, HARNESS_W / 2, HARNESS_H / 2);
    if (bits < 8 || !same_colour(seen, clear_colour())) {
        fprintf(stderr,
                "display cannot show the clear colour (read %d %d %d): start Xvfb "
                "with a 24-bit screen, -s \"-screen 0 1280x1024x24\"\n",
                seen.r, seen.g, seen.b);
        return 1;
    }
    return 0;
}
