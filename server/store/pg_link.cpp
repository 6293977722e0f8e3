// libpq behind pg_link: the connection settings, the schema and its migration, and
// reading binary rows.
#include "store/pg_link.h"

#include <cstring>
#include <libpq-fe.h>

namespace {

// The schema, one step per version: step k takes a database from version k to k + 1.
// Version 1: the games with their players and rounds (as in the SQLite store, plus each
// game's fleet-wide id, which makes moving a game from a spool idempotent), the
// processes of the fleet with their leases, and the room directory. Version 2: each
// game's replay, in a table of its own as in the SQLite store. Names and rooms are
// bytea: whatever bytes the players sent.
const char *const schema_steps[PG_SCHEMA_VERSION] = {
    "CREATE TABLE games ("
    "  id bigserial PRIMARY KEY,"
    "  uid bytea NOT NULL UNIQUE,"
    "  started_ms bigint NOT NULL,"
    "  ended_ms bigint NOT NULL,"
    "  seed bigint NOT NULL,"
    "  rounds_played integer NOT NULL,"
    "  places integer NOT NULL,"
    "  enemies integer NOT NULL,"
    "  room bytea NOT NULL,"
    "  abandoned boolean NOT NULL);"
    "CREATE TABLE players ("
    "  game_id bigint NOT NULL REFERENCES games(id) ON DELETE CASCADE,"
    "  place integer NOT NULL,"
    "  name bytea NOT NULL,"
    "  score integer NOT NULL,"
    "  flags integer NOT NULL,"
    "  wins integer NOT NULL,"
    "  finished boolean NOT NULL);"
    "CREATE TABLE rounds ("
    "  game_id bigint NOT NULL REFERENCES games(id) ON DELETE CASCADE,"
    "  number integer NOT NULL,"
    "  winner_place integer,"  // NULL: nobody won the round
    "  winner_name bytea,"
    "  flags integer NOT NULL);"
    "CREATE INDEX games_by_end ON games(ended_ms);"
    "CREATE INDEX players_by_game ON players(game_id);"
    "CREATE INDEX players_by_score ON players(score);"
    "CREATE INDEX players_by_name ON players(name);"
    "CREATE INDEX rounds_by_game ON rounds(game_id);"
    "CREATE TABLE fleet_members ("
    "  address text PRIMARY KEY,"
    "  lease_until timestamptz NOT NULL);"
    "CREATE TABLE rooms ("
    "  room bytea PRIMARY KEY,"
    "  owner text NOT NULL);",

    "CREATE TABLE replays ("
    "  game_id bigint PRIMARY KEY REFERENCES games(id) ON DELETE CASCADE,"
    "  format integer NOT NULL,"  // the replay's first byte, apart for queries
    "  steps bigint NOT NULL,"    // steps of 1/30 s from the start to the end
    "  inputs bytea NOT NULL);",
};

// Taken for the migration, so processes starting together migrate one after another.
constexpr const char *SCHEMA_LOCK = "SELECT pg_advisory_xact_lock(30798083389530482)";

bool has_prefix(const char *text, const char *prefix)
{
    return strncmp(text, prefix, strlen(prefix)) == 0;
}

}  // namespace

bool is_postgres_uri(const char *text)
{
    return text && (has_prefix(text, "postgresql://") || has_prefix(text, "postgres://"));
}

bool pg_uri_valid(const std::string &uri, std::string &why)
{
    char *err = nullptr;
    PQconninfoOption *opts = PQconninfoParse(uri.c_str(), &err);
    if (!opts) {
        why = err ? err : "cannot be read";
        while (!why.empty() && why.back() == '\n')
            why.pop_back();
        PQfreemem(err);
        return false;
    }
    PQconninfoFree(opts);
    return true;
}

std::string pg_display(const std::string &uri)
{
    PQconninfoOption *opts = PQconninfoParse(uri.c_str(), nullptr);
    if (!opts)
        return "postgresql://?";
    std::string user, host, port, db;
    for (PQconninfoOption *o = opts; o->keyword; o++) {
        std::string v = o->val ? o->val : "";
        if (!strcmp(o->keyword, "user"))
            user = v;
        else if (!strcmp(o->keyword, "host"))
            host = v;
        else if (!strcmp(o->keyword, "port"))
            port = v;
        else if (!strcmp(o->keyword, "dbname"))
            db = v;
    }
    PQconninfoFree(opts);
    return "postgresql://" + (user.empty() ? "" : user + "@") + host +
           (port.empty() ? "" : ":" + port) + "/" + db;
}

// ---- Parameters and rows ----

pg_params &pg_params::add(std::string v, int format)
{
    values_.push_back(std::move(v));
    lengths_.push_back(static_cast<int>(values_.back().size()));
    formats_.push_back(format);
    pointers_.clear();  // the strings may have moved
    for (const std::string &s : values_)
        pointers_.push_back(s.data());
    return *this;
}

pg_params &pg_params::num(int64_t v)
{
    return add(std::to_string(v), 0);
}

pg_params &pg_params::bytes(const std::string &v)
{
    return add(v, 1);
}

pg_params &pg_params::text(const std::string &v)
{
    return add(v, 0);
}

pg_rows::~pg_rows()
{
    PQclear(res_);
}

void pg_rows::take(pg_result *r)
{
    PQclear(res_);
    res_ = r;
}

int pg_rows::count() const
{
    return res_ ? PQntuples(res_) : 0;
}

bool pg_rows::null(int row, int col) const
{
    return !res_ || row >= PQntuples(res_) || col >= PQnfields(res_) || PQgetisnull(res_, row, col);
}

int64_t pg_rows::num(int row, int col) const
{
    if (null(row, col))
        return 0;
    int len = PQgetlength(res_, row, col);
    const auto *p = reinterpret_cast<const unsigned char *>(PQgetvalue(res_, row, col));
    if (len != 1 && len != 2 && len != 4 && len != 8)
        return 0;
    uint64_t v = 0;
    for (int i = 0; i < len; i++)
        v = v << 8 | p[i];
    if (len < 8 && len > 1 && (p[0] & 0x80))  // sign-extend a smallint or an integer
        v |= ~uint64_t{0} << (8 * len);
    return static_cast<int64_t>(v);
}

std::string pg_rows::bytes(int row, int col) const
{
    if (null(row, col))
        return "";
    return std::string(PQgetvalue(res_, row, col),
                       static_cast<size_t>(PQgetlength(res_, row, col)));
}

// ---- The connection ----

void pg_link::close()
{
    PQfinish(conn_);
    conn_ = nullptr;
}

// Keeps what the failed result says, and closes a connection found lost.
bool pg_link::failed(pg_result *r)
{
    const char *state = r ? PQresultErrorField(r, PG_DIAG_SQLSTATE) : nullptr;
    error_ = r && PQresultErrorMessage(r)[0] ? PQresultErrorMessage(r) : PQerrorMessage(conn_);
    while (!error_.empty() && (error_.back() == '\n' || error_.back() == ' '))
        error_.pop_back();
    for (char &ch : error_)
        if (ch == '\n')
            ch = ' ';
    PQclear(r);
    bool lost = PQstatus(conn_) == CONNECTION_BAD ||
                (state && (has_prefix(state, "08") || has_prefix(state, "57P")));
    if (lost)
        close();
    return false;
}

bool pg_link::run(const char *sql, const pg_params &p, pg_rows *rows)
{
    if (!conn_) {
        error_ = "not connected";
        return false;
    }
    PGresult *r =
        PQexecParams(conn_, sql, p.size(), nullptr, p.values(), p.lengths(), p.formats(), 1);
    ExecStatusType st = PQresultStatus(r);
    if (st != PGRES_COMMAND_OK && st != PGRES_TUPLES_OK)
        return failed(r);
    if (rows)
        rows->take(r);
    else
        PQclear(r);
    return true;
}

bool pg_link::run(const char *sql)
{
    if (!conn_) {
        error_ = "not connected";
        return false;
    }
    PGresult *r = PQexec(conn_, sql);
    ExecStatusType st = PQresultStatus(r);
    if (st != PGRES_COMMAND_OK && st != PGRES_TUPLES_OK)
        return failed(r);
    PQclear(r);
    return true;
}

void pg_link::roll_back()
{
    if (conn_ && PQtransactionStatus(conn_) != PQTRANS_IDLE)
        run("ROLLBACK");
}

bool pg_link::connect(bool read_only)
{
    if (conn_)
        return true;
    // Settings before the URI are defaults it may override: short time-outs, and TCP
    // keep-alives so that a database host that vanishes is noticed within seconds.
    std::string timeout = std::to_string(PG_CONNECT_TIMEOUT_S);
    std::string options = "-c client_min_messages=warning -c statement_timeout=" +
                          std::to_string(PG_STATEMENT_TIMEOUT_MS);
    const char *keys[] = {"connect_timeout",  "keepalives",
                          "keepalives_idle",  "keepalives_interval",
                          "keepalives_count", "tcp_user_timeout",
                          "application_name", "options",
                          "dbname",           nullptr};
    const char *values[] = {
        timeout.c_str(), "1",          "5",    "2", "2", "10000", "mazecar-server",
        options.c_str(), uri_.c_str(), nullptr};
    conn_ = PQconnectdbParams(keys, values, 1);
    if (PQstatus(conn_) != CONNECTION_OK)
        return failed(nullptr);  // keeps libpq's message and closes
    if (read_only)
        return true;
    if (!migrate()) {
        roll_back();
        close();
        return false;
    }
    return true;
}

bool pg_link::check_version(int64_t version)
{
    if (version >= 0 && version <= PG_SCHEMA_VERSION)
        return true;
    error_ = "schema version " + std::to_string(version) + " is newer than this server's " +
             std::to_string(PG_SCHEMA_VERSION);
    too_new_ = true;
    return false;
}

bool pg_link::migrate()
{
    pg_rows rows;
    if (!run("BEGIN") || !run(SCHEMA_LOCK) ||
        !run("CREATE TABLE IF NOT EXISTS mazecar_schema (version integer NOT NULL)") ||
        !run("SELECT version FROM mazecar_schema", pg_params(), &rows))
        return false;
    int64_t version = rows.count() > 0 ? rows.num(0, 0) : 0;
    if (!check_version(version))
        return false;
    for (int64_t v = version; v < PG_SCHEMA_VERSION; v++)
        if (!run(schema_steps[v]))
            return false;
    std::string set = "DELETE FROM mazecar_schema; INSERT INTO mazecar_schema VALUES (" +
                      std::to_string(PG_SCHEMA_VERSION) + ")";
    return run(set.c_str()) && run("COMMIT");
}
