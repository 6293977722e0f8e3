// Kept games read back whole from PostgreSQL, with their replays: for watching a game
// again and for --verify-replays.
#include "store/pg_records.h"

namespace {

bool read_players(pg_link &link, int64_t id, std::vector<player_record> &out)
{
    pg_rows rows;
    if (!link.run("SELECT name, place, score, flags, wins, finished FROM players"
                  " WHERE game_id = $1 ORDER BY place",
                  pg_params().num(id), &rows))
        return false;
    auto n = [&rows](int i, int col) { return static_cast<int>(rows.num(i, col)); };
    for (int i = 0; i < rows.count(); i++)
        out.push_back(
            player_record{rows.bytes(i, 0), n(i, 1), n(i, 2), n(i, 3), n(i, 4), n(i, 5) != 0});
    return true;
}

bool read_rounds(pg_link &link, int64_t id, std::vector<round_record> &out)
{
    pg_rows rows;
    if (!link.run("SELECT number, winner_place, winner_name, flags FROM rounds"
                  " WHERE game_id = $1 ORDER BY number",
                  pg_params().num(id), &rows))
        return false;
    for (int i = 0; i < rows.count(); i++)
        out.push_back(round_record{static_cast<int>(rows.num(i, 0)),
                                   rows.null(i, 1) ? -1 : static_cast<int>(rows.num(i, 1)),
                                   rows.bytes(i, 2), static_cast<int>(rows.num(i, 3))});
    return true;
}

// A database of the first schema, read without migrating it, has no replays.
bool read_replay(pg_link &link, int64_t id, game_record &rec)
{
    pg_rows has, rows;
    if (!link.run("SELECT to_regclass('replays') IS NOT NULL", pg_params(), &has))
        return false;
    if (has.num(0, 0) == 0)
        return true;
    if (!link.run("SELECT steps, inputs FROM replays WHERE game_id = $1", pg_params().num(id),
                  &rows))
        return false;
    if (rows.count() > 0) {
        rec.replay_steps = static_cast<long>(rows.num(0, 0));
        rec.replay = rows.bytes(0, 1);
    }
    return true;
}

}  // namespace

bool pg_read_game(pg_link &link, int64_t id, game_record &rec, bool &found)
{
    found = false;
    pg_rows g;
    if (!link.run("SELECT uid, started_ms, ended_ms, seed, rounds_played, places, enemies, room,"
                  " abandoned FROM games WHERE id = $1",
                  pg_params().num(id), &g))
        return false;
    if (g.count() == 0)
        return true;
    rec = game_record{};
    rec.uid = g.bytes(0, 0);
    rec.started_ms = g.num(0, 1);
    rec.ended_ms = g.num(0, 2);
    rec.seed = static_cast<uint32_t>(g.num(0, 3));
    rec.rounds_played = static_cast<int>(g.num(0, 4));
    rec.places = static_cast<int>(g.num(0, 5));
    rec.enemies = static_cast<int>(g.num(0, 6));
    rec.room = g.bytes(0, 7);
    rec.abandoned = g.num(0, 8) != 0;
    found = true;
    return read_players(link, id, rec.players) && read_rounds(link, id, rec.rounds) &&
           read_replay(link, id, rec);
}

bool pg_game_ids(pg_link &link, std::vector<int64_t> &ids)
{
    pg_rows rows;
    if (!link.run("SELECT id FROM games ORDER BY id", pg_params(), &rows))
        return false;
    for (int i = 0; i < rows.count(); i++)
        ids.push_back(rows.num(i, 0));
    return true;
}
