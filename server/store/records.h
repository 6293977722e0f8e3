// The records store: every game that ends, kept in an SQLite file that survives a crash
// or a power cut. The game loop only queues finished games and collects the outcome; a
// writer thread of the store commits each game in one transaction, so a slow or full
// disk never makes a step late and never leaves half a game behind.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "web/status.h"

constexpr int RECORDS_SCHEMA_VERSION = 3;  // PRAGMA user_version of a current store
constexpr size_t RECORD_QUEUE_MAX = 256;   // games (and replay reads) waiting; more are refused
constexpr int RECORDS_BUSY_MS = 5000;      // wait this long for another process's lock
constexpr int HALL_BEST = 10;              // best scores in the hall of fame
constexpr int HALL_RECENT = 20;            // last games in the hall of fame

struct player_record {
    std::string name;        // as shown to players (no @room); may hold any byte
    int place;               // 0-based human place in its game
    int score, flags, wins;  // flags over the whole game, rounds won
    bool finished;           // still in the game at its end (false: retired or left)
};

struct round_record {
    int number;
    int winner_place;  // -1: nobody won the round
    std::string winner_name;
    int flags;
};

struct game_record {
    int64_t started_ms, ended_ms;  // Unix time, milliseconds
    uint32_t seed;
    int rounds_played, places, enemies;
    std::string room;  // "" for quick play
    bool abandoned;    // ended because its players left, not with a final result
    std::vector<player_record> players;
    std::vector<round_record> rounds;
    std::string uid;        // made when the game began, unique across every process of a fleet
    std::string replay{};   // its start and inputs (game/replay.cpp); "" when none was kept
    long replay_steps = 0;  // steps the replay covers
};

// A kept game read for a replay: found false when the store holds no game of that id
// or (failed) could not read it.
struct kept_game {
    uint64_t ticket;
    bool found, failed;
    game_record rec;
};

// What the game loop needs of a records store, whichever database keeps the games: a
// finished game handed over without waiting, the outcome of each write, the figures and
// the hall of fame; and kept games read back with their replays.
class records_sink {
public:
    virtual ~records_sink() = default;
    virtual bool keeps_records() const = 0;
    // The best score ever kept, 0 when there is none (may read the database: at start).
    virtual int best_score() = 0;
    // Never blocks: queues the game. False when it was refused: no completion follows.
    virtual bool submit(uint64_t ticket, game_record rec) = 0;
    // Appends the tickets whose write ended since the last call, with success.
    virtual void take_completions(std::vector<std::pair<uint64_t, bool>> &out) = 0;
    virtual uint64_t written() const = 0;
    virtual uint64_t failed() const = 0;
    virtual std::shared_ptr<const hall_of_fame> hall() const = 0;
    // Games kept in a local spool until the shared database takes them; -1: no spool.
    virtual int64_t spool_backlog() const { return -1; }
    // Never blocks: the store's own thread reads the kept game `id` (as --records lists
    // it) with its replay, in turn with the writes. False when it cannot be asked now;
    // else the answer comes through take_kept_games.
    virtual bool request_game(uint64_t ticket, int64_t id) = 0;
    virtual void take_kept_games(std::vector<kept_game> &out) = 0;
    // Reads the kept game `id` whole on the caller's thread, which waits for the
    // database: never the loop's (the status page's threads). False when there is none
    // or it cannot be read.
    virtual bool read_game(int64_t id, game_record &rec) = 0;
};

struct sqlite3;
class server_log;

class record_store : public records_sink {
public:
    // path "none": a store that keeps nothing (submit completes at once, ok). Otherwise
    // opens or creates the file (and its missing parent directories, mode 0700) and
    // brings its schema up to RECORDS_SCHEMA_VERSION. On failure: nullptr and `error`
    // is one line naming the path and the cause. A game not kept is told to log, as an
    // event line (null: to nobody; the count tells).
    static std::unique_ptr<record_store> open(const std::string &path, std::string &error,
                                              server_log *log = nullptr);
    // For reading only (--records, --verify-replays): opens an existing file read-only, creates and
    // migrates nothing, starts no writer. An older schema is read as it is. Only the
    // reads below work on it.
    static std::unique_ptr<record_store> open_read_only(const std::string &path,
                                                        std::string &error);
    // As open, for the spool of a shared database: every game written is also marked as
    // waiting to move there (store/spool.h), in the same transaction.
    static std::unique_ptr<record_store> open_spool(const std::string &path, std::string &error,
                                                    server_log *log = nullptr);

    bool keeps_records() const override { return db_ != nullptr; }
    const std::string &path() const { return path_; }

    int best_score() override;

    // Never blocks on the disk: queues the game for the writer thread. False when
    // RECORD_QUEUE_MAX games already wait: the game is counted as failed and logged,
    // nothing is written and no completion follows for this ticket.
    bool submit(uint64_t ticket, game_record rec) override;
    void take_completions(std::vector<std::pair<uint64_t, bool>> &out) override;
    // Writes one game on the caller's thread and counts it, for a store whose queue is
    // never used (the spool, written by the shared database's own thread).
    bool write_now(const game_record &rec, std::string &why);
    uint64_t written() const override { return written_.load(); }
    uint64_t failed() const override { return failed_.load(); }
    // The writer thread reads the game; false when RECORD_QUEUE_MAX jobs already wait or
    // nothing is kept.
    bool request_game(uint64_t ticket, int64_t id) override;
    void take_kept_games(std::vector<kept_game> &out) override;

    // Best HALL_BEST scores ever and the last HALL_RECENT games, refreshed by the writer
    // after each write (before its completion is reported) and at open. Null for a
    // store that keeps nothing.
    std::shared_ptr<const hall_of_fame> hall() const override;

    // Reads on a connection of their own (for --records, the status page and tests).
    std::vector<score_row> best_scores(int n, int64_t since_ms = 0);
    std::vector<game_row> last_games(int n);
    std::vector<game_row> player_games(const std::string &name, int n);
    // Every kept game's id, oldest first; one game whole with its replay (false: none).
    std::vector<int64_t> game_ids();
    bool read_game(int64_t id, game_record &rec) override;
    // Why the last read failed ("" when none has): a failed read returns nothing.
    std::string read_error();

    ~record_store() override;  // writes what is queued, then stops the writer thread
    record_store(const record_store &) = delete;
    record_store &operator=(const record_store &) = delete;

private:
    struct queued {
        uint64_t ticket;
        game_record rec;
        int64_t read_id;  // > 0: a read of that kept game, not a write
    };

    record_store() = default;
    static std::unique_ptr<record_store> open_as(const std::string &path, bool spool,
                                                 std::string &error, server_log *log);
    void writer_loop();
    void serve_read(const queued &q);
    bool write_game(const game_record &rec, std::string &why);
    void refresh_hall();
    sqlite3 *reader_locked();
    bool read_done(bool ok);

    void tell_not_kept(uint64_t ticket, const char *why);

    std::string path_;
    server_log *log_ = nullptr;
    bool spool_ = false;         // games written are marked as waiting for the shared database
    sqlite3 *db_ = nullptr;      // the writer thread's connection (set up at open)
    sqlite3 *reader_ = nullptr;  // the reads', opened on first use under read_mutex_
    std::mutex read_mutex_;
    std::string read_error_;

    std::mutex queue_mutex_;
    std::condition_variable queue_cv_;
    std::deque<queued> queue_;
    std::vector<std::pair<uint64_t, bool>> done_;
    std::vector<kept_game> read_done_;
    bool stopping_ = false;
    std::thread writer_;

    mutable std::mutex hall_mutex_;
    std::shared_ptr<const hall_of_fame> hall_;

    std::atomic<uint64_t> written_{0}, failed_{0};
};

// $XDG_STATE_HOME/mazecar/records.db, else ~/.local/state/mazecar/records.db ("" when
// neither variable is set).
std::string default_records_path();

// --records [N]: prints the best N scores and the last N games of the store at path in
// aligned columns, names escaped (control bytes and bytes from 0x7f as \xNN). Returns
// the process exit code: 1 after a one-line error on standard error when there is no
// usable store at path.
int print_records(const std::string &path, int n, FILE *out);
// The SQLite store at path opened for reading only, or null after saying on standard
// error why not (no such file, a folder the user may not enter, not a store).
std::unique_ptr<record_store> open_store_to_read(const std::string &path);
// The two tables of --records under a title naming where they come from.
void print_record_tables(const std::string &where, int n, const std::vector<score_row> &best,
                         const std::vector<game_row> &last, FILE *out);

// A name as a terminal may show it: printable ASCII as is, a backslash as "\\", every
// other byte as \xNN.
std::string escape_name(const std::string &name);
