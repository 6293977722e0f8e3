// The window frame and the five screen callbacks.
#include "render/window.h"

#include <GL/freeglut.h>

int win_w = 450;
int win_h = 350;

// 9/7 and 7/9 as the window rule computes them; the second is one unit in the last
// place below the nearest double, so a width of 450 gives a height of 349.
constexpr double ASPECT_W_PER_H = 1.2857142857142858;
constexpr double ASPECT_H_PER_W = 0.7777777777777777;

void reshape(int width, int height)
{
    int target_w = static_cast<int>(height * ASPECT_W_PER_H);
    if (width > target_w)
        width = target_w;
    else if (width < target_w)
        height = static_cast<int>(width * ASPECT_H_PER_W);
    win_w = width;
    win_h = height;
    glutReshapeWindow(win_w, win_h);
    glViewport(0, 0, win_w, win_h);
}

// Every screen: clear, full-window viewport, the screen's drawing, swap.
static void frame(void (*draw)())
{
    glClear(GL_COLOR_BUFFER_BIT);
    glViewport(0, 0, win_w, win_h);
    if (draw)
        draw();
    glutSwapBuffers();
}

void display_lobby() { frame(nullptr); }
void display_round_result() { frame(nullptr); }
void display_final_result() { frame(nullptr); }
void display_play() { frame(nullptr); }
void display_live() { frame(nullptr); }
