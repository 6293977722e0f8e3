// Cost of sound on the tick: the time sound_watch_before + sound_watch_after take
// when nothing happens and when every tick starts a sound, with the device the
// environment gives (ALSOFT_DRIVERS=null mixes without playing), and the CPU time of
// the library's threads meanwhile.
// Usage: perf_sound [TICKS [SECONDS]]   (default 20000 calls of each kind, 10 s paced)
#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "game/model.h"
#include "sound/sound.h"

namespace {

double now_ns()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) * 1e9 + static_cast<double>(ts.tv_nsec);
}

// CPU seconds of this process's threads other than the main one: here only the
// audio library's (its mixer and its event thread).
double library_threads_cpu_s()
{
    double total = 0;
    DIR *tasks = opendir("/proc/self/task");
    if (!tasks)
        return -1;
    std::string self = std::to_string(getpid());
    while (dirent *e = readdir(tasks)) {
        if (e->d_name[0] == '.' || self == e->d_name)
            continue;
        char stat[1024] = "";
        std::string path = std::string("/proc/self/task/") + e->d_name + "/stat";
        if (FILE *f = fopen(path.c_str(), "r")) {
            size_t n = fread(stat, 1, sizeof stat - 1, f);
            stat[n] = '\0';
            fclose(f);
        }
        const char *p = strrchr(stat, ')');
        unsigned long utime = 0, stime = 0;
        if (p && sscanf(p + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu", &utime,
                        &stime) == 2)
            total += static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
    }
    closedir(tasks);
    return total;
}

void report(const char *what, std::vector<double> &ns)
{
    std::sort(ns.begin(), ns.end());
    auto at = [&](double p) {
        return ns[static_cast<size_t>(p * static_cast<double>(ns.size() - 1))] / 1000.0;
    };
    printf("| %-38s | %7zu | %6.2f | %6.2f | %7.2f | %7.2f |\n", what, ns.size(), at(0.5), at(0.99),
           at(0.999), at(1.0));
}

// One tick's worth of sound work around a model change; returns its time in ns.
double one_tick(bool event)
{
    double t0 = now_ns();
    sound_watch_before();
    if (event)  // a new number of the countdown: one sound starts
        status_count = status_count == 3 ? 2 : 3;
    sound_watch_after();
    return now_ns() - t0;
}

// Library CPU (% of one core) over seconds of ticks at the client's 10 ms pace; when
// driving, the own car moves every tick, so the engine note plays throughout.
double paced_library_cpu(double seconds, bool driving)
{
    game_status = driving ? GS_PLAY : GS_LOBBY;
    double cpu0 = library_threads_cpu_s(), wall0 = now_ns();
    while (now_ns() - wall0 < seconds * 1e9) {
        sound_watch_before();
        if (driving)
            me->x = me->x == 100 ? 104 : 100;
        sound_watch_after();
        struct timespec pause = {0, 10000000};
        nanosleep(&pause, nullptr);
    }
    return 100.0 * (library_threads_cpu_s() - cpu0) / ((now_ns() - wall0) / 1e9);
}

}  // namespace

int main(int argc, char **argv)
{
    int ticks = argc > 1 ? atoi(argv[1]) : 20000;
    double seconds = argc > 2 ? atof(argv[2]) : 10.0;
    if (ticks < 100)
        ticks = 100;
    if (seconds < 1)
        seconds = 1;
    sound_init();
    if (!sound_running()) {
        printf("sound is off: nothing to measure\n");
        return 0;
    }
    me->status = PS_DRIVE;
    me->fuel = FUEL_FULL;
    double idle = paced_library_cpu(seconds, false);
    double engine = paced_library_cpu(seconds, true);
    game_status = GS_READY;
    status_count = 3;
    std::vector<double> quiet, starting;
    quiet.reserve(static_cast<size_t>(ticks));
    starting.reserve(static_cast<size_t>(ticks));
    double mixer0 = library_threads_cpu_s(), wall0 = now_ns();
    // Ticks at the client's pace would take minutes; the calls come back to back,
    // interleaved, so the mixer is busy with up to six sounds throughout.
    for (int i = 0; i < ticks; i++) {
        quiet.push_back(one_tick(false));
        starting.push_back(one_tick(true));
        struct timespec pause = {0, 100000};  // 0.1 ms: let the mixer run between
        nanosleep(&pause, nullptr);
    }
    double mixer_s = library_threads_cpu_s() - mixer0;
    double wall_s = (now_ns() - wall0) / 1e9;
    printf("| tick's sound work | calls | median µs | p99 µs | p99.9 µs | max µs |\n");
    printf("|---|---|---|---|---|---|\n");
    report("nothing happened", quiet);
    report("a sound starts (rewind, buffer, play)", starting);
    printf("\naudio library threads, %% of one core: %.2f idle, %.2f with the engine note, "
           "%.2f with six voices busy (%.0f s, %.0f s, %.1f s)\n",
           idle, engine, 100.0 * mixer_s / wall_s, seconds, seconds, wall_s);
    return 0;
}
