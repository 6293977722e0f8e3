// The spool's two rates: games committed to it while the shared database is away (each
// a transaction with synchronous=FULL, as a game's final result waits for it), and
// games moved from it to PostgreSQL once the database is back.
// Usage: perf_spool URI [GAMES] [SPOOL]   (default 2000 games, a new file under the
// current directory, which must be on the disk to measure).
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <unistd.h>

#include "sample_game.h"
#include "store/pg_records.h"

namespace {

using clock_type = std::chrono::steady_clock;

double seconds_since(clock_type::time_point t0)
{
    return std::chrono::duration<double>(clock_type::now() - t0).count();
}

game_record spooled_game(int i, const std::string &run)
{
    game_record g = four_player_game(i);
    g.uid = run + std::to_string(i);
    return g;
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc < 2 || !is_postgres_uri(argv[1])) {
        fprintf(stderr, "usage: perf_spool postgresql://... [GAMES] [SPOOL]\n");
        return 2;
    }
    int games = argc > 2 ? atoi(argv[2]) : 2000;
    std::string path = argc > 3 ? argv[3] : "perf_spool." + std::to_string(getpid()) + ".db";
    std::string run = "perf" + std::to_string(getpid()) + "-", error;
    if (games < 1 || games > 1000000) {
        fprintf(stderr, "perf_spool: GAMES must be 1 .. 1000000\n");
        return 2;
    }
    {
        auto spool = record_store::open_spool(path, error);
        if (!spool) {
            fprintf(stderr, "perf_spool: %s\n", error.c_str());
            return 1;
        }
        auto t0 = clock_type::now();
        for (int i = 0; i < games; i++)
            if (!spool->write_now(spooled_game(i, run), error)) {
                fprintf(stderr, "perf_spool: %s\n", error.c_str());
                return 1;
            }
        double s = seconds_since(t0);
        printf("spooled %d games (4 players, 3 rounds each) in %.2f s: %.0f games/s\n", games, s,
               games / s);
    }
    auto t0 = clock_type::now();
    auto pg = pg_records::open(argv[1], path, error);
    if (!pg) {
        fprintf(stderr, "perf_spool: %s\n", error.c_str());
        return 1;
    }
    while (pg->spool_backlog() > 0 && seconds_since(t0) < 600)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    double s = seconds_since(t0);
    printf("moved %llu games to %s in %.2f s: %.0f games/s (%lld left)\n",
           static_cast<unsigned long long>(pg->moved()), pg->where().c_str(), s,
           static_cast<double>(pg->moved()) / s, static_cast<long long>(pg->spool_backlog()));
    pg.reset();
    for (const char *suffix : {"", "-wal", "-shm"})
        unlink((path + suffix).c_str());
    return 0;
}
