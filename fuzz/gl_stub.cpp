// Link-time stand-in for OpenGL and GLUT in the fuzz build: every call the client
// makes is defined here, so the real drawing code runs without a display. What a
// real GL would flag as an error (or silently get wrong, like a glyph list outside
// its font) ends the run with a message, so the fuzzer reports it.
#include "gl_stub.h"

#include <GL/freeglut.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace {

constexpr int MODELVIEW_DEPTH = 32;  // the least depth GL guarantees
constexpr int LIST_RANGES = 8;
constexpr int WINDOW_SIDE_MAX = 32767;  // X window sides are 16-bit

int matrix_depth;
bool in_primitive;
bool compiling_list;
long frames;
long vertices;

struct list_range {
    GLuint base;
    GLsizei count;
};
list_range ranges[LIST_RANGES];
int range_count;
GLuint next_list = 1;
GLuint list_base;

[[noreturn]] void gl_fault(const char *what)
{
    fprintf(stderr, "GL misuse: %s\n", what);
    abort();
}

void outside_primitive(const char *call)
{
    if (in_primitive)
        gl_fault(call);
}

void check_finite(double a, double b, const char *what)
{
    if (!std::isfinite(a) || !std::isfinite(b))
        gl_fault(what);
}

// The glyph lists of one glGenLists call that holds list.
const list_range *range_of(GLuint list)
{
    for (int i = 0; i < range_count; i++)
        if (list >= ranges[i].base && list < ranges[i].base + static_cast<GLuint>(ranges[i].count))
            return &ranges[i];
    return nullptr;
}

}  // namespace

void gl_stub_check_frame_done()
{
    if (matrix_depth != 0)
        gl_fault("frame ended with pushed matrices");
    if (in_primitive)
        gl_fault("frame ended inside glBegin");
}

long gl_stub_frames()
{
    return frames;
}
long gl_stub_vertices()
{
    return vertices;
}
void gl_stub_reset_counts()
{
    frames = vertices = 0;
}

// OpenGL.

void glClear(GLbitfield)
{
    outside_primitive("glClear inside glBegin");
}
void glClearColor(GLclampf, GLclampf, GLclampf, GLclampf) {}

void glViewport(GLint, GLint, GLsizei width, GLsizei height)
{
    outside_primitive("glViewport inside glBegin");
    if (width < 0 || height < 0)
        gl_fault("negative viewport size");
}

void glColor3d(GLdouble, GLdouble, GLdouble) {}
void glColor4d(GLdouble, GLdouble, GLdouble, GLdouble) {}

void glPushMatrix()
{
    outside_primitive("glPushMatrix inside glBegin");
    if (++matrix_depth >= MODELVIEW_DEPTH)
        gl_fault("modelview stack overflow");
}

void glPopMatrix()
{
    outside_primitive("glPopMatrix inside glBegin");
    if (--matrix_depth < 0)
        gl_fault("modelview stack underflow");
}

void glTranslated(GLdouble x, GLdouble y, GLdouble)
{
    outside_primitive("glTranslated inside glBegin");
    check_finite(x, y, "translation not finite");
}

void glScaled(GLdouble x, GLdouble y, GLdouble)
{
    outside_primitive("glScaled inside glBegin");
    check_finite(x, y, "scale not finite");
}

void glRotatef(GLfloat angle, GLfloat, GLfloat, GLfloat)
{
    outside_primitive("glRotatef inside glBegin");
    check_finite(angle, 0, "angle not finite");
}

void glBegin(GLenum)
{
    outside_primitive("glBegin inside glBegin");
    in_primitive = true;
}

void glEnd()
{
    if (!in_primitive)
        gl_fault("glEnd without glBegin");
    in_primitive = false;
}

void glVertex2d(GLdouble x, GLdouble y)
{
    if (!in_primitive)
        gl_fault("glVertex outside glBegin");
    check_finite(x, y, "vertex not finite");
    vertices++;
}

void glVertex2f(GLfloat x, GLfloat y)
{
    glVertex2d(x, y);
}

void glLineWidth(GLfloat width)
{
    outside_primitive("glLineWidth inside glBegin");
    if (!(width > 0))
        gl_fault("line width not positive");
}

void glPointSize(GLfloat size)
{
    outside_primitive("glPointSize inside glBegin");
    if (!(size > 0))
        gl_fault("point size not positive");
}

void glEnable(GLenum)
{
    outside_primitive("glEnable inside glBegin");
}
void glDisable(GLenum)
{
    outside_primitive("glDisable inside glBegin");
}
void glBlendFunc(GLenum, GLenum)
{
    outside_primitive("glBlendFunc inside glBegin");
}

void glRasterPos2d(GLdouble x, GLdouble y)
{
    outside_primitive("glRasterPos inside glBegin");
    check_finite(x, y, "raster position not finite");
}

GLuint glGenLists(GLsizei range)
{
    if (range <= 0 || range_count == LIST_RANGES)
        gl_fault("glGenLists beyond what the client needs");
    ranges[range_count++] = list_range{next_list, range};
    GLuint base = next_list;
    next_list += static_cast<GLuint>(range);
    return base;
}

void glNewList(GLuint list, GLenum)
{
    if (compiling_list || range_of(list) == nullptr)
        gl_fault("glNewList on a list never generated");
    compiling_list = true;
}

void glEndList()
{
    if (!compiling_list)
        gl_fault("glEndList without glNewList");
    compiling_list = false;
}

void glListBase(GLuint base)
{
    list_base = base;
}

// Every list called must lie in the same generated range as the list base: a glyph
// of one font, never another font's glyph or a list that does not exist.
void glCallLists(GLsizei n, GLenum type, const GLvoid *lists)
{
    outside_primitive("glCallLists inside glBegin");
    if (n < 0 || type != GL_UNSIGNED_BYTE)
        gl_fault("glCallLists with a bad count or type");
    const list_range *font = range_of(list_base);
    const unsigned char *codes = static_cast<const unsigned char *>(lists);
    for (GLsizei i = 0; i < n; i++)
        if (font == nullptr || range_of(list_base + codes[i]) != font)
            gl_fault("glyph list outside its font");
}

// GLUT.

void *glutBitmapTimesRoman24;
void *glutBitmapHelvetica12;
void *glutBitmapHelvetica18;

void glutBitmapCharacter(void *font, int)
{
    if (font != &glutBitmapTimesRoman24 && font != &glutBitmapHelvetica12 &&
        font != &glutBitmapHelvetica18)
        gl_fault("unknown bitmap font");
}

void glutSwapBuffers()
{
    gl_stub_check_frame_done();
    frames++;
}

void glutReshapeWindow(int width, int height)
{
    if (width <= 0 || height <= 0 || width > WINDOW_SIDE_MAX || height > WINDOW_SIDE_MAX)
        gl_fault("window size the window system refuses");
}

void glutPostRedisplay() {}
void glutDisplayFunc(void (*)()) {}
void glutTimerFunc(unsigned, void (*)(int), int) {}
