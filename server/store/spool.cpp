// The spool's table of waiting games, and reading a waiting game back whole.
#include "store/spool.h"

#include "store/sqlite_statement.h"

bool spool_prepare(sqlite3 *db, std::string &why)
{
    if (exec(db, "CREATE TABLE IF NOT EXISTS spooled ("
                 "  game_id INTEGER PRIMARY KEY REFERENCES games(id) ON DELETE CASCADE,"
                 "  uid BLOB NOT NULL UNIQUE)"))
        return true;
    why = std::string("cannot make the spool's table: ") + sqlite3_errmsg(db);
    return false;
}

bool spool_mark(sqlite3 *db, int64_t game_id, const std::string &uid)
{
    if (uid.empty())
        return false;
    statement st(db, "INSERT INTO spooled (game_id, uid) VALUES (?1, ?2)");
    if (!st.ok())
        return false;
    st.integer(1, game_id);
    st.blob(2, uid);
    return sqlite3_step(st.s) == SQLITE_DONE;
}

std::unique_ptr<spool_reader> spool_reader::open(const std::string &path, std::string &error)
{
    std::unique_ptr<spool_reader> r(new spool_reader());
    r->path_ = path;
    if (sqlite3_open_v2(path.c_str(), &r->db_, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK ||
        !exec(r->db_, "PRAGMA foreign_keys=ON")) {
        error = "spool " + path + ": cannot open: " + sqlite3_errmsg(r->db_);
        return nullptr;
    }
    sqlite3_busy_timeout(r->db_, RECORDS_BUSY_MS);
    return r;
}

spool_reader::~spool_reader()
{
    sqlite3_close_v2(db_);
}

bool spool_reader::failed(const char *what)
{
    error_ = "spool " + path_ + ": cannot " + what + ": " + sqlite3_errmsg(db_);
    return false;
}

int64_t spool_reader::count()
{
    statement st(db_, "SELECT count(*) FROM spooled");
    if (!st.ok() || sqlite3_step(st.s) != SQLITE_ROW) {
        failed("count");
        return -1;
    }
    return st.column_int(0);
}

namespace {

bool read_players(sqlite3 *db, int64_t id, std::vector<player_record> &out)
{
    statement st(db, "SELECT name, place, score, flags, wins, finished FROM players"
                     " WHERE game_id = ?1 ORDER BY place");
    if (!st.ok())
        return false;
    st.integer(1, id);
    int rc;
    while ((rc = sqlite3_step(st.s)) == SQLITE_ROW)
        out.push_back(player_record{st.column_bytes(0), static_cast<int>(st.column_int(1)),
                                    static_cast<int>(st.column_int(2)),
                                    static_cast<int>(st.column_int(3)),
                                    static_cast<int>(st.column_int(4)), st.column_int(5) != 0});
    return rc == SQLITE_DONE;
}

bool read_rounds(sqlite3 *db, int64_t id, std::vector<round_record> &out)
{
    statement st(db, "SELECT number, coalesce(winner_place, -1), coalesce(winner_name, ''),"
                     " flags FROM rounds WHERE game_id = ?1 ORDER BY number");
    if (!st.ok())
        return false;
    st.integer(1, id);
    int rc;
    while ((rc = sqlite3_step(st.s)) == SQLITE_ROW)
        out.push_back(round_record{static_cast<int>(st.column_int(0)),
                                   static_cast<int>(st.column_int(1)), st.column_bytes(2),
                                   static_cast<int>(st.column_int(3))});
    return rc == SQLITE_DONE;
}

// The spool's schema is always the current one: its games keep their replays.
bool read_replay(sqlite3 *db, int64_t id, game_record &rec)
{
    statement st(db, "SELECT steps, inputs FROM replays WHERE game_id = ?1");
    if (!st.ok())
        return false;
    st.integer(1, id);
    int rc = sqlite3_step(st.s);
    if (rc == SQLITE_ROW) {
        rec.replay_steps = static_cast<long>(st.column_int(0));
        rec.replay = st.column_bytes(1);
    }
    return rc == SQLITE_ROW || rc == SQLITE_DONE;
}

}  // namespace

bool spool_reader::oldest(game_record &rec, int64_t &id)
{
    error_.clear();
    statement st(db_, "SELECT g.id, s.uid, g.started_ms, g.ended_ms, g.seed, g.rounds_played,"
                      " g.places, g.enemies, g.room, g.abandoned FROM spooled s"
                      " JOIN games g ON g.id = s.game_id ORDER BY g.id LIMIT 1");
    if (!st.ok())
        return failed("read");
    int rc = sqlite3_step(st.s);
    if (rc == SQLITE_DONE)
        return false;
    if (rc != SQLITE_ROW)
        return failed("read");
    rec = game_record{};
    id = st.column_int(0);
    rec.uid = st.column_bytes(1);
    rec.started_ms = st.column_int(2);
    rec.ended_ms = st.column_int(3);
    rec.seed = static_cast<uint32_t>(st.column_int(4));
    rec.rounds_played = static_cast<int>(st.column_int(5));
    rec.places = static_cast<int>(st.column_int(6));
    rec.enemies = static_cast<int>(st.column_int(7));
    rec.room = st.column_bytes(8);
    rec.abandoned = st.column_int(9) != 0;
    if (!read_players(db_, id, rec.players) || !read_rounds(db_, id, rec.rounds) ||
        !read_replay(db_, id, rec))
        return failed("read");
    return true;
}

bool spool_reader::forget(int64_t id)
{
    statement st(db_, "DELETE FROM games WHERE id = ?1");
    if (!st.ok())
        return failed("delete");
    st.integer(1, id);
    return sqlite3_step(st.s) == SQLITE_DONE || failed("delete");
}
