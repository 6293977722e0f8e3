// The records store: opening and migrating the SQLite file, the writer thread that
// commits one game per transaction, and the reads behind the hall of fame.
#include "store/records.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sqlite3.h>
#include <sys/stat.h>

#include "log.h"
#include "store/spool.h"
#include "store/sqlite_statement.h"

namespace {

// The schema, one step per version: step k takes a store from version k to k + 1.
// Version 1 kept games, players and rounds; version 2 tells an abandoned game from one
// that reached its final result and looks players up by name; version 3 keeps each
// game's replay (its start and inputs, game/replay.cpp) in a table of its own, so the
// lists of games never read it. Names and rooms are blobs: they hold whatever bytes
// the players sent, compared and returned unchanged.
const char *const schema_steps[RECORDS_SCHEMA_VERSION] = {
    "CREATE TABLE games ("
    "  id INTEGER PRIMARY KEY,"
    "  started_ms INTEGER NOT NULL,"
    "  ended_ms INTEGER NOT NULL,"
    "  seed INTEGER NOT NULL,"
    "  rounds_played INTEGER NOT NULL,"
    "  places INTEGER NOT NULL,"
    "  enemies INTEGER NOT NULL,"
    "  room BLOB NOT NULL);"
    "CREATE TABLE players ("
    "  game_id INTEGER NOT NULL REFERENCES games(id) ON DELETE CASCADE,"
    "  place INTEGER NOT NULL,"
    "  name BLOB NOT NULL,"
    "  score INTEGER NOT NULL,"
    "  flags INTEGER NOT NULL,"
    "  wins INTEGER NOT NULL,"
    "  finished INTEGER NOT NULL);"
    "CREATE TABLE rounds ("
    "  game_id INTEGER NOT NULL REFERENCES games(id) ON DELETE CASCADE,"
    "  number INTEGER NOT NULL,"
    "  winner_place INTEGER,"  // NULL: nobody won the round
    "  winner_name BLOB,"
    "  flags INTEGER NOT NULL);"
    "CREATE INDEX games_by_end ON games(ended_ms);"
    "CREATE INDEX players_by_game ON players(game_id);"
    "CREATE INDEX players_by_score ON players(score);"
    "CREATE INDEX rounds_by_game ON rounds(game_id);",

    "ALTER TABLE games ADD COLUMN abandoned INTEGER NOT NULL DEFAULT 0;"
    "CREATE INDEX players_by_name ON players(name);",

    "CREATE TABLE replays ("
    "  game_id INTEGER PRIMARY KEY REFERENCES games(id) ON DELETE CASCADE,"
    "  format INTEGER NOT NULL,"  // the replay's first byte, apart for queries
    "  steps INTEGER NOT NULL,"   // steps of 1/30 s from the start to the end
    "  inputs BLOB NOT NULL);",
};

// What the reads need that an older store lacks, supplied by a temporary view over its
// tables, so that --records can read it without migrating it: entry k covers version k.
const char *const read_views[RECORDS_SCHEMA_VERSION] = {
    nullptr,  // version 0 has no tables: not a records store
    "CREATE TEMP VIEW games AS SELECT *, 0 AS abandoned FROM main.games;",
    "CREATE TEMP VIEW replays AS SELECT 0 AS game_id, 0 AS steps, x'' AS inputs WHERE 0;",
};

// user_version, or -1 (with the result code in rc) when the file cannot be read.
int schema_version(sqlite3 *db, int &rc)
{
    statement st(db, "PRAGMA user_version");
    if (!st.ok()) {
        rc = sqlite3_errcode(db);
        return -1;
    }
    rc = sqlite3_step(st.s);
    if (rc != SQLITE_ROW)
        return -1;
    rc = SQLITE_OK;
    return static_cast<int>(st.column_int(0));
}

// Creates the missing directories above path, each with mode 0700.
bool make_parents(const std::string &path, std::string &why)
{
    for (size_t slash = path.find('/', 1); slash != std::string::npos;
         slash = path.find('/', slash + 1)) {
        std::string dir = path.substr(0, slash);
        if (mkdir(dir.c_str(), 0700) == 0 || errno == EEXIST) {
            struct stat st;
            if (stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
                why = dir + " is not a directory";
                return false;
            }
            continue;
        }
        why = "cannot create " + dir + ": " + strerror(errno);
        return false;
    }
    return true;
}

int clamp_count(int n)
{
    return n < 0 ? 0 : n > 100000 ? 100000 : n;
}

bool read_players(sqlite3 *db, game_row &g)
{
    statement st(db, "SELECT name, score FROM players WHERE game_id = ?1"
                     " ORDER BY score DESC, place");
    if (!st.ok())
        return false;
    st.integer(1, g.id);
    int rc;
    while ((rc = sqlite3_step(st.s)) == SQLITE_ROW)
        g.players.emplace_back(st.column_bytes(0), static_cast<int>(st.column_int(1)));
    return rc == SQLITE_DONE;
}

// Games chosen by a query whose parameter ?1 is the count (and ?2 a name, if given).
bool read_games(sqlite3 *db, const char *sql, int n, const std::string *name,
                std::vector<game_row> &out)
{
    statement st(db, sql);
    if (!st.ok())
        return false;
    st.integer(1, clamp_count(n));
    if (name)
        st.blob(2, *name);
    int rc;
    while ((rc = sqlite3_step(st.s)) == SQLITE_ROW) {
        game_row g;
        g.id = st.column_int(0);
        g.started_ms = st.column_int(1);
        g.ended_ms = st.column_int(2);
        g.room = st.column_bytes(3);
        g.rounds_played = static_cast<int>(st.column_int(4));
        g.abandoned = st.column_int(5) != 0;
        out.push_back(std::move(g));
    }
    if (rc != SQLITE_DONE)
        return false;
    for (game_row &g : out)
        if (!read_players(db, g))
            return false;
    return true;
}

#define GAME_COLUMNS "SELECT id, started_ms, ended_ms, room, rounds_played, abandoned FROM games"

bool query_last_games(sqlite3 *db, int n, std::vector<game_row> &out)
{
    return read_games(db, GAME_COLUMNS " ORDER BY ended_ms DESC, id DESC LIMIT ?1", n, nullptr,
                      out);
}

bool query_player_games(sqlite3 *db, const std::string &name, int n, std::vector<game_row> &out)
{
    return read_games(db,
                      GAME_COLUMNS " WHERE id IN (SELECT game_id FROM players WHERE name = ?2)"
                                   " ORDER BY ended_ms DESC, id DESC LIMIT ?1",
                      n, &name, out);
}

bool query_best_scores(sqlite3 *db, int n, int64_t since_ms, std::vector<score_row> &out)
{
    // Equal scores: the one reached first ranks first. Over all time the scores are
    // read in the order of their index; a window (a week) is found through the games'
    // end times instead, rather than sorting every player of every game.
    static const char *const queries[2] = {
        "SELECT p.name, p.score, g.ended_ms, g.room, g.id FROM players p JOIN games g"
        " ON g.id = p.game_id ORDER BY p.score DESC, g.ended_ms, g.id, p.place LIMIT ?1",
        "SELECT p.name, p.score, g.ended_ms, g.room, g.id FROM players p JOIN games g"
        " ON g.id = p.game_id WHERE g.ended_ms >= ?2"
        " ORDER BY p.score DESC, g.ended_ms, g.id, p.place LIMIT ?1",
    };
    statement st(db, queries[since_ms > 0]);
    if (!st.ok())
        return false;
    st.integer(1, clamp_count(n));
    st.integer(2, since_ms);
    int rc;
    while ((rc = sqlite3_step(st.s)) == SQLITE_ROW)
        out.push_back(score_row{st.column_bytes(0), static_cast<int>(st.column_int(1)),
                                st.column_int(2), st.column_bytes(3), st.column_int(4)});
    return rc == SQLITE_DONE;
}

bool query_kept_players(sqlite3 *db, int64_t id, game_record &rec)
{
    statement st(db, "SELECT name, place, score, flags, wins, finished FROM players"
                     " WHERE game_id = ?1 ORDER BY place");
    if (!st.ok())
        return false;
    st.integer(1, id);
    int rc;
    auto n = [&st](int i) { return static_cast<int>(st.column_int(i)); };
    while ((rc = sqlite3_step(st.s)) == SQLITE_ROW)
        rec.players.push_back(player_record{st.column_bytes(0), n(1), n(2), n(3), n(4), n(5) != 0});
    return rc == SQLITE_DONE;
}

bool query_kept_rounds(sqlite3 *db, int64_t id, game_record &rec)
{
    statement st(db, "SELECT number, winner_place, winner_name, flags FROM rounds"
                     " WHERE game_id = ?1 ORDER BY number");
    if (!st.ok())
        return false;
    st.integer(1, id);
    int rc;
    while ((rc = sqlite3_step(st.s)) == SQLITE_ROW) {
        bool nobody = sqlite3_column_type(st.s, 1) == SQLITE_NULL;
        rec.rounds.push_back(round_record{static_cast<int>(st.column_int(0)),
                                          nobody ? -1 : static_cast<int>(st.column_int(1)),
                                          st.column_bytes(2), static_cast<int>(st.column_int(3))});
    }
    return rc == SQLITE_DONE;
}

// A store of an older schema, read as it is, has an empty view of replays.
bool query_replay(sqlite3 *db, int64_t id, game_record &rec)
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

// The kept game `id` whole, with its players in place order, its rounds and its replay;
// found is false (and the read good) when the store holds no such game.
bool query_kept_game(sqlite3 *db, int64_t id, game_record &rec, bool &found)
{
    found = false;
    {
        statement st(db, "SELECT started_ms, ended_ms, seed, rounds_played, places, enemies,"
                         " room, abandoned FROM games WHERE id = ?1");
        if (!st.ok())
            return false;
        st.integer(1, id);
        int rc = sqlite3_step(st.s);
        if (rc != SQLITE_ROW)
            return rc == SQLITE_DONE;
        rec.started_ms = st.column_int(0);
        rec.ended_ms = st.column_int(1);
        rec.seed = static_cast<uint32_t>(st.column_int(2));
        rec.rounds_played = static_cast<int>(st.column_int(3));
        rec.places = static_cast<int>(st.column_int(4));
        rec.enemies = static_cast<int>(st.column_int(5));
        rec.room = st.column_bytes(6);
        rec.abandoned = st.column_int(7) != 0;
    }
    found = true;
    return query_kept_players(db, id, rec) && query_kept_rounds(db, id, rec) &&
           query_replay(db, id, rec);
}

namespace {

// Opens a connection to an existing or new file with the store's settings.
sqlite3 *connect(const std::string &path, int flags, std::string &why)
{
    sqlite3 *db = nullptr;
    int rc = sqlite3_open_v2(path.c_str(), &db, flags, nullptr);
    if (rc != SQLITE_OK) {
        int err = db ? sqlite3_system_errno(db) : 0;
        why = std::string("cannot open: ") + (err ? strerror(err) : sqlite3_errstr(rc));
        sqlite3_close_v2(db);
        return nullptr;
    }
    sqlite3_extended_result_codes(db, 1);
    sqlite3_busy_timeout(db, RECORDS_BUSY_MS);
    return db;
}

// The schema version of a store this server can write, or -1 and why not.
int writable_version(sqlite3 *db, std::string &why)
{
    if (sqlite3_db_readonly(db, "main") == 1) {
        why = "cannot write: the file is read-only";
        return -1;
    }
    int rc;
    int version = schema_version(db, rc);
    if (version < 0) {
        if ((rc & 0xff) == SQLITE_NOTADB)
            why = "not a database";
        else if ((rc & 0xff) == SQLITE_READONLY)  // its -wal and -shm files cannot be made
            why = std::string("cannot write beside it: ") + sqlite3_errmsg(db);
        else
            why = std::string("cannot read: ") + sqlite3_errmsg(db);
        return -1;
    }
    if (version > RECORDS_SCHEMA_VERSION) {
        why = "schema version " + std::to_string(version) + " is newer than this server's " +
              std::to_string(RECORDS_SCHEMA_VERSION);
        return -1;
    }
    return version;
}

// Write-ahead logging, full sync and foreign keys on the writer's connection.
bool set_writer_settings(sqlite3 *db, std::string &why)
{
    {
        statement st(db, "PRAGMA journal_mode=WAL");
        if (!st.ok() || sqlite3_step(st.s) != SQLITE_ROW || st.column_bytes(0) != "wal") {
            why = std::string("cannot use write-ahead logging: ") + sqlite3_errmsg(db);
            return false;
        }
    }
    if (!exec(db, "PRAGMA synchronous=FULL") || !exec(db, "PRAGMA foreign_keys=ON")) {
        why = std::string("cannot set up: ") + sqlite3_errmsg(db);
        return false;
    }
    return true;
}

// Brings an older schema up to this server's. Under the write lock, reading the version
// again: another server may have done it meanwhile.
bool migrate(sqlite3 *db, std::string &why)
{
    if (!exec(db, "BEGIN IMMEDIATE")) {
        why = std::string("cannot write: ") + sqlite3_errmsg(db);
        return false;
    }
    int rc;
    int version = schema_version(db, rc);
    bool ok = version >= 0 && version <= RECORDS_SCHEMA_VERSION;
    if (ok && version == 0) {
        statement st(db, "SELECT count(*) FROM sqlite_schema");
        if (st.ok() && sqlite3_step(st.s) == SQLITE_ROW && st.column_int(0) > 0) {
            why = "holds other tables: not a records store";
            exec(db, "ROLLBACK");
            return false;
        }
    }
    for (int v = version; ok && v < RECORDS_SCHEMA_VERSION; v++)
        ok = exec(db, schema_steps[v]);
    std::string set_version = "PRAGMA user_version=" + std::to_string(RECORDS_SCHEMA_VERSION);
    ok = ok && exec(db, set_version.c_str()) && exec(db, "COMMIT");
    if (!ok) {
        why = std::string("cannot set up the schema: ") + sqlite3_errmsg(db);
        exec(db, "ROLLBACK");
    }
    return ok;
}

// Checks the version of a store opened read-only and makes an older one readable.
bool prepare_reading(sqlite3 *db, std::string &why)
{
    int rc;
    int version = schema_version(db, rc);
    if (version < 0 && (rc & 0xff) == SQLITE_NOTADB)
        why = "not a database";
    else if (version < 0 && (rc & 0xff) == SQLITE_READONLY)  // no -wal and -shm files yet
        why = "cannot read: SQLite makes its -wal and -shm files beside it to read it, and"
              " the folder is not writable (run as the file's owner)";
    else if (version < 0)
        why = std::string("cannot read: ") + sqlite3_errmsg(db);
    else if (version == 0)
        why = "not a records store (no schema)";
    else if (version > RECORDS_SCHEMA_VERSION)
        why = "schema version " + std::to_string(version) + " is newer than this server's " +
              std::to_string(RECORDS_SCHEMA_VERSION);
    if (version < 1 || version > RECORDS_SCHEMA_VERSION)
        return false;
    for (int v = version; v < RECORDS_SCHEMA_VERSION; v++)
        if (read_views[v] && !exec(db, read_views[v])) {
            why = std::string("cannot read schema version ") + std::to_string(version) + ": " +
                  sqlite3_errmsg(db);
            return false;
        }
    return true;
}

// Settings, schema version check and migration of the writer's connection.
bool prepare_store(sqlite3 *db, std::string &why)
{
    int version = writable_version(db, why);
    if (version < 0 || !set_writer_settings(db, why))
        return false;
    return version == RECORDS_SCHEMA_VERSION || migrate(db, why);
}

}  // namespace

std::unique_ptr<record_store> record_store::open_read_only(const std::string &path,
                                                           std::string &error)
{
    std::unique_ptr<record_store> store(new record_store());
    store->path_ = path;
    std::string why;
    store->reader_ = connect(path, SQLITE_OPEN_READONLY, why);
    if (!store->reader_ || !prepare_reading(store->reader_, why)) {
        error = "records store " + path + ": " + why;
        return nullptr;  // the destructor closes the connection
    }
    return store;
}

std::unique_ptr<record_store> record_store::open(const std::string &path, std::string &error,
                                                 server_log *log)
{
    return open_as(path, false, error, log);
}

std::unique_ptr<record_store> record_store::open_spool(const std::string &path, std::string &error,
                                                       server_log *log)
{
    return open_as(path, true, error, log);
}

std::unique_ptr<record_store> record_store::open_as(const std::string &path, bool spool,
                                                    std::string &error, server_log *log)
{
    std::unique_ptr<record_store> store(new record_store());
    store->path_ = path;
    store->log_ = log;
    store->spool_ = spool;
    if (path == "none")
        return store;
    std::string why;
    struct stat st;
    if (path.empty()) {
        error = "records store: no path (set --db, XDG_STATE_HOME or HOME)";
        return nullptr;
    }
    if (!make_parents(path, why)) {
        error = "records store " + path + ": cannot open: " + why;
        return nullptr;
    }
    if (stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
        error = "records store " + path + ": cannot open: it is a directory";
        return nullptr;
    }
    store->db_ = connect(path, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, why);
    if (!store->db_ || !prepare_store(store->db_, why) ||
        (spool && !spool_prepare(store->db_, why))) {
        error = "records store " + path + ": " + why;
        return nullptr;  // the destructor closes the connection
    }
    store->refresh_hall();
    store->writer_ = std::thread(&record_store::writer_loop, store.get());
    return store;
}

record_store::~record_store()
{
    {
        std::lock_guard<std::mutex> lock(queue_mutex_);
        stopping_ = true;
    }
    queue_cv_.notify_one();
    if (writer_.joinable())
        writer_.join();
    sqlite3_close_v2(reader_);
    sqlite3_close_v2(db_);
}

bool record_store::submit(uint64_t ticket, game_record rec)
{
    std::lock_guard<std::mutex> lock(queue_mutex_);
    if (!db_) {
        done_.emplace_back(ticket, true);
        return true;
    }
    if (queue_.size() >= RECORD_QUEUE_MAX) {
        failed_++;
        std::string why = std::to_string(queue_.size()) + " games already wait for the disk";
        tell_not_kept(ticket, why.c_str());
        return false;
    }
    queue_.push_back(queued{ticket, std::move(rec), 0});
    queue_cv_.notify_one();
    return true;
}

bool record_store::request_game(uint64_t ticket, int64_t id)
{
    std::lock_guard<std::mutex> lock(queue_mutex_);
    if (!db_ || queue_.size() >= RECORD_QUEUE_MAX)
        return false;
    queue_.push_back(queued{ticket, game_record{}, id > 0 ? id : -1});
    queue_cv_.notify_one();
    return true;
}

void record_store::take_kept_games(std::vector<kept_game> &out)
{
    std::lock_guard<std::mutex> lock(queue_mutex_);
    for (kept_game &k : read_done_)
        out.push_back(std::move(k));
    read_done_.clear();
}

void record_store::take_completions(std::vector<std::pair<uint64_t, bool>> &out)
{
    std::lock_guard<std::mutex> lock(queue_mutex_);
    out.insert(out.end(), done_.begin(), done_.end());
    done_.clear();
}

std::shared_ptr<const hall_of_fame> record_store::hall() const
{
    std::lock_guard<std::mutex> lock(hall_mutex_);
    return hall_;
}

void record_store::tell_not_kept(uint64_t ticket, const char *why)
{
    if (log_)
        log_->event("records: game %llu not kept in %s: %s",
                    static_cast<unsigned long long>(ticket), path_.c_str(), why);
}

void record_store::writer_loop()
{
    for (;;) {
        std::unique_lock<std::mutex> lock(queue_mutex_);
        queue_cv_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
        if (queue_.empty())
            return;  // stopping, and everything queued is written
        queued q = std::move(queue_.front());
        queue_.pop_front();
        lock.unlock();
        if (q.read_id != 0) {
            serve_read(q);
            continue;
        }

        std::string why;
        bool ok = write_game(q.rec, why);
        if (ok) {
            written_++;
            refresh_hall();  // before the completion: an announced game is in the hall
        } else {
            failed_++;
            tell_not_kept(q.ticket, why.c_str());
        }
        lock.lock();
        done_.emplace_back(q.ticket, ok);
    }
}

namespace {

// The game's own row; its id through last_insert_rowid.
bool insert_game_row(sqlite3 *db, const game_record &rec)
{
    statement st(db, "INSERT INTO games (started_ms, ended_ms, seed, rounds_played, places,"
                     " enemies, room, abandoned) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8)");
    if (!st.ok())
        return false;
    st.integer(1, rec.started_ms);
    st.integer(2, rec.ended_ms);
    st.integer(3, rec.seed);
    st.integer(4, rec.rounds_played);
    st.integer(5, rec.places);
    st.integer(6, rec.enemies);
    st.blob(7, rec.room);
    st.integer(8, rec.abandoned);
    return sqlite3_step(st.s) == SQLITE_DONE;
}

bool insert_players(sqlite3 *db, int64_t game_id, const std::vector<player_record> &players)
{
    statement st(db, "INSERT INTO players (game_id, place, name, score, flags, wins,"
                     " finished) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7)");
    bool ok = st.ok();
    for (size_t i = 0; ok && i < players.size(); i++) {
        const player_record &p = players[i];
        sqlite3_reset(st.s);
        st.integer(1, game_id);
        st.integer(2, p.place);
        st.blob(3, p.name);
        st.integer(4, p.score);
        st.integer(5, p.flags);
        st.integer(6, p.wins);
        st.integer(7, p.finished);
        ok = sqlite3_step(st.s) == SQLITE_DONE;
    }
    return ok;
}

bool insert_rounds(sqlite3 *db, int64_t game_id, const std::vector<round_record> &rounds)
{
    statement st(db, "INSERT INTO rounds (game_id, number, winner_place, winner_name,"
                     " flags) VALUES (?1, ?2, ?3, ?4, ?5)");
    bool ok = st.ok();
    for (size_t i = 0; ok && i < rounds.size(); i++) {
        const round_record &r = rounds[i];
        sqlite3_reset(st.s);
        sqlite3_clear_bindings(st.s);  // NULL winner unless one is bound
        st.integer(1, game_id);
        st.integer(2, r.number);
        if (r.winner_place >= 0) {
            st.integer(3, r.winner_place);
            st.blob(4, r.winner_name);
        }
        st.integer(5, r.flags);
        ok = sqlite3_step(st.s) == SQLITE_DONE;
    }
    return ok;
}

bool insert_replay(sqlite3 *db, int64_t game_id, const game_record &rec)
{
    if (rec.replay.empty())
        return true;
    statement st(db,
                 "INSERT INTO replays (game_id, format, steps, inputs) VALUES (?1, ?2, ?3, ?4)");
    if (!st.ok())
        return false;
    st.integer(1, game_id);
    st.integer(2, static_cast<unsigned char>(rec.replay[0]));
    st.integer(3, rec.replay_steps);
    st.blob(4, rec.replay);
    return sqlite3_step(st.s) == SQLITE_DONE;
}

}  // namespace

bool record_store::write_now(const game_record &rec, std::string &why)
{
    bool ok = db_ && write_game(rec, why);
    (ok ? written_ : failed_)++;
    return ok;
}

// One game, its players, its rounds and its replay in one transaction: all kept or none.
bool record_store::write_game(const game_record &rec, std::string &why)
{
    bool ok = exec(db_, "BEGIN IMMEDIATE") && insert_game_row(db_, rec);
    int64_t game_id = sqlite3_last_insert_rowid(db_);
    ok = ok && insert_players(db_, game_id, rec.players) && insert_rounds(db_, game_id, rec.rounds);
    ok = ok && insert_replay(db_, game_id, rec);
    ok = ok && (!spool_ || spool_mark(db_, game_id, rec.uid));
    ok = ok && exec(db_, "COMMIT");
    if (!ok) {
        why = sqlite3_errmsg(db_);
        if (!sqlite3_get_autocommit(db_))
            exec(db_, "ROLLBACK");
    }
    return ok;
}

void record_store::refresh_hall()
{
    auto h = std::make_shared<hall_of_fame>();
    if (!query_best_scores(db_, HALL_BEST, 0, h->best) ||
        !query_last_games(db_, HALL_RECENT, h->recent))
        return;  // keep the last good one
    std::lock_guard<std::mutex> lock(hall_mutex_);
    hall_ = std::move(h);
}

// The reads share one connection of their own, opened on first use; read_mutex_ held.
sqlite3 *record_store::reader_locked()
{
    if (!db_ || reader_)
        return reader_;
    std::string why;
    reader_ = connect(path_, SQLITE_OPEN_READWRITE, why);
    if (reader_ && !exec(reader_, "PRAGMA query_only=ON"))
        why = sqlite3_errmsg(reader_);
    else if (reader_)
        return reader_;
    read_error_ = "records store " + path_ + ": " + why;
    sqlite3_close_v2(reader_);
    reader_ = nullptr;
    return nullptr;
}

// Records the outcome of a read on the reader connection; read_mutex_ held.
bool record_store::read_done(bool ok)
{
    if (ok)
        read_error_.clear();
    else
        read_error_ = "records store " + path_ + ": cannot read: " + sqlite3_errmsg(reader_);
    return ok;
}

std::string record_store::read_error()
{
    std::lock_guard<std::mutex> lock(read_mutex_);
    return read_error_;
}

int record_store::best_score()
{
    std::lock_guard<std::mutex> lock(read_mutex_);
    if (!reader_locked())
        return 0;
    statement st(reader_, "SELECT coalesce(max(score), 0) FROM players");
    if (!read_done(st.ok() && sqlite3_step(st.s) == SQLITE_ROW))
        return 0;
    return static_cast<int>(st.column_int(0));
}

std::vector<score_row> record_store::best_scores(int n, int64_t since_ms)
{
    std::vector<score_row> rows;
    std::lock_guard<std::mutex> lock(read_mutex_);
    if (reader_locked() && !read_done(query_best_scores(reader_, n, since_ms, rows)))
        rows.clear();
    return rows;
}

std::vector<game_row> record_store::last_games(int n)
{
    std::vector<game_row> rows;
    std::lock_guard<std::mutex> lock(read_mutex_);
    if (reader_locked() && !read_done(query_last_games(reader_, n, rows)))
        rows.clear();
    return rows;
}

std::vector<game_row> record_store::player_games(const std::string &name, int n)
{
    std::vector<game_row> rows;
    std::lock_guard<std::mutex> lock(read_mutex_);
    if (reader_locked() && !read_done(query_player_games(reader_, name, n, rows)))
        rows.clear();
    return rows;
}

std::vector<int64_t> record_store::game_ids()
{
    std::vector<int64_t> ids;
    std::lock_guard<std::mutex> lock(read_mutex_);
    if (!reader_locked())
        return ids;
    statement st(reader_, "SELECT id FROM games ORDER BY id");
    int rc = SQLITE_ERROR;
    if (st.ok())
        while ((rc = sqlite3_step(st.s)) == SQLITE_ROW)
            ids.push_back(st.column_int(0));
    if (!read_done(rc == SQLITE_DONE))
        ids.clear();
    return ids;
}

bool record_store::read_game(int64_t id, game_record &rec)
{
    bool found = false;
    std::lock_guard<std::mutex> lock(read_mutex_);
    rec = game_record{};
    return reader_locked() && read_done(query_kept_game(reader_, id, rec, found)) && found;
}

// A read the loop asked for, served on the writer's connection in turn with the writes.
void record_store::serve_read(const queued &q)
{
    kept_game k{q.ticket, false, false, game_record{}};
    if (!query_kept_game(db_, q.read_id, k.rec, k.found)) {
        k.failed = true;
        if (log_)
            log_->event("records: cannot read game %lld from %s: %s",
                        static_cast<long long>(q.read_id), path_.c_str(), sqlite3_errmsg(db_));
        k.found = false;
    }
    std::lock_guard<std::mutex> lock(queue_mutex_);
    read_done_.push_back(std::move(k));
}

std::string default_records_path()
{
    const char *state = getenv("XDG_STATE_HOME");
    if (state && state[0] == '/')  // a relative value is to be ignored
        return std::string(state) + "/mazecar/records.db";
    const char *home = getenv("HOME");
    if (home && home[0])
        return std::string(home) + "/.local/state/mazecar/records.db";
    return "";
}
