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

bool spool_reader::oldest(game_record &rec, int64_t &id)
{
    error_.clear();
    std::string uid;
    {
        statement st(db_, "SELECT game_id, uid FROM spooled ORDER BY game_id LIMIT 1");
        if (!st.ok())
            return failed("read");
        int rc = sqlite3_step(st.s);
        if (rc == SQLITE_DONE)
            return false;
        if (rc != SQLITE_ROW)
            return failed("read");
        id = st.column_int(0);
        uid = st.column_bytes(1);
    }
    rec = game_record{};
    bool found = false;
    if (!query_kept_game(db_, id, rec, found) || !found)
        return failed("read");
    rec.uid = uid;
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
