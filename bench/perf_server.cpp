// The game server's cost: CPU time of one game step with 8 cars (4 players driving
// through the maze, 4 enemies chasing them) and the messages and bytes each client is
// sent per second, from the server's game core in this process (no sockets).
// Usage: perf_server [SECONDS_OF_PLAY [replay]]   (default 60 s of game time; "replay":
// the game records its replay, whose size is printed too)
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <vector>

#include "game/game.h"

namespace {

constexpr int HUMANS = 4;
constexpr int ENEMIES = 4;

double thread_cpu_us()
{
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return ts.tv_sec * 1e6 + ts.tv_nsec / 1e3;
}

// Messages and bytes the outbox holds for one human slot; the outbox is emptied.
void drain_outbox(game &g, long *messages, long *bytes)
{
    for (const outbox::entry &e : g.out.msgs) {
        if (e.slot == TO_ALL || e.slot == 0) {
            (*messages)++;
            *bytes += e.len;
        }
    }
    g.out.clear();
}

// Each player holds one arrow key, a different one every second.
void steer(game &g, int tick)
{
    static const int arrows[] = {KEY_UP, KEY_LEFT, KEY_DOWN, KEY_RIGHT};
    for (int slot = 0; slot < HUMANS; slot++)
        g.keys(slot, arrows[(tick / TICK_HZ + slot) % 4]);
}

double percentile(std::vector<double> v, double p)
{
    std::sort(v.begin(), v.end());
    return v[static_cast<size_t>(p * (v.size() - 1) + 0.5)];
}

}  // namespace

int main(int argc, char **argv)
{
    int seconds = argc > 1 ? atoi(argv[1]) : 60;
    if (seconds < 1)
        seconds = 60;
    game_config config{HUMANS, ENEMIES, 3, 1, 30, 12345u, TICK_HZ, false};
    game g(config);
    bool replay = argc > 2 && !strcmp(argv[2], "replay");
    g.record_replays(replay ? 1 << 20 : 0);
    long messages = 0, bytes = 0;
    for (int slot = 0; slot < HUMANS; slot++) {
        char name[NAME_BYTES];
        snprintf(name, sizeof name, "player %c", static_cast<char>('1' + slot));
        g.join(slot, name);
        g.keys(slot, KEY_SPACE);
        g.keys(slot, 0);
    }
    int ticks_to_play = 0;
    while (g.phase != PH_PLAY && ticks_to_play < 100 * TICK_HZ) {
        g.step();
        drain_outbox(g, &messages, &bytes);
        ticks_to_play++;
    }
    if (g.phase != PH_PLAY) {
        fprintf(stderr, "the game never started\n");
        return 1;
    }

    messages = bytes = 0;
    std::vector<double> step_us;
    int steps = seconds * TICK_HZ;
    int play_steps = 0;
    for (int t = 0; t < steps; t++) {
        steer(g, t);
        double c0 = thread_cpu_us();
        g.step();
        double c1 = thread_cpu_us();
        step_us.push_back(c1 - c0);
        play_steps += g.phase == PH_PLAY;
        drain_outbox(g, &messages, &bytes);
    }
    double total = 0;
    for (double us : step_us)
        total += us;
    printf("Server game core, %d cars (%d players, %d enemies), %d steps of 1/%d s "
           "(%d of them in play)\n\n",
           HUMANS + ENEMIES, HUMANS, ENEMIES, steps, TICK_HZ, play_steps);
    printf("| CPU per step: mean / median / p95 / max (µs) | CPU share at %d steps/s | "
           "messages/s per client | bytes/s per client |\n",
           TICK_HZ);
    printf("|----------------------------------------------|------------------------|"
           "-----------------------|--------------------|\n");
    printf("| %8.2f / %8.2f / %8.2f / %8.2f          | %21.3f%% | %21.1f | %18.0f |\n",
           total / steps, percentile(step_us, 0.5), percentile(step_us, 0.95),
           percentile(step_us, 1.0), 100.0 * total / steps * TICK_HZ / 1e6,
           static_cast<double>(messages) / seconds, static_cast<double>(bytes) / seconds);
    if (replay)
        printf("\nreplay: %zu bytes for %.1f game minutes\n", g.take_replay().size(),
               (steps + ticks_to_play) / (60.0 * TICK_HZ));
    return 0;
}
