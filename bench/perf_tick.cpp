// Tick rate and delays of the real client loop: the GLUT main loop with the client's
// own tick, message handlers, keyboard callbacks and play screen, fed over TCP
// loopback by a scripted server (a child process) that sends one car-position
// message every 10 ms and presses and releases the up-arrow key through XTest.
//
// Each run measures, over SECONDS after a one-second warm-up: ticks per second, the
// delay from a message's sending (its arrival, on loopback) to its handling, the
// messages left waiting, the client's CPU time (all its threads) and the X server's,
// and the key-to-wire delay (XTest key event to the 12-byte key message read by the
// server). Runs alternate between the play screen and empty frames (clear and swap
// only, same tick and messages): the empty frames give the ceiling of the same run.
// Usage: perf_tick [SECONDS [ROUNDS [WIDTH]]]   (default 10 s, 2 rounds, a 450 x 350
// window; WIDTH gives a window of WIDTH x WIDTH * 7 / 9; needs an X display)
#include <GL/freeglut.h>
#include <GL/glx.h>
#include <X11/Xlib.h>
#include <X11/keysym.h>
#include <arpa/inet.h>
#include <dirent.h>
#include <dlfcn.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "game/model.h"
#include "game/status.h"
#include "input/keyboard.h"
#include "net/framing.h"
#include "perf_model.h"
#include "render/window.h"
#include "sound/sound.h"
#include "startup/startup.h"
#include "wire.h"

namespace {

constexpr int SEND_PERIOD_US = 10000;
constexpr int KEY_PERIOD_US = 200000;
constexpr double WARMUP_S = 1.0;
constexpr int STAMP_CAR = 7;  // fuel word of this car carries the send time (µs)
constexpr int SEQ_CAR = 6;    // and of this one the message's sequence number

int64_t now_us()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t{ts.tv_sec} * 1000000 + ts.tv_nsec / 1000;
}

double cpu_s(clockid_t clock)
{
    timespec ts;
    clock_gettime(clock, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

double percentile(std::vector<double> v, double p)
{
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    return v[static_cast<size_t>(p * (v.size() - 1) + 0.5)];
}

// CPU seconds (user + system) of the X server this program draws on, or -1.
double xserver_cpu_s()
{
    const char *display = getenv("DISPLAY");
    if (!display)
        return -1;
    std::string want = display;
    DIR *proc = opendir("/proc");
    if (!proc)
        return -1;
    double result = -1;
    while (dirent *e = readdir(proc)) {
        if (e->d_name[0] < '0' || e->d_name[0] > '9')
            continue;
        std::string base = std::string("/proc/") + e->d_name;
        FILE *f = fopen((base + "/cmdline").c_str(), "rb");
        if (!f)
            continue;
        char cmd[512];
        size_t n = fread(cmd, 1, sizeof cmd - 1, f);
        fclose(f);
        cmd[n] = '\0';
        std::string prog = cmd;
        std::string first_arg = n > prog.size() + 1 ? std::string(cmd + prog.size() + 1) : "";
        if (prog.find("Xvfb") == std::string::npos || first_arg != want)
            continue;
        f = fopen((base + "/stat").c_str(), "r");
        if (!f)
            continue;
        char stat[1024];
        size_t m = fread(stat, 1, sizeof stat - 1, f);
        fclose(f);
        stat[m] = '\0';
        const char *p = strrchr(stat, ')');
        unsigned long utime = 0, stime = 0;
        if (p && sscanf(p + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu", &utime,
                        &stime) == 2)
            result = static_cast<double>(utime + stime) / sysconf(_SC_CLK_TCK);
        break;
    }
    closedir(proc);
    return result;
}

// ---- The scripted server (child process) ----

// XTest's key injection, loaded at run time: only the shared library is needed.
using fake_key_fn = int (*)(Display *, unsigned int, Bool, unsigned long);

fake_key_fn load_fake_key()
{
    void *lib = dlopen("libXtst.so.6", RTLD_NOW);
    return lib ? reinterpret_cast<fake_key_fn>(dlsym(lib, "XTestFakeKeyEvent")) : nullptr;
}

struct key_result {
    int count;
    double median_ms, p95_ms, max_ms;
    long sent;
};

void send_positions(int fd, int32_t seq, int frame)
{
    unsigned char msg[TAG_SIZE + MAXPLAYER * POFF];
    put_be32(msg, TAG_PLAYERINFO);
    put_be32(msg + 4, sizeof msg);
    build_busy_model();
    step_busy_model(frame);
    for (int i = 0; i < MAXPLAYER; i++) {
        const playerinfo &car = players[i];
        unsigned char *w = msg + TAG_SIZE + i * POFF;
        int32_t fuel = car.fuel;
        if (i == STAMP_CAR)
            fuel = static_cast<int32_t>(static_cast<uint32_t>(now_us()));
        if (i == SEQ_CAR)
            fuel = seq;
        put_be32(w, car.x);
        put_be32(w + 4, car.y);
        put_be32(w + 8, car.angle);
        put_be32(w + 12, car.status);
        put_be32(w + 16, fuel);
    }
    if (send(fd, msg, sizeof msg, MSG_NOSIGNAL) != static_cast<ssize_t>(sizeof msg))
        _exit(3);
}

[[noreturn]] void server_main(int listen_fd, int window_pipe, int result_pipe)
{
    int fd = accept(listen_fd, nullptr, nullptr);
    if (fd < 0)
        _exit(2);
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    unsigned long window = 0;
    if (read(window_pipe, &window, sizeof window) != sizeof window)
        _exit(2);
    Display *dpy = XOpenDisplay(nullptr);
    if (!dpy)
        _exit(2);
    XSetInputFocus(dpy, window, RevertToParent, CurrentTime);
    XSync(dpy, False);
    KeyCode up = XKeysymToKeycode(dpy, XK_Up);
    fake_key_fn fake_key = load_fake_key();

    std::vector<int64_t> injected;
    std::vector<double> key_delays;
    size_t matched = 0;
    bool pressed = false;
    int64_t start = now_us();
    int64_t next_send = start;
    int64_t next_key = start + 500000 + 3000;
    int32_t seq = 0;
    unsigned char in[64];
    int in_len = 0;
    for (;;) {
        int64_t t = now_us();
        if (t >= next_send) {
            send_positions(fd, seq++, static_cast<int>((t - start) / SEND_PERIOD_US));
            next_send += SEND_PERIOD_US;
            continue;
        }
        if (fake_key && t >= next_key) {
            // The time is taken before the event leaves: the X server and the client
            // may well handle it before this process runs again.
            pressed = !pressed;
            injected.push_back(now_us());
            fake_key(dpy, up, pressed ? True : False, CurrentTime);
            XFlush(dpy);
            next_key += KEY_PERIOD_US;
            continue;
        }
        int64_t wait = (fake_key ? std::min(next_send, next_key) : next_send) - t;
        pollfd p = {fd, POLLIN, 0};
        int r = poll(&p, 1, static_cast<int>((wait + 999) / 1000));
        if (r <= 0)
            continue;
        ssize_t n = recv(fd, in + in_len, sizeof in - in_len, 0);
        int64_t arrived = now_us();
        if (n <= 0)
            break;  // the client left
        in_len += static_cast<int>(n);
        while (in_len >= KEYS_MSG_SIZE) {
            if (matched < injected.size()) {
                key_delays.push_back((arrived - injected[matched]) / 1000.0);
                matched++;
            }
            memmove(in, in + KEYS_MSG_SIZE, in_len - KEYS_MSG_SIZE);
            in_len -= KEYS_MSG_SIZE;
        }
    }
    if (pressed) {
        fake_key(dpy, up, False, CurrentTime);
        XFlush(dpy);
    }
    key_result kr{static_cast<int>(key_delays.size()), percentile(key_delays, 0.5),
                  percentile(key_delays, 0.95), percentile(key_delays, 1.0),
                  static_cast<long>(seq)};
    if (write(result_pipe, &kr, sizeof kr) != sizeof kr)
        _exit(4);
    _exit(0);
}

// ---- The client under test ----

struct run_result {
    double ticks_per_s;
    double handled_per_s;
    double delay_median_ms, delay_p95_ms, delay_end_ms;
    long backlog;
    double cpu_percent;
    double xserver_percent;
    key_result keys;
    bool sound;
};

bool play_frames;
double measure_s;
int window_w = 450;
int window_h = 350;
int window_pipe_w = -1;
int64_t t_start, t_end;
long ticks_total, ticks_at_start, ticks_at_end;
double cpu_at_start, x_at_start, cpu_used, x_used;
std::vector<double> delays;
int32_t last_seq = -1;
message_handler real_playerinfo;

void timed_playerinfo()
{
    real_playerinfo();
    int64_t t = now_us();
    if (t < t_start || t_end == 0 || t > t_end)
        return;
    uint32_t sent = static_cast<uint32_t>(players[STAMP_CAR].fuel);
    delays.push_back(static_cast<uint32_t>(static_cast<uint32_t>(t) - sent) / 1000.0);
    last_seq = players[SEQ_CAR].fuel;
}

void counted_status_play()
{
    status_play();
    ticks_total++;
    int64_t t = now_us();
    if (ticks_at_start == 0 && t >= t_start) {
        ticks_at_start = ticks_total;
        cpu_at_start = cpu_s(CLOCK_PROCESS_CPUTIME_ID);
        x_at_start = xserver_cpu_s();
        t_end = t_start + static_cast<int64_t>(measure_s * 1e6);
    } else if (t_end != 0 && t >= t_end && ticks_at_end == 0) {
        ticks_at_end = ticks_total;
        cpu_used = cpu_s(CLOCK_PROCESS_CPUTIME_ID) - cpu_at_start;
        x_used = xserver_cpu_s() - x_at_start;
        glutLeaveMainLoop();
    }
}

void send_window_id_once()
{
    if (window_pipe_w < 0)
        return;
    unsigned long window = glXGetCurrentDrawable();
    if (write(window_pipe_w, &window, sizeof window) != sizeof window)
        _exit(5);
    close(window_pipe_w);
    window_pipe_w = -1;
}

void bench_display()
{
    if (play_frames) {
        display_play();
    } else {
        glClear(GL_COLOR_BUFFER_BIT);
        glViewport(0, 0, win_w, win_h);
        glutSwapBuffers();
    }
    send_window_id_once();
}

run_result client_main(bool play, double seconds)
{
    play_frames = play;
    measure_s = seconds;
    int listen_fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (bind(listen_fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 ||
        listen(listen_fd, 1) != 0 ||
        getsockname(listen_fd, reinterpret_cast<sockaddr *>(&addr), &len) != 0) {
        perror("listen");
        _exit(6);
    }
    int window_pipe[2], result_pipe[2];
    if (pipe(window_pipe) != 0 || pipe(result_pipe) != 0)
        _exit(6);
    pid_t server = fork();
    if (server == 0) {
        close(window_pipe[1]);
        close(result_pipe[0]);
        server_main(listen_fd, window_pipe[0], result_pipe[1]);
    }
    close(window_pipe[0]);
    close(result_pipe[1]);
    close(listen_fd);
    window_pipe_w = window_pipe[1];

    sock = socket(AF_INET, SOCK_STREAM, 0);
    if (connect(sock, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
        perror("connect");
        _exit(6);
    }
    build_busy_model();
    install_handlers();
    real_playerinfo = tag_handlers[TAG_PLAYERINFO];
    tag_handlers[TAG_PLAYERINFO] = timed_playerinfo;
    status_handlers[GS_PLAY] = counted_status_play;

    // The window and callbacks as the client's start-up sets them.
    int argc = 1;
    char arg0[] = "perf_tick";
    char *argv[] = {arg0, nullptr};
    glutInit(&argc, argv);
    glutInitDisplayMode(GLUT_DOUBLE | GLUT_RGB);
    glutInitWindowSize(window_w, window_h);
    glutCreateWindow(play ? "perf_tick play" : "perf_tick empty");
    glutSetOption(GLUT_ACTION_ON_WINDOW_CLOSE, GLUT_ACTION_GLUTMAINLOOP_RETURNS);
    window_open = true;
    select_screen(display_play);
    glutDisplayFunc(bench_display);
    glutTimerFunc(TICK_MS, tick, 0);
    glutKeyboardFunc(key_down);
    glutKeyboardUpFunc(key_up);
    glutSpecialFunc(special_down);
    glutSpecialUpFunc(special_up);
    glutIgnoreKeyRepeat(1);
    glClearColor(0.0f, 0.0f, 0.3f, 0.0f);
    glutReshapeFunc(reshape);
    // Sound as the client starts it (MAZECAR_AUDIO=off, ALSOFT_DRIVERS=null, ...); each
    // run is its own process, so the mixing thread is its own too.
    sound_init();
    t_start = now_us() + static_cast<int64_t>(WARMUP_S * 1e6);
    glutMainLoop();

    run_result r{};
    long ticks = ticks_at_end - ticks_at_start;
    r.ticks_per_s = ticks / seconds;
    r.handled_per_s = delays.size() / seconds;
    r.delay_median_ms = percentile(delays, 0.5);
    r.delay_p95_ms = percentile(delays, 0.95);
    r.delay_end_ms = delays.empty() ? 0 : delays.back();
    r.cpu_percent = 100.0 * cpu_used / seconds;
    r.xserver_percent = x_used >= 0 ? 100.0 * x_used / seconds : -1;
    r.sound = sound_running();
    shutdown(sock, SHUT_RDWR);
    close(sock);
    if (read(result_pipe[0], &r.keys, sizeof r.keys) != sizeof r.keys)
        r.keys = key_result{};
    waitpid(server, nullptr, 0);
    r.backlog = r.keys.sent - 1 - last_seq;
    return r;
}

}  // namespace

int main(int argc, char **argv)
{
    if (!getenv("DISPLAY")) {
        fprintf(stderr, "no X display: run under xvfb-run -a -s \"-screen 0 1920x1440x24\"\n");
        return 1;
    }
    double seconds = argc > 1 ? atof(argv[1]) : 10.0;
    int rounds = argc > 2 ? atoi(argv[2]) : 2;
    if (seconds <= 0)
        seconds = 10.0;
    if (rounds < 1)
        rounds = 1;
    if (argc > 3 && atoi(argv[3]) >= 90) {
        window_w = atoi(argv[3]);
        window_h = window_w * 7 / 9;
    }
    printf("Tick loop at %d x %d, %.0f s per run after %.0f s warm-up; server sends one message "
           "per 10 ms\n\n",
           window_w, window_h, seconds, WARMUP_S);
    printf("| frames | ticks/s | handled/s | msg delay median / p95 / last (ms) | backlog | "
           "client CPU | X server CPU | key-to-wire median / p95 / max (ms) | sound |\n");
    printf("|--------|---------|-----------|-----------------------------------|---------|"
           "------------|--------------|--------------------------------------|-------|\n");
    fflush(stdout);
    for (int round = 0; round < rounds; round++) {
        for (int play = 0; play < 2; play++) {
            int fds[2];
            if (pipe(fds) != 0)
                return 1;
            pid_t child = fork();
            if (child == 0) {
                close(fds[0]);
                run_result r = client_main(play != 0, seconds);
                if (write(fds[1], &r, sizeof r) != sizeof r)
                    _exit(7);
                _exit(0);
            }
            close(fds[1]);
            run_result r{};
            bool got = read(fds[0], &r, sizeof r) == sizeof r;
            close(fds[0]);
            waitpid(child, nullptr, 0);
            if (!got) {
                printf("| %-6s | run failed |\n", play ? "play" : "empty");
                continue;
            }
            printf("| %-6s | %7.2f | %9.2f | %9.2f / %7.2f / %7.2f   | %7ld | %9.1f%% | %11.1f%% | "
                   "%3d keys: %5.2f / %5.2f / %5.2f | %-5s |\n",
                   play ? "play" : "empty", r.ticks_per_s, r.handled_per_s, r.delay_median_ms,
                   r.delay_p95_ms, r.delay_end_ms, r.backlog, r.cpu_percent, r.xserver_percent,
                   r.keys.count, r.keys.median_ms, r.keys.p95_ms, r.keys.max_ms,
                   r.sound ? "on" : "off");
            fflush(stdout);
        }
    }
    return 0;
}
