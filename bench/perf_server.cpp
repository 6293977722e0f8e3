// The game server's cost: CPU time of one game step with 8 cars (4 players driving
// through the maze, 4 enemies chasing them) and the messages and bytes each client is
// sent per second, from the server's game core in this process (no sockets).
// Usage: perf_server [SECONDS_OF_PLAY]   (default 60 s of game time)
//        perf_server --many GAMES PLAYERS RIVALS [SECONDS]   many games at once
//        perf_server --contest GAMES                 how seeded games with rivals end
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

double mean(const std::vector<double> &v)
{
    double total = 0;
    for (double x : v)
        total += x;
    return v.empty() ? 0 : total / static_cast<double>(v.size());
}

// A game of players who each hold an arrow, a different one every second, checking
// in from `start` on and again whenever the game is back in its lobby; up to `rivals`
// rivals on the other places.
struct bench_game {
    game g;
    int people, start;
    bench_game(uint32_t seed, int players, int rivals, int start_tick)
        : g(config(seed, rivals)), people(players), start(start_tick)
    {
        for (int s = 0; s < people; s++)
            g.join(s, "player");
    }
    static game_config config(uint32_t seed, int rivals)
    {
        game_config c{4, 3, 3, 1, 10, seed, TICK_HZ, false};
        c.rivals = rivals;
        return c;
    }
    void play(int tick)
    {
        static const int arrows[] = {KEY_UP, KEY_LEFT, KEY_DOWN, KEY_RIGHT};
        if (tick < start)
            return;
        for (int s = 0; s < people; s++) {
            if (g.phase == PH_LOBBY && g.cars[s].status == PS_NONE)
                g.keys(s, tick % 2 ? KEY_SPACE : 0);
            else
                g.keys(s, arrows[(tick / TICK_HZ + s) % 4]);
        }
    }
};

// CPU time of one step of every game, as the server's loop takes them. The games
// start over the first 10 s, as players arrive at a server, and are measured from the
// 15th.
int run_many(int games, int people, int rivals, int seconds)
{
    std::vector<bench_game> all;
    all.reserve(static_cast<size_t>(games));
    for (int k = 0; k < games; k++)
        all.emplace_back(1000u + static_cast<uint32_t>(k), people, rivals,
                         k * 10 * TICK_HZ / games);
    std::vector<double> step_us;
    long in_play = 0, game_steps = 0;
    int warmup = 15 * TICK_HZ, steps = seconds * TICK_HZ;
    for (int t = 0; t < warmup + steps; t++) {
        double c0 = thread_cpu_us();
        for (bench_game &lg : all) {
            lg.play(t);
            lg.g.step();
            lg.g.out.clear();
        }
        double c1 = thread_cpu_us();
        if (t < warmup)
            continue;
        step_us.push_back(c1 - c0);
        for (const bench_game &lg : all)
            in_play += lg.g.phase == PH_PLAY;
        game_steps += games;
    }
    printf("| games | players, rivals, enemies a game | CPU per step of all games: mean / "
           "median / p95 / max (µs) | share of a core at %d steps/s | steps in play |\n",
           TICK_HZ);
    printf("|---|---|---|---|---|\n");
    printf("| %d | %d, %d, 3 | %.0f / %.0f / %.0f / %.0f | %.1f %% | %.1f %% |\n", games, people,
           rivals, mean(step_us), percentile(step_us, 0.5), percentile(step_us, 0.95),
           percentile(step_us, 1.0), 100.0 * mean(step_us) * TICK_HZ / 1e6,
           100.0 * static_cast<double>(in_play) / static_cast<double>(game_steps));
    return 0;
}

// Seeded games of the wandering player and three rivals, each played to its end: who
// wins the rounds, how many flags the rivals take and how often they burst.
int run_contest(int games)
{
    int places = 4, cleared = 0, over = 0, wins[4] = {0, 0, 0, 0};
    long rival_flags = 0, player_flags = 0, rival_bursts = 0, rock_bursts = 0, rival_ticks = 0,
         rival_puffs = 0;
    for (int k = 0; k < games; k++) {
        bench_game lg(1u + static_cast<uint32_t>(k), 1, places - 1, 0);
        game &g = lg.g;
        int prev_status[4] = {0, 0, 0, 0}, prev_keys[4] = {0, 0, 0, 0};
        bool started = false;
        for (int t = 0; t < 20 * 60 * TICK_HZ && !(started && g.phase == PH_LOBBY); t++) {
            started = started || g.phase != PH_LOBBY;
            lg.play(t);
            int before = g.phase;
            g.step();
            g.out.clear();
            if (before != PH_STAGE_CLEAR && g.phase == PH_STAGE_CLEAR) {
                cleared++;
                if (g.highlight >= 0)
                    wins[g.highlight]++;
            }
            over += before != PH_GAME_OVER && g.phase == PH_GAME_OVER;
            for (int s = 1; s < places; s++) {
                const car &r = g.cars[s];
                bool burst = r.status == PS_BURST && prev_status[s] != PS_BURST;
                rival_bursts += burst;
                rock_bursts += burst && g.field[r.y / CELL_SIZE][r.x / CELL_SIZE] == CELL_ROCK;
                rival_ticks += g.phase == PH_PLAY && g.cars[s].rival;
                rival_puffs += (g.cars[s].keys & ~prev_keys[s] & KEY_SPACE) != 0;
                prev_status[s] = g.cars[s].status;
                prev_keys[s] = g.cars[s].keys;
            }
            if (g.phase == PH_FINAL_RESULT || g.phase == PH_GAME_OVER) {
                player_flags += g.cars[0].flags_game;
                for (int s = 1; s < places; s++)
                    rival_flags += g.cars[s].flags_game;
                while (g.phase != PH_LOBBY) {
                    g.step();
                    g.out.clear();
                }
            }
        }
    }
    double rival_minutes = static_cast<double>(rival_ticks) / TICK_HZ / 60.0;
    printf("%d seeded games (seeds 1 .. %d) of 1 wandering player, 3 rivals, 3 enemies, 3 "
           "rounds of 10 flags\n\n",
           games, games);
    printf("| rounds cleared | games over early | rounds won by place 0 (player) / 1 / 2 / 3 | "
           "flags taken by rivals | rival flags a minute | rival bursts a minute (on a rock) | "
           "rival smoke presses a minute |\n");
    printf("|---|---|---|---|---|---|---|\n");
    printf("| %d | %d | %d / %d / %d / %d | %.1f %% | %.2f | %.2f (%ld) | %.2f |\n", cleared, over,
           wins[0], wins[1], wins[2], wins[3],
           100.0 * static_cast<double>(rival_flags) /
               static_cast<double>(rival_flags + player_flags > 0 ? rival_flags + player_flags : 1),
           static_cast<double>(rival_flags) / rival_minutes,
           static_cast<double>(rival_bursts) / rival_minutes, rock_bursts,
           static_cast<double>(rival_puffs) / rival_minutes);
    return 0;
}

int main(int argc, char **argv)
{
    if (argc >= 5 && !strcmp(argv[1], "--many"))
        return run_many(atoi(argv[2]), atoi(argv[3]), atoi(argv[4]), argc > 5 ? atoi(argv[5]) : 30);
    if (argc >= 3 && !strcmp(argv[1], "--contest"))
        return run_contest(atoi(argv[2]));
    int seconds = argc > 1 ? atoi(argv[1]) : 60;
    if (seconds < 1)
        seconds = 60;
    game_config config{HUMANS, ENEMIES, 3, 1, 30, 12345u, TICK_HZ, false};
    game g(config);
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
    return 0;
}
