// Records in PostgreSQL, shared by every process of a fleet: one hall of fame and one
// best score for all. A thread of its own writes each finished game in one transaction
// and reads the hall again at least every PG_HALL_REFRESH_MS. When the database cannot
// be reached, a finished game is committed to a local SQLite spool instead (before its
// completion is reported, so a final result shown is a game kept), and the spool's
// games move to the database once it is back, each exactly once: the game's fleet-wide
// id is unique there, and moving it twice inserts nothing the second time.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "store/pg_link.h"
#include "store/records.h"
#include "store/spool.h"

class server_log;

constexpr int PG_HALL_REFRESH_MS = 5000;  // the fleet's hall of fame is never older than this
constexpr int SPOOL_DRAIN_BATCH = 64;     // games moved before new games are looked at again
constexpr int PG_UPKEEP_MS = 1000;        // an idle writer looks at the database this often

class pg_records : public records_sink {
public:
    // Null, with error, when the URI cannot be read, the spool cannot be opened or the
    // database's schema is newer than this server's. A database that cannot be reached
    // is no error: games wait in the spool until it can. Changes between reachable and
    // not, and failures, are told to log (null: standard error).
    static std::unique_ptr<pg_records> open(const std::string &uri, const std::string &spool_path,
                                            std::string &error, server_log *log = nullptr);
    ~pg_records() override;  // keeps what is queued (in the spool if need be), then stops
    pg_records(const pg_records &) = delete;
    pg_records &operator=(const pg_records &) = delete;

    bool keeps_records() const override { return true; }
    int best_score() override;
    bool submit(uint64_t ticket, game_record rec) override;
    void take_completions(std::vector<std::pair<uint64_t, bool>> &out) override;
    uint64_t written() const override { return written_.load() + spool_->written(); }
    uint64_t failed() const override { return failed_.load() + spool_->failed(); }
    std::shared_ptr<const hall_of_fame> hall() const override;
    int64_t spool_backlog() const override { return backlog_.load(); }
    uint64_t moved() const { return moved_.load(); }  // games moved from the spool
    const std::string &where() const { return where_; }
    const std::string &spool_path() const { return spool_->path(); }
    // A kept game read by the worker, in turn with the writes (the database away: failed).
    bool request_game(uint64_t ticket, int64_t id) override;
    void take_kept_games(std::vector<kept_game> &out) override;
    // On a reading connection of its own, opened on first use.
    bool read_game(int64_t id, game_record &rec) override;

private:
    struct queued {
        uint64_t ticket;
        game_record rec;
        int64_t read_id;  // > 0: a read of that kept game, not a write
    };

    explicit pg_records(const std::string &uri) : link_(uri), reader_(uri) {}
    void worker();
    void keep(const queued &q);
    void serve_read(const queued &q);
    bool upkeep();
    bool reach(bool at_once = false);
    bool insert_game(const game_record &rec);
    bool drain_some();
    void refresh_hall();
    bool queue_waiting();
    void note(const char *what, const std::string &detail);

    pg_link link_;  // the worker's connection
    server_log *log_ = nullptr;
    std::string where_;
    std::unique_ptr<record_store> spool_;
    std::unique_ptr<spool_reader> pending_;
    long long retry_due_ms_ = 0, hall_due_ms_ = 0;
    bool was_up_ = true;

    std::mutex queue_mutex_;
    std::condition_variable queue_cv_;
    std::deque<queued> queue_;
    std::vector<std::pair<uint64_t, bool>> done_;
    std::vector<kept_game> read_done_;
    std::mutex reader_mutex_;
    pg_link reader_;  // the status page's reads
    bool stopping_ = false;
    std::thread worker_;

    mutable std::mutex hall_mutex_;
    std::shared_ptr<const hall_of_fame> hall_;

    std::atomic<uint64_t> written_{0}, failed_{0}, moved_{0};
    std::atomic<int64_t> backlog_{0};
};

// Reads the best scores and the last games of the fleet on the caller's connection.
bool pg_read_hall(pg_link &link, int best, int recent, hall_of_fame &out);
// The kept game `id` whole, with its players in place order, its rounds and its replay
// (none in a database of the first schema); found is false (and the read good) when
// there is no such game.
bool pg_read_game(pg_link &link, int64_t id, game_record &rec, bool &found);
// Every kept game's id, oldest first.
bool pg_game_ids(pg_link &link, std::vector<int64_t> &ids);
// --records N against PostgreSQL: as print_records, reading without changing anything.
int print_pg_records(const std::string &uri, int n, FILE *out);
