// Bitmap text: one line of text at a position of the current coordinate frame, in
// one of three GLUT bitmap fonts and the current colour.
#pragma once

enum {
    FONT_TIMES_24 = 0,      // GLUT_BITMAP_TIMES_ROMAN_24
    FONT_HELVETICA_18 = 1,  // GLUT_BITMAP_HELVETICA_18
    FONT_HELVETICA_12 = 2,  // GLUT_BITMAP_HELVETICA_12
    FONT_COUNT = 3,
};

constexpr int TEXT_MAX = 255;  // characters drawn of one text at most

// First of the 128 glyph lists of each font (list base + c draws code c), and
// whether they are still to be built; both are set by the first draw_text.
extern unsigned font_list_base[FONT_COUNT];
extern bool fonts_pending;

// Draws text verbatim (never as a format) with the left end of its baseline at
// (x, y). Builds the glyph lists on its first call. Bytes 128 to 255 draw nothing.
void draw_text(const char *text, double x, double y, int font);
