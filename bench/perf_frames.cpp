// Frame cost of the five screens for the busy game model, in a real window under X
// with the GL driver in use: wall time of one screen callback (clear, draw, swap)
// followed by glFinish, median and 95th percentile over many frames, at 450 x 350
// and 1800 x 1400; CPU time per frame of the whole process (the driver's threads
// included). Extra rows take the play screen apart: clear alone, clear and swap,
// and each piece of the play screen drawn after a clear without a swap.
// Usage: perf_frames [FRAMES [ROW [SIZE]]]: FRAMES default 600; ROW keeps only the rows
// whose name starts with it, SIZE (450 or 1800) only that window. Needs an X display.
#include <GL/freeglut.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <vector>

#include "game/model.h"
#include "perf_model.h"
#include "render/window.h"
#include "screens/panel.h"
#include "screens/playfield.h"

namespace {

constexpr int WARMUP = 50;
bool window_shown;

double now_ms(clockid_t clock)
{
    timespec ts;
    clock_gettime(clock, &ts);
    return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
}

void lobby_model()
{
    build_busy_model();
    game_status = GS_LOBBY;
    status_count = 5;
}
void play_model()
{
    build_busy_model();
}
void live_model()
{
    build_busy_model();
    game_status = GS_LIVE;
    me->status = PS_NONE;
}
void round_model()
{
    build_busy_model();
    game_status = GS_ROUND_RESULT;
}
void final_model()
{
    build_busy_model();
    game_status = GS_FINAL_RESULT;
}

void clear_only()
{
    glClear(GL_COLOR_BUFFER_BIT);
    glViewport(0, 0, win_w, win_h);
}
void empty_frame()
{
    clear_only();
    glutSwapBuffers();
}
void texts_only()
{
    clear_only();
    draw_round_label();
    draw_score_line();
    draw_fuel_gauge();
}
void radar_only()
{
    clear_only();
    draw_radar();
}
void playfield_only()
{
    clear_only();
    draw_playfield();
}
void play_no_swap()
{
    clear_only();
    draw_round_label();
    draw_score_line();
    draw_fuel_gauge();
    draw_radar();
    draw_playfield();
}

struct row {
    const char *name;
    void (*model)();
    void (*draw)();
};

const row rows[] = {
    {"lobby", lobby_model, display_lobby},
    {"play", play_model, display_play},
    {"live (watch)", live_model, display_live},
    {"round result", round_model, display_round_result},
    {"final result", final_model, display_final_result},
    {"  empty: clear+swap", play_model, empty_frame},
    {"  clear only", play_model, clear_only},
    {"  play without swap", play_model, play_no_swap},
    {"  panel texts+gauge", play_model, texts_only},
    {"  radar", play_model, radar_only},
    {"  playfield", play_model, playfield_only},
};

// Asks for the size and pumps events until the reshape callback has seen it (the
// window system takes its time), at most five seconds.
void settle_size(int w, int h)
{
    glutReshapeWindow(w, h);
    double give_up = now_ms(CLOCK_MONOTONIC) + 5000;
    while ((win_w != w || win_h != h) && now_ms(CLOCK_MONOTONIC) < give_up)
        glutMainLoopEvent();
    for (int i = 0; i < 20; i++)
        glutMainLoopEvent();
    if (win_w != w || win_h != h)
        fprintf(stderr, "window stayed at %d x %d instead of %d x %d\n", win_w, win_h, w, h);
}

double percentile(std::vector<double> v, double p)
{
    std::sort(v.begin(), v.end());
    size_t i = static_cast<size_t>(p * (v.size() - 1) + 0.5);
    return v[i];
}

// The measured frames only, by name, for an instruction count that leaves out the
// warm-up (where the driver compiles its shaders):
//   LP_NUM_THREADS=0 valgrind --tool=callgrind --toggle-collect='*counted_frame*' ...
__attribute__((noinline)) void counted_frame(void (*draw)())
{
    draw();
    glFinish();
}

void measure(const row &r, int frames)
{
    std::vector<double> wall;
    wall.reserve(frames);
    r.model();
    double cpu_total = 0;
    for (int f = -WARMUP; f < 0; f++) {
        step_busy_model(f);
        r.draw();
        glFinish();
        glutMainLoopEvent();
    }
    for (int f = 0; f < frames; f++) {
        step_busy_model(f);
        double c0 = now_ms(CLOCK_PROCESS_CPUTIME_ID);
        double t0 = now_ms(CLOCK_MONOTONIC);
        counted_frame(r.draw);
        double t1 = now_ms(CLOCK_MONOTONIC);
        double c1 = now_ms(CLOCK_PROCESS_CPUTIME_ID);
        wall.push_back(t1 - t0);
        cpu_total += c1 - c0;
        glutMainLoopEvent();
    }
    printf("| %4d x %-4d | %-22s | %7.3f | %7.3f | %7.3f |\n", win_w, win_h, r.name,
           percentile(wall, 0.5), percentile(wall, 0.95), cpu_total / frames);
    fflush(stdout);
}

}  // namespace

int main(int argc, char **argv)
{
    if (!getenv("DISPLAY")) {
        fprintf(stderr, "no X display: run under xvfb-run -a -s \"-screen 0 1920x1440x24\"\n");
        return 1;
    }
    int frames = argc > 1 ? atoi(argv[1]) : 600;
    if (frames < 1)
        frames = 600;
    glutInit(&argc, argv);
    glutInitDisplayMode(GLUT_DOUBLE | GLUT_RGB);
    glutInitWindowSize(450, 350);
    glutCreateWindow("perf_frames");
    glutDisplayFunc([] { window_shown = true; });
    glutReshapeFunc(reshape);
    // A size asked for before the window is on the screen is lost.
    double give_up = now_ms(CLOCK_MONOTONIC) + 5000;
    while (!window_shown && now_ms(CLOCK_MONOTONIC) < give_up)
        glutMainLoopEvent();
    glClearColor(0.0f, 0.0f, 0.3f, 0.0f);

    printf("Frame cost, %d frames each after %d warm-up, glFinish after every frame (ms)\n\n",
           frames, WARMUP);
    printf("| window      | screen                 | median  | p95     | CPU/frame |\n");
    printf("|-------------|------------------------|---------|---------|---------|\n");
    const char *only_row = argc > 2 ? argv[2] : "";
    int only_width = argc > 3 ? atoi(argv[3]) : 0;
    const int sizes[][2] = {{450, 350}, {1800, 1400}};
    for (const auto &size : sizes) {
        if (only_width && only_width != size[0])
            continue;
        settle_size(size[0], size[1]);
        for (const row &r : rows)
            if (strncmp(r.name, only_row, strlen(only_row)) == 0)
                measure(r, frames);
    }
    return 0;
}
