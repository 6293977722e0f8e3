// Bitmap text: the glyphs of three GLUT fonts compiled once into display lists, and
// one line of text drawn by calling the lists of its characters.
#include "render/text.h"

#include <GL/freeglut.h>

constexpr int FONT_GLYPHS = 128;  // codes 0 .. 127 have a glyph list

unsigned font_list_base[FONT_COUNT];
bool fonts_pending = true;

static void *const font_table[FONT_COUNT] = {
    GLUT_BITMAP_TIMES_ROMAN_24,
    GLUT_BITMAP_HELVETICA_18,
    GLUT_BITMAP_HELVETICA_12,
};

static void build_font_lists()
{
    for (int font = 0; font < FONT_COUNT; font++) {
        font_list_base[font] = glGenLists(FONT_GLYPHS);
        for (int c = 0; c < FONT_GLYPHS; c++) {
            glNewList(font_list_base[font] + static_cast<unsigned>(c), GL_COMPILE);
            glutBitmapCharacter(font_table[font], c);
            glEndList();
        }
    }
    fonts_pending = false;
}

// Copies at most TEXT_MAX characters and leaves out bytes 128 to 255: they have no
// glyph in these fonts, and as list offsets they would reach another font's lists.
static int copy_drawable(const char *text, char *buf)
{
    int len = 0;
    for (int i = 0; i < TEXT_MAX && text[i] != '\0'; i++) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (c < FONT_GLYPHS)
            buf[len++] = static_cast<char>(c);
    }
    buf[len] = '\0';
    return len;
}

void draw_text(const char *text, double x, double y, int font)
{
    if (fonts_pending)
        build_font_lists();
    if (font < 0 || font >= FONT_COUNT || text == nullptr)
        return;
    glListBase(font_list_base[font]);
    char buf[TEXT_MAX + 1];
    int len = copy_drawable(text, buf);
    glRasterPos2d(x, y);
    glCallLists(len, GL_UNSIGNED_BYTE, buf);
}
