// Kept games played again to the unchanged client: a player who checks in as name@#ID
// watches game ID (as --records lists it) from its start to its final result, alone,
// at the speed it was played, and is then told to quit. The store reads the game on its
// own thread; the replay is a game of its own that the loop steps beside the live ones,
// and it never meets them or the records.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "log.h"
#include "net/clock.h"
#include "net/connections.h"

namespace {

constexpr size_t ID_DIGITS_MAX = 18;

// The ID of a name "name@#ID", -1 when the name asks for no kept game.
int64_t watched_id(const char *raw)
{
    const char *mark = nullptr;
    for (const char *p = strstr(raw, "@#"); p; p = strstr(p + 1, "@#"))
        mark = p;
    if (!mark)
        return -1;
    const char *digits = mark + 2;
    size_t n = strlen(digits);
    if (n == 0 || n > ID_DIGITS_MAX || strspn(digits, "0123456789") != n)
        return -1;
    return strtoll(digits, nullptr, 10);
}

}  // namespace

// True when the name asks for a kept game: the connection now waits for the store (or
// was answered and told to quit).
bool game_server::check_in_to_watch(conn &c, const char *raw)
{
    int64_t id = watched_id(raw);
    if (id < 0)
        return false;
    if (!store_ || !store_->keeps_records()) {
        refuse_view(c, "This server keeps no games, so none can be watched again.\n");
        return true;
    }
    if (views_.size() + fetches_.size() >= static_cast<size_t>(settings_.viewers_max)) {
        stats.reasons[REFUSED_VIEWERS]++;
        refuse_view(c, "Too many kept games are being watched on this server; try later.\n");
        return true;
    }
    uint64_t ticket = next_ticket_++;
    if (!store_->request_game(ticket, id)) {
        refuse_view(c, "The records store is busy; try again in a moment.\n");
        return true;
    }
    fetches_[ticket] = fetch{index_of(c), c.gen, id};
    c.state = CS_FETCH;
    return true;
}

void game_server::take_kept_games()
{
    if (!store_ || fetches_.empty())
        return;
    kept_.clear();
    store_->take_kept_games(kept_);
    for (kept_game &k : kept_) {
        auto it = fetches_.find(k.ticket);
        if (it == fetches_.end())
            continue;
        fetch f = it->second;
        fetches_.erase(it);
        conn &c = conns[static_cast<size_t>(f.index)];
        if (c.state == CS_FETCH && c.gen == f.gen)
            start_view(c, k, f.id);
    }
    kept_.clear();
}

// Answers the check-in with the kept game played again, or with why it cannot be.
void game_server::start_view(conn &c, kept_game &k, int64_t id)
{
    const char *why = k.failed               ? " cannot be read from the records store now.\n"
                      : !k.found             ? " is not kept on this server.\n"
                      : k.rec.replay.empty() ? " was kept without a replay.\n"
                                             : nullptr;
    auto v = std::make_unique<replay_view>();
    if (!why && !v->replay.open(std::move(k.rec.replay), places.scratch())) {
        log_.event("game %lld cannot be played again: %s", static_cast<long long>(id),
                   v->replay.why.c_str());
        why = " cannot be played again.\n";
    }
    if (why) {
        refuse_view(c, ("Game " + std::to_string(id) + why).c_str());
        return;
    }
    char text[256];
    // The first step begins the game (and seats its rivals); the client sees through the
    // eyes of its place, the lowest that takes no part (its car follows the leader).
    v->replay.next();
    const game &g = *v->replay.g;
    for (int s = g.cfg.slots - 1; s >= 0; s--)
        if (!g.cars[s].in_game)
            v->slot = s;
    snprintf(text, sizeof text,
             "You watch game %lld again, alone, from its start to its final result.\n",
             static_cast<long long>(id));
    if (!answer_check_in(c, v->slot, g.cfg.slots, text))
        return;
    v->game_id = id;
    v->conn = index_of(c);
    v->replay.g->send_hiscore(v->slot);
    c.state = CS_VIEW;
    c.view = v.get();
    views_.push_back(std::move(v));
    log_.event("connection %d watches game %lld again", index_of(c), static_cast<long long>(id));
}

// The answer to a check-in that gets no game: a text the client shows, then the quit.
void game_server::refuse_view(conn &c, const char *text)
{
    if (answer_check_in(c, 0, 1, text))
        tell_to_quit(c);
}

void game_server::tell_to_quit(conn &c)
{
    unsigned char quit[TAG_SIZE];
    put_be32(quit, TAG_QUIT);
    put_be32(quit + 4, TAG_SIZE);
    if (!c.out.push(quit, TAG_SIZE)) {
        drop(c, DROPPED_NOT_READING, "not reading (output queue full)");
        return;
    }
    want_flush(c);
    c.state = CS_QUIT;
    c.view = nullptr;
    quitting_.push_back(quitting{index_of(c), c.gen, monotonic_ms() + QUIT_LINGER_MS});
}

void game_server::step_views()
{
    for (size_t k = 0; k < views_.size(); k++)
        if (views_[k]->conn >= 0)
            step_view(*views_[k]);
    views_.erase(std::remove_if(views_.begin(), views_.end(),
                                [](const std::unique_ptr<replay_view> &v) { return v->conn < 0; }),
                 views_.end());
}

// One step of the game played again; once it is over, its final result for as long as
// a game shows it, then the quit.
void game_server::step_view(replay_view &v)
{
    game &g = *v.replay.g;
    if (v.final_steps < 0 && !v.replay.next()) {
        if (!v.replay.why.empty())
            log_.event("game %lld cannot be played on: %s", static_cast<long long>(v.game_id),
                       v.replay.why.c_str());
        if (g.phase == PH_RECORDING) {
            g.record_done();
        } else {  // its players left it: the result as they left it
            g.send_playerinfo2(v.slot);
            g.send_bare(v.slot, TAG_FINAL_RESULT);
        }
        v.final_steps = v.replay.why.empty() ? FINAL_RESULT_WAITS * g.cfg.wait_ticks : 0;
    }
    deliver_view(v);
    if (v.conn >= 0 && v.final_steps >= 0 && v.final_steps-- == 0) {
        conn &c = conns[static_cast<size_t>(v.conn)];
        v.conn = -1;
        tell_to_quit(c);
    }
}

// The messages of the viewer's place go to the viewer, a position message in the place
// of an unsent one as for a player. Each ready and start message is followed by the
// watch screen's message: a viewer given a place that plays would otherwise be shown
// that player's screens as its own.
void game_server::deliver_view(replay_view &v)
{
    game &g = *v.replay.g;
    conn &c = conns[static_cast<size_t>(v.conn)];
    unsigned char live[TAG_SIZE];
    put_be32(live, TAG_LIVE);
    put_be32(live + 4, TAG_SIZE);
    for (size_t m = 0; m < g.out.msgs.size() && v.conn >= 0; m++) {
        const outbox::entry &e = g.out.msgs[m];
        if (e.slot != TO_ALL && e.slot != v.slot)
            continue;
        const unsigned char *p = g.out.data(e);
        int32_t tag = get_be32(p);
        bool watch = tag == TAG_READY || tag == TAG_START;
        if (!queue_message(c, p, static_cast<size_t>(e.len)) ||
            (watch && !queue_message(c, live, TAG_SIZE)))
            break;
    }
    if (v.conn >= 0)
        want_flush(c);
    g.out.clear();
}
