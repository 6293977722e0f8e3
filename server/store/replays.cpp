// Results of kept games, and their verification against the games played again.
#include "store/replays.h"

#include <chrono>
#include <functional>

#include "game/placement.h"
#include "game/replay.h"
#include "store/pg_records.h"

namespace {

void differ(std::string &out, const std::string &what, long long kept, long long replayed)
{
    if (kept == replayed)
        return;
    out += (out.empty() ? "" : "; ") + what + " kept " + std::to_string(kept) + ", replayed " +
           std::to_string(replayed);
}

void differ_players(std::string &out, const game_record &a, const game_record &b)
{
    differ(out, "players", static_cast<long long>(a.players.size()),
           static_cast<long long>(b.players.size()));
    for (size_t i = 0; i < a.players.size() && i < b.players.size(); i++) {
        const player_record &p = a.players[i], &q = b.players[i];
        std::string who = "player " + std::to_string(i + 1) + " (" + escape_name(p.name) + ")";
        differ(out, who + " place", p.place, q.place);
        if (p.name != q.name)
            out += (out.empty() ? "" : "; ") + who + " replayed as " + escape_name(q.name);
        differ(out, who + " score", p.score, q.score);
        differ(out, who + " flags", p.flags, q.flags);
        differ(out, who + " rounds won", p.wins, q.wins);
        differ(out, who + " finished", p.finished, q.finished);
    }
}

}  // namespace

std::string result_differences(const game_record &kept, const game_record &replayed)
{
    std::string out;
    differ(out, "rounds played", kept.rounds_played, replayed.rounds_played);
    differ(out, "abandoned", kept.abandoned, replayed.abandoned);
    differ_players(out, kept, replayed);
    differ(out, "rounds noted", static_cast<long long>(kept.rounds.size()),
           static_cast<long long>(replayed.rounds.size()));
    for (size_t i = 0; i < kept.rounds.size() && i < replayed.rounds.size(); i++) {
        const round_record &r = kept.rounds[i], &q = replayed.rounds[i];
        std::string what = "round " + std::to_string(r.number);
        differ(out, what + " number", r.number, q.number);
        differ(out, what + " winner's place", r.winner_place, q.winner_place);
        differ(out, what + " flags", r.flags, q.flags);
    }
    return out;
}

bool replay_result(const std::string &replay, game_record &rec, std::string &why)
{
    replay_reader r;
    if (!r.open(replay)) {
        why = r.why;
        return false;
    }
    while (r.next())
        r.g->out.clear();
    if (!r.why.empty()) {
        why = r.why;
        return false;
    }
    note_result(*r.g, rec);
    // A game kept with its final result was waiting for its record; any other was left.
    rec.abandoned = r.g->phase != PH_RECORDING;
    return true;
}

namespace {

struct tally {
    int played = 0, differ = 0, bare = 0;
};

// Reads one kept game whole; false with why when it cannot.
using game_reader = std::function<bool(int64_t id, game_record &rec, std::string &why)>;

void verify_one(const game_reader &read, int64_t id, tally &t, FILE *out)
{
    game_record kept, replayed;
    std::string why;
    if (!read(id, kept, why)) {
        t.played++;
        t.differ++;
        fprintf(out, "game %lld: cannot be read: %s\n", static_cast<long long>(id), why.c_str());
        return;
    }
    if (kept.replay.empty()) {
        t.bare++;
        return;
    }
    t.played++;
    if (!replay_result(kept.replay, replayed, why))
        why = "the replay cannot be played: " + why;
    else
        why = result_differences(kept, replayed);
    if (!why.empty()) {
        fprintf(out, "game %lld: %s\n", static_cast<long long>(id), why.c_str());
        t.differ++;
    }
}

int verify_all(const std::vector<int64_t> &ids, const game_reader &read, FILE *out)
{
    auto t0 = std::chrono::steady_clock::now();
    tally t;
    for (int64_t id : ids)
        verify_one(read, id, t, out);
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    fprintf(out,
            "%d games played again in %.1f s (%.1f a second): %d as kept, %d not; %d kept "
            "without a replay\n",
            t.played, seconds, seconds > 0 ? t.played / seconds : 0.0, t.played - t.differ,
            t.differ, t.bare);
    return t.differ == 0 ? 0 : 1;
}

// The fleet's games in PostgreSQL, read without changing anything.
int verify_pg(const std::string &uri, FILE *out)
{
    std::string why;
    pg_link link(uri);
    std::vector<int64_t> ids;
    if (!pg_uri_valid(uri, why) || !link.connect(true) || !pg_game_ids(link, ids)) {
        fprintf(stderr, "mazecar-server: records database %s: %s\n", pg_display(uri).c_str(),
                why.empty() ? link.error().c_str() : why.c_str());
        return 1;
    }
    return verify_all(
        ids,
        [&link](int64_t id, game_record &rec, std::string &err) {
            bool found = false;
            bool ok = pg_read_game(link, id, rec, found) && found;
            err = found ? link.error() : "gone meanwhile";
            return ok;
        },
        out);
}

}  // namespace

int verify_replays(const std::string &path, FILE *out)
{
    if (is_postgres_uri(path.c_str()))
        return verify_pg(path, out);
    std::unique_ptr<record_store> store = open_store_to_read(path);
    if (!store)
        return 1;
    std::vector<int64_t> ids = store->game_ids();
    if (!store->read_error().empty()) {
        fprintf(stderr, "mazecar-server: %s\n", store->read_error().c_str());
        return 1;
    }
    return verify_all(
        ids,
        [&store](int64_t id, game_record &rec, std::string &err) {
            bool ok = store->read_game(id, rec);
            err = store->read_error().empty() ? "gone meanwhile" : store->read_error();
            return ok;
        },
        out);
}
