// A connection to PostgreSQL through libpq, as the shared records and the room
// directory use it: connecting with short time-outs (a database that has gone away must
// not hold a game's final result for long), the schema created and migrated under an
// advisory lock (several processes start at once), statements with parameters (numbers
// as text, names and rooms as raw bytes) and their rows read in binary.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

constexpr int PG_SCHEMA_VERSION = 2;            // the version of the schema this server makes
constexpr int PG_CONNECT_TIMEOUT_S = 3;         // a connection attempt gives up after this
constexpr int PG_STATEMENT_TIMEOUT_MS = 10000;  // no statement runs longer
constexpr int PG_RETRY_MS = 2000;               // a lost database is tried again this often

// "postgresql://..." or "postgres://...": a libpq connection URI.
bool is_postgres_uri(const char *text);
// False, and why, when libpq cannot read the URI.
bool pg_uri_valid(const std::string &uri, std::string &why);
// The URI for a log line: user, host, port and database, never a password.
std::string pg_display(const std::string &uri);

// The parameters of one statement, $1 first.
class pg_params {
public:
    pg_params &num(int64_t v);
    pg_params &bytes(const std::string &v);  // bytea, sent as it is
    pg_params &text(const std::string &v);
    int size() const { return static_cast<int>(values_.size()); }
    const char *const *values() const { return pointers_.data(); }
    const int *lengths() const { return lengths_.data(); }
    const int *formats() const { return formats_.data(); }

private:
    pg_params &add(std::string v, int format);
    std::vector<std::string> values_;
    std::vector<const char *> pointers_;
    std::vector<int> lengths_, formats_;
};

struct pg_result;

// The rows of a statement, in binary. Readers check each value's length: a value of an
// unexpected size reads as 0 or "".
class pg_rows {
public:
    pg_rows() = default;
    ~pg_rows();
    pg_rows(const pg_rows &) = delete;
    pg_rows &operator=(const pg_rows &) = delete;
    void take(pg_result *r);
    int count() const;
    bool null(int row, int col) const;
    int64_t num(int row, int col) const;  // smallint, integer, bigint or boolean
    std::string bytes(int row, int col) const;

private:
    pg_result *res_ = nullptr;
};

struct pg_conn;

class pg_link {
public:
    explicit pg_link(std::string uri) : uri_(std::move(uri)) {}
    ~pg_link() { close(); }
    pg_link(const pg_link &) = delete;
    pg_link &operator=(const pg_link &) = delete;

    // Connects (when not connected) and, unless only reading, brings the schema up to
    // PG_SCHEMA_VERSION. False, with error(), when the database cannot be reached or its
    // schema is newer.
    bool connect(bool read_only = false);
    bool connected() const { return conn_ != nullptr; }
    void close();
    // Runs one statement; rows (if given) receive its result. On failure error() says
    // why, and a connection found lost is closed (connected() turns false).
    bool run(const char *sql, const pg_params &p, pg_rows *rows = nullptr);
    // Runs plain SQL without parameters (several statements may follow one another).
    bool run(const char *sql);
    // Ends a failed transaction, if the connection is still there.
    void roll_back();
    // The schema of the database is newer than this server's: retrying will not help.
    bool too_new() const { return too_new_; }
    const std::string &error() const { return error_; }
    void clear_error() { error_.clear(); }

private:
    bool migrate();
    bool check_version(int64_t version);
    bool failed(pg_result *r);
    std::string uri_, error_;
    pg_conn *conn_ = nullptr;
    bool too_new_ = false;
};
