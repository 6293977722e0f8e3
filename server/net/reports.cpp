// What the loop tells people: the stats line, the status file for tests and the
// snapshot the status page shows.
#include <algorithm>
#include <cstdio>
#include <memory>

#include "net/clock.h"
#include "net/connections.h"
#include "web/game_stream.h"

void game_server::write_status_file() const
{
    const char *path = settings_.status_path;
    if (!path)
        return;
    char tmp[1024];
    snprintf(tmp, sizeof tmp, "%s.tmp", path);
    FILE *f = fopen(tmp, "w");
    if (!f)
        return;
    static char text[8192];
    for (const auto &hg : places.games) {
        int len = hg->g.describe(text, sizeof text);
        fwrite(text, 1, static_cast<size_t>(len), f);
        fprintf(f, "game %d room %s\n", hg->id, hg->room.empty() ? "-" : hg->room.c_str());
    }
    fclose(f);
    rename(tmp, path);
}

server_figures game_server::figures() const
{
    server_figures f{};
    f.started_ms = started_unix_ms_;
    f.taken_ms = wall_clock_ms();
    f.relays = fleet_ ? 0 : -1;
    for (const conn &c : conns) {
        bool relaying = c.state == CS_RELAY && c.peer_connected;
        f.connections += c.state != CS_FREE;
        bool settled = c.state == CS_FREE || c.state == CS_PLAY || c.state == CS_VIEW ||
                       c.state == CS_QUIT || relaying;
        f.checking_in += !settled;
        f.relays += relaying;
    }
    f.handed_over = stats.handed_over;
    f.fleet_played_here = stats.fleet_played_here;
    for (const auto &hg : places.games) {
        (hg->g.in_lobby() ? f.games_lobby : f.games_playing)++;
        f.watchers += hg->g.watcher_count();
        f.players += hg->g.connected_count() - hg->g.watcher_count();
    }
    f.watchers += static_cast<int>(views_.size());
    for (int r = 0; r < REASON_COUNT; r++)
        f.refusals[reason_names[r]] = stats.reasons[r];
    f.connections_accepted = stats.connections_accepted;
    f.games_opened = static_cast<uint64_t>(places.opened());
    f.messages_sent = stats.messages_sent;
    f.bytes_sent = stats.bytes_sent;
    f.step_bucket_bounds.assign(step_bucket_bounds, step_bucket_bounds + STEP_BUCKETS);
    f.step_bucket_counts.assign(stats.step_buckets, stats.step_buckets + STEP_BUCKETS + 1);
    f.step_seconds_sum = stats.step_seconds_sum;
    f.step_count = stats.step_count;
    stats.step_percentiles(&f.step_p50_ms, &f.step_p99_ms);
    f.late_steps = stats.late_steps;
    f.store = store_ && store_->keeps_records();
    if (f.store) {
        f.records_written = store_->written();
        f.records_failed = store_->failed();
    }
    f.spool_backlog = store_ ? store_->spool_backlog() : -1;
    return f;
}

static game_view view_of(const hosted_game &hg, const std::vector<conn> &conns)
{
    const game &g = hg.g;
    game_view v{};
    v.id = hg.id;
    v.room = hg.room;
    v.phase = g.phase_name();
    v.round = g.round_no;
    v.rounds = g.cfg.rounds;
    v.places = g.cfg.slots;
    v.enemies = g.cfg.enemies;
    v.watchers = g.watcher_count();
    for (int i = 0; i < g.car_total(); i++) {
        const car &c = g.cars[i];
        if (!g.is_enemy(i) && !c.connected && !c.in_game)
            continue;
        int holder = g.is_enemy(i) ? -1 : hg.conn[i];
        v.cars.push_back(car_view{i, g.is_enemy(i), c.name, c.status, c.x, c.y, c.score, c.flags,
                                  c.flags_game, c.fuel, c.lives, c.wins, c.connected,
                                  holder >= 0 ? conns[static_cast<size_t>(holder)].addr_text : ""});
    }
    v.maze.resize(MAP_BYTES);
    for (int k = 0; k < MAP_BYTES; k++)
        v.maze[static_cast<size_t>(k)] = static_cast<char>('0' + g.field[k / MAP_W][k % MAP_W]);
    return v;
}

// A copy of what the status page shows, handed over to the page's thread. Games are
// listed oldest first.
void game_server::publish_snapshot()
{
    auto snap = std::make_shared<status_snapshot>();
    snap->figures = figures();
    snap->games.reserve(places.games.size());
    for (const auto &hg : places.games)
        snap->games.push_back(view_of(*hg, conns));
    std::sort(snap->games.begin(), snap->games.end(),
              [](const game_view &a, const game_view &b) { return a.id < b.id; });
    if (store_)
        snap->hall = store_->hall();
    board_->publish(std::move(snap));
}

// Every FRAME_STEPS steps, a frame of each running game a page is showing (or word that
// it is gone), for the page's moving picture.
void game_server::publish_frames()
{
    if (steps % FRAME_STEPS != 0)
        return;
    watched_.clear();
    board_->live.watched(watched_);
    for (int id : watched_) {
        auto it =
            std::find_if(places.games.begin(), places.games.end(),
                         [id](const std::unique_ptr<hosted_game> &hg) { return hg->id == id; });
        auto f = std::make_shared<game_frame>();
        if (it != places.games.end()) {
            *f = frame_of((*it)->g, steps);
        } else {
            f->step = steps;
            f->over = f->gone = true;
        }
        board_->live.publish(id, std::move(f));
    }
}

void game_server::log_stats(long long now)
{
    // The same counts the status page shows, taken in one place.
    server_figures f = figures();
    stats_totals t{f.games_lobby, f.games_playing, f.players,
                   f.watchers,    f.connections,   f.checking_in};
    double seconds = static_cast<double>(now - stats_last_ms_) / 1000.0;
    if (store_ && store_->keeps_records()) {
        stats.records_written = store_->written();
        stats.records_failed = store_->failed();
        stats.spool_backlog = store_->spool_backlog();
    }
    stats.relays = f.relays;
    log_.line("%s", stats_line(stats, stats_before_, seconds, t, log_.take_left_out()).c_str());
    stats_before_ = stats;
    stats_last_ms_ = now;
}
