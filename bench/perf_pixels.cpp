// Fingerprints of every screen: draws the five screens for a dozen game models at
// six window sizes, 32 frames each (blinking texts and points go through their
// phases), and prints one 64-bit FNV-1a hash of the pixels per model and size.
// Two builds that print the same lines draw the same pixels; with an output folder
// it also writes the last frame of each case as a PPM file for a diff by eye.
// Usage: perf_pixels [PPM_DIR]   (needs an X display with 24-bit colour)
#include <GL/freeglut.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "game/model.h"
#include "perf_model.h"
#include "render/window.h"

namespace {

constexpr int MAX_W = 1800;
constexpr int MAX_H = 1400;
constexpr int FRAMES = 32;

std::vector<unsigned char> pixels(size_t{MAX_W} * MAX_H * 3);
uint64_t frame_hash;
bool frame_read;

uint64_t fnv1a(uint64_t h, const unsigned char *p, size_t n)
{
    for (size_t i = 0; i < n; i++) {
        h ^= p[i];
        h *= 1099511628211ull;
    }
    return h;
}

}  // namespace

// The screens' swap, routed here by -Wl,--wrap: the back buffer is read first.
extern "C" void __real_glutSwapBuffers();
extern "C" void __wrap_glutSwapBuffers()
{
    glPixelStorei(GL_PACK_ALIGNMENT, 1);
    glReadBuffer(GL_BACK);
    glReadPixels(0, 0, win_w, win_h, GL_RGB, GL_UNSIGNED_BYTE, pixels.data());
    frame_hash = fnv1a(14695981039346656037ull, pixels.data(), size_t(win_w) * win_h * 3);
    frame_read = true;
    __real_glutSwapBuffers();
}

namespace {

struct screen_case {
    const char *name;
    void (*setup)();
    void (*display)();
};

void lobby_waiting()
{
    build_busy_model();
    game_status = GS_LOBBY;
    status_count = 5;
}
void lobby_welcome()
{
    lobby_waiting();
    me->status = PS_NONE;
    status_count = 0;
}
void play_busy()
{
    build_busy_model();
}
void play_warning()
{
    build_busy_model();
    me->fuel = 500;
    status_count = 120;
}
void ready_burst()
{
    build_busy_model();
    game_status = GS_READY;
    status_count = 2;
    me->status = PS_BURST;
}
void stage_corner()
{
    build_busy_model();
    game_status = GS_STAGE_CLEARED;
    me->x = 0;
    me->y = 0;
    me->lives = 0;
}
void game_over_far_corner()
{
    build_busy_model();
    game_status = GS_GAME_OVER;
    me->x = 2047;
    me->y = 3583;
    smoke[3].size = -60;
    smoke[5].size = 900;
    me->angle = 33;
}
void pause_odd()
{
    build_busy_model();
    game_status = GS_PAUSE;
    flags_left = 40;
    me->lives = 7;
    players[4].x = 1000000000;
    players[5].y = -1000000000;
}
void live_watch()
{
    build_busy_model();
    game_status = GS_LIVE;
    me->status = PS_NONE;
    me->flags = 0;
    Nclient = 5;
    Nenemy = 3;
}
void nofuel_odd_cells()
{
    build_busy_model();
    me->status = PS_NOFUEL;
    me->fuel = -200;
    for (int c = 10; c < 20; c++)
        fieldmap[26][c] = static_cast<int8_t>(c % 2 ? 6 : -5);
}
// The own car at a new place in its cell, a new heading, and other sizes of smoke at
// every frame: shapes land on many different fractions of a pixel.
void play_sweep()
{
    static int step;
    build_busy_model();
    step++;
    me->x += (step * 37) % 64 - 32;
    me->y += (step * 23) % 64 - 32;
    me->angle = (step * 29) % 360;
    players[3].angle = (step * 41) % 360;
    for (int i = 0; i < SMOKE_MAX; i++)
        smoke[i].size = 10 + (step * 7 + i * 13) % 120;
}
void round_result()
{
    build_busy_model();
    game_status = GS_ROUND_RESULT;
    players[2].status = PS_RETIRED;
    players[6].status = PS_NONE;
}
void final_result()
{
    round_result();
    game_status = GS_FINAL_RESULT;
}

const screen_case cases[] = {
    {"lobby_waiting", lobby_waiting, display_lobby},
    {"lobby_welcome", lobby_welcome, display_lobby},
    {"play_busy", play_busy, display_play},
    {"play_warning", play_warning, display_play},
    {"ready_burst", ready_burst, display_play},
    {"stage_corner", stage_corner, display_play},
    {"game_over_far_corner", game_over_far_corner, display_play},
    {"pause_odd", pause_odd, display_play},
    {"live_watch", live_watch, display_live},
    {"nofuel_odd_cells", nofuel_odd_cells, display_play},
    {"play_sweep", play_sweep, display_play},
    {"round_result", round_result, display_round_result},
    {"final_result", final_result, display_final_result},
};

const int sizes[][2] = {{225, 175}, {450, 350}, {449, 349}, {617, 480}, {900, 700}, {1800, 1400}};

void write_ppm(const std::string &path)
{
    FILE *f = fopen(path.c_str(), "wb");
    if (!f)
        return;
    fprintf(f, "P6\n%d %d\n255\n", win_w, win_h);
    for (int y = win_h - 1; y >= 0; y--)
        fwrite(pixels.data() + size_t(y) * win_w * 3, 3, size_t(win_w), f);
    fclose(f);
}

}  // namespace

int main(int argc, char **argv)
{
    if (!getenv("DISPLAY")) {
        fprintf(stderr, "no X display: run under xvfb-run -a -s \"-screen 0 1920x1440x24\"\n");
        return 1;
    }
    const char *ppm_dir = argc > 1 ? argv[1] : nullptr;
    glutInit(&argc, argv);
    glutInitDisplayMode(GLUT_DOUBLE | GLUT_RGB);
    glutInitWindowSize(MAX_W, MAX_H);
    glutCreateWindow("perf_pixels");
    glutDisplayFunc([] {});
    glClearColor(0.0f, 0.0f, 0.3f, 0.0f);
    for (int i = 0; i < 20; i++)
        glutMainLoopEvent();

    uint64_t all = 14695981039346656037ull;
    for (const screen_case &sc : cases) {
        for (const auto &size : sizes) {
            win_w = size[0];
            win_h = size[1];
            uint64_t h = 14695981039346656037ull;
            for (int frame = 0; frame < FRAMES; frame++) {
                sc.setup();
                if ((sc.display == display_play || sc.display == display_live) &&
                    sc.setup != play_sweep)
                    step_busy_model(frame * 3);
                frame_read = false;
                sc.display();
                if (!frame_read) {
                    fprintf(stderr, "%s drew no frame\n", sc.name);
                    return 1;
                }
                h = fnv1a(h, reinterpret_cast<const unsigned char *>(&frame_hash),
                          sizeof frame_hash);
            }
            all = fnv1a(all, reinterpret_cast<const unsigned char *>(&h), sizeof h);
            printf("%-22s %4dx%-4d %016llx\n", sc.name, win_w, win_h,
                   static_cast<unsigned long long>(h));
            if (ppm_dir)
                write_ppm(std::string(ppm_dir) + "/" + sc.name + "_" + std::to_string(win_w) + "x" +
                          std::to_string(win_h) + ".ppm");
        }
    }
    printf("all %016llx\n", static_cast<unsigned long long>(all));
    return 0;
}
