// Small helpers over SQLite's C interface shared by the records store and its spool:
// a prepared statement that finalizes itself, running plain SQL, and reading a kept
// game back whole.
#pragma once

#include <cstdint>
#include <sqlite3.h>
#include <string>

struct statement {
    sqlite3_stmt *s = nullptr;
    statement(sqlite3 *db, const char *sql) { sqlite3_prepare_v2(db, sql, -1, &s, nullptr); }
    ~statement() { sqlite3_finalize(s); }
    statement(const statement &) = delete;
    statement &operator=(const statement &) = delete;
    bool ok() const { return s != nullptr; }
    void blob(int i, const std::string &v)
    {
        sqlite3_bind_blob(s, i, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
    }
    void integer(int i, int64_t v) { sqlite3_bind_int64(s, i, v); }
    std::string column_bytes(int i)
    {
        const void *p = sqlite3_column_blob(s, i);
        int n = sqlite3_column_bytes(s, i);
        return p && n > 0 ? std::string(static_cast<const char *>(p), static_cast<size_t>(n))
                          : std::string();
    }
    int64_t column_int(int i) { return sqlite3_column_int64(s, i); }
};

inline bool exec(sqlite3 *db, const char *sql)
{
    return sqlite3_exec(db, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
}

struct game_record;
// The kept game `id` whole, with its players in place order, its rounds and its replay;
// found is false (and the read good) when the store holds no such game.
bool query_kept_game(sqlite3 *db, int64_t id, game_record &rec, bool &found);
