// The records store's cost on this disk: time from submit() to the completion of one
// game (the commit with synchronous=FULL, then the hall-of-fame refresh), which is how
// long a game's final result waits; and the caller's cost of submit() itself.
// Usage: perf_records [DIRECTORY] [GAMES]   (default: a new directory under the
// current one, 200 games). The directory must be on the disk to measure (not tmpfs).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "sample_game.h"
#include "store/records.h"

namespace {

using clock_type = std::chrono::steady_clock;

double percentile(std::vector<double> v, double q)
{
    std::sort(v.begin(), v.end());
    size_t k = static_cast<size_t>(q * static_cast<double>(v.size() - 1) + 0.5);
    return v[k];
}

}  // namespace

int main(int argc, char **argv)
{
    std::string dir = argc > 1 ? argv[1] : "";
    int games = argc > 2 ? atoi(argv[2]) : 200;
    if (games < 1 || games > 100000) {
        fprintf(stderr, "perf_records: GAMES must be 1 .. 100000\n");
        return 2;
    }
    bool own_dir = dir.empty();
    if (own_dir) {
        char templ[] = "perf_records.XXXXXX";
        if (!mkdtemp(templ)) {
            perror("perf_records: mkdtemp");
            return 1;
        }
        dir = templ;
    }
    std::string error, path = dir + "/records.db";
    auto store = record_store::open(path, error);
    if (!store) {
        fprintf(stderr, "perf_records: %s\n", error.c_str());
        return 1;
    }
    std::vector<double> commit_ms, submit_us;
    std::vector<std::pair<uint64_t, bool>> done;
    for (int i = 0; i < games; i++) {
        game_record g = four_player_game(i);
        auto start = clock_type::now();
        store->submit(static_cast<uint64_t>(i), std::move(g));
        auto queued = clock_type::now();
        done.clear();
        while (done.empty()) {
            store->take_completions(done);
            if (done.empty())
                std::this_thread::sleep_for(std::chrono::microseconds(50));
        }
        auto end = clock_type::now();
        submit_us.push_back(std::chrono::duration<double, std::micro>(queued - start).count());
        commit_ms.push_back(std::chrono::duration<double, std::milli>(end - start).count());
    }
    store.reset();
    printf("records store in %s, %d games of 4 players and 3 rounds, synchronous=FULL, WAL\n",
           dir.c_str(), games);
    printf("submit to completion: p50 %.2f ms, p99 %.2f ms, max %.2f ms\n",
           percentile(commit_ms, 0.5), percentile(commit_ms, 0.99), percentile(commit_ms, 1.0));
    printf("submit() in the caller: p50 %.1f us, p99 %.1f us, max %.1f us\n",
           percentile(submit_us, 0.5), percentile(submit_us, 0.99), percentile(submit_us, 1.0));
    if (own_dir)
        std::filesystem::remove_all(dir);
    return 0;
}
