// The PostgreSQL records: the writer thread (games in, the spool when the database is
// away, the spool drained when it is back, the hall read again), and --records.
#include "store/pg_records.h"

#include <chrono>
#include <unordered_map>

#include "log.h"
#include "net/clock.h"

std::unique_ptr<pg_records> pg_records::open(const std::string &uri, const std::string &spool_path,
                                             std::string &error, server_log *log)
{
    std::string why;
    if (!pg_uri_valid(uri, why)) {
        error = "records database: " + why;
        return nullptr;
    }
    std::unique_ptr<pg_records> r(new pg_records(uri));
    r->log_ = log;
    r->where_ = pg_display(uri);
    r->spool_ = record_store::open_spool(spool_path, error, log);
    if (!r->spool_)
        return nullptr;
    r->pending_ = spool_reader::open(spool_path, error);
    if (!r->pending_)
        return nullptr;
    r->backlog_ = r->pending_->count();
    if (!r->reach() && r->link_.too_new()) {
        error = "records database " + r->where_ + ": " + r->link_.error();
        return nullptr;
    }
    r->worker_ = std::thread(&pg_records::worker, r.get());
    return r;
}

pg_records::~pg_records()
{
    {
        std::lock_guard<std::mutex> lock(queue_mutex_);
        stopping_ = true;
    }
    queue_cv_.notify_one();
    if (worker_.joinable())
        worker_.join();
}

// One log line for a change of state or a failure.
void pg_records::note(const char *what, const std::string &detail)
{
    const char *sep = detail.empty() ? "" : ": ";
    if (log_)
        log_->line("records database %s: %s%s%s", where_.c_str(), what, sep, detail.c_str());
    else
        fprintf(stderr, "mazecar-server: records database %s: %s%s%s\n", where_.c_str(), what, sep,
                detail.c_str());
}

int pg_records::best_score()
{
    std::shared_ptr<const hall_of_fame> h = hall();
    return h && !h->best.empty() ? h->best.front().score : 0;
}

bool pg_records::submit(uint64_t ticket, game_record rec)
{
    std::lock_guard<std::mutex> lock(queue_mutex_);
    if (queue_.size() >= RECORD_QUEUE_MAX) {
        failed_++;
        if (log_)
            log_->event("records: game %llu not kept: %zu games already wait",
                        static_cast<unsigned long long>(ticket), queue_.size());
        return false;
    }
    queue_.push_back(queued{ticket, std::move(rec), 0});
    queue_cv_.notify_one();
    return true;
}

bool pg_records::request_game(uint64_t ticket, int64_t id)
{
    std::lock_guard<std::mutex> lock(queue_mutex_);
    if (queue_.size() >= RECORD_QUEUE_MAX)
        return false;
    queue_.push_back(queued{ticket, game_record{}, id > 0 ? id : -1});
    queue_cv_.notify_one();
    return true;
}

void pg_records::take_kept_games(std::vector<kept_game> &out)
{
    std::lock_guard<std::mutex> lock(queue_mutex_);
    for (kept_game &k : read_done_)
        out.push_back(std::move(k));
    read_done_.clear();
}

// A connection found lost (the database restarted meanwhile) is made again once.
bool pg_records::read_game(int64_t id, game_record &rec)
{
    std::lock_guard<std::mutex> lock(reader_mutex_);
    bool found = false;
    for (int attempt = 0; attempt < 2; attempt++) {
        rec = game_record{};
        if (reader_.connect(true) && pg_read_game(reader_, id, rec, found))
            return found;
        if (reader_.connected())
            return false;
    }
    return false;
}

void pg_records::take_completions(std::vector<std::pair<uint64_t, bool>> &out)
{
    std::lock_guard<std::mutex> lock(queue_mutex_);
    out.insert(out.end(), done_.begin(), done_.end());
    done_.clear();
}

std::shared_ptr<const hall_of_fame> pg_records::hall() const
{
    std::lock_guard<std::mutex> lock(hall_mutex_);
    return hall_;
}

bool pg_records::queue_waiting()
{
    std::lock_guard<std::mutex> lock(queue_mutex_);
    return !queue_.empty();
}

// ---- The writer thread ----

void pg_records::worker()
{
    std::unique_lock<std::mutex> lock(queue_mutex_);
    for (;;) {
        if (queue_.empty()) {
            if (stopping_)
                return;  // everything queued is kept
            lock.unlock();
            bool more = upkeep();  // a spool still draining goes on at once
            lock.lock();
            if (!more && queue_.empty() && !stopping_)
                queue_cv_.wait_for(lock, std::chrono::milliseconds(PG_UPKEEP_MS));
            continue;
        }
        queued q = std::move(queue_.front());
        queue_.pop_front();
        lock.unlock();
        if (q.read_id != 0)
            serve_read(q);
        else
            keep(q);
        lock.lock();
    }
}

// Connects when the database is away and a retry is due (at once: whether due or not);
// true when connected. The log hears of each change between reachable and not, once.
bool pg_records::reach(bool at_once)
{
    if (link_.connected())
        return true;
    long long now = monotonic_ms();
    if (now < retry_due_ms_ && !at_once)
        return false;
    retry_due_ms_ = now + PG_RETRY_MS;
    if (!link_.connect()) {
        if (was_up_)
            note("cannot be reached, finished games go to the spool", link_.error());
        was_up_ = false;
        return false;
    }
    if (!was_up_)
        note("reachable again", "");
    was_up_ = true;
    refresh_hall();
    return true;
}

// One finished game: into the database, or else into the spool, whose own completion
// then reports it.
void pg_records::keep(const queued &q)
{
    if (reach() && insert_game(q.rec)) {
        written_++;
        refresh_hall();  // before the completion: an announced game is in the hall
        std::lock_guard<std::mutex> lock(queue_mutex_);
        done_.emplace_back(q.ticket, true);
        return;
    }
    if (link_.connected())  // reached, but the game was refused: it waits in the spool too
        note("a game went to the spool", link_.error());
    else if (was_up_)
        note("connection lost, finished games go to the spool", link_.error());
    was_up_ = link_.connected();
    std::string why;
    bool kept = spool_->write_now(q.rec, why);
    if (!kept)
        note("a game could not be kept in the spool either", why);
    int64_t waiting = pending_->count();
    if (waiting >= 0)
        backlog_ = waiting;
    std::lock_guard<std::mutex> lock(queue_mutex_);
    done_.emplace_back(q.ticket, kept);
}

// A kept game the loop asked for, for a person waiting: the database is tried at once,
// and a connection found lost is made again once; with the database away the game
// cannot be read now.
void pg_records::serve_read(const queued &q)
{
    kept_game k{q.ticket, false, false, game_record{}};
    k.failed = !reach(true) || !pg_read_game(link_, q.read_id, k.rec, k.found);
    if (k.failed && !link_.connected())
        k.failed = !reach(true) || !pg_read_game(link_, q.read_id, k.rec, k.found);
    if (k.failed)
        k.found = false;
    std::lock_guard<std::mutex> lock(queue_mutex_);
    read_done_.push_back(std::move(k));
}

// Reconnects, drains the spool, reads the hall again when due. True when spooled games
// are left to move and the database took the last ones.
bool pg_records::upkeep()
{
    if (!reach())
        return false;
    bool more = backlog_.load() > 0 && drain_some();
    if (link_.connected() && monotonic_ms() >= hall_due_ms_)
        refresh_hall();
    return more;
}

// Moves the oldest spooled games to the database, until the spool is empty, something
// fails or new games wait; true when every game tried has moved.
bool pg_records::drain_some()
{
    bool ok = true;
    int moved = 0;
    for (int k = 0; k < SPOOL_DRAIN_BATCH && !queue_waiting(); k++) {
        game_record rec;
        int64_t id = 0;
        if (!pending_->oldest(rec, id)) {
            ok = pending_->error().empty();
            if (!ok)
                note("cannot read the spool", pending_->error());
            break;
        }
        if (!insert_game(rec)) {
            note("cannot take a game from the spool", link_.error());
            ok = false;
            break;
        }
        if (!pending_->forget(id)) {  // the database has it: the next move inserts nothing
            note("cannot delete a moved game from the spool", pending_->error());
            ok = false;
            break;
        }
        moved++;
        moved_++;
    }
    int64_t left = pending_->count();
    if (left >= 0)
        backlog_ = left;
    if (moved > 0)
        refresh_hall();
    return ok && left > 0;
}

// ---- Statements ----

namespace {

bool insert_players(pg_link &link, int64_t game_id, const std::vector<player_record> &players)
{
    for (const player_record &p : players)
        if (!link.run("INSERT INTO players (game_id, place, name, score, flags, wins, finished)"
                      " VALUES ($1, $2, $3, $4, $5, $6, $7)",
                      pg_params()
                          .num(game_id)
                          .num(p.place)
                          .bytes(p.name)
                          .num(p.score)
                          .num(p.flags)
                          .num(p.wins)
                          .text(p.finished ? "true" : "false")))
            return false;
    return true;
}

bool insert_rounds(pg_link &link, int64_t game_id, const std::vector<round_record> &rounds)
{
    for (const round_record &r : rounds) {
        bool won = r.winner_place >= 0;
        if (!link.run(won ? "INSERT INTO rounds (game_id, number, winner_place, winner_name,"
                            " flags) VALUES ($1, $2, $3, $4, $5)"
                          : "INSERT INTO rounds (game_id, number, flags) VALUES ($1, $2, $3)",
                      won ? pg_params()
                                .num(game_id)
                                .num(r.number)
                                .num(r.winner_place)
                                .bytes(r.winner_name)
                                .num(r.flags)
                          : pg_params().num(game_id).num(r.number).num(r.flags)))
            return false;
    }
    return true;
}

bool insert_replay(pg_link &link, int64_t game_id, const game_record &rec)
{
    return rec.replay.empty() ||
           link.run("INSERT INTO replays (game_id, format, steps, inputs) VALUES ($1, $2, $3, $4)",
                    pg_params()
                        .num(game_id)
                        .num(static_cast<unsigned char>(rec.replay[0]))
                        .num(rec.replay_steps)
                        .bytes(rec.replay));
}

}  // namespace

// One game in one transaction; a game whose id the database already holds (moved
// before, its deletion from the spool lost) is taken as kept and inserts nothing.
bool pg_records::insert_game(const game_record &rec)
{
    pg_rows rows;
    bool ok = link_.run("BEGIN") &&
              link_.run("INSERT INTO games (uid, started_ms, ended_ms, seed, rounds_played,"
                        " places, enemies, room, abandoned) VALUES ($1, $2, $3, $4, $5, $6,"
                        " $7, $8, $9) ON CONFLICT (uid) DO NOTHING RETURNING id",
                        pg_params()
                            .bytes(rec.uid)
                            .num(rec.started_ms)
                            .num(rec.ended_ms)
                            .num(rec.seed)
                            .num(rec.rounds_played)
                            .num(rec.places)
                            .num(rec.enemies)
                            .bytes(rec.room)
                            .text(rec.abandoned ? "true" : "false"),
                        &rows);
    if (ok && rows.count() == 1)
        ok = insert_players(link_, rows.num(0, 0), rec.players) &&
             insert_rounds(link_, rows.num(0, 0), rec.rounds) &&
             insert_replay(link_, rows.num(0, 0), rec);
    ok = ok && link_.run("COMMIT");
    if (!ok)
        link_.roll_back();
    return ok;
}

void pg_records::refresh_hall()
{
    auto h = std::make_shared<hall_of_fame>();
    hall_due_ms_ = monotonic_ms() + PG_HALL_REFRESH_MS;
    if (!pg_read_hall(link_, HALL_BEST, HALL_RECENT, *h))
        return;  // keep the last good one
    std::lock_guard<std::mutex> lock(hall_mutex_);
    hall_ = std::move(h);
}

namespace {

bool read_best(pg_link &link, int n, std::vector<score_row> &out)
{
    pg_rows rows;
    if (!link.run("SELECT p.name, p.score, g.ended_ms, g.room, g.id FROM players p JOIN games g"
                  " ON g.id = p.game_id ORDER BY p.score DESC, g.ended_ms, g.id, p.place"
                  " LIMIT $1",
                  pg_params().num(n), &rows))
        return false;
    for (int i = 0; i < rows.count(); i++)  // the game's id: the hall links to its replay
        out.push_back(score_row{rows.bytes(i, 0), static_cast<int>(rows.num(i, 1)), rows.num(i, 2),
                                rows.bytes(i, 3), rows.num(i, 4)});
    return true;
}

bool read_recent(pg_link &link, int n, std::vector<game_row> &out)
{
    pg_rows rows, players;
    if (!link.run("SELECT id, started_ms, ended_ms, room, rounds_played, abandoned FROM games"
                  " ORDER BY ended_ms DESC, id DESC LIMIT $1",
                  pg_params().num(n), &rows))
        return false;
    std::string ids = "{";
    std::unordered_map<int64_t, size_t> at;
    for (int i = 0; i < rows.count(); i++) {
        out.push_back(game_row{rows.num(i, 0),
                               rows.num(i, 1),
                               rows.num(i, 2),
                               rows.bytes(i, 3),
                               static_cast<int>(rows.num(i, 4)),
                               rows.num(i, 5) != 0,
                               {}});
        at[out.back().id] = out.size() - 1;
        ids += (i ? "," : "") + std::to_string(out.back().id);
    }
    if (!link.run("SELECT game_id, name, score FROM players WHERE game_id = ANY($1::bigint[])"
                  " ORDER BY game_id, score DESC, place",
                  pg_params().text(ids + "}"), &players))
        return false;
    for (int i = 0; i < players.count(); i++) {
        auto it = at.find(players.num(i, 0));
        if (it != at.end())
            out[it->second].players.emplace_back(players.bytes(i, 1),
                                                 static_cast<int>(players.num(i, 2)));
    }
    return true;
}

}  // namespace

bool pg_read_hall(pg_link &link, int best, int recent, hall_of_fame &out)
{
    return read_best(link, best, out.best) && read_recent(link, recent, out.recent);
}

int print_pg_records(const std::string &uri, int n, FILE *out)
{
    std::string why;
    if (!pg_uri_valid(uri, why)) {
        fprintf(stderr, "mazecar-server: records database: %s\n", why.c_str());
        return 1;
    }
    pg_link link(uri);
    hall_of_fame h;
    if (!link.connect(true) || !pg_read_hall(link, n, n, h)) {
        fprintf(stderr, "mazecar-server: records database %s: %s\n", pg_display(uri).c_str(),
                link.error().c_str());
        return 1;
    }
    print_record_tables(pg_display(uri), n, h.best, h.recent, out);
    return 0;
}
